#include "update/updater/end_tip_dlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace quorvane::update
{

CEndTipDlg::CEndTipDlg(ui::TimerService& timers, QWidget* parent) : QDialog(parent), m_timers(timers)
{
    setWindowTitle(QStringLiteral("Tessaline"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    m_title = new QLabel(QStringLiteral("Tessaline"), this);
    m_message = new QLabel(QStringLiteral("软件已更新到最新版本，5秒倒计时后，软件将自动重启..."), this);
    m_message->setWordWrap(true);
    m_before = new QLabel(QStringLiteral("剩余"), this);
    m_number = new QLabel(QString::number(m_count), this);
    m_after = new QLabel(QStringLiteral("秒"), this);

    auto* countdown = new QHBoxLayout;
    countdown->addStretch();
    countdown->addWidget(m_before);
    countdown->addWidget(m_number);
    countdown->addWidget(m_after);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_title);
    layout->addWidget(m_message);
    layout->addLayout(countdown);
    setFixedWidth(360);

    m_timers.setHandler([this](int id) { onTimer(id); });
    m_timers.setTimer(kCountdownTimer, 1000);
}

CEndTipDlg::~CEndTipDlg()
{
    m_timers.killTimer(kCountdownTimer);
    m_timers.setHandler({});
}

QString CEndTipDlg::titleText() const
{
    return m_title->text();
}

QString CEndTipDlg::messageText() const
{
    return m_message->text();
}

QString CEndTipDlg::countdownText() const
{
    return m_before->text() + m_number->text() + m_after->text();
}

void CEndTipDlg::onTimer(int id)
{
    if (id != kCountdownTimer)
        return;
    --m_count;
    if (m_count < 0) {
        m_timers.killTimer(kCountdownTimer);
        accept();
        return;
    }
    m_number->setText(QString::number(m_count));
}

} // namespace quorvane::update
