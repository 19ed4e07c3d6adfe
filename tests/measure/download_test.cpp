// The file download test with the transfer replaced at its seam: the
// figures (chart, labels, record rounding, website), what a page is told and
// when, and the record of an automatic run. The transfer itself is
// exercised against the reference service in download_refsvc_test.cpp.
#include "measure/file_download.h"
#include "measure/support.h"
#include "results/history.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace quorvane;
using namespace quorvane::measure;
using namespace std::chrono_literals;

namespace
{

const std::filesystem::path kExpected = std::filesystem::path(QUORVANE_SOURCE_DIR) / "tests/measure/expected";

DownloadPresets presets()
{
    DownloadPresets p;
    p.names = {"1MB测试文件", "5MB测试文件", "10MB测试文件", "镜像", "同名"};
    p.urls = {"http://h/1MB.bin", "http://h/5MB.bin", "http://h/10MB.bin", "http://h/1MB.bin", "http://h/x.bin"};
    return p;
}

class Events : public FileDownloadObserver
{
public:
    std::vector<std::string> events;
    std::vector<DownloadRun> records;
    FinalLabels final;
    std::mutex mutex;

    void showWarning(const std::string& t) override { add("warning:" + t); }
    void manualRunStarted() override { add("started:" + std::to_string(flags::downloadTestRunning.load())); }
    void loadEnded() override { add("loadEnded"); }
    void finalLabels(const DownloadRun&, const FinalLabels& l) override
    {
        final = l;
        add("1125");
    }
    void recordReady(const DownloadRun& run) override
    {
        records.push_back(run);
        add("1126");
    }
    void message(const std::string& t) override { add("message:" + t); }
    void runEnded(const DownloadRun& run) override { add(std::string("ended:") + DownloadOutcomeName(run.outcome)); }

private:
    void add(const std::string& e)
    {
        std::lock_guard lock(mutex);
        events.push_back(e);
    }
};

// What a scripted transfer does: the head's figures, then body bytes in
// steps, with a hook after each step (the page's timer tick).
struct Script {
    std::int64_t contentLength = 0;
    std::uint32_t connectMs = 0, loadMs = 0;
    std::vector<std::uint64_t> steps;
    std::function<void()> afterStep;
    std::vector<std::string> urls; // what was requested
    int timeout = 0;
};

TimedGetFunction scripted(Script& s)
{
    return [&s](const std::string& url, ByteCounterHandle& counter, std::atomic<std::int64_t>& length,
                std::atomic<std::uint32_t>& connectMs, std::atomic<std::uint32_t>& loadMs, int timeout) {
        s.urls.push_back(url);
        s.timeout = timeout;
        auto bytes = std::make_shared<ByteCounter>(0);
        counter.publish(bytes);
        connectMs = s.connectMs;
        length = s.contentLength;
        if (s.contentLength <= 0)
            return false;
        for (std::uint64_t step : s.steps) {
            *bytes += step;
            if (s.afterStep)
                s.afterStep();
        }
        loadMs = s.loadMs;
        return true;
    };
}

class DownloadEngineTest : public ::testing::Test
{
protected:
    void SetUp() override { test::resetFlags(); }
    void TearDown() override
    {
        test::resetFlags();
        flags::downloadTestRunning = 0;
    }

    std::unique_ptr<FileDownloadTest> engine(Script& script, Events& events, bool network = true,
                                             std::vector<std::string> targets = {})
    {
        FileDownloadSettings settings;
        settings.installDir = inst.path();
        settings.clock = std::shared_ptr<Clock>(&clock, [](Clock*) {});
        settings.networkAlive = [network] { return network; };
        settings.random = [] { return 7; };
        settings.timedGet = scripted(script);
        settings.targets = [targets](const std::string&) { return targets; };
        auto e = std::make_unique<FileDownloadTest>(std::move(settings), &events);
        e->setUser({"10001", "测速达人", "10.1.2.3", "广东省深圳市", "电信"});
        e->setPresets(presets());
        return e;
    }

    test::Installation inst;
    test::SteppingClock clock{test::localTime(2024, 1, 2, 3, 4, 5)};
};

} // namespace

TEST(DownloadFigures, ChartPointsFollowTheScale)
{
    struct Row {
        double kbps, value;
    };
    for (const Row& r : {Row{0, 0}, Row{64, 0.5}, Row{128, 1}, Row{1024, 4}, Row{65536, 10}, Row{32, 0.25},
                         Row{1, 1.0 / 128}, Row{0.5, 1.0 / 256}, Row{96, std::log2(3.0) / 2}}) {
        SCOPED_TRACE(r.kbps);
        EXPECT_NEAR(ChartPoint(r.kbps), r.value, 1e-12);
        // The axis labels come from the inverse.
        EXPECT_NEAR(ChartRate(r.value), r.kbps, 1e-9 * std::max(1.0, r.kbps));
    }
    // No jump anywhere, also where octaves meet and at 128, and never down.
    double previous = 0;
    for (double kb = 0.01; kb < 70000; kb *= 1.001) {
        const double v = ChartPoint(kb);
        ASSERT_GE(v, previous) << kb;
        ASSERT_LT(v - previous, 0.01) << kb;
        previous = v;
    }
}

TEST(DownloadFigures, SpeedIsOverTheExactLoadTime)
{
    struct Row {
        std::optional<std::uint64_t> bytes;
        std::uint32_t loadMs;
        const char *loading, *average, *recordSpeed;
    };
    for (const Row& r : {
             Row{1000, 400, "0.40", "2.44", "2.44"},          // under half a second is no 0
             Row{3072, 1500, "1.50", "2.00", "2.00"},         // 1.5 s is not 2 s
             Row{1048576, 210, "0.21", "4876.19", "4876.19"}, // the 1 MB preset on a 40 Mbit/s line
             Row{0, 2000, "2.00", "--", "0"},                 // nothing arrived
             Row{std::nullopt, 2000, "2.00", "--", "0"},      //
             Row{5000, 0, "--", "--", "0"},                   // no load time at all
             Row{10, 3000, "3.00", "0.00", "0.00"},           // above 0, though it shows as 0.00
         }) {
        SCOPED_TRACE(std::to_string(r.bytes.value_or(0)) + " B in " + std::to_string(r.loadMs) + " ms");
        const FinalLabels labels = FinalLabelsFor(r.bytes, r.loadMs);
        EXPECT_EQ(labels.loadingTime, r.loading);
        EXPECT_EQ(labels.averageSpeed, r.average);
        EXPECT_EQ(RecordSpeedText(r.bytes, r.loadMs), r.recordSpeed);
    }
}

TEST(DownloadFigures, RecordFieldsAndWebsite)
{
    struct Row {
        std::string url;
        std::int64_t length;
        std::optional<std::uint64_t> bytes;
        std::uint32_t connectMs, loadMs;
        std::vector<std::string> values; // url, website, totalsize, downloadsize, speed, connecttime, loadingtime
    };
    for (const Row& r : {
             // A URL typed by hand equal to a preset's: the last slot with it.
             Row{"http://h/1MB.bin", 1048576, 1048576, 12, 1500, {"1", "4", "1.00", "1.00", "682.67", "0.01", "1.50"}},
             Row{"http://h/5MB.bin", 5242880, 1048576, 1000, 400, {"", "2", "5.00", "1.00", "2560.00", "1.00", "0.40"}},
             Row{"http://other/a.bin", 3000, std::nullopt, 0, 0, {"", "null", "0.00", "0", "0", "0", "0"}},
             Row{"http://h/x.bin", 0, 0, 6, 0, {"", "5", "0", "0.00", "0", "0.01", "0"}},
         }) {
        SCOPED_TRACE(r.url);
        DownloadRun run;
        run.url = r.url;
        run.contentLength = r.length;
        run.bytes = r.bytes;
        run.connectMs = r.connectMs;
        run.loadMs = r.loadMs;
        const auto fields = FileDownRecordFields(run, presets());
        const std::vector<std::string> names = {"url",   "website",     "totalsize",  "downloadsize",
                                                "speed", "connecttime", "loadingtime"};
        ASSERT_EQ(fields.size(), names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(fields[i].name, names[i]);
            EXPECT_EQ(fields[i].value, i == 0 ? r.url : r.values[i]) << names[i];
        }
    }
}

TEST(DownloadFigures, PresetsByNameAndUrl)
{
    const DownloadPresets p = presets();
    EXPECT_EQ(PresetByName(p, "5MB测试文件"), 1);
    EXPECT_EQ(PresetByName(p, "5MB"), -1); // exact names only
    EXPECT_EQ(PresetByName(p, ""), -1);
    EXPECT_EQ(FirstPresetByUrl(p, "http://h/1MB.bin"), 0);
    EXPECT_EQ(LastPresetByUrl(p, "http://h/1MB.bin"), 3);
    EXPECT_EQ(LastPresetByUrl(p, "http://h/1MB.bin?x"), -1);
}

TEST_F(DownloadEngineTest, ManualStartRefusals)
{
    struct Row {
        std::string box;
        bool network;
        std::string warning;
    };
    for (const Row& r : {Row{"", true, download_text::kNoUrl}, Row{" \t\r\n", true, download_text::kNoUrl},
                         Row{"http://h/1MB.bin", false, download_text::kNoNetwork}}) {
        Script script;
        Events events;
        flags::autoAbortArmed = 1;
        auto test = engine(script, events, r.network);
        EXPECT_FALSE(test->StartManualTest(r.box));
        EXPECT_EQ(events.events, std::vector<std::string>{"warning:" + r.warning});
        EXPECT_TRUE(script.urls.empty());
        EXPECT_EQ(flags::autoAbortArmed.load(), 1); // a refused start leaves automatic testing armed
        EXPECT_EQ(flags::downloadTestRunning.load(), 0);
    }
}

TEST_F(DownloadEngineTest, ManualRunTicksTheTimerAndEndsWithTheRecord)
{
    Script script;
    script.contentLength = 4 * 1048576;
    script.connectMs = 3;
    script.loadMs = 2600;
    script.steps = {65536, 0, 1048576, 131072};
    Events events;
    auto test = engine(script, events);
    std::vector<FileDownloadTest::Tick> ticks;
    // The page's timer, one tick a second, here one per step.
    script.afterStep = [&] { ticks.push_back(test->OnTimer()); };
    ASSERT_EQ(test->ChoosePreset("10MB测试文件"), "http://h/10MB.bin");
    flags::autoAbortArmed = 1;
    // What the box holds after 1124, pasted with a line end.
    ASSERT_TRUE(test->StartManualTest("http://h/10MB.bin\n"));
    test->waitForManualRun();

    EXPECT_EQ(flags::autoAbortArmed.load(), 0);
    EXPECT_EQ(flags::downloadTestRunning.load(), 0);
    EXPECT_EQ(script.urls, std::vector<std::string>{"http://h/10MB.bin"});
    EXPECT_EQ(script.timeout, 30);
    EXPECT_EQ(events.events, (std::vector<std::string>{"started:1", "loadEnded", "1125", "1126", "ended:completed"}));
    EXPECT_EQ(clock.sleeps(), 1); // the second after the load, on the injected clock

    struct Want {
        const char* downloaded;
        std::uint64_t second;
        double point;
    };
    const Want want[] = {{"64.00", 65536, 0.5}, {"64.00", 0, 0}, {"1088.00", 1048576, 4}, {"1216.00", 131072, 1}};
    ASSERT_EQ(ticks.size(), 4u);
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(ticks[i].active);
        EXPECT_EQ(ticks[i].labels.totalSize, "4096.00");
        EXPECT_EQ(ticks[i].labels.connectTime, "0.00");
        EXPECT_EQ(ticks[i].labels.downloaded, want[i].downloaded);
        EXPECT_EQ(ticks[i].lastSecondBytes, want[i].second);
        EXPECT_EQ(ticks[i].pointIndex, static_cast<int>(i));
        EXPECT_NEAR(ticks[i].pointValue, want[i].point, 1e-12);
    }
    EXPECT_EQ(events.final.loadingTime, "2.60");
    EXPECT_EQ(events.final.averageSpeed, "467.69");

    ServiceClock service("", nullptr, std::shared_ptr<Clock>(&clock, [](Clock*) {}));
    ResultRecorder recorder(inst.path(), service, nullptr);
    const auto result = test->OnRecordReady(recorder, nullptr, "");
    ASSERT_TRUE(result.written);
    EXPECT_TRUE(result.record.latestResultText.empty()); // manual
    EXPECT_FALSE(test->OnRecordReady(recorder, nullptr, "").written);
    const auto history = ReadHistoryFile(historyFilePath(inst.path(), "10001"));
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].at(1), "手动");
    EXPECT_EQ(history[0].at(3), "10MB测试文件");
    EXPECT_EQ(history[0].at(4), "467.69 KB/s");
}

TEST_F(DownloadEngineTest, ManualFailuresWarnAndRecordNothing)
{
    const std::string noSize = std::string("message:") + download_text::kNoSize;
    struct Row {
        std::string url;
        std::int64_t length;
        bool requested;
        std::vector<std::string> events;
    };
    for (const Row& r : {
             Row{"http://h/missing.bin", 0, true, {"started:1", "loadEnded", noSize, "ended:no-size"}},
             Row{"https://h/1MB.bin", 0, false, {"started:1", "loadEnded", noSize, "ended:bad-url"}},
             Row{"http://h/a\x01.bin", 0, false, {"started:1", "loadEnded", noSize, "ended:bad-url"}},
             Row{"h/1MB.bin", 0, false, {"started:1", "loadEnded", noSize, "ended:bad-url"}},
             // Headers, then not one byte: the figures are shown, no record.
             Row{"http://h/stall.bin", 4096, true, {"started:1", "loadEnded", "1125", "ended:no-body"}},
         }) {
        SCOPED_TRACE(r.url);
        Script script;
        script.contentLength = r.length;
        script.loadMs = 3000;
        Events events;
        auto test = engine(script, events);
        ASSERT_TRUE(test->StartManualTest(r.url));
        test->waitForManualRun();
        EXPECT_EQ(script.urls.size(), r.requested ? 1u : 0u);
        EXPECT_EQ(events.events, r.events);
        ServiceClock service("", nullptr, std::shared_ptr<Clock>(&clock, [](Clock*) {}));
        ResultRecorder recorder(inst.path(), service, nullptr);
        EXPECT_FALSE(test->OnRecordReady(recorder, nullptr, "").written);
        EXPECT_FALSE(std::filesystem::exists(inst / "Data"));
    }
}

TEST_F(DownloadEngineTest, AutomaticRunsPickATargetAndReport)
{
    struct Row {
        std::vector<std::string> targets;
        bool network;
        std::int64_t length;
        int stop;
        int result;
        std::size_t records;
        std::string name;
    };
    // The injected generator gives 7: 7 % 3 picks the second.
    const std::vector<std::string> three = {"http://h/a.bin", "http://h/10MB.bin", "http://h/5MB.bin?x=1,2"};
    for (const Row& r : {
             Row{three, true, 1000, 0, 2, 1, "10MB测试文件"},
             Row{three, true, 0, 0, 1, 0, "10MB测试文件"},
             Row{three, true, 1000, 0, 1, 0, "10MB测试文件"}, // no body byte (steps below)
             Row{three, true, 1000, 1, 2, 0, "10MB测试文件"},
             Row{{}, true, 1000, 0, 0, 0, ""},
             Row{three, false, 1000, 0, 0, 0, ""},
         }) {
        SCOPED_TRACE(std::to_string(r.targets.size()) + " targets, length " + std::to_string(r.length));
        Script script;
        script.contentLength = r.length;
        script.loadMs = 1000;
        if (r.result != 1)
            script.steps = {1000};
        Events events;
        auto test = engine(script, events, r.network, r.targets);
        flags::stopRequested = r.stop;
        EXPECT_EQ(test->RunAutoTest(false, true), r.result);
        EXPECT_EQ(events.records.size(), r.records);
        EXPECT_EQ(flags::completedTaskCount.load(), static_cast<int>(r.records));
        EXPECT_EQ(test->currentName(), r.name);
        EXPECT_EQ(flags::downloadTestRunning.load(), 0);
        test::resetFlags();
    }
}

TEST_F(DownloadEngineTest, AutomaticTargetOutsideThePresetsIsNamedByItsFile)
{
    Script script;
    script.contentLength = 3072;
    script.loadMs = 1500;
    script.steps = {3072};
    Events events;
    auto test = engine(script, events, true, {"http://h/dir/a,b;c.iso?token=1"});
    inst.write("conf/l_c_config_01.properties", "#user config\r\nuserid=10001\r\n");
    ASSERT_EQ(test->ChoosePreset("5MB测试文件"), "http://h/5MB.bin"); // picked earlier by hand
    flags::autoMode = 1;
    EXPECT_EQ(test->RunAutoTest(false, true), 2);
    // Not the file picked before; nothing in it that splits a history entry.
    EXPECT_EQ(test->currentName(), "a b c.iso");
    EXPECT_NE(inst.read("auto.txt").find("http://h/dir/a,b;c.iso?token=1"), std::string::npos);

    ServiceClock service("", nullptr, std::shared_ptr<Clock>(&clock, [](Clock*) {}));
    ResultRecorder recorder(inst.path(), service, nullptr);
    const auto result = test->OnRecordReady(recorder, nullptr, "");
    ASSERT_TRUE(result.written);
    EXPECT_EQ(result.record.fileName, "Pccollect_filedown_2024010203.dat");
    EXPECT_EQ(inst.read("Data/Pccollect_filedown_2024010203.dat"), test::readFile(kExpected / "filedown_auto.dat"));
    EXPECT_EQ(inst.read("HistoryRecord/HistoryRecord10001.txt"),
              "2024-01-02 03:04:05,自动,文件下载,a b c.iso,2.00 KB/s;\n");
    EXPECT_EQ(result.record.latestResultText,
              "最近一次文件下载结果：\n文件类型：a b c.iso\n平均速率：2.00 KB/s\n 测速时间：2024-01-02 03:04:05");
}
