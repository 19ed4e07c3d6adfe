// The file download test over the real timed download against the
// reference service: figures that agree with what the service sent, bodies
// cut short by a stall or the load limit, and the bad answers that must end
// a run without a record.
#include "measure/file_download.h"
#include "measure/refsvc_support.h"
#include "net/http_transfer.h"
#include "support/loopback_port.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace quorvane;
using namespace quorvane::measure;
using namespace std::chrono_literals;

namespace
{

constexpr std::uint64_t kFileBytes = 2 * 1048576;
// 2 MiB in exactly 4 s: 512 KB/s.
constexpr const char* kLineMbit = "4.194304";
constexpr double kLineKBps = 512;

struct Service {
    std::string address = test::ownTestServerAddress();
    test::Installation inst;
    refsvc_test::RefService svc{{"--web", "127.0.0.1:0", "--update", "none", "--test-server", address + ":8080",
                                 "--down-mbit", kLineMbit, "--download", "2MB.bin=2M"}};

    std::string url(const std::string& query = {}) const
    {
        return "http://" + address + ":8080/download/2MB.bin" + query;
    }
};

std::string field(const std::string& record, const std::string& name)
{
    const auto at = record.find("\n" + name + "=");
    if (at == std::string::npos)
        return "<missing>";
    const auto from = at + name.size() + 2;
    return record.substr(from, record.find('\n', from) - from);
}

class DownloadServiceTest : public ::testing::Test
{
protected:
    void SetUp() override { test::resetFlags(); }
    void TearDown() override
    {
        test::resetFlags();
        EXPECT_TRUE(WaitForTransferThreads(10s));
    }

    std::unique_ptr<FileDownloadTest> engine(const Service& s, const std::string& target,
                                             std::chrono::milliseconds receiveTimeout = 3000ms, int limit = 30)
    {
        FileDownloadSettings settings;
        settings.installDir = s.inst.path();
        settings.networkAlive = [] { return true; };
        settings.getOptions.receiveTimeout = receiveTimeout;
        settings.timeoutSeconds = limit;
        settings.targets = [target](const std::string&) { return std::vector<std::string>{target}; };
        auto e = std::make_unique<FileDownloadTest>(std::move(settings), nullptr);
        e->setUser({"10001", "测速达人", "10.1.2.3", "广东省深圳市", "电信"});
        e->LoadPresets();
        return e;
    }
};

} // namespace

// About 4 s: the line carries the file at a known rate.
TEST_F(DownloadServiceTest, ThrottledFileGivesTheTruthWithinTwoPercent)
{
    Service s;
    ASSERT_TRUE(s.svc.ok()) << s.svc.log();
    auto test = engine(s, s.url());
    ASSERT_TRUE(test->StartManualTest(s.url()));
    test->waitForManualRun();
    const DownloadRun run = test->lastRun();
    ASSERT_EQ(run.outcome, DownloadOutcome::Completed) << DownloadOutcomeName(run.outcome);
    EXPECT_EQ(run.contentLength, static_cast<std::int64_t>(kFileBytes));
    EXPECT_EQ(run.bytes, kFileBytes);

    ServiceClock clock("", nullptr, systemClock());
    ResultRecorder recorder(s.inst.path(), clock, nullptr);
    const auto result = test->OnRecordReady(recorder, nullptr, "");
    ASSERT_TRUE(result.written);
    const std::string record = s.inst.read("Data/" + result.record.fileName);
    EXPECT_EQ(field(record, "totalsize"), "2.00");
    EXPECT_EQ(field(record, "downloadsize"), "2.00");
    EXPECT_EQ(field(record, "website"), "null");
    const double speed = std::atof(field(record, "speed").c_str());
    // Never faster than the line; a reader starved of the processor may
    // take the bytes later than the line offered them.
    EXPECT_LE(speed, kLineKBps * 1.02) << "load " << run.loadMs << " ms";
    EXPECT_GE(speed, kLineKBps * 0.90) << "load " << run.loadMs << " ms";
    EXPECT_EQ(s.svc.counter("download_bytes") >= kFileBytes, true);
}

TEST_F(DownloadServiceTest, BodiesCutShortStillMakeTheirRecord)
{
    Service s;
    ASSERT_TRUE(s.svc.ok()) << s.svc.log();
    struct Row {
        const char* what;
        std::string query;
        std::chrono::milliseconds receiveTimeout;
        int limit;
    };
    // The stall outlasts the receive time-out (3 s in the program, shorter
    // here); the throttled file outlasts the load limit (30 s in the
    // program, 1 s here). Both limits are the transfer's own.
    for (const Row& r :
         {Row{"stall", "?stall_after=300000&stall_ms=20000", 300ms, 30}, Row{"load limit", "", 3000ms, 1}}) {
        SCOPED_TRACE(r.what);
        auto test = engine(s, s.url(r.query), r.receiveTimeout, r.limit);
        flags::autoMode = 1;
        EXPECT_EQ(test->RunAutoTest(false, true), 2);
        const DownloadRun run = test->lastRun();
        EXPECT_EQ(run.outcome, DownloadOutcome::Completed);
        ASSERT_TRUE(run.bytes);
        EXPECT_GT(*run.bytes, 0u);
        EXPECT_LT(*run.bytes, kFileBytes);

        ServiceClock clock("", nullptr, systemClock());
        ResultRecorder recorder(s.inst.path(), clock, nullptr);
        const auto result = test->OnRecordReady(recorder, nullptr, "");
        ASSERT_TRUE(result.written);
        const std::string record = s.inst.read("Data/" + result.record.fileName);
        EXPECT_EQ(field(record, "url"), s.url(r.query));
        EXPECT_EQ(field(record, "totalsize"), "2.00");
        EXPECT_LT(std::atof(field(record, "downloadsize").c_str()), 2.0);
        EXPECT_EQ(field(record, "testtype"), "0");
        EXPECT_NE(result.record.latestResultText.find("文件类型：2MB.bin"), std::string::npos);
        std::filesystem::remove_all(s.inst / "Data");
    }
}

TEST_F(DownloadServiceTest, BadAnswersEndTheRunWithoutARecord)
{
    Service s;
    ASSERT_TRUE(s.svc.ok()) << s.svc.log();
    const std::string base = "http://" + s.address + ":8080/download/";
    struct Row {
        std::string url;
        DownloadOutcome outcome;
    };
    for (const Row& r : {
             Row{"http://127.0.0.1:" + std::to_string(quorvane::testing::freeLoopbackPort()) + "/download/2MB.bin",
                 DownloadOutcome::NoSize},
             Row{s.url("?stall_after=0&stall_ms=20000"), DownloadOutcome::NoBody}, // headers, then nothing
             Row{s.url("?length=none"), DownloadOutcome::NoSize},
             Row{s.url("?status=500"), DownloadOutcome::NoSize},
             Row{s.url("?status=503"), DownloadOutcome::NoSize},
             Row{base + "missing.bin", DownloadOutcome::NoSize},
             Row{base + "2MB .bin", DownloadOutcome::NoSize}, // sent escaped: no such file
             Row{base + "2MB.bin\r\nX-Injected: 1", DownloadOutcome::BadUrl},
             Row{"http://" + s.address + " x:8080/download/2MB.bin", DownloadOutcome::BadUrl},
         }) {
        SCOPED_TRACE(r.url);
        auto test = engine(s, r.url, 300ms);
        EXPECT_EQ(test->RunAutoTest(false, true), 1);
        EXPECT_EQ(test->lastRun().outcome, r.outcome) << DownloadOutcomeName(test->lastRun().outcome);
        ServiceClock clock("", nullptr, systemClock());
        ResultRecorder recorder(s.inst.path(), clock, nullptr);
        EXPECT_FALSE(test->OnRecordReady(recorder, nullptr, "").written);
        EXPECT_FALSE(std::filesystem::exists(s.inst / "Data"));
    }
}
