#pragma once
// CStopSpeedDlg, opened from the tray while automatic testing runs: how long
// it has run, the tasks requested and completed, the latest result and the
// score, and the choice to stop (back to the main window in manual mode) or
// to go on.
//
// Thread-safety: GUI thread only.
#include "app/login/session.h"
#include "ui/timer_service.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <string>

class QLabel;

namespace quorvane
{

namespace ui
{
class SkinButton;
} // namespace ui

class CStopSpeedDlg : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kWidth = 458;
    static constexpr int kHeight = 257;
    static constexpr int kRefreshTimer = 1;
    static constexpr int kRefreshMs = 1000;
    static constexpr int kStopPauseMs = 500;
    static constexpr int IDC_STOP = 1287;
    static constexpr int IDC_CONTINUE = 1380;
    static constexpr int IDC_CLOSE = 1000;
    static constexpr int kResultStopped = 1168;
    static constexpr int kResultContinue = 0;

    struct Status {
        long long autoStartTime = 0;               // seconds since 1970
        std::function<long long()> now;            // seconds since 1970
        std::function<std::string()> latestResult; // the main window's text
        std::function<ScoreValues()> scores;
    };

    // "%d 天%d 小时%d 分钟%d 秒" of the time since the start; a clock set back
    // below the start shows nothing elapsed rather than a negative time.
    static QString runningTimeText(long long elapsedSeconds);
    static QString scoreText(const ScoreValues& scores);

    // `timers` drives the one-second refresh (real timers when null).
    CStopSpeedDlg(Status status, std::unique_ptr<ui::TimerService> timers = nullptr, QWidget* parent = nullptr);
    ~CStopSpeedDlg() override;

    void OnStop();     // 1287
    void OnContinue(); // 1380 and 1000
    void refresh();

    QLabel* runningTime() const { return m_running; }
    QLabel* counts() const { return m_counts; }
    QLabel* latestResult() const { return m_latest; }
    QLabel* score() const { return m_score; }
    ui::SkinButton* button(int id) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void reject() override;

private:
    Status m_status;
    std::unique_ptr<ui::TimerService> m_timers;
    QLabel* m_running = nullptr;
    QLabel* m_counts = nullptr;
    QLabel* m_latest = nullptr;
    QLabel* m_score = nullptr;
    ui::SkinButton* m_stop = nullptr;
    ui::SkinButton* m_continue = nullptr;
    ui::SkinButton* m_close = nullptr;
    bool m_ending = false;
};

} // namespace quorvane
