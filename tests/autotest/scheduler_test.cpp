// Automatic rounds in clock time: rejected rounds and their countdowns, the
// retries of each kind, stops, the queue's order, and the faults that must
// not wedge the loop (throwing, hanging and overlapping rounds, clock jumps).
#include "autotest/clock_loop.h"
#include "autotest/invalid_round.h"
#include "autotest/scheduler.h"
#include "autotest/scheduler_support.h"
#include "common/flags.h"
#include "config/user_documents.h"
#include "results/figures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

using namespace quorvane;
using namespace quorvane::test;

namespace
{

// The window side: timer requests and posted calls as they happen. Posted
// calls run at once unless `holdPosts`, which keeps them for runPosted().
struct Window {
    int armedMs = -1; // -1: not armed
    int arms = 0;
    std::vector<int> invalidRounds, summaries;
    std::vector<std::string> modules;
    int cpuMemoryPeriod = 0, wlanPeriod = 0;
    bool holdPosts = false;
    std::mutex mutex;
    std::vector<std::function<void()>> posted;

    SchedulerHost host()
    {
        SchedulerHost h;
        h.post = [this](std::function<void()> f) {
            std::unique_lock lock(mutex);
            if (holdPosts) {
                posted.push_back(std::move(f));
                return;
            }
            lock.unlock();
            f();
        };
        h.setRoundTimer = [this](int ms) {
            armedMs = ms;
            ++arms;
        };
        h.killRoundTimer = [this] { armedMs = -1; };
        h.selectedModules = [this] { return modules; };
        h.cpuMemoryPeriod = [this] { return cpuMemoryPeriod; };
        h.wlanPeriod = [this] { return wlanPeriod; };
        h.recordInvalidRound = [this](int code) { invalidRounds.push_back(code); };
        h.setInvalidRoundSummary = [this](int code) { summaries.push_back(code); };
        return h;
    }
    void reset()
    {
        armedMs = -1;
        arms = 0;
        invalidRounds.clear();
        summaries.clear();
    }
    void runPosted()
    {
        std::vector<std::function<void()>> now;
        {
            std::lock_guard lock(mutex);
            now.swap(posted);
        }
        for (auto& f : now)
            f();
    }
};

class SchedulerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        flags::stopRequested = 0;
        flags::scheduledTaskCount = 0;
        flags::completedTaskCount = 0;
    }
    void TearDown() override { flags::stopRequested = 0; }

    // The scheduler is made on this thread, which is therefore its window
    // thread; RunAutoRound called here runs a round synchronously.
    std::unique_ptr<AutoScheduler> make(std::chrono::milliseconds attemptLimit = std::chrono::milliseconds(0))
    {
        SchedulerSettings settings;
        settings.logFile = dir / "auto.txt";
        settings.attemptLimit = attemptLimit;
        return std::make_unique<AutoScheduler>(window.host(), checks, clock, settings);
    }

    // The log's messages, without their time stamps.
    std::vector<std::string> logLines() const
    {
        std::vector<std::string> lines;
        std::ifstream in(dir / "auto.txt");
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.substr(line.find(',') + 1));
        return lines;
    }
    int count(const std::string& line) const
    {
        const auto lines = logLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }

    TempDir dir;
    Window window;
    ScriptedChecks checks;
    std::shared_ptr<JumpingClock> clock = std::make_shared<JumpingClock>();
};

TEST_F(SchedulerTest, RejectedRoundWaitsItsRecheckPeriodAndRunsNothing)
{
    const std::string load = "由于cup、内存、网卡流量等自动测速失败，将在：";
    const std::string line = "由于目前为无线网卡上网、局域网多机状态或开有杀毒软件自动测速失败，将在：";
    struct Case {
        int environment, lan, cpuMemoryPeriod, wlanPeriod;
        std::string logged;
        int armedMs;
    };
    const Case cases[] = {
        {5, 0, 15, 30, load + "15 分钟后重新开始", 900'000},
        {1, 0, 2, 30, load + "2 分钟后重新开始", 120'000},
        {2, 0, 3, 30, load + "3 分钟后重新开始", 180'000},
        {3, 0, 15, 30, line + "30 分钟后重新开始", 1'800'000},
        {4, 0, 15, 7, line + "7 分钟后重新开始", 420'000},
        {0, 6, 15, 30, line + "30 分钟后重新开始", 1'800'000},
        // A missing period must not turn into a check every few seconds.
        {4, 0, 15, 0, line + "0 分钟后重新开始", 60'000},
        {5, 0, -5, 30, load + "-5 分钟后重新开始", 60'000},
        {1, 0, 100'000'000, 30, load + "100000000 分钟后重新开始", 2'147'483'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        std::filesystem::remove(dir / "auto.txt");
        ScriptedTask bandwidth({2});
        window.reset();
        window.modules = {"1"};
        window.cpuMemoryPeriod = c.cpuMemoryPeriod;
        window.wlanPeriod = c.wlanPeriod;
        checks.environment = {c.environment};
        checks.lan = c.lan;
        auto scheduler = make();
        scheduler->registerTask(TaskKind::Bandwidth, &bandwidth);
        scheduler->BuildTaskQueue();
        scheduler->RunAutoRound();
        EXPECT_EQ(count(c.logged), 1);
        EXPECT_EQ(window.armedMs, c.armedMs);
        const int code = c.environment ? c.environment : c.lan;
        EXPECT_EQ(window.invalidRounds, std::vector<int>{code});
        EXPECT_EQ(window.summaries, std::vector<int>{code});
        EXPECT_EQ(bandwidth.runs, 0u);
    }
}

TEST_F(SchedulerTest, RetriesOfTestsOtherThanBandwidth)
{
    const std::string retry = "重试...4秒钟后重试。。。";
    struct Case {
        TaskKind kind;
        std::vector<int> script;
        std::size_t runs;
        int retries;
        std::string outcome; // the last result's line
    };
    const Case cases[] = {
        {TaskKind::Video, {1}, 3, 3, ""},
        {TaskKind::FileDownload, {1, 1, 2}, 3, 2, "测速成功"},
        {TaskKind::Video, {1, 0}, 2, 1, "测速失败"},
        {TaskKind::FileDownload, {0}, 1, 0, "测速失败"},
        {TaskKind::Video, {7}, 1, 0, "测速结果未知"},
        {TaskKind::FileDownload, {ScriptedTask::kThrow}, 1, 0, "测速出现异常，测速失败......."},
        {TaskKind::Video, {1, ScriptedTask::kThrow, 2}, 2, 1, "测速出现异常，测速失败......."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(TaskLabel(c.kind)) + " runs " + std::to_string(c.runs));
        std::filesystem::remove(dir / "auto.txt");
        ScriptedTask task(c.script);
        window.modules = {c.kind == TaskKind::Video ? "3" : "4"};
        auto scheduler = make();
        scheduler->registerTask(c.kind, &task);
        scheduler->BuildTaskQueue();
        scheduler->RunAutoRound();
        EXPECT_EQ(task.runs, c.runs);
        EXPECT_EQ(count(retry), c.retries);
        if (!c.outcome.empty()) {
            EXPECT_EQ(count(c.outcome), 1);
        }
        // A retry after 1 goes with the stored key; the first run never does.
        ASSERT_FALSE(task.storedKeys.empty());
        EXPECT_FALSE(task.storedKeys[0]);
        for (std::size_t i = 1; i < task.storedKeys.size(); ++i)
            EXPECT_EQ(task.storedKeys[i], c.script[std::min(i - 1, c.script.size() - 1)] == 1);
        EXPECT_TRUE(task.automatic);
        EXPECT_EQ(count(std::string(TaskLabel(c.kind)) + ":测速完成"), 1);
        EXPECT_EQ(logLines().back(), std::string(98, '='));
        EXPECT_EQ(window.armedMs, 360'000);
    }
}

TEST_F(SchedulerTest, BandwidthRetriesWhileTheMachineStaysFit)
{
    ScriptedTask bandwidth({1, 1, 1, 2});
    window.modules = {"1"};
    auto scheduler = make();
    scheduler->registerTask(TaskKind::Bandwidth, &bandwidth);
    scheduler->BuildTaskQueue();
    const long long start = clock->ms();
    scheduler->RunAutoRound();
    EXPECT_EQ(bandwidth.runs, 4u) << "no limit of three for the bandwidth test";
    EXPECT_EQ(count("重试...20秒钟后重试。。。"), 3);
    EXPECT_EQ(checks.environmentChecks, 4) << "the round's check and one before each retry";
    EXPECT_EQ(bandwidth.storedKeys, (std::vector<bool>{false, true, true, true}));
    EXPECT_GE(clock->ms() - start, 60'000);
    EXPECT_EQ(bandwidth.releases, 0);
    EXPECT_EQ(count("带宽测速:测速完成"), 1);
}

TEST_F(SchedulerTest, BandwidthRetryRejectedByTheEnvironmentReleasesTheKeyAndKeepsTheHead)
{
    ScriptedTask bandwidth({1});
    ScriptedTask download({2});
    window.modules = {"1", "4"};
    checks.environment = {0, 2};
    auto scheduler = make();
    scheduler->registerTask(TaskKind::Bandwidth, &bandwidth);
    scheduler->registerTask(TaskKind::FileDownload, &download);
    scheduler->BuildTaskQueue();
    scheduler->RunAutoRound();
    EXPECT_EQ(bandwidth.runs, 1u);
    EXPECT_EQ(bandwidth.releases, 1);
    EXPECT_EQ(download.runs, 0u);
    EXPECT_EQ(window.armedMs, 360'000);
    EXPECT_EQ(scheduler->queue(), (std::vector<TaskKind>{TaskKind::Bandwidth, TaskKind::FileDownload}));
    EXPECT_EQ(count("带宽测速:测速完成"), 0);
    EXPECT_TRUE(window.invalidRounds.empty()) << "only the round's own check writes an error record";
}

TEST_F(SchedulerTest, StopDuringTheBandwidthWaitEndsTheRoundWithinASecond)
{
    ScriptedTask bandwidth({1});
    window.modules = {"1"};
    auto scheduler = make();
    scheduler->registerTask(TaskKind::Bandwidth, &bandwidth);
    scheduler->BuildTaskQueue();
    window.armedMs = 5000;
    // The user stops 7.5 s into the 20-second wait.
    long long stoppedAt = -1;
    int ticks = 0;
    clock->onTick = [&](long long now) {
        if (++ticks == 7) {
            stoppedAt = now;
            flags::stopRequested = 1;
        }
    };
    scheduler->RunAutoRound();
    ASSERT_GE(stoppedAt, 0);
    EXPECT_LE(clock->ms() - stoppedAt, 1000);
    const auto lines = logLines();
    const auto it = std::find(lines.begin(), lines.end(), "在SleepSeconds中停止了自动测速");
    ASSERT_NE(it, lines.end());
    ASSERT_NE(it + 1, lines.end());
    EXPECT_EQ(*(it + 1), "kill自动测速Timer..........................................................");
    EXPECT_EQ(window.armedMs, -1);
    EXPECT_EQ(bandwidth.runs, 1u);
}

TEST_F(SchedulerTest, StopSeenBeforeTheNextRun)
{
    ScriptedTask video({2});
    window.modules = {"3"};
    auto scheduler = make();
    scheduler->registerTask(TaskKind::Video, &video);
    scheduler->BuildTaskQueue();
    flags::stopRequested = 1;
    scheduler->RunAutoRound();
    EXPECT_EQ(video.runs, 0u);
    EXPECT_EQ(count("您手动停止了自动测速....."), 1);
    EXPECT_EQ(scheduler->queue(), std::vector<TaskKind>{TaskKind::Video}) << "the task stays at the head";
}

TEST_F(SchedulerTest, WebOnlyQueueRunsEachOnTheWindowThread)
{
    std::vector<std::string> calls;
    ScriptedTask web({2}, &calls, "web");
    window.modules = {"2", "2"};
    auto scheduler = make();
    scheduler->registerTask(TaskKind::WebPage, &web);
    scheduler->BuildTaskQueue();
    scheduler->RunAutoRound();
    EXPECT_EQ(web.runs, 2u);
    EXPECT_EQ(count("测速任务：网页性能"), 2);
    EXPECT_EQ(count("测速完成，将任务移到队列末尾，5分钟后，开始下次测速任务."), 2);
    EXPECT_EQ(count("测速任务：带宽测速"), 0);
    EXPECT_EQ(window.armedMs, 360'000);

    // A page that throws is contained like any other test.
    ScriptedTask broken({ScriptedTask::kThrow});
    scheduler->registerTask(TaskKind::WebPage, &broken);
    scheduler->BuildTaskQueue();
    scheduler->RunAutoRound();
    EXPECT_EQ(count("测速出现异常，测速失败......."), 2);
    EXPECT_EQ(window.armedMs, 360'000);
}

TEST_F(SchedulerTest, QueueKeepsItsOrderAcrossRounds)
{
    std::vector<std::string> calls;
    ScriptedTask bandwidth({2}, &calls, "1"), web({2}, &calls, "2"), video({2}, &calls, "3"),
        download({2}, &calls, "4");
    struct Case {
        std::vector<std::string> modules;
        bool videoPage;
        std::vector<std::string> calls; // over two rounds
    };
    const Case cases[] = {
        {{"1", "2", "4"}, false, {"1", "2", "4", "1", "2", "4"}},
        {{"4", "1"}, false, {"4", "1", "4", "1"}},
        // A kind without its page is never selected.
        {{"3", "1"}, false, {"1", "1"}},
        {{"3", "1"}, true, {"3", "1", "3", "1"}},
        {{"9", "2"}, false, {"4", "2", "4", "2"}},
    };
    for (const Case& c : cases) {
        calls.clear();
        auto scheduler = make();
        scheduler->registerTask(TaskKind::Bandwidth, &bandwidth);
        scheduler->registerTask(TaskKind::WebPage, &web);
        scheduler->registerTask(TaskKind::FileDownload, &download);
        scheduler->registerTask(TaskKind::Video, c.videoPage ? &video : nullptr);
        window.modules = c.modules;
        scheduler->BuildTaskQueue();
        const auto before = scheduler->queue();
        scheduler->RunAutoRound();
        EXPECT_EQ(scheduler->queue(), before);
        scheduler->RunAutoRound();
        EXPECT_EQ(calls, c.calls) << c.modules.front();
    }
}

TEST_F(SchedulerTest, RoundTimerStartsRoundsAndCountsRequestedTasks)
{
    ScriptedTask bandwidth({2});
    window.modules = {};
    auto scheduler = make();
    scheduler->registerTask(TaskKind::Bandwidth, &bandwidth);

    // No settings document (or nothing selected): testing ends quietly.
    scheduler->StartAutoAfterLogin(true);
    EXPECT_EQ(window.armedMs, 10'000);
    scheduler->OnRoundTimer();
    EXPECT_EQ(count("测速任务列表为空，停止自动测速..."), 1);
    EXPECT_EQ(window.armedMs, -1);
    EXPECT_EQ(scheduler->roundsStarted(), 0);

    // A rejected round still counts its tasks as requested.
    window.modules = {"1", "1"};
    checks.environment = {4};
    scheduler->StartAutoByUser();
    EXPECT_EQ(window.armedMs, 5'000);
    EXPECT_EQ(flags::autoMode, 1);
    scheduler->OnRoundTimer();
    ASSERT_TRUE(scheduler->waitForRoundEnd(std::chrono::seconds(30)));
    EXPECT_EQ(flags::scheduledTaskCount, 2);
    EXPECT_EQ(checks.collections, 1);
    EXPECT_EQ(bandwidth.runs, 0u);

    // After a stop the timer starts nothing.
    flags::stopRequested = 1;
    scheduler->OnRoundTimer();
    EXPECT_EQ(count("您手动停止了自动测速..."), 1);
    EXPECT_EQ(scheduler->roundsStarted(), 1);
    EXPECT_EQ(window.armedMs, -1);
    // The metrics beside auto.txt count the round and its rejection, and
    // the stopped timer's non-round not at all.
    const FigureLines counted = readFigureLines(countersFile(dir.path()));
    EXPECT_EQ(counted.get(kRoundsCounter), "1");
    EXPECT_EQ(counted.get(std::string(kRejectedCounterPrefix) + "4"), "1");

    // Without the "manual" choice a login arms nothing.
    scheduler->StartAutoAfterLogin(false);
    EXPECT_EQ(flags::stopRequested, 0);
    EXPECT_EQ(window.armedMs, -1);
}

TEST_F(SchedulerTest, RoundLongerThanThePeriodNeverStartsASecondWorker)
{
    window.holdPosts = true; // timer requests from the worker wait for this thread
    ScriptedTask slow({ScriptedTask::kHang});
    window.modules = {"4"};
    auto scheduler = make();
    scheduler->registerTask(TaskKind::FileDownload, &slow);
    scheduler->StartAutoAfterLogin(true);
    scheduler->OnRoundTimer();
    ASSERT_TRUE(slow.waitHanging());

    // A login meanwhile arms its countdown; it falls due during the round.
    scheduler->StartAutoAfterLogin(true);
    EXPECT_EQ(window.armedMs, 10'000);
    scheduler->OnRoundTimer();
    EXPECT_EQ(scheduler->roundsStarted(), 1);
    EXPECT_EQ(count("上一轮自动测速尚未结束，本次不开始新一轮..."), 1);
    EXPECT_EQ(window.armedMs, -1);

    slow.release();
    ASSERT_TRUE(scheduler->waitForRoundEnd(std::chrono::seconds(30)));
    EXPECT_EQ(window.armedMs, -1) << "the round's timer request waits for the window's thread";
    window.runPosted();
    window.runPosted();
    EXPECT_EQ(window.armedMs, 360'000) << "the round's own end arms the next, once";
    EXPECT_EQ(scheduler->roundsStarted(), 1);

    // A round stopped while a start waited: the waiting round comes at once.
    ScriptedTask again({ScriptedTask::kHang});
    again.hangResult = 1; // the stop then comes in the retry wait
    scheduler->registerTask(TaskKind::FileDownload, &again);
    scheduler->StartAutoAfterLogin(true);
    scheduler->OnRoundTimer();
    ASSERT_TRUE(again.waitHanging());
    flags::stopRequested = 1;
    scheduler->StartAutoAfterLogin(true); // clears the stop, as a login does
    scheduler->OnRoundTimer();
    flags::stopRequested = 1;
    again.release();
    ASSERT_TRUE(scheduler->waitForRoundEnd(std::chrono::seconds(30)));
    flags::stopRequested = 0;
    window.runPosted();
    window.runPosted();
    EXPECT_EQ(window.armedMs, 0);
    EXPECT_EQ(scheduler->roundsStarted(), 2);
}

TEST_F(SchedulerTest, HungTestIsAbandonedAndSkippedUntilItReturns)
{
    ScriptedTask hung({ScriptedTask::kHang, 2});
    ScriptedTask download({2});
    window.modules = {"3", "4"};
    // Real time for the test's thread to return before its wait jumps.
    clock = std::make_shared<JumpingClock>(std::chrono::milliseconds(300));
    auto scheduler = make(std::chrono::minutes(15));
    scheduler->registerTask(TaskKind::Video, &hung);
    scheduler->registerTask(TaskKind::FileDownload, &download);
    scheduler->BuildTaskQueue();

    scheduler->RunAutoRound();
    EXPECT_EQ(count("测速超时，放弃本次测速......."), 1);
    EXPECT_EQ(download.runs, 1u) << "the round goes on with the next test";
    EXPECT_EQ(window.armedMs, 360'000);

    scheduler->RunAutoRound();
    EXPECT_EQ(count("上一次测速尚未结束，跳过本次测速......."), 1);
    EXPECT_EQ(hung.runs, 1u) << "never two runs of one test at once";
    EXPECT_EQ(download.runs, 2u);

    hung.release();
    for (int i = 0; i < 30'000 && scheduler->taskBusy(&hung); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    scheduler->RunAutoRound();
    EXPECT_EQ(hung.runs, 2u);
    EXPECT_EQ(count("视频测速:测速完成"), 2);
}

TEST_F(SchedulerTest, ServiceDownForAWholeRoundKeepsTheLoopGoing)
{
    // Every test fails as it does without the service; the next round is
    // still armed and the queue turns as usual.
    ScriptedTask bandwidth({0}), web({0}), download({0});
    window.modules = {"1", "2", "4"};
    auto scheduler = make();
    scheduler->registerTask(TaskKind::Bandwidth, &bandwidth);
    scheduler->registerTask(TaskKind::WebPage, &web);
    scheduler->registerTask(TaskKind::FileDownload, &download);
    scheduler->BuildTaskQueue();
    for (int round = 0; round < 3; ++round)
        scheduler->RunAutoRound();
    EXPECT_EQ(count("测速失败"), 6);
    EXPECT_EQ(web.runs, 3u);
    EXPECT_EQ(window.armedMs, 360'000);
    EXPECT_EQ(scheduler->queue().front(), TaskKind::Bandwidth);
}

TEST_F(SchedulerTest, CommandLineRoundsEndOnTheNumberAsked)
{
    // The worst timing for the command line's loop: the window thread is
    // busy until the round's worker has ended, and then finds the round's
    // "kill timer" and "arm timer" requests queued together. Between the two
    // the loop once thought nothing was left and ended after one round.
    ScriptedTask bandwidth({2}), download({2});
    window.modules = {"1", "4"};
    ClockLoop loop(clock);
    SchedulerHost host = window.host();
    host.post = [&](std::function<void()> f) { loop.post(std::move(f)); };
    host.setRoundTimer = [&](int ms) { loop.setTimer(ms); };
    host.killRoundTimer = [&] { loop.killTimer(); };
    SchedulerSettings settings;
    settings.logFile = dir / "auto.txt";
    settings.attemptLimit = std::chrono::milliseconds(0); // tests run on the round's worker
    AutoScheduler scheduler(std::move(host), checks, clock, settings);
    scheduler.registerTask(TaskKind::Bandwidth, &bandwidth);
    scheduler.registerTask(TaskKind::FileDownload, &download);
    loop.setTimerHandler([&] {
        scheduler.OnRoundTimer();
        ASSERT_TRUE(scheduler.waitForRoundEnd(std::chrono::seconds(60)));
    });
    scheduler.StartAutoByUser();

    EXPECT_EQ(RunRounds(loop, scheduler, 3, [] { return flags::stopRequested.load() != 0; }), 3);
    EXPECT_EQ(bandwidth.runs, 3u);
    EXPECT_EQ(download.runs, 3u);
    EXPECT_EQ(count("6分钟后开启下轮测速..."), 3);
}

TEST_F(SchedulerTest, TheEndNeverWaitsLongForATestGivenUpOn)
{
    // A test run past its 15 minutes, as a transfer that watches the stop
    // flag or one that ignores it. Bounded: it gives up after 60 s anyway.
    struct Stubborn final : AutoTask {
        bool heedsStop = true;
        std::atomic<bool> letGo{false}, returned{false};
        int RunAutoTest(bool, bool) override
        {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!letGo && !(heedsStop && flags::stopRequested.load()) && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            returned = true;
            return 2;
        }
    };
    window.modules = {"4"};
    clock = std::make_shared<JumpingClock>(std::chrono::milliseconds(200));
    for (const bool heeds : {true, false}) {
        SCOPED_TRACE(heeds);
        flags::stopRequested = 0;
        Stubborn task;
        task.heedsStop = heeds;
        auto scheduler = make(std::chrono::minutes(15));
        scheduler->registerTask(TaskKind::FileDownload, &task);
        scheduler->BuildTaskQueue();
        scheduler->RunAutoRound();
        ASSERT_EQ(count("测速超时，放弃本次测速......."), heeds ? 1 : 2);

        const auto start = std::chrono::steady_clock::now();
        const long long clockStart = clock->ms();
        const bool ended = scheduler->Shutdown(std::chrono::seconds(30));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_LE(clock->ms() - clockStart, 30'000);
        EXPECT_EQ(flags::stopRequested.load(), 1) << "the run is asked to stop";
        EXPECT_EQ(ended, heeds);
        EXPECT_EQ(task.returned.load(), heeds) << "the stubborn run is still going, and its task is still there";
        task.letGo = true;
        EXPECT_TRUE(scheduler->Shutdown(std::chrono::seconds(30)));
        EXPECT_TRUE(task.returned.load());
    }

    // Destroyed while such a run goes on, the scheduler ends the process
    // instead of freeing what the run uses.
    EXPECT_EXIT(
        {
            flags::stopRequested = 0;
            Stubborn task;
            task.heedsStop = false;
            auto scheduler = make(std::chrono::minutes(15));
            scheduler->registerTask(TaskKind::FileDownload, &task);
            scheduler->BuildTaskQueue();
            scheduler->RunAutoRound();
            scheduler.reset();
        },
        ::testing::ExitedWithCode(3), "");
}

TEST(ClockLoop, TimerFiresOnceAfterTheClockJumps)
{
    auto clock = std::make_shared<JumpingClock>();
    ClockLoop loop(clock);
    int fired = 0;
    loop.setTimerHandler([&] { ++fired; });
    loop.setTimer(360'000);
    // The machine sleeps for ten hours: one round is due, not a hundred.
    clock->jump(10LL * 3600 * 1000);
    loop.post([] {});
    loop.run([&] { return fired > 0 || !loop.timerArmed(); });
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(loop.timerArmed());

    // Posted work runs in order on the loop's thread.
    std::vector<int> order;
    const auto self = std::this_thread::get_id();
    std::thread other([&] {
        for (int i = 0; i < 3; ++i)
            loop.post([&, i] {
                EXPECT_EQ(std::this_thread::get_id(), self);
                order.push_back(i);
            });
    });
    other.join();
    loop.run([&] { return order.size() == 3; });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

} // namespace

namespace
{

// The settings and threshold documents as the program reads them, from the
// working directory.
class DocumentsTest : public SchedulerTest
{
protected:
    void SetUp() override
    {
        SchedulerTest::SetUp();
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        std::filesystem::create_directories("Config");
    }
    void TearDown() override
    {
        std::filesystem::current_path(previous);
        SchedulerTest::TearDown();
    }
    std::filesystem::path previous;
};

TEST_F(DocumentsTest, UnusableSettingsDocumentEndsTestingQuietly)
{
    const char* cases[] = {
        nullptr,                                                        // no document
        "<settings><tasks><module id=\"1\" selected=\"true\"></tasks>", // cut short
        "\x01\x02 not xml",
        "<settings><tasks><module id=\"1\" selected=\"TRUE\"/><module id=\"4\" selected=\"1\"/></tasks></settings>",
    };
    ScriptedTask bandwidth({2}), download({2});
    for (const char* text : cases) {
        std::filesystem::remove("Config/settings77.xml");
        if (text)
            std::ofstream("Config/settings77.xml") << text;
        SchedulerHost host = window.host();
        host.selectedModules = [] { return ReadSelectedModules("77"); };
        SchedulerSettings settings;
        settings.logFile = dir / "auto.txt";
        AutoScheduler scheduler(host, checks, clock, settings);
        scheduler.registerTask(TaskKind::Bandwidth, &bandwidth);
        scheduler.registerTask(TaskKind::FileDownload, &download);
        scheduler.StartAutoAfterLogin(true);
        EXPECT_TRUE(scheduler.queueEmpty()) << (text ? text : "none");
        scheduler.OnRoundTimer();
        EXPECT_EQ(scheduler.roundsStarted(), 0);
        EXPECT_EQ(window.armedMs, -1);
    }
    EXPECT_EQ(count("测速任务列表为空，停止自动测速..."), 4);
}

TEST_F(DocumentsTest, MissingThresholdDocumentNamesTheDefaultLimits)
{
    ServiceClock serviceClock(std::string(), nullptr, systemClock());
    ResultRecorder recorder(dir.path(), serviceClock, [](const std::string&) {});
    std::string latest;
    InvalidRounds rounds({&recorder, nullptr, &serviceClock,
                          [] {
                              return UserSession{"9", "", "", "", ""};
                          },
                          nullptr, nullptr, [&](const std::string& text) { latest = text; }});
    const std::pair<int, std::string> cases[] = {
        {1, "CPU使用率 > 100%"}, {2, "内存使用率 > 100%"}, {5, "网卡流量 > 0KB/s"}};
    for (const auto& [code, reason] : cases) {
        rounds.SetInvalidRoundSummary(code);
        EXPECT_NE(latest.find("（原因：" + reason + "）"), std::string::npos) << latest;
    }
}

} // namespace
