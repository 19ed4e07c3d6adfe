#include "app/shell/tray_control.h"

#include "app/shell/shell_messages.h"
#include "common/codepage.h"
#include "ui/skin.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QThread>

namespace quorvane
{

TrayControl::TrayControl(std::unique_ptr<ui::TrayPresence> presence, QWidget* menuParent)
    : m_presence(std::move(presence))
{
    connect(m_presence.get(), &ui::TrayPresence::notified, this, [this](int mouse) { handleMouse(mouse); });
    m_menu = new QMenu(menuParent);
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    m_menu->setFont(ui::Skin::font(13));
    QAction* open = m_menu->addAction(QStringLiteral("打开主程序"));
    open->setData(msg::ID_TRAY_OPEN);
    connect(open, &QAction::triggered, this, &TrayControl::openRequested);
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(QStringLiteral("退出"));
    quit->setData(msg::IDC_CLOSE);
    connect(quit, &QAction::triggered, this, &TrayControl::exitRequested);
}

TrayControl::~TrayControl() = default;

void TrayControl::handleMouse(long long mouse)
{
    switch (mouse) {
    case ui::kTrayMouseMove:
        if (!m_latestResult.empty())
            m_presence->setToolTip(tip());
        break;
    case ui::kTrayDoubleClick:
        Q_EMIT openRequested();
        break;
    case ui::kTrayRightButtonUp:
        m_menu->popup(QCursor::pos());
        break;
    default:
        break;
    }
}

void TrayControl::add()
{
    m_presence->setIcon(ui::appIcon(msg::kTrayIconId), QStringLiteral("后台运行中，双击打开"));
    // Once there is a result, the icon comes back with it rather than with
    // the fixed notice.
    m_presence->setToolTip(tip());
    m_presence->add();
    m_icon = msg::kTrayIconId;
}

void TrayControl::remove()
{
    m_presence->remove();
}

void TrayControl::setLoggedIn(bool loggedIn)
{
    const int icon = loggedIn ? msg::kTrayIconId : msg::kIconLoggedOut;
    if (icon == m_icon)
        return;
    m_icon = icon;
    m_presence->setIcon(ui::appIcon(icon),
                        loggedIn ? QStringLiteral("后台运行中，双击打开") : QStringLiteral("未登录，双击登录"));
}

void TrayControl::setLatestResultText(const std::string& text)
{
    if (QThread::currentThread() != thread()) {
        // Automatic rounds end on their own thread.
        QMetaObject::invokeMethod(
            this, [this, text] { setLatestResultText(text); }, Qt::QueuedConnection);
        return;
    }
    if (text == m_latestResult)
        return;
    m_latestResult = text;
    // The desktop does not report the mouse over the icon, so the tip
    // follows the text as it changes; an emptied text leaves the last one.
    if (!m_latestResult.empty())
        m_presence->setToolTip(tip());
}

QString TrayControl::tip() const
{
    if (m_latestResult.empty())
        return QString::fromUtf8(kIdleTip);
    return QString::fromStdString(std::string(truncateUtf8(m_latestResult, 127)));
}

} // namespace quorvane
