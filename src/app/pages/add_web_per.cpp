#include "app/pages/add_web_per.h"

#include "config/user_documents.h"
#include "measure/address_pattern.h"
#include "measure/file_download.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

namespace quorvane
{

CAddWebPer::CAddWebPer(std::string userId, std::string moduleId, QWidget* parent)
    : ui::SkinDialog(parent), m_userId(std::move(userId)), m_moduleId(std::move(moduleId))
{
    setObjectName(QStringLiteral("CAddWebPer"));
    setWindowTitle(m_moduleId == "4" ? QStringLiteral("添加下载文件") : QStringLiteral("添加网站"));
    setHeaderHeight(32);
    setFixedSize(360, 210);
    const QFont plain = ui::Skin::font(12);

    auto* title = new QLabel(windowTitle(), this);
    title->setFont(ui::Skin::font(13, true));
    title->setStyleSheet(QStringLiteral("color: white;"));
    title->setGeometry(14, 4, 200, 24);

    // The same two labels serve web sites and download files.
    auto* nameCaption = new QLabel(QStringLiteral("网站名称："), this);
    nameCaption->setFont(plain);
    nameCaption->setGeometry(24, 50, 76, 28);
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("name"));
    m_name->setFont(plain);
    m_name->setMaxLength(100);
    m_name->setGeometry(100, 50, 232, 28);

    auto* addressCaption = new QLabel(QStringLiteral("网站地址："), this);
    addressCaption->setFont(plain);
    addressCaption->setGeometry(24, 90, 76, 28);
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("address"));
    m_address->setFont(plain);
    m_address->setMaxLength(1000);
    m_address->setPlaceholderText(QStringLiteral("http://"));
    m_address->setGeometry(100, 90, 232, 28);

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("error"));
    m_error->setFont(plain);
    m_error->setTextFormat(Qt::PlainText);
    m_error->setStyleSheet(QStringLiteral("color: #d01b1b;"));
    m_error->setGeometry(100, 122, 240, 22);
    m_error->hide();

    auto* add = new ui::SkinButton(QString(), QStringLiteral("添加"), ui::SkinButton::Style::Primary, this);
    add->setObjectName(QStringLiteral("add"));
    add->setGeometry(160, 160, 80, 30);
    connect(add, &QAbstractButton::clicked, this, &CAddWebPer::OnAdd);
    auto* cancel = new ui::SkinButton(QString(), QStringLiteral("取消"), ui::SkinButton::Style::Plain, this);
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setGeometry(252, 160, 80, 30);
    connect(cancel, &QAbstractButton::clicked, this, &QDialog::reject);
}

QString CAddWebPer::errorText() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

void CAddWebPer::showError(const QString& text)
{
    m_error->setText(text);
    m_error->setToolTip(ui::plainToolTip(text));
    m_error->show();
}

bool CAddWebPer::OnAdd()
{
    m_error->hide();
    const std::string name = m_name->text().toStdString();
    const std::string address = m_address->text().toStdString();
    if (name.empty()) {
        showError(QStringLiteral("网站名称不能为空"));
        return false;
    }
    if (address.empty()) {
        showError(QStringLiteral("网站地址不能为空"));
        return false;
    }
    if (!measure::PassesAddressPattern(address)) {
        showError(QStringLiteral("网站地址不正确"));
        return false;
    }
    // Stored, it would fail every automatic round without a word.
    if (m_moduleId == "4" && !measure::DownloadUrlFetchable(address)) {
        showError(QStringLiteral("文件下载只支持 http:// 地址"));
        return false;
    }
    std::string error;
    if (!AddUserItem(m_userId, m_moduleId, name, address, &error)) {
        showError(QString::fromStdString(error));
        return false;
    }
    accept();
    return true;
}

void CAddWebPer::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OnAdd();
        return;
    }
    ui::SkinDialog::keyPressEvent(event);
}

} // namespace quorvane
