#include "app/shell/empty_page.h"

#include "ui/skin.h"

#include <QLabel>
#include <QVBoxLayout>

namespace quorvane
{

CEmptyPage::CEmptyPage(const QString& objectName, const QString& title, QWidget* parent) : QWidget(parent)
{
    setObjectName(objectName);
    auto* layout = new QVBoxLayout(this);
    layout->addStretch(1);
    auto* heading = new QLabel(title, this);
    heading->setFont(ui::Skin::font(18, true));
    heading->setAlignment(Qt::AlignCenter);
    heading->setStyleSheet(QStringLiteral("color: #1e6fc8;"));
    auto* note = new QLabel(QStringLiteral("此页面尚未开放，将在后续版本中提供。"), this);
    note->setObjectName(QStringLiteral("note"));
    note->setFont(ui::Skin::font(13));
    note->setAlignment(Qt::AlignCenter);
    note->setStyleSheet(QStringLiteral("color: #777;"));
    layout->addWidget(heading);
    layout->addWidget(note);
    layout->addStretch(2);
}

} // namespace quorvane
