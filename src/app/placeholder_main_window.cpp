#include "app/placeholder_main_window.h"

#include "app/startup.h"
#include "platform/registry_store.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>

namespace quorvane
{

PlaceholderMainWindow::PlaceholderMainWindow(const StartupContext&)
{
    platform::IniRegistryStore registry(platform::IniRegistryStore::defaultPath());
    const std::string version =
        registry.readString(platform::kUninstallKey, platform::kDisplayVersion).value_or(std::string());
    const QString title = QStringLiteral("Quorvane") + QString::fromStdString(version);
    setWindowTitle(title);

    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(title, this);
    QFont font = heading->font();
    font.setPointSize(font.pointSize() * 2);
    font.setBold(true);
    heading->setFont(font);
    layout->addWidget(heading);
    m_status = new QLabel(QStringLiteral("Started. The measurement pages are not part of this build yet."), this);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);
    resize(539, 240);
}

bool PlaceholderMainWindow::isWindowShown() const
{
    return isVisible();
}

void PlaceholderMainWindow::onTrayNotify(long long wParam, long long lParam)
{
    if (wParam != kTrayIconId || lParam != WM_LBUTTONDBLCLK)
        return;
    m_status->setText(QStringLiteral("Activated by a second start (tray double-click)."));
    showNormal();
    bringToFront();
}

void PlaceholderMainWindow::bringToFront()
{
    if (isVisible() && m_status->text().startsWith(QStringLiteral("Started")))
        m_status->setText(QStringLiteral("Activated by a second start (brought to the front)."));
    bringWidgetToFront(*this);
}

int PlaceholderMainWindow::exec()
{
    show();
    return QApplication::exec();
}

QString PlaceholderMainWindow::statusText() const
{
    return m_status->text();
}

} // namespace quorvane
