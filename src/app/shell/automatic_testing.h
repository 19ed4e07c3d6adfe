#pragma once
// The main window's automatic testing: the scheduler and its queue of the
// test pages, the records of rounds the machine refused, the recheck
// periods, and the dialog that stops a run under way. The window owns one
// and hands it the pages once they exist.
//
// Thread-safety: GUI thread only; the scheduler calls back from its round
// thread only through what it documents (posts and the latest result).
#include "app/pages/page_recording.h"
#include "app/pages/shell_context.h"
#include "autotest/invalid_round.h"
#include "autotest/scheduler.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;

namespace quorvane
{

namespace ui
{
class TimerService;
}

class CNetworkSpeed;
class CFileDownload;
class CWebpagePerformanceDlg;
class CVideoSpeedChild;

class AutomaticTesting
{
public:
    // The pages the rounds run; each outlives this object.
    struct Pages {
        CNetworkSpeed* bandwidth = nullptr;
        CWebpagePerformanceDlg* web = nullptr;
        CVideoSpeedChild* video = nullptr;
        CFileDownload* download = nullptr;
    };

    // `window`'s thread is the scheduler's window thread; `timers` holds its
    // round timer. The latest result goes to and comes from the window's
    // tray (`setLatestResult` may be called from any thread).
    AutomaticTesting(const ShellContext& context, QObject& window, ui::TimerService& timers,
                     std::function<void(const std::string&)> setLatestResult,
                     std::function<std::string()> latestResult);
    // Ends the scheduler first: its rounds may still use everything else.
    ~AutomaticTesting();

    // The configuration's recheck periods, in minutes.
    void readRecheckPeriods();
    // Makes the scheduler with one queue entry per page. False, and nothing
    // made, when the context brings no environment checks.
    bool setUp(const Pages& pages);
    // Null until set up.
    AutoScheduler* scheduler() const { return m_scheduler.get(); }

    // After a login; `arm` starts the countdown (the user's "manual" choice
    // and a logged-in user). Before the set-up only the flags are reset.
    void startAfterLogin(bool arm);
    // The window's round timer fired.
    void onRoundTimer();

    // Shows the stop dialog unless it is open already; true when the user
    // stopped automatic testing in it.
    bool runStopDialog();
    bool stopDialogOpen() const { return m_stopDialogOpen; }

private:
    void registerTask(TaskKind kind, std::function<int(bool, bool)> run, std::function<void()> release = {});

    ShellContext m_context;
    QObject& m_window;
    ui::TimerService& m_timers;
    std::function<void(const std::string&)> m_setLatestResult;
    std::function<std::string()> m_latestResult;
    int m_cpuMemoryPeriod = 0;
    int m_wlanPeriod = 0;
    bool m_stopDialogOpen = false;

    PageRecording m_invalidRecording;
    std::unique_ptr<InvalidRounds> m_invalidRounds;
    std::vector<std::unique_ptr<AutoTask>> m_tasks;
    // Last made, first to end.
    std::unique_ptr<AutoScheduler> m_scheduler;
};

} // namespace quorvane
