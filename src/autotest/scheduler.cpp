#include "autotest/scheduler.h"

#include "common/flags.h"
#include "common/log_file.h"
#include "results/figures.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace quorvane
{

namespace
{

// The window timer counts milliseconds in an int.
constexpr int kLongestCountdown = INT_MAX / 1000;

// A recheck period of 0 (the key is missing) would check again at once; on
// a machine that stays unfit (a wireless line, a second machine on the LAN)
// that is an error record, a history line and an upload every few seconds,
// for months. Such a period waits this long instead.
constexpr int kShortestRecheck = 60;

} // namespace

const char* TaskLabel(TaskKind kind)
{
    switch (kind) {
    case TaskKind::Bandwidth:
        return "带宽测速";
    case TaskKind::WebPage:
        return "网页性能";
    case TaskKind::Video:
        return "视频测速";
    case TaskKind::FileDownload:
        return "文件下载";
    }
    return "";
}

TaskKind TaskKindOfModule(const std::string& moduleId)
{
    if (moduleId == "1")
        return TaskKind::Bandwidth;
    if (moduleId == "2")
        return TaskKind::WebPage;
    if (moduleId == "3")
        return TaskKind::Video;
    return TaskKind::FileDownload;
}

// One run of a test on a thread of its own. `done` and `outcome` are guarded
// by the scheduler's mutex.
struct AutoScheduler::Attempt {
    enum Outcome { Returned, Threw };
    AutoTask* task = nullptr;
    std::thread thread;
    bool done = false;
    Outcome outcome = Returned;
    int result = 0;
};

AutoScheduler::AutoScheduler(SchedulerHost host, EnvironmentChecks& checks, std::shared_ptr<Clock> clock,
                             SchedulerSettings settings)
    : m_host(std::move(host)), m_checks(checks), m_clock(clock ? std::move(clock) : systemClock()),
      m_settings(std::move(settings)), m_windowThread(std::this_thread::get_id())
{
}

AutoScheduler::~AutoScheduler()
{
    if (Shutdown(m_settings.stopLimit))
        return;
    // Joining would hold the program's end for good, and going on would
    // destroy the test object under the run that still uses it.
    log("测速线程未在限时内结束，程序直接退出");
    std::_Exit(3);
}

bool AutoScheduler::Shutdown(std::chrono::milliseconds limit)
{
    const auto allDone = [this] {
        return std::all_of(m_attempts.begin(), m_attempts.end(),
                           [](const std::shared_ptr<Attempt>& a) { return a->done; });
    };
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
        // A running test ends through the abort its transfers watch for.
        if (m_roundRunning || !allDone())
            flags::stopRequested = 1;
    }
    m_cv.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    {
        std::unique_lock lock(m_mutex);
        m_clock->waitUntil(m_cv, lock, m_clock->now() + limit, allDone);
    }
    reapAttempts();
    std::lock_guard lock(m_mutex);
    return m_attempts.empty();
}

void AutoScheduler::registerTask(TaskKind kind, AutoTask* task)
{
    m_tasks[kind] = task;
}

void AutoScheduler::log(const std::string& line) const
{
    CLogFile::append(m_settings.logFile.string(), line);
}

bool AutoScheduler::closing() const
{
    std::lock_guard lock(m_mutex);
    return m_closing;
}

bool AutoScheduler::onWindowThread() const
{
    return std::this_thread::get_id() == m_windowThread;
}

// --- the queue ---------------------------------------------------------------------

void AutoScheduler::BuildTaskQueue()
{
    std::deque<Entry> queue;
    const std::vector<std::string> modules =
        m_host.selectedModules ? m_host.selectedModules() : std::vector<std::string>{};
    for (const std::string& id : modules) {
        const TaskKind kind = TaskKindOfModule(id);
        auto it = m_tasks.find(kind);
        if (it != m_tasks.end() && it->second)
            queue.push_back({kind, it->second});
    }
    std::lock_guard lock(m_mutex);
    m_queue = std::move(queue);
    ++m_queueGeneration;
}

bool AutoScheduler::headEntry(Entry& out, std::uint64_t& generation) const
{
    std::lock_guard lock(m_mutex);
    if (m_queue.empty())
        return false;
    out = m_queue.front();
    generation = m_queueGeneration;
    return true;
}

void AutoScheduler::rotate(std::uint64_t generation)
{
    std::lock_guard lock(m_mutex);
    // A queue rebuilt meanwhile (a login) starts over from its own head.
    if (generation != m_queueGeneration || m_queue.empty())
        return;
    m_queue.push_back(m_queue.front());
    m_queue.pop_front();
}

std::vector<TaskKind> AutoScheduler::queue() const
{
    std::lock_guard lock(m_mutex);
    std::vector<TaskKind> kinds;
    for (const Entry& e : m_queue)
        kinds.push_back(e.kind);
    return kinds;
}

bool AutoScheduler::queueEmpty() const
{
    std::lock_guard lock(m_mutex);
    return m_queue.empty();
}

bool AutoScheduler::roundRunning() const
{
    std::lock_guard lock(m_mutex);
    return m_roundRunning;
}

int AutoScheduler::roundsStarted() const
{
    std::lock_guard lock(m_mutex);
    return m_roundsStarted;
}

long long AutoScheduler::autoStartTime() const
{
    std::lock_guard lock(m_mutex);
    return m_autoStartTime;
}

bool AutoScheduler::waitForRoundEnd(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, limit, [this] { return !m_roundRunning; });
}

// --- starting ----------------------------------------------------------------------

void AutoScheduler::startFlags()
{
    flags::scheduledTaskCount = 0;
    flags::completedTaskCount = 0;
    flags::autoMode = 1;
    flags::stopRequested = 0;
    flags::autoAbortArmed = 1;
}

void AutoScheduler::StartAutoByUser()
{
    startFlags();
    BuildTaskQueue();
    ScheduleNextRound(kUserCountdown);
    std::lock_guard lock(m_mutex);
    m_autoStartTime = std::chrono::duration_cast<std::chrono::seconds>(m_clock->wallNow().time_since_epoch()).count();
}

void AutoScheduler::StartAutoAfterLogin(bool arm)
{
    startFlags();
    if (!arm)
        return;
    BuildTaskQueue();
    ScheduleNextRound(kLoginCountdown);
    std::lock_guard lock(m_mutex);
    m_autoStartTime = std::chrono::duration_cast<std::chrono::seconds>(m_clock->wallNow().time_since_epoch()).count();
}

// --- the round timer ---------------------------------------------------------------

void AutoScheduler::armOnWindow(int ms)
{
    {
        std::lock_guard lock(m_mutex);
        m_timerArmed = true;
    }
    if (m_host.setRoundTimer)
        m_host.setRoundTimer(ms);
}

void AutoScheduler::killOnWindow()
{
    {
        std::lock_guard lock(m_mutex);
        m_timerArmed = false;
    }
    if (m_host.killRoundTimer)
        m_host.killRoundTimer();
}

void AutoScheduler::KillRoundTimer()
{
    if (onWindowThread() || !m_host.post)
        killOnWindow();
    else
        m_host.post([this] { killOnWindow(); });
    log("kill自动测速Timer..........................................................");
}

void AutoScheduler::ScheduleNextRound(int seconds)
{
    KillRoundTimer();
    seconds = std::clamp(seconds, 0, kLongestCountdown);
    const int ms = seconds * 1000;
    if (onWindowThread() || !m_host.post)
        armOnWindow(ms);
    else
        m_host.post([this, ms] { armOnWindow(ms); });
    log(std::to_string(seconds) + "秒后.开始新一轮自动测速...................................................");
    log(std::string(98, '='));
}

int AutoScheduler::SleepSeconds(int n)
{
    for (int i = 0; i < n; ++i) {
        if (flags::stopRequested.load() || closing()) {
            log("在SleepSeconds中停止了自动测速");
            KillRoundTimer();
            return 0;
        }
        std::unique_lock lock(m_mutex);
        m_clock->waitUntil(m_cv, lock, m_clock->now() + std::chrono::seconds(1), [this] { return m_closing; });
    }
    return 1;
}

void AutoScheduler::OnRoundTimer()
{
    std::size_t n = 0;
    bool running = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_closing)
            return;
        n = m_queue.size();
        running = m_roundRunning;
    }
    if (n == 0) {
        log("测速任务列表为空，停止自动测速...");
        KillRoundTimer();
        return;
    }
    log("自动测速任务数：" + std::to_string(n));
    if (flags::stopRequested.load()) {
        log("您手动停止了自动测速...");
    } else if (running) {
        // Rounds never overlap: the running one arms the next when it ends.
        log("上一轮自动测速尚未结束，本次不开始新一轮...");
        std::lock_guard lock(m_mutex);
        m_roundDeferred = true;
    } else {
        // The load the coming check measures spans from here to the check.
        m_checks.CollectLoad();
        flags::scheduledTaskCount += static_cast<int>(n);
        if (m_worker.joinable())
            m_worker.join(); // the previous round's thread, already at its end
        {
            std::lock_guard lock(m_mutex);
            m_roundRunning = true;
            ++m_roundsStarted;
        }
        addToCounter(metricsDir(), kRoundsCounter);
        m_worker = std::thread([this] {
            RunAutoRound();
            roundEnded();
        });
    }
    KillRoundTimer();
}

void AutoScheduler::roundEnded()
{
    bool deferred = false;
    {
        std::lock_guard lock(m_mutex);
        deferred = m_roundDeferred && !m_closing;
        m_roundDeferred = false;
    }
    if (deferred && m_host.post) {
        // Posted after the round's own timer requests, so it sees what they
        // did: a round that armed the next one has started it already.
        m_host.post([this] {
            bool armed = false;
            {
                std::lock_guard lock(m_mutex);
                armed = m_timerArmed;
            }
            if (!armed && !flags::stopRequested.load())
                ScheduleNextRound(0);
        });
    }
    {
        std::lock_guard lock(m_mutex);
        m_roundRunning = false;
    }
    m_cv.notify_all();
    if (m_host.roundEnded)
        m_host.roundEnded();
}

// --- the round ---------------------------------------------------------------------

void AutoScheduler::reapAttempts()
{
    std::vector<std::shared_ptr<Attempt>> finished;
    {
        std::lock_guard lock(m_mutex);
        auto keep = std::stable_partition(m_attempts.begin(), m_attempts.end(),
                                          [](const std::shared_ptr<Attempt>& a) { return !a->done; });
        finished.assign(keep, m_attempts.end());
        m_attempts.erase(keep, m_attempts.end());
    }
    for (const auto& a : finished)
        a->thread.join();
}

int AutoScheduler::runAttempt(const Entry& entry, bool useStoredKey)
{
    if (m_settings.attemptLimit.count() <= 0) {
        try {
            return entry.task->RunAutoTest(useStoredKey, true);
        } catch (...) {
            log("测速出现异常，测速失败.......");
            return 0;
        }
    }
    auto attempt = std::make_shared<Attempt>();
    attempt->task = entry.task;
    {
        std::lock_guard lock(m_mutex);
        m_attempts.push_back(attempt);
    }
    attempt->thread = std::thread([this, attempt, useStoredKey] {
        Attempt::Outcome outcome = Attempt::Returned;
        int result = 0;
        try {
            result = attempt->task->RunAutoTest(useStoredKey, true);
        } catch (...) {
            outcome = Attempt::Threw;
        }
        {
            std::lock_guard lock(m_mutex);
            attempt->outcome = outcome;
            attempt->result = result;
            attempt->done = true;
        }
        m_cv.notify_all();
    });
    bool done = false;
    {
        std::unique_lock lock(m_mutex);
        done = m_clock->waitUntil(m_cv, lock, m_clock->now() + m_settings.attemptLimit,
                                  [&] { return attempt->done || m_closing; });
        done = attempt->done;
    }
    if (!done) {
        // Its thread stays with the scheduler until it returns; the task is
        // skipped meanwhile, so it never runs twice at once.
        log("测速超时，放弃本次测速.......");
        return 0;
    }
    reapAttempts();
    if (attempt->outcome == Attempt::Threw) {
        log("测速出现异常，测速失败.......");
        return 0;
    }
    return attempt->result;
}

bool AutoScheduler::taskBusy(AutoTask* task) const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_attempts.begin(), m_attempts.end(),
                       [task](const std::shared_ptr<Attempt>& a) { return a->task == task && !a->done; });
}

void AutoScheduler::runWebTaskFromWorker()
{
    if (onWindowThread() || !m_host.post) {
        OnRunWebTask();
        return;
    }
    // The page hosts a browser, which lives on the window thread: the round
    // waits there as a sent message would, but not past its own end.
    struct Call {
        bool done = false;
        bool abandoned = false;
    };
    auto call = std::make_shared<Call>();
    m_host.post([this, call] {
        {
            std::lock_guard lock(m_mutex);
            if (call->abandoned)
                return;
        }
        OnRunWebTask();
        {
            std::lock_guard lock(m_mutex);
            call->done = true;
        }
        m_cv.notify_all();
    });
    std::unique_lock lock(m_mutex);
    const auto limit = m_settings.attemptLimit.count() > 0 ? m_settings.attemptLimit : std::chrono::hours(24 * 365);
    m_clock->waitUntil(m_cv, lock, m_clock->now() + limit, [&] { return call->done || m_closing; });
    if (!call->done)
        call->abandoned = true;
}

void AutoScheduler::OnRunWebTask()
{
    log("测速任务：网页性能");
    Entry head;
    std::uint64_t generation = 0;
    if (!headEntry(head, generation))
        return;
    rotate(generation);
    if (flags::stopRequested.load()) {
        KillRoundTimer();
        return;
    }
    try {
        head.task->RunAutoTest(false, true);
    } catch (...) {
        log("测速出现异常，测速失败.......");
        return;
    }
    log("测速完成，将任务移到队列末尾，5分钟后，开始下次测速任务.");
}

// The installation is where its auto.txt is; the metrics count there.
std::filesystem::path AutoScheduler::metricsDir() const
{
    const std::filesystem::path dir = m_settings.logFile.parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
}

void AutoScheduler::RunAutoRound()
{
    reapAttempts();
    int code = m_checks.CheckEnvironment();
    if (code == 0)
        code = m_checks.CheckLanMachines();
    if (code != 0) {
        addToCounter(metricsDir(), kRejectedCounterPrefix + std::to_string(code));
        if (m_host.recordInvalidRound) {
            if (m_host.post && !onWindowThread())
                m_host.post([this, code] { m_host.recordInvalidRound(code); });
            else
                m_host.recordInvalidRound(code);
        }
        if (m_host.setInvalidRoundSummary)
            m_host.setInvalidRoundSummary(code);
    }
    if (code >= 1 && code <= 6) {
        const bool load = code == 1 || code == 2 || code == 5;
        const int period = load ? (m_host.cpuMemoryPeriod ? m_host.cpuMemoryPeriod() : 0)
                                : (m_host.wlanPeriod ? m_host.wlanPeriod() : 0);
        log(std::string(load ? "由于cup、内存、网卡流量等自动测速失败，将在："
                             : "由于目前为无线网卡上网、局域网多机状态或开有杀毒软件自动测速失败，将在：") +
            std::to_string(period) + " 分钟后重新开始");
        const long long seconds = static_cast<long long>(period) * 60;
        ScheduleNextRound(seconds <= 0 ? kShortestRecheck : static_cast<int>(std::min<long long>(seconds, INT_MAX)));
        return;
    }

    for (std::size_t i = 0;; ++i) {
        {
            std::lock_guard lock(m_mutex);
            if (i >= m_queue.size())
                break;
        }
        Entry entry;
        std::uint64_t generation = 0;
        if (!headEntry(entry, generation)) {
            log("任务队列中的第一项任务为空.....");
            KillRoundTimer();
            return;
        }
        if (entry.kind == TaskKind::WebPage) {
            runWebTaskFromWorker();
            SleepSeconds(kPauseBetweenTasks);
            continue;
        }
        log(std::string("测速任务：") + TaskLabel(entry.kind));
        if (taskBusy(entry.task)) {
            log("上一次测速尚未结束，跳过本次测速.......");
            rotate(generation);
            continue;
        }
        int r = 0;
        int k = 0;
        do {
            if (flags::stopRequested.load() || closing()) {
                log("您手动停止了自动测速.....");
                KillRoundTimer();
                return;
            }
            r = runAttempt(entry, r == 1);
            if (r == 0) {
                log("测速失败");
            } else if (r == 1 && entry.kind == TaskKind::Bandwidth) {
                log("重试...20秒钟后重试。。。");
                if (SleepSeconds(kBandwidthRetryWait) == 0)
                    return;
                if (m_checks.CheckEnvironment() != 0) {
                    ScheduleNextRound(kRoundPeriod);
                    try {
                        entry.task->ReleaseKey();
                    } catch (...) {
                        log("测速出现异常，测速失败.......");
                    }
                    return;
                }
            } else if (r == 1) {
                log("重试...4秒钟后重试。。。");
                ++k;
                if (SleepSeconds(kRetryWait) == 0)
                    return;
            } else if (r == 2) {
                log("测速成功");
            } else {
                log("测速结果未知");
            }
        } while (r == 1 && k < kMaxRuns);
        rotate(generation);
        log(std::string(TaskLabel(entry.kind)) + ":测速完成");
        SleepSeconds(kPauseBetweenTasks);
    }
    log("6分钟后开启下轮测速...");
    ScheduleNextRound(kRoundPeriod);
}

} // namespace quorvane
