#include "ui/message_dialogs.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

namespace quorvane::ui
{
namespace
{
constexpr int kHeaderHeight = 32;
constexpr int kTextWidth = 300;
} // namespace

MessageWindow::MessageWindow(const QString& text, const QString& iconGlyph, QWidget* parent) : SkinDialog(parent)
{
    setModal(true);
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setWindowTitle(QStringLiteral("Quorvane"));
    setBackgroundImage(QStringLiteral("common/msg_bg"));
    setHeaderHeight(kHeaderHeight);
    setDragHeight(kHeaderHeight);

    auto* title = new QLabel(QStringLiteral("Quorvane"), this);
    title->setObjectName(QStringLiteral("title"));
    title->setFont(Skin::font(13, true));
    title->setStyleSheet(QStringLiteral("color: white;"));
    title->move(12, 7);
    title->adjustSize();

    auto* close = new SkinButton(QStringLiteral("common/close"), QStringLiteral("×"), SkinButton::Style::Header, this);
    close->setObjectName(QStringLiteral("close"));
    close->setToolTip(QStringLiteral("关闭"));
    connect(close, &QAbstractButton::clicked, this, &MessageWindow::reject);

    m_icon = new QLabel(iconGlyph, this);
    m_icon->setFont(Skin::font(26, true));
    m_icon->setAlignment(Qt::AlignCenter);
    m_icon->setFixedSize(40, 40);
    m_icon->setStyleSheet(QStringLiteral("color: white; background: #f0a020; border-radius: 20px;"));
    m_icon->setVisible(!iconGlyph.isEmpty());

    m_text = new QLabel(text, this);
    m_text->setObjectName(QStringLiteral("text"));
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    m_text->setFont(Skin::font(14));
    m_text->setFixedWidth(iconGlyph.isEmpty() ? kTextWidth + 50 : kTextWidth);
}

QString MessageWindow::text() const
{
    return m_text->text();
}

SkinButton* MessageWindow::addButton(const QString& caption, SkinButton::Style style, int resultCode)
{
    auto* button = new SkinButton(QString(), caption, style, this);
    button->setMinimumSize(84, 30);
    connect(button, &QAbstractButton::clicked, this, [this, resultCode] { done(resultCode); });
    if (m_buttons.isEmpty())
        m_defaultResult = resultCode;
    m_buttons.append(button);
    return button;
}

void MessageWindow::finishLayout(QWidget* extraBelowText)
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(22, kHeaderHeight + 18, 22, 16);
    outer->setSpacing(14);

    auto* body = new QHBoxLayout;
    body->setSpacing(14);
    if (m_icon->isVisibleTo(this))
        body->addWidget(m_icon, 0, Qt::AlignTop);
    body->addWidget(m_text, 1);
    outer->addLayout(body);
    if (extraBelowText)
        outer->addWidget(extraBelowText);
    outer->addStretch(1);

    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (SkinButton* b : m_buttons)
        row->addWidget(b);
    outer->addLayout(row);

    // A wrapping label reports no height for its fixed width by itself; give
    // it the height its text needs so the window grows instead of clipping.
    m_text->setMinimumHeight(m_text->heightForWidth(m_text->width()));
    // The header's close glyph sits in the corner whatever the final width.
    adjustSize();
    setFixedSize(qMax(width(), 380), qMax(height(), 170));
    auto* close = findChild<SkinButton*>(QStringLiteral("close"));
    close->setGeometry(width() - 34, 4, 28, 24);
}

void MessageWindow::reject()
{
    done(m_closeResult);
}

void MessageWindow::keyPressEvent(QKeyEvent* event)
{
    // Enter answers with the first button; Escape closes.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        done(m_defaultResult);
        return;
    }
    SkinDialog::keyPressEvent(event);
}

// --- the windows --------------------------------------------------------------

CSelectDlg::CSelectDlg(const QString& text, Buttons buttons, QWidget* parent)
    : MessageWindow(text, QStringLiteral("?"), parent)
{
    setObjectName(QStringLiteral("CSelectDlg"));
    if (buttons == Buttons::YesNo) {
        addButton(QStringLiteral("是"), SkinButton::Style::Primary, kIdYes)->setObjectName(QStringLiteral("yes"));
        addButton(QStringLiteral("否"), SkinButton::Style::Plain, kIdNo)->setObjectName(QStringLiteral("no"));
        setCloseResult(kIdNo);
    } else {
        addButton(QStringLiteral("确定"), SkinButton::Style::Primary, kIdYes)->setObjectName(QStringLiteral("yes"));
        setCloseResult(kIdYes);
    }
    finishLayout();
}

void MessageWindow::finishAsNotice()
{
    addButton(QStringLiteral("确定"), SkinButton::Style::Primary, QDialog::Accepted)
        ->setObjectName(QStringLiteral("ok"));
    setCloseResult(QDialog::Accepted);
    finishLayout();
}

CMessageDlg::CMessageDlg(const QString& text, QWidget* parent) : MessageWindow(text, QStringLiteral("i"), parent)
{
    setObjectName(QStringLiteral("CMessageDlg"));
    finishAsNotice();
}

CWarningDlg::CWarningDlg(const QString& text, QWidget* parent) : MessageWindow(text, QStringLiteral("!"), parent)
{
    setObjectName(QStringLiteral("CWarningDlg"));
    finishAsNotice();
}

const char* const CShowHitDlg::kHintText = "带宽测速需要独占网络：测速前请关闭下载软件、在线视频等占用网络的程序，"
                                           "并尽量使用有线网络连接，以保证测速结果准确。";

CShowHitDlg::CShowHitDlg(QWidget* parent) : MessageWindow(QString::fromUtf8(kHintText), QStringLiteral("i"), parent)
{
    setObjectName(QStringLiteral("CShowHitDlg"));
    setWindowTitle(QStringLiteral("测速提示"));
    m_box = new QCheckBox(QStringLiteral("不再提示"), this);
    m_box->setObjectName(QStringLiteral("suppress"));
    m_box->setFont(Skin::font(13));
    addButton(QStringLiteral("我知道了"), SkinButton::Style::Primary, QDialog::Accepted)
        ->setObjectName(QStringLiteral("ok"));
    setCloseResult(QDialog::Accepted);
    finishLayout(m_box);
}

bool CShowHitDlg::suppressFurtherHints() const
{
    return m_box->isChecked();
}

} // namespace quorvane::ui
