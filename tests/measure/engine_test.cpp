// The bandwidth test's runs with the network replaced at its seams: the key
// requests answer from a table, the transfers hand over scripted samples
// (through the real sampler), the clock steps. The transfers themselves are
// exercised against the reference service in refsvc_test.cpp.
#include "measure/bandwidth_test.h"
#include "measure/support.h"
#include "results/history.h"
#include "results/record.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>

using namespace quorvane;
using namespace quorvane::measure;
using namespace std::chrono_literals;
using ::testing::MatchesRegex;

namespace
{

constexpr std::uint64_t MB = 1048576;
const std::filesystem::path kExpected = std::filesystem::path(QUORVANE_SOURCE_DIR) / "tests/measure/expected";
const char* kMac = "02-00-00-00-00-01";

Samples steady(std::uint64_t bytes)
{
    return Samples(15, bytes);
}

// What the page would have shown, in order.
class RecordingObserver : public BandwidthObserver
{
public:
    bool yes = true;
    std::vector<std::string> events;
    std::vector<std::string> questions;
    std::vector<BandwidthRun> completed;
    std::function<void(Direction, int)> onSample;

    void showWarning(const std::string& text) override { add("warning:" + text); }
    bool askYesNo(const std::string& text) override
    {
        questions.push_back(text);
        return yes;
    }
    void manualRunStarted() override { add("started"); }
    void message(const std::string& text) override { add("message:" + text); }
    void sample(Direction d, int index, std::uint64_t) override
    {
        if (onSample)
            onSample(d, index);
    }
    void gaugeSpeed(int kilobits) override
    {
        if (kilobits == 0)
            add("gauge:0");
    }
    void directionDone(const DirectionSummary& s) override
    {
        add(s.direction == Direction::Download ? "done:download" : "done:upload");
    }
    void rankPosition(int pixels) override { add("rank:" + std::to_string(pixels)); }
    void recordReady(const BandwidthRun& run) override
    {
        std::lock_guard lock(m_mutex);
        completed.push_back(run);
        events.push_back("completed");
    }
    void runEnded(const BandwidthRun& run) override { add(std::string("ended:") + OutcomeName(run.outcome)); }

    std::vector<std::string> snapshot() const
    {
        std::lock_guard lock(m_mutex);
        return events;
    }

private:
    void add(const std::string& e)
    {
        std::lock_guard lock(m_mutex);
        events.push_back(e);
    }
    mutable std::mutex m_mutex;
};

class BandwidthEngineTest : public ::testing::Test
{
protected:
    std::unique_ptr<test::Installation> inst = std::make_unique<test::Installation>();
    std::shared_ptr<test::SteppingClock> clock =
        std::make_shared<test::SteppingClock>(test::localTime(2024, 1, 2, 3, 4, 5), 1ms);
    RecordingObserver observer;

    // Key requests: answers taken in turn (result, text); every URL seen.
    std::deque<std::pair<int, std::string>> answers;
    std::vector<std::string> validations;
    std::vector<std::pair<std::string, std::string>> releases; // url, body
    std::function<void()> duringValidation;

    // Transfers: samples per direction, and what they were asked.
    std::map<Direction, Samples> samples{{Direction::Download, steady(MB)}, {Direction::Upload, steady(MB)}};
    std::map<Direction, std::function<void(int)>> duringTransfer; // called before each sample
    std::vector<std::pair<std::string, std::string>> transfers;   // url, local file

    bool network = true;
    std::deque<int> randoms{4242, 16384};
    Pinger pinger;

    void SetUp() override
    {
        test::resetFlags();
        inst->write("conf/l_c_config_01.properties", "#user config\r\nuserid=10001\r\nupload_method=m1\r\n");
    }
    void TearDown() override { test::resetFlags(); }

    std::unique_ptr<BandwidthTest> engine()
    {
        BandwidthTestSettings s;
        s.installDir = inst->path();
        s.clock = clock;
        s.validate = [this](const std::string& verb, const std::string& url, const std::string&, std::string& out) {
            EXPECT_EQ(verb, "GET");
            validations.push_back(url);
            if (duringValidation)
                duringValidation();
            if (answers.empty())
                return 1;
            auto [result, text] = answers.front();
            answers.pop_front();
            out = text;
            return result;
        };
        s.release = [this](const std::string& verb, const std::string& url, const std::string& body, std::string&) {
            EXPECT_EQ(verb, "POST");
            releases.emplace_back(url, body);
            return 0;
        };
        s.networkAlive = [this] { return network; };
        s.random = [this] {
            if (randoms.empty())
                return 7;
            const int v = randoms.front();
            randoms.pop_front();
            return v;
        };
        s.macAddress = [] { return std::string(kMac); };
        s.operators = [] { return std::vector<std::string>{"电信", "联通", "移动"}; };
        s.provinces = [] { return std::vector<std::string>{"北京", "广东"}; };
        s.pinger = pinger;
        s.measureDirection = [this](Direction d, const std::string& url, const std::string& localFile,
                                    const SampleEvents& events) {
            transfers.emplace_back(url, localFile);
            return scripted(d, events);
        };
        auto e = std::make_unique<BandwidthTest>(std::move(s), &observer);
        e->setUser({"10001", "测速达人", "10.1.2.3", "广东省深圳市", "电信"});
        e->Initialise();
        return e;
    }

    // The real sampler over a counter that grows by the scripted samples.
    DirectionSummary scripted(Direction d, const SampleEvents& events)
    {
        auto own = std::make_shared<test::SteppingClock>(test::localTime(2024, 1, 2, 3, 4, 5));
        SamplerSettings settings;
        settings.clock = own;
        settings.logFile = *inst / "logfile.txt";
        const Samples& list = samples[d];
        std::size_t reads = 0;
        std::uint64_t total = 0;
        auto bytes = [&] {
            if (reads > 0 && reads <= list.size())
                total += list[reads - 1];
            ++reads;
            return total;
        };
        // The transfer "runs" while samples are left; the hook may stop it.
        bool running = true;
        auto isRunning = [&] {
            if (duringTransfer[d])
                duringTransfer[d](static_cast<int>(reads));
            if (reads > list.size() || (flags::autoAbortArmed && flags::stopRequested))
                running = false;
            return running;
        };
        return SampleDirection(d, own->now(), bytes, isRunning, settings, events);
    }

    std::size_t keysReleased(const std::string& key) const
    {
        std::size_t n = 0;
        for (const auto& [url, body] : releases)
            n += url == "http://127.0.0.6:8080/speed/dovalid?" && body == "key=" + key;
        return n;
    }
};

Samples rampThen(Samples counted, Samples ramp)
{
    ramp.insert(ramp.end(), counted.begin(), counted.end());
    return ramp;
}

} // namespace

TEST_F(BandwidthEngineTest, AutomaticRunWritesTheRecordAndHistoryByteForByte)
{
    samples[Direction::Download] = rampThen(
        {12 * MB, 12 * MB, 10 * MB, 12 * MB, 12 * MB, 12 * MB, 10 * MB, 12 * MB, 12 * MB, 12 * MB}, {1, 2, 3, 4, 5});
    samples[Direction::Upload] =
        rampThen({2 * MB, 2 * MB, 0, 2 * MB, 2 * MB, 2 * MB, 2 * MB, 2 * MB, 2 * MB, 2 * MB}, {0, 0, 0, 0, 0});
    pinger = [](const std::string& host) -> std::optional<double> {
        EXPECT_EQ(host, "127.0.0.6");
        return 13.4;
    };
    answers = {{0, "1,K123"}};
    flags::autoMode = 1;
    flags::autoAbortArmed = 1;
    auto test = engine();
    ASSERT_TRUE(test->saveContractBandwidth("3"));

    EXPECT_EQ(test->RunAutoTest(false, true), 2);
    EXPECT_EQ(flags::completedTaskCount.load(), 1);
    ASSERT_EQ(validations.size(), 1u);
    EXPECT_EQ(validations[0], "http://127.0.0.6:8080/speed/dovalid?key=4242&flag=false");
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_THAT(transfers[0].first,
                MatchesRegex(R"(http://127\.0\.0\.6:8080/speed/download\.dat\?r=[0-9]+\.50001525925473800&key=K123)"));
    EXPECT_EQ(transfers[0].second, "");
    EXPECT_THAT(transfers[1].first,
                MatchesRegex(R"(http://127\.0\.0\.6:8080/speed/doload\.do\?r=[0-9]+\.50001525925473800&key=K123)"));
    EXPECT_EQ(transfers[1].second, (*inst / "conf/upload.dat").string());
    EXPECT_EQ(keysReleased("K123"), 1u);
    ASSERT_EQ(observer.completed.size(), 1u);
    EXPECT_EQ(observer.completed[0].latency.idleCount + observer.completed[0].latency.downloadCount +
                      observer.completed[0].latency.uploadCount >=
                  3,
              true);

    test::SteppingClock recordClock(test::localTime(2024, 1, 2, 3, 4, 5));
    std::shared_ptr<Clock> fixed(&recordClock, [](Clock*) {});
    ServiceClock service("", nullptr, fixed);
    ResultRecorder recorder(inst->path(), service, nullptr);
    const auto result = test->OnRecordReady(recorder, nullptr, "");
    ASSERT_TRUE(result.written);
    EXPECT_EQ(result.record.fileName, "Pccollect_band_2024010203.dat");
    EXPECT_EQ(inst->read("Data/Pccollect_band_2024010203.dat"), test::readFile(kExpected / "band_auto.dat"));
    EXPECT_EQ(inst->read("HistoryRecord/HistoryRecord10001.txt"), test::readFile(kExpected / "history_auto.txt"));
    EXPECT_EQ(result.record.latestResultText,
              "最近一次带宽测速结果：\n测速服务器：广东深圳电信\n估算带宽：92.8Mb/s\n测速时间：2024-01-02 03:04:05");

    // One run, one record, however often the message comes.
    EXPECT_FALSE(test->OnRecordReady(recorder, nullptr, "").written);
    EXPECT_EQ(ReadHistoryFile(historyFilePath(inst->path(), "10001")).size(), 1u);

    const std::string log = inst->read("logfile.txt");
    EXPECT_NE(
        log.find("servername：广东深圳电信  downfile：download.dat  upfile：conf/upload.dat  服务器时延：13.000000ms"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("10次平均下载速率：11.60MB  下行带宽：92.8Mb  10次抖动率：0.068966"), std::string::npos);
    const std::string autoLog = inst->read("auto.txt");
    EXPECT_NE(autoLog.find("省份：广东..地市：深圳..网络类型：电信"), std::string::npos);
    EXPECT_NE(autoLog.find("Begin..执行请求验证接口..127.0.0.6"), std::string::npos);
    EXPECT_NE(autoLog.find("end..执行请求验证接口..0..1,K123"), std::string::npos);
}

TEST_F(BandwidthEngineTest, KeyAnswersDecideTheAutomaticResult)
{
    struct Case {
        const char* what;
        int result;
        std::string answer;
        int returned;
        RunOutcome outcome;
        std::string pending;
        std::size_t transfers;
        const char* released; // key released at the end, or null
    };
    const Case cases[] = {
        {"go on", 0, "1,ABC", 2, RunOutcome::Completed, "", 2, "ABC"},
        {"go on, answer ends with a line end", 0, "1,ABC\r\n", 2, RunOutcome::Completed, "", 2, "ABC"},
        {"busy", 0, "0,", 0, RunOutcome::Busy, "", 0, nullptr},
        {"come back later", 0, "2,LATER", 1, RunOutcome::ComeBackLater, "LATER", 0, nullptr},
        {"empty answer", 0, "", 0, RunOutcome::ValidationFailed, "", 0, nullptr},
        {"one character", 0, "1", 0, RunOutcome::ValidationFailed, "", 0, nullptr},
        {"status and separator only", 0, "1,", 0, RunOutcome::ValidationFailed, "", 0, nullptr},
        {"an error page", 0, "<html><body><h1>Service temporarily unavailable</h1></body></html>", 0,
         RunOutcome::ValidationFailed, "", 0, nullptr},
        {"unknown status", 0, "3,ABC", 0, RunOutcome::ValidationFailed, "", 0, nullptr},
        {"a key too long for a URL", 0, "1," + std::string(5000, 'K'), 0, RunOutcome::ValidationFailed, "", 0, nullptr},
        {"a key with blanks", 0, "1,A B", 0, RunOutcome::ValidationFailed, "", 0, nullptr},
        {"no connection", 1, "", 0, RunOutcome::ValidationFailed, "", 0, nullptr},
        {"time-out", 2, "", 0, RunOutcome::ValidationFailed, "", 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        answers = {{c.result, c.answer}};
        transfers.clear();
        releases.clear();
        flags::autoMode = 1;
        auto test = engine();
        EXPECT_EQ(test->RunAutoTest(false, true), c.returned);
        EXPECT_EQ(test->lastRun().outcome, c.outcome) << OutcomeName(test->lastRun().outcome);
        EXPECT_EQ(test->pendingKey(), c.pending);
        EXPECT_EQ(transfers.size(), c.transfers);
        EXPECT_EQ(releases.size(), c.released ? 1u : 0u);
        if (c.released) {
            EXPECT_EQ(keysReleased(c.released), 1u);
        }
    }
}

TEST_F(BandwidthEngineTest, ComeBackLaterKeepsTheKeyForExactlyTheNextCall)
{
    answers = {{0, "2,DEFER1"}, {0, "1,DEFER1"}, {0, "2,DEFER2"}, {0, "0,"}, {0, "1,NEW"}};
    randoms = {11, 22, 33, 44, 55, 66};
    flags::autoMode = 1;
    auto test = engine();
    EXPECT_EQ(test->RunAutoTest(false, true), 1);
    EXPECT_EQ(test->pendingKey(), "DEFER1");
    EXPECT_EQ(test->RunAutoTest(true, true), 2);
    EXPECT_EQ(test->pendingKey(), "");
    EXPECT_EQ(test->RunAutoTest(false, true), 1);
    // A busy answer still clears the stored key.
    EXPECT_EQ(test->RunAutoTest(true, true), 0);
    EXPECT_EQ(test->pendingKey(), "");
    EXPECT_EQ(test->RunAutoTest(true, true), 2);
    ASSERT_EQ(validations.size(), 5u);
    EXPECT_THAT(validations[0], ::testing::EndsWith("?key=11&flag=false"));
    EXPECT_THAT(validations[1], ::testing::EndsWith("?key=DEFER1&flag=false"));
    EXPECT_THAT(validations[3], ::testing::EndsWith("?key=DEFER2&flag=false"));
    EXPECT_THAT(validations[4], MatchesRegex(".*\\?key=[0-9]+&flag=false"));
    EXPECT_EQ(keysReleased("DEFER1"), 1u);
    EXPECT_EQ(keysReleased("DEFER2"), 0u);
    EXPECT_EQ(keysReleased("NEW"), 1u);
    EXPECT_EQ(flags::completedTaskCount.load(), 2);
}

TEST_F(BandwidthEngineTest, ADeferredKeyIsGivenBackAndRetriedOnlyWhereItWasIssued)
{
    answers = {{0, "2,LATER"}, {0, "1,LATER"}, {0, "2,AGAIN"}, {0, "1,FRESH"}};
    flags::autoMode = 1;
    auto test = engine();
    ASSERT_EQ(test->RunAutoTest(false, true), 1);
    // Another server would be drawn now; the stored key still goes home.
    test->setServerOverride("北京联通");
    EXPECT_EQ(test->RunAutoTest(true, true), 2);
    EXPECT_EQ(test->lastRun().serverName, "广东深圳电信");
    EXPECT_EQ(keysReleased("LATER"), 1u);

    // The retry is called off (the machine got busy): the scheduler's
    // release gives the deferred key back to the server that issued it.
    ASSERT_EQ(test->RunAutoTest(false, true), 1);
    test->ReleaseCurrentKey();
    test->ReleaseCurrentKey(); // once is enough
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_EQ(releases[1],
              std::make_pair(std::string("http://127.0.0.2:8080/speed/dovalid?"), std::string("key=AGAIN")));
    EXPECT_EQ(test->RunAutoTest(false, true), 2);

    ASSERT_EQ(validations.size(), 4u);
    EXPECT_THAT(validations[0], ::testing::StartsWith("http://127.0.0.6:8080/speed/dovalid?key="));
    EXPECT_EQ(validations[1], "http://127.0.0.6:8080/speed/dovalid?key=LATER&flag=false");
    EXPECT_THAT(validations[2], ::testing::StartsWith("http://127.0.0.2:8080/"));
}

TEST_F(BandwidthEngineTest, AResultIsManualOrAutomaticAsItsRunStarted)
{
    // The flag changes between run and record (the stop dialog clears it
    // while a round's result is still on its way).
    struct Case {
        bool automatic;
        int autoModeAtStart, autoModeAtRecord;
        const char* mode;
        const char* testtype;
    };
    const Case cases[] = {
        {true, 1, 0, "自动", "testtype=0\n"},
        {false, 1, 1, "手动", "testtype=1\n"},
        {false, 0, 1, "手动", "testtype=1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        inst = std::make_unique<test::Installation>();
        SetUp();
        answers = {{0, "1,K"}};
        flags::autoMode = c.autoModeAtStart;
        auto test = engine();
        test->setServerOverride("广东深圳电信");
        ASSERT_EQ(test->RunAutoTest(false, c.automatic), 2);
        flags::autoMode = c.autoModeAtRecord;
        test::SteppingClock recordClock(test::localTime(2024, 1, 2, 3, 4, 5));
        std::shared_ptr<Clock> fixed(&recordClock, [](Clock*) {});
        ServiceClock service("", nullptr, fixed);
        ResultRecorder recorder(inst->path(), service, nullptr);
        const auto result = test->OnRecordReady(recorder, nullptr, "");
        ASSERT_TRUE(result.written);
        EXPECT_THAT(inst->read("Data/Pccollect_band_2024010203.dat"), ::testing::HasSubstr(c.testtype));
        EXPECT_THAT(inst->read("HistoryRecord/HistoryRecord10001.txt"),
                    ::testing::HasSubstr(std::string(",") + c.mode + ",带宽测速,"));
        EXPECT_EQ(result.record.latestResultText.empty(), !c.automatic);
    }
}

TEST_F(BandwidthEngineTest, AStopInAnyPhaseEndsWithoutRecordAndGivesTheKeyBack)
{
    struct Case {
        const char* phase;
        std::size_t transfers;
        std::size_t downloadSamples;
    };
    const Case cases[] = {{"validation", 0, 0}, {"download", 1, 4}, {"upload", 2, 15}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.phase);
        test::resetFlags();
        flags::autoMode = 1;
        flags::autoAbortArmed = 1;
        answers = {{0, "1,STOPKEY"}};
        transfers.clear();
        releases.clear();
        observer.completed.clear();
        const std::string phase = c.phase;
        duringValidation = [phase] {
            if (phase == "validation")
                flags::stopRequested = 1;
        };
        auto stopAt = [](int read) -> std::function<void(int)> {
            return [read](int reads) {
                if (reads == read)
                    flags::stopRequested = 1;
            };
        };
        duringTransfer[Direction::Download] = phase == "download" ? stopAt(5) : std::function<void(int)>();
        duringTransfer[Direction::Upload] = phase == "upload" ? stopAt(9) : std::function<void(int)>();
        auto test = engine();
        EXPECT_EQ(test->RunAutoTest(false, true), 0);
        const BandwidthRun run = test->lastRun();
        EXPECT_EQ(run.outcome, RunOutcome::Stopped) << OutcomeName(run.outcome);
        EXPECT_EQ(transfers.size(), c.transfers);
        EXPECT_EQ(run.download.samples.size(), c.downloadSamples);
        EXPECT_EQ(keysReleased("STOPKEY"), 1u);
        EXPECT_TRUE(observer.completed.empty());
        EXPECT_EQ(flags::completedTaskCount.load(), 0);

        ServiceClock service("", nullptr, clock);
        ResultRecorder recorder(inst->path(), service, nullptr);
        EXPECT_FALSE(test->OnRecordReady(recorder, nullptr, "").written);
        EXPECT_FALSE(std::filesystem::exists(*inst / "Data"));
    }
}

TEST_F(BandwidthEngineTest, MissingFilesAndShortDirectionsGiveNoRecord)
{
    struct Case {
        const char* what;
        std::function<void()> prepare;
        RunOutcome outcome;
        std::size_t transfers;
    };
    const Case cases[] = {
        {"no url_down_file", [&] { inst->setConfig("url_down_file", ""); }, RunOutcome::NoDownloadFile, 0},
        {"no upload_local_file_path", [&] { inst->setConfig("upload_local_file_path", ""); }, RunOutcome::NoUploadFile,
         1},
        {"upload file not there", [&] { std::filesystem::remove(*inst / "conf/upload.dat"); }, RunOutcome::NoUploadFile,
         1},
        {"download ends after 7 samples", [&] { samples[Direction::Download].resize(7); }, RunOutcome::Incomplete, 2},
        {"server stops answering: upload counts nothing",
         [&] {
             samples[Direction::Upload] = rampThen(Samples(10, 0), {MB, MB, MB, MB, MB});
         },
         RunOutcome::Incomplete, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Each case in a fresh copy of the installation.
        inst.reset();
        inst = std::make_unique<test::Installation>();
        SetUp();
        samples = {{Direction::Download, steady(MB)}, {Direction::Upload, steady(MB)}};
        c.prepare();
        answers = {{0, "1,K"}};
        transfers.clear();
        releases.clear();
        observer.completed.clear();
        flags::autoMode = 1;
        auto test = engine();
        EXPECT_EQ(test->RunAutoTest(false, true), 0);
        EXPECT_EQ(test->lastRun().outcome, c.outcome) << OutcomeName(test->lastRun().outcome);
        EXPECT_EQ(transfers.size(), c.transfers);
        EXPECT_EQ(releases.size(), 1u);
        EXPECT_TRUE(observer.completed.empty());
        ServiceClock service("", nullptr, clock);
        ResultRecorder recorder(inst->path(), service, nullptr);
        EXPECT_FALSE(test->OnRecordReady(recorder, nullptr, "").written);
        EXPECT_FALSE(std::filesystem::exists(*inst / "Data"));
    }
}

TEST_F(BandwidthEngineTest, ManualRunShowsEachDirectionPausesAndRanks)
{
    answers = {{0, "1,MANUAL"}};
    flags::autoAbortArmed = 1; // left armed by automatic testing: a manual start clears it
    auto test = engine();
    test->setSelection("广东", "广东深圳电信");
    const auto before = clock->wallNow();
    ASSERT_TRUE(test->StartManualTest());
    EXPECT_EQ(flags::autoAbortArmed.load(), 0);
    test->waitForManualRun();

    EXPECT_EQ(observer.snapshot(),
              (std::vector<std::string>{"started", "gauge:0", "done:download", "gauge:0", "done:upload", "rank:378",
                                        "completed", "ended:completed"}));
    EXPECT_TRUE(observer.questions.empty());
    EXPECT_EQ(flags::bandwidthTestRunning.load(), 0);
    EXPECT_EQ(clock->wallNow() - before, 2000ms); // the pause between the directions
    ASSERT_EQ(validations.size(), 1u);
    EXPECT_EQ(validations[0], "http://127.0.0.6:8080/speed/dovalid?key=4242&flag=true");
    EXPECT_EQ(keysReleased("MANUAL"), 1u);

    ServiceClock service("", nullptr, clock);
    ResultRecorder recorder(inst->path(), service, nullptr);
    const auto result = test->OnRecordReady(recorder, nullptr, "");
    ASSERT_TRUE(result.written);
    EXPECT_EQ(result.record.latestResultText, "");
    const std::string record = inst->read("Data/" + result.record.fileName);
    EXPECT_NE(record.find("\ntesttype=1\n"), std::string::npos);
    EXPECT_NE(record.find("\nrealbandwidth=null\n"), std::string::npos);
    EXPECT_NE(record.find("\nbandwidth=8.0\n"), std::string::npos);
    EXPECT_THAT(inst->read("HistoryRecord/HistoryRecord10001.txt"),
                MatchesRegex(".*,手动,带宽测速,广东深圳电信,8.0Mb/s;\n"));

    // The automatic run has no pause.
    answers = {{0, "1,AUTO"}};
    flags::autoMode = 1;
    const auto autoStart = clock->wallNow();
    EXPECT_EQ(test->RunAutoTest(false, true), 2);
    EXPECT_EQ(clock->wallNow() - autoStart, 0ms);
}

TEST_F(BandwidthEngineTest, ManualRunTellsWhyItStopped)
{
    struct Case {
        const char* what;
        int result;
        std::string answer;
        std::vector<std::string> events;
        std::size_t releases;
    };
    const std::string busy = std::string("message:") + bandwidth_text::kServerBusy;
    const std::string failed = std::string("message:") + bandwidth_text::kValidationFailed;
    const Case cases[] = {
        {"busy", 0, "0,", {"started", busy, "ended:busy"}, 0},
        {"empty answer", 0, "", {"started", failed, "ended:validation-failed"}, 0},
        {"one character", 0, "1", {"started", failed, "ended:validation-failed"}, 0},
        {"an error page", 0, "<html><body>busy</body></html>", {"started", failed, "ended:validation-failed"}, 0},
        {"a very long answer", 0, "1," + std::string(100000, 'x'), {"started", failed, "ended:validation-failed"}, 0},
        {"never answers", 2, "", {"started", failed, "ended:validation-failed"}, 0},
        {"come back later: a manual run goes on",
         0,
         "2,LATER",
         {"started", "gauge:0", "done:download", "gauge:0", "done:upload", "rank:378", "completed", "ended:completed"},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        answers = {{c.result, c.answer}};
        releases.clear();
        observer.events.clear();
        auto test = engine();
        test->setSelection("广东", "广东深圳电信");
        ASSERT_TRUE(test->StartManualTest());
        test->waitForManualRun();
        EXPECT_EQ(observer.snapshot(), c.events);
        EXPECT_EQ(releases.size(), c.releases);
        EXPECT_EQ(flags::bandwidthTestRunning.load(), 0);
    }
}

TEST_F(BandwidthEngineTest, ManualStartChecksNetworkChoiceAndMatch)
{
    struct Case {
        const char* what;
        bool network;
        std::string province, server;
        bool yes;
        bool started;
        std::vector<std::string> events;
        bool asked;
    };
    const std::string noNetwork = std::string("warning:") + bandwidth_text::kNoNetwork;
    const std::string noServer = std::string("warning:") + bandwidth_text::kNoServer;
    const Case cases[] = {
        {"no network", false, "广东", "广东深圳电信", true, false, {noNetwork}, false},
        {"no province chosen", true, "", "广东深圳电信", true, false, {noServer}, false},
        {"no server chosen", true, "广东", "", true, false, {noServer}, false},
        {"another server, declined", true, "广东", "广东广州电信", false, false, {}, true},
        {"another province, declined", true, "北京", "北京联通", false, false, {}, true},
        {"another server, accepted", true, "广东", "广东广州电信", true, true, {"started"}, true},
        {"the recommended server", true, "广东", "广东深圳电信", true, true, {"started"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        network = c.network;
        observer.yes = c.yes;
        observer.events.clear();
        observer.questions.clear();
        answers = {{0, "0,"}};
        auto test = engine();
        test->setSelection(c.province, c.server);
        EXPECT_EQ(test->StartManualTest(), c.started);
        test->waitForManualRun();
        auto events = observer.snapshot();
        if (c.started)
            events.resize(1);
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(observer.questions,
                  c.asked ? std::vector<std::string>{bandwidth_text::kMismatch} : std::vector<std::string>{});
        EXPECT_EQ(validations.empty(), !c.started);
        validations.clear();
    }
}

TEST_F(BandwidthEngineTest, UnknownServerFailsValidationWithoutARequest)
{
    flags::autoMode = 1;
    auto test = engine();
    test->setServerOverride("火星电信");
    EXPECT_EQ(test->RunAutoTest(false, true), 0);
    EXPECT_EQ(test->lastRun().outcome, RunOutcome::NoServer);
    EXPECT_TRUE(validations.empty());

    test->setServerOverride("");
    test->setSelection("广东", "火星电信");
    flags::autoMode = 0;
    ASSERT_TRUE(test->StartManualTest());
    test->waitForManualRun();
    EXPECT_EQ(observer.snapshot().back(), "ended:validation-failed");
    EXPECT_TRUE(validations.empty());
}

TEST(BandwidthKeys, AnswersSplitIntoStatusAndKey)
{
    struct Case {
        int result;
        std::string answer;
        const char *status, *key;
    };
    const Case cases[] = {
        {0, "1,0123456789ABCDEF", "1", "0123456789ABCDEF"},
        {0, "2;KEY", "2", "KEY"}, // any separator
        {0, "1,KEY\n", "1", "KEY"},
        {0, "0,", "0", ""},
        {0, "0", "0", ""},
        {0, "", "", ""},
        {0, "1,k\x01y", "1", ""}, // control character
        {0, "1,键", "1", ""},     // not ASCII
        {0, "1," + std::string(128, 'a'), "1", nullptr},
        {0, "1," + std::string(129, 'a'), "1", ""},
        {1, "1,KEY", "", ""}, // a failed request has no answer
        {2, "1,KEY", "", ""},
    };
    for (const auto& c : cases) {
        const KeyAnswer a = ParseKeyAnswer(c.result, c.answer);
        EXPECT_EQ(a.status, c.status) << c.answer;
        EXPECT_EQ(a.key, c.key ? std::string(c.key) : std::string(128, 'a')) << c.answer;
        EXPECT_EQ(a.raw, c.answer);
    }
    EXPECT_EQ(KeyQueryValue("A-b_c.9~"), "A-b_c.9~");
    EXPECT_EQ(KeyQueryValue("a&b=c#d+e%f/g"), "a%26b%3Dc%23d%2Be%25f%2Fg");
}

TEST(BandwidthContract, ChoiceIsStoredUnderTheAdapterAddressAtOnce)
{
    test::TempDir dir;
    test::writeFile(dir / "conf/ipconfig.properties", "#user config\r\nAA-BB-CC-DD-EE-FF=1\r\n");
    EXPECT_EQ(ReadContractBandwidth(dir.path(), kMac), "null");
    EXPECT_EQ(ReadContractBandwidth(dir.path(), "AA-BB-CC-DD-EE-FF"), "1");
    const std::vector<std::pair<std::string, std::string>> choices = {{"1", "2M"}, {"5", "50M"}, {"7", "1G"}};
    // The "1" of a new machine was never picked: nothing to judge against.
    EXPECT_FALSE(ReadChosenContract(dir.path(), "AA-BB-CC-DD-EE-FF", choices));
    ASSERT_TRUE(SaveContractBandwidth(dir.path(), kMac, "5"));
    ASSERT_TRUE(SaveContractBandwidth(dir.path(), "AA-BB-CC-DD-EE-FF", "7"));
    EXPECT_THAT(test::readFile(dir / "conf/ipconfig.properties"),
                MatchesRegex("#user config\r\n(#[^\r\n]*\r\n)?AA-BB-CC-DD-EE-FF=7\r\n02-00-00-00-00-01=5\r\n"
                             "contract_chosen_02-00-00-00-00-01=true\r\ncontract_chosen_AA-BB-CC-DD-EE-FF=true\r\n"));
    EXPECT_EQ(ReadContractBandwidth(dir.path(), kMac), "5");
    EXPECT_EQ(ReadChosenContract(dir.path(), kMac, choices)->mbit, 50);
    EXPECT_EQ(ReadChosenContract(dir.path(), "AA-BB-CC-DD-EE-FF", choices)->mbit, 1000);
    EXPECT_FALSE(ReadChosenContract(dir.path(), kMac, {{"1", "2M"}})); // an id the list no longer holds

    const std::vector<std::pair<std::string, std::string>> list = {{"1", "2M"}, {"2", "4M"}, {"5", "50M"}};
    EXPECT_EQ(ContractBandwidthIndex(list, "5"), 2);
    EXPECT_EQ(ContractBandwidthIndex(list, "null"), 0);
    EXPECT_EQ(ContractBandwidthIndex({}, "1"), 0);
}
