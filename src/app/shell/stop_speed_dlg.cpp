#include "app/shell/stop_speed_dlg.h"

#include "common/flags.h"
#include "ui/skin.h"
#include "ui/timer_service.h"

#include <QLabel>
#include <QPainter>
#include <QTimer>

#include <algorithm>

namespace quorvane
{

namespace
{
constexpr int kHeaderHeight = 32;
} // namespace

QString CStopSpeedDlg::runningTimeText(long long elapsedSeconds)
{
    const long long s = std::max(0LL, elapsedSeconds);
    return QStringLiteral("%1 天%2 小时%3 分钟%4 秒").arg(s / 86400).arg(s / 3600 % 24).arg(s / 60 % 60).arg(s % 60);
}

QString CStopSpeedDlg::scoreText(const ScoreValues& scores)
{
    return QStringLiteral("\n总积分：%1 \n    带宽测速积分：%2 \n    用户体验积分：%3\n\n")
        .arg(QString::fromStdString(scores.total), QString::fromStdString(scores.bandwidth),
             QString::fromStdString(scores.experience));
}

CStopSpeedDlg::CStopSpeedDlg(Status status, std::unique_ptr<ui::TimerService> timers, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), m_status(std::move(status)),
      m_timers(std::move(timers))
{
    setObjectName(QStringLiteral("CStopSpeedDlg"));
    setWindowTitle(QStringLiteral("Quorvane"));
    setFixedSize(kWidth, kHeight);
    if (!m_timers)
        m_timers = std::make_unique<ui::QtTimerService>();
    m_timers->setHandler([this](int id) {
        if (id == kRefreshTimer)
            refresh();
    });

    auto label = [this](const QString& name, const QString& text, const QRect& geometry, int px, bool bold = false,
                        const char* colour = "#333") {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        l->setTextFormat(Qt::PlainText);
        l->setFont(ui::Skin::font(px, bold));
        l->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(colour)));
        l->setGeometry(geometry);
        l->setWordWrap(true);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return l;
    };
    label(QStringLiteral("title"), QStringLiteral("当前任务执行状态"), QRect(12, 7, 300, 20), 13, true, "white");
    label(QStringLiteral("status"), QStringLiteral("自动测速正在进行..."), QRect(16, kHeaderHeight + 8, 200, 18), 13,
          true, "#1f6fb2");
    m_running = label(QStringLiteral("running"), QString(), QRect(16, kHeaderHeight + 30, 220, 18), 12);
    m_counts = label(QStringLiteral("counts"), QString(), QRect(16, kHeaderHeight + 50, 220, 18), 12);
    m_latest = label(QStringLiteral("latest"), QString(), QRect(16, kHeaderHeight + 72, 220, 96), 12);
    m_score = label(QStringLiteral("score"), QString(), QRect(244, kHeaderHeight + 22, 200, 110), 12);
    label(QStringLiteral("note"), QStringLiteral("备注：每日凌晨1点根据完成任务数记录积分"),
          QRect(16, kHeight - 62, 300, 18), 11, false, "#888");

    m_stop = new ui::SkinButton(QStringLiteral("stop/stop"), QStringLiteral("停止测速"), ui::SkinButton::Style::Primary,
                                this);
    m_stop->setObjectName(QStringLiteral("button1287"));
    m_stop->setToolTip(QStringLiteral("停止自动测速，回到系统主界面"));
    m_stop->setGeometry(kWidth - 212, kHeight - 38, 96, 28);
    connect(m_stop, &QAbstractButton::clicked, this, &CStopSpeedDlg::OnStop);
    m_continue = new ui::SkinButton(QStringLiteral("stop/continue"), QStringLiteral("继续测速"),
                                    ui::SkinButton::Style::Plain, this);
    m_continue->setObjectName(QStringLiteral("button1380"));
    m_continue->setToolTip(QStringLiteral("继续自动测速，程序将最小化到托盘"));
    m_continue->setGeometry(kWidth - 108, kHeight - 38, 96, 28);
    connect(m_continue, &QAbstractButton::clicked, this, &CStopSpeedDlg::OnContinue);
    m_close =
        new ui::SkinButton(QStringLiteral("stop/close"), QStringLiteral("×"), ui::SkinButton::Style::Header, this);
    m_close->setObjectName(QStringLiteral("button1000"));
    m_close->setToolTip(m_continue->toolTip());
    m_close->setGeometry(kWidth - 32, 4, 28, 24);
    connect(m_close, &QAbstractButton::clicked, this, &CStopSpeedDlg::OnContinue);

    refresh();
    m_timers->setTimer(kRefreshTimer, kRefreshMs);
}

CStopSpeedDlg::~CStopSpeedDlg()
{
    m_timers->setHandler({});
}

ui::SkinButton* CStopSpeedDlg::button(int id) const
{
    switch (id) {
    case IDC_STOP:
        return m_stop;
    case IDC_CONTINUE:
        return m_continue;
    case IDC_CLOSE:
        return m_close;
    default:
        return nullptr;
    }
}

void CStopSpeedDlg::refresh()
{
    const long long now = m_status.now ? m_status.now() : 0;
    m_running->setText(QStringLiteral("已经运行：") + runningTimeText(now - m_status.autoStartTime));
    m_counts->setText(QStringLiteral("请求任务:%1    完成任务:%2")
                          .arg(flags::scheduledTaskCount.load())
                          .arg(flags::completedTaskCount.load()));
    const std::string latest = m_status.latestResult ? m_status.latestResult() : std::string();
    m_latest->setText(latest.empty() ? QStringLiteral("暂无最近记录！") : QString::fromStdString(latest));
    m_score->setText(scoreText(m_status.scores ? m_status.scores() : ScoreValues{}));
}

void CStopSpeedDlg::OnStop()
{
    if (m_ending)
        return;
    m_ending = true;
    flags::stopRequested = 1;
    flags::autoMode = 0;
    m_timers->killTimer(kRefreshTimer);
    // A moment for the round to see the stop before the window comes back.
    QTimer::singleShot(kStopPauseMs, this, [this] { done(kResultStopped); });
}

void CStopSpeedDlg::OnContinue()
{
    if (m_ending)
        return;
    m_ending = true;
    m_timers->killTimer(kRefreshTimer);
    done(kResultContinue);
}

void CStopSpeedDlg::reject()
{
    OnContinue(); // Escape goes on, as the close button does
}

void CStopSpeedDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    ui::Skin::paintWindow(p, rect(), QStringLiteral("stop/bg"), kHeaderHeight);
}

} // namespace quorvane
