// The bandwidth test against the reference service: its key answers, its
// release counter, and one full manual run over its throttled line whose
// figures must agree with the bytes the service counted.
#include "measure/bandwidth_test.h"
#include "measure/refsvc_support.h"
#include "net/http_request.h"
#include "net/http_transfer.h"

#include <gtest/gtest.h>

#include <condition_variable>

using namespace quorvane;
using namespace quorvane::measure;
using namespace std::chrono_literals;

namespace
{

class Watcher : public BandwidthObserver
{
public:
    std::function<void(Direction, int)> onSample;
    std::vector<std::string> messages;
    void sample(Direction d, int index, std::uint64_t) override
    {
        if (onSample)
            onSample(d, index);
    }
    void message(const std::string& text) override { messages.push_back(text); }
};

class BandwidthServiceTest : public ::testing::Test
{
protected:
    void SetUp() override { test::resetFlags(); }
    void TearDown() override
    {
        test::resetFlags();
        EXPECT_TRUE(WaitForTransferThreads(10s));
    }

    std::unique_ptr<BandwidthTest> engine(const test::ServiceInstallation& s, Watcher& watcher,
                                          bool realTransfers = false)
    {
        BandwidthTestSettings settings;
        settings.installDir = s.inst.path();
        settings.pinger = TcpConnectPinger(8080);
        settings.macAddress = [] { return std::string("02-00-00-00-00-02"); };
        settings.validate = [](const std::string& verb, const std::string& url, const std::string& body,
                               std::string& out) {
            HttpOptions options;
            options.stallTimeout = 1000ms;
            return HttpRequest(verb, url, body, out, options);
        };
        if (!realTransfers) {
            settings.measureDirection = [](Direction d, const std::string&, const std::string&, const SampleEvents&) {
                DirectionSummary summary(d);
                summary.started = true;
                summary.completed = true;
                summary.samples = Samples(15, 1048576);
                return summary;
            };
        }
        auto e = std::make_unique<BandwidthTest>(std::move(settings), &watcher);
        e->setUser({"10001", "测速达人", "10.1.2.3", "广东省深圳市", "电信"});
        e->Initialise();
        e->setSelection("广东", e->recommendedServer());
        return e;
    }
};

} // namespace

TEST_F(BandwidthServiceTest, KeyAnswersOfTheServiceAndTheRelease)
{
    test::ServiceInstallation s;
    ASSERT_TRUE(s.service->ok()) << s.service->log();
    Watcher watcher;
    auto test = engine(s, watcher);
    flags::autoMode = 1;

    ASSERT_TRUE(s.keyMode("0"));
    EXPECT_EQ(test->RunAutoTest(false, true), 0);
    EXPECT_EQ(test->lastRun().outcome, RunOutcome::Busy);

    ASSERT_TRUE(s.keyMode("2"));
    EXPECT_EQ(test->RunAutoTest(false, true), 1);
    const std::string deferred = test->pendingKey();
    EXPECT_EQ(deferred.size(), 16u);
    EXPECT_EQ(s.service->counter("keys_deferred"), 1u);
    // The stored key comes back and is honoured.
    EXPECT_EQ(test->RunAutoTest(true, true), 2);
    EXPECT_EQ(test->lastRun().validation.key, deferred);
    EXPECT_EQ(s.service->counter("keys_released"), 1u);
    EXPECT_EQ(s.service->counter("keys_active"), 0u);

    struct Fault {
        const char* mode;
        RunOutcome outcome;
    };
    for (const Fault& f :
         {Fault{"close", RunOutcome::ValidationFailed}, Fault{"delay:4000", RunOutcome::ValidationFailed},
          Fault{"garbage", RunOutcome::ValidationFailed}}) {
        SCOPED_TRACE(f.mode);
        ASSERT_TRUE(s.keyMode(f.mode));
        EXPECT_EQ(test->RunAutoTest(false, true), 0);
        EXPECT_EQ(test->lastRun().outcome, f.outcome);
    }
    // A manual run tells the user.
    flags::autoMode = 0;
    ASSERT_TRUE(test->StartManualTest());
    test->waitForManualRun();
    EXPECT_EQ(watcher.messages, std::vector<std::string>{bandwidth_text::kValidationFailed});
    EXPECT_EQ(s.service->counter("keys_released"), 1u);
}

TEST_F(BandwidthServiceTest, StopDuringTheDownloadEndsTheRunAndGivesTheKeyBack)
{
    test::ServiceInstallation s;
    ASSERT_TRUE(s.service->ok()) << s.service->log();
    Watcher watcher;
    watcher.onSample = [](Direction, int index) {
        if (index == 2)
            flags::stopRequested = 1;
    };
    auto test = engine(s, watcher, true);
    flags::autoMode = 1;
    flags::autoAbortArmed = 1;
    EXPECT_EQ(test->RunAutoTest(false, true), 0);
    const BandwidthRun run = test->lastRun();
    EXPECT_EQ(run.outcome, RunOutcome::Stopped);
    EXPECT_LT(run.download.samples.size(), 15u);
    EXPECT_TRUE(run.upload.samples.empty());
    EXPECT_EQ(s.service->counter("keys_released"), 1u);
    EXPECT_FALSE(std::filesystem::exists(s.inst / "Data"));
}

// About 40 seconds: the window of each direction is fixed.
TEST_F(BandwidthServiceTest, FullManualRunAgreesWithTheBytesTheServiceCounted)
{
    test::ServiceInstallation s("40");
    ASSERT_TRUE(s.service->ok()) << s.service->log();
    s.inst.write("conf/upload.dat", std::string(8 * 1024 * 1024, 'q'));
    Watcher watcher;
    auto test = engine(s, watcher, true);
    ASSERT_TRUE(test->StartManualTest());
    test->waitForManualRun();
    const BandwidthRun run = test->lastRun();
    ASSERT_EQ(run.outcome, RunOutcome::Completed) << OutcomeName(run.outcome);
    EXPECT_TRUE(run.keyReleased);
    EXPECT_EQ(s.service->counter("keys_released"), 1u);

    auto sum = [](const Samples& list) {
        std::uint64_t total = 0;
        for (auto v : list)
            total += v;
        return total;
    };
    // The client cannot have received more than the service sent, and the
    // 15 sampled seconds of an 18-second window hold most of it.
    const std::uint64_t served = s.service->counter("download_bytes");
    const std::uint64_t downloaded = sum(run.download.samples);
    EXPECT_LE(downloaded, served);
    EXPECT_GE(downloaded, served / 2);
    // Uploads count what the client handed to its sockets: at most the send
    // buffers (a few MB) more than the service read.
    const std::uint64_t received = s.service->counter("upload_payload_bytes");
    const std::uint64_t uploaded = sum(run.upload.samples);
    EXPECT_LE(uploaded, received + 20u * 1048576);
    EXPECT_GE(uploaded, received / 2);
    // The averages cover ten of those seconds.
    EXPECT_LE(run.download.averageMBps * 10 * 1048576, static_cast<double>(served));
    EXPECT_LE(run.upload.averageMBps * 10 * 1048576, static_cast<double>(received) + 20 * 1048576);

    ServiceClock clock("", nullptr, systemClock());
    ResultRecorder recorder(s.inst.path(), clock, nullptr);
    const auto record = test->OnRecordReady(recorder, nullptr, "");
    ASSERT_TRUE(record.written);
    const std::string text = s.inst.read("Data/" + record.record.fileName);
    EXPECT_NE(text.find("\ndownavgspeed=" + FormatFixed(run.download.averageMBps, 2) + "\n"), std::string::npos);
    EXPECT_NE(text.find("\nupavgspeed=" + FormatFixed(run.upload.averageMBps, 2) + "\n"), std::string::npos);
    EXPECT_NE(text.find("\nmonitorid=10013\n"), std::string::npos);
    const std::string log = s.inst.read("logfile.txt");
    std::size_t samples = 0;
    for (std::size_t at = log.find("KB/S\n"); at != std::string::npos; at = log.find("KB/S\n", at + 1))
        ++samples;
    EXPECT_EQ(samples, 30u);
}
