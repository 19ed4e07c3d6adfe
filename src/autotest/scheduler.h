#pragma once
// The automatic rounds: a queue of the tests the user's settings select, a
// one-shot round timer, the environment checks before every round, every
// queued test once with its retries, the queue rotated, the timer re-armed.
// Every step is logged to auto.txt.
//
// Threads:
//  - The "window thread" is the thread that constructs the scheduler. The
//    round timer, BuildTaskQueue, the starts, OnRoundTimer and OnRunWebTask
//    belong to it. Timer requests made on another thread are posted to it.
//  - RunAutoRound runs on a worker thread that OnRoundTimer starts; tests
//    may call it directly on the window thread.
//  - Non-web tests run on an attempt thread of their own, which the round
//    worker waits for up to `attemptLimit` of clock time; a test that hangs
//    past that is abandoned (and skipped until it returns) rather than
//    wedging automatic testing. The web page test runs on the window thread.
//  - Only one round runs at a time: a timer that fires while a round is
//    still under way starts nothing; the running round re-arms the timer
//    when it ends, or, when it ended without doing so, the deferred round
//    starts right away.
//  - Shutdown (and the destructor) asks a running round and every test run
//    still under way to stop, and waits for them a bounded time. A run
//    that will not return keeps its test object in use, so nothing it
//    uses may be destroyed: the destructor then ends the process.
//
// Program-wide flags (common/flags.h) read and written here: autoMode,
// stopRequested, autoAbortArmed, scheduledTaskCount, completedTaskCount.
#include "autotest/environment.h"
#include "common/clock.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvane
{

enum class TaskKind { Bandwidth, WebPage, Video, FileDownload };

// "带宽测速", "网页性能", "视频测速", "文件下载".
const char* TaskLabel(TaskKind kind);
// The kind of a module id of the settings document: "1" bandwidth, "2" web
// page, "3" video, any other file download.
TaskKind TaskKindOfModule(const std::string& moduleId);

// One test page as the scheduler drives it.
class AutoTask
{
public:
    virtual ~AutoTask() = default;
    // 0 failed, 1 failed and may be retried, 2 done; anything else unknown.
    virtual int RunAutoTest(bool useStoredKey, bool isAutomatic) = 0;
    // Gives back a test key the test still holds (bandwidth only).
    virtual void ReleaseKey() {}
};

// A test reached through calls, as a window registers its pages.
class CallbackTask final : public AutoTask
{
public:
    explicit CallbackTask(std::function<int(bool, bool)> run, std::function<void()> release = {})
        : m_run(std::move(run)), m_release(std::move(release))
    {
    }
    int RunAutoTest(bool useStoredKey, bool isAutomatic) override { return m_run(useStoredKey, isAutomatic); }
    void ReleaseKey() override
    {
        if (m_release)
            m_release();
    }

private:
    std::function<int(bool, bool)> m_run;
    std::function<void()> m_release;
};

// What the scheduler needs from the window that drives it. Every member is
// called on the window thread unless it says otherwise.
struct SchedulerHost {
    // Runs `f` on the window thread, later. Called from any thread.
    std::function<void(std::function<void()> f)> post;
    // The window's round timer: (re)start as a one-shot of `ms`, kill.
    std::function<void(int ms)> setRoundTimer;
    std::function<void()> killRoundTimer;
    // Module ids of the user's settings document whose `selected` is "true",
    // in document order.
    std::function<std::vector<std::string>()> selectedModules;
    // Recheck periods in minutes ("CPUMemoryPeriod", "WlanPeriod").
    std::function<int()> cpuMemoryPeriod;
    std::function<int()> wlanPeriod;
    // The error record and history line of a rejected round (window thread),
    // and its latest result text (any thread). Both do nothing for code 0.
    std::function<void(int code)> recordInvalidRound;
    std::function<void(int code)> setInvalidRoundSummary;
    // Told on the round's thread when a round has ended. Optional.
    std::function<void()> roundEnded;
};

struct SchedulerSettings {
    std::filesystem::path logFile = "auto.txt";
    // How long one run of a test may take before the round gives up on it.
    // Zero: the test runs on the round's own thread and is waited for however
    // long it takes.
    std::chrono::milliseconds attemptLimit = std::chrono::minutes(15);
    // How long the end waits for test runs still under way once asked to
    // stop (clock time).
    std::chrono::milliseconds stopLimit = std::chrono::seconds(30);
};

class AutoScheduler
{
public:
    static constexpr int kUserCountdown = 5;       // after the button
    static constexpr int kLoginCountdown = 10;     // after a login
    static constexpr int kRoundPeriod = 360;       // between rounds
    static constexpr int kBandwidthRetryWait = 20; // before a bandwidth retry
    static constexpr int kRetryWait = 4;           // before any other retry
    static constexpr int kMaxRuns = 3;             // runs of a non-bandwidth test per round
    static constexpr int kPauseBetweenTasks = 3;

    AutoScheduler(SchedulerHost host, EnvironmentChecks& checks, std::shared_ptr<Clock> clock,
                  SchedulerSettings settings = {});
    // Shutdown(stopLimit); when a test run is still under way after it, the
    // process ends here (exit status 3) rather than destroy what that run
    // uses or wait for it without end.
    ~AutoScheduler();
    AutoScheduler(const AutoScheduler&) = delete;
    AutoScheduler& operator=(const AutoScheduler&) = delete;

    // Makes `task` the page of `kind` (null: the kind has no page, and its
    // modules are left out of the queue). Takes effect at the next build.
    void registerTask(TaskKind kind, AutoTask* task);

    void BuildTaskQueue();
    // The starts, after the window's own steps (question, tray, log line):
    // counters cleared, flags set; for the button also the queue built and
    // the countdown armed. StartAutoAfterLogin arms only when `arm`.
    void StartAutoByUser();
    void StartAutoAfterLogin(bool arm);
    // The flags every start sets; also for a login before any scheduler
    // exists.
    static void startFlags();
    // Any thread.
    void ScheduleNextRound(int seconds);
    void KillRoundTimer();
    // Worker thread: waits `n` seconds of clock time in one-second steps; 0
    // when a stop came first.
    int SleepSeconds(int n);
    void OnRoundTimer();
    void RunAutoRound();
    void OnRunWebTask();

    // State, for the window and the tests. Any thread.
    std::vector<TaskKind> queue() const;
    bool queueEmpty() const;
    bool roundRunning() const;
    int roundsStarted() const;
    // A run of `task` that the round gave up on has not returned yet.
    bool taskBusy(AutoTask* task) const;
    // Seconds since 1970 of the clock's wall time when testing last started.
    long long autoStartTime() const;
    // Blocks until no round runs (tests, the command line); false after
    // `limit` of real time.
    bool waitForRoundEnd(std::chrono::milliseconds limit);

    // The end of automatic testing (window thread): no round starts any
    // more; a running round and the test runs still under way (those given
    // up on included) are asked to stop, the round is joined, and the runs
    // are waited for up to `limit` of clock time. True when none is left;
    // false means a run still uses its test object, which must then outlive
    // the process. Safe to call more than once.
    bool Shutdown(std::chrono::milliseconds limit);

private:
    struct Entry {
        TaskKind kind;
        AutoTask* task;
    };
    struct Attempt;

    void log(const std::string& line) const;
    std::filesystem::path metricsDir() const;
    bool onWindowThread() const;
    void armOnWindow(int ms);
    void killOnWindow();
    void roundEnded();
    bool headEntry(Entry& out, std::uint64_t& generation) const;
    void rotate(std::uint64_t generation);
    int runAttempt(const Entry& entry, bool useStoredKey);
    void runWebTaskFromWorker();
    void reapAttempts();
    bool closing() const;

    SchedulerHost m_host;
    EnvironmentChecks& m_checks;
    std::shared_ptr<Clock> m_clock;
    SchedulerSettings m_settings;
    std::thread::id m_windowThread;
    std::map<TaskKind, AutoTask*> m_tasks;

    mutable std::mutex m_mutex; // guards the members below
    std::condition_variable m_cv;
    std::deque<Entry> m_queue;
    std::uint64_t m_queueGeneration = 0; // counts rebuilds
    bool m_closing = false;
    bool m_roundRunning = false;
    bool m_roundDeferred = false;
    bool m_timerArmed = false; // as the window thread last set it
    int m_roundsStarted = 0;
    long long m_autoStartTime = 0;
    std::thread m_worker;
    std::vector<std::shared_ptr<Attempt>> m_attempts; // attempt threads still to be joined
};

} // namespace quorvane
