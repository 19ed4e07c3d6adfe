#include "app/shell/about_dlg.h"

#include <QLabel>
#include <QVBoxLayout>

namespace quorvane
{

CAboutDlg::CAboutDlg(const QString& version, QWidget* parent) : ui::SkinDialog(parent)
{
    setObjectName(QStringLiteral("CAboutDlg"));
    setWindowTitle(QStringLiteral("关于 Quorvane"));
    setHeaderHeight(32);
    setFixedSize(340, 200);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 44, 24, 16);
    auto* name = new QLabel(QStringLiteral("Quorvane %1").arg(version), this);
    name->setObjectName(QStringLiteral("version"));
    name->setTextFormat(Qt::PlainText);
    name->setFont(ui::Skin::font(16, true));
    auto* text = new QLabel(QStringLiteral("宽带接入质量测速客户端\n测速结果计入您在测速服务网站的账户。"), this);
    text->setFont(ui::Skin::font(12));
    text->setWordWrap(true);
    auto* ok = new ui::SkinButton(QString(), QStringLiteral("确定"), ui::SkinButton::Style::Primary, this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setFixedSize(84, 30);
    connect(ok, &QAbstractButton::clicked, this, &QDialog::accept);
    layout->addWidget(name);
    layout->addWidget(text);
    layout->addStretch(1);
    layout->addWidget(ok, 0, Qt::AlignRight);
}

} // namespace quorvane
