#include "update/velomark/velomark_wnd.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

namespace quorvane::velomark
{

CVelomarkMsgDlg::CVelomarkMsgDlg(const QString& text, QWidget* parent)
    : MessageWindow(text, QStringLiteral("i"), parent)
{
    setObjectName(QStringLiteral("UIMSGDlg"));
    addButton(QStringLiteral("确定"), ui::SkinButton::Style::Primary, QDialog::Accepted)
        ->setObjectName(QStringLiteral("btn_ok"));
    setCloseResult(kQuitRequested);
    finishLayout();
    findChild<QLabel*>(QStringLiteral("text"))->setObjectName(QStringLiteral("txt_q"));
    findChild<ui::SkinButton*>(QStringLiteral("close"))->setObjectName(QStringLiteral("close_btn"));
}

CVelomarkWnd::CVelomarkWnd(std::filesystem::path programDir, Services services, QWidget* parent) : SkinDialog(parent)
{
    setObjectName(QStringLiteral("Update_MainWnd"));
    setWindowTitle(QStringLiteral("Velomark"));
    setFixedSize(kWidth, kHeight);
    setHeaderHeight(kCaptionHeight);
    setDragHeight(kCaptionHeight);
    setCornerRadius(2);
    setBackgroundImage(QStringLiteral("velomark/bg"));

    auto* title = new QLabel(QStringLiteral("Quorvane 软件更新"), this);
    title->setFont(ui::Skin::font(15, true));
    title->setStyleSheet(QStringLiteral("color: white;"));
    title->setAttribute(Qt::WA_TransparentForMouseEvents); // the caption drags through it
    title->move(14, 10);
    title->adjustSize();

    auto* close =
        new ui::SkinButton(QStringLiteral("common/close"), QStringLiteral("×"), ui::SkinButton::Style::Header, this);
    close->setObjectName(QStringLiteral("close_btn"));
    close->setToolTip(QStringLiteral("关闭"));
    close->setGeometry(kWidth - 36, 6, 30, 28);

    auto* heading = new QLabel(QStringLiteral("更新内容"), this);
    heading->setFont(ui::Skin::font(14, true));

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("list_update"));
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_list->setWordWrap(false);
    m_list->setUniformItemSizes(true);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("Pro_"));
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_progress->setFormat(QStringLiteral("0%"));
    m_progress->setAlignment(Qt::AlignCenter);
    m_progress->setFixedHeight(22);

    m_agree = new QCheckBox(QStringLiteral("我已阅读以上更新内容，同意更新"), this);
    m_agree->setObjectName(QStringLiteral("Check_tongyi"));
    m_agree->setEnabled(false);

    m_ok = new ui::SkinButton(QString(), QStringLiteral("立即更新"), ui::SkinButton::Style::Primary, this);
    m_ok->setObjectName(QStringLiteral("btn_ok"));
    m_ok->setMinimumSize(110, 34);
    m_ok->setEnabled(false);
    auto* no = new ui::SkinButton(QString(), QStringLiteral("取消"), ui::SkinButton::Style::Plain, this);
    no->setObjectName(QStringLiteral("btn_no"));
    no->setMinimumSize(110, 34);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, kCaptionHeight + 14, 20, 18);
    layout->setSpacing(10);
    layout->addWidget(heading);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_progress);
    layout->addWidget(m_agree);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    buttons->addWidget(no);
    layout->addLayout(buttons);

    m_flow = new VelomarkFlow(std::move(programDir), std::move(services), this);
    connect(m_flow, &VelomarkFlow::listCleared, m_list, &QListWidget::clear);
    connect(m_flow, &VelomarkFlow::lineAdded, this, [this](const QString& line) {
        auto* item = new QListWidgetItem(line, m_list);
        item->setSizeHint(QSize(0, 20));
        m_list->scrollToBottom();
    });
    connect(m_flow, &VelomarkFlow::agreementEnabled, this, [this] { m_agree->setEnabled(true); });
    connect(m_flow, &VelomarkFlow::progressChanged, this, [this](int value, int maximum, const QString& text) {
        m_progress->setRange(0, maximum);
        m_progress->setValue(value);
        m_progress->setFormat(text);
    });
    connect(m_flow, &VelomarkFlow::message, this, &CVelomarkWnd::showMessage);
    connect(m_flow, &VelomarkFlow::restarting, this, &QWidget::hide);
    connect(m_flow, &VelomarkFlow::finished, this, [this] { done(QDialog::Accepted); });

    connect(m_agree, &QCheckBox::toggled, this, [this](bool on) {
        m_flow->setAgreed(on);
        m_ok->setEnabled(on && m_flow->state() == VelomarkFlow::State::AwaitingAgreement);
    });
    connect(m_ok, &QAbstractButton::clicked, this, [this] {
        if (!m_agree->isChecked())
            return;
        m_agree->setEnabled(false);
        m_ok->setEnabled(false);
        m_flow->begin();
    });
    connect(no, &QAbstractButton::clicked, this, &CVelomarkWnd::giveUp);
    connect(close, &QAbstractButton::clicked, this, &CVelomarkWnd::giveUp);
}

CVelomarkWnd::~CVelomarkWnd() = default;

void CVelomarkWnd::centre()
{
    if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void CVelomarkWnd::reject()
{
    giveUp();
}

void CVelomarkWnd::giveUp()
{
    // Never while the files are being put in place: that step ends by itself.
    if (m_flow->state() == VelomarkFlow::State::Installing)
        return;
    m_flow->cancel();
    done(QDialog::Rejected);
}

void CVelomarkWnd::showMessage(const QString& text)
{
    if (m_messenger) {
        m_messenger(text);
        return;
    }
    CVelomarkMsgDlg dialog(text, isVisible() ? this : nullptr);
    if (isVisible())
        dialog.move(geometry().center() - dialog.rect().center());
    if (dialog.exec() == CVelomarkMsgDlg::kQuitRequested)
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

} // namespace quorvane::velomark
