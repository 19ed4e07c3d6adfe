// The clients against the reference measurement service: the requests the
// bandwidth and file download tests make, and the byte counts of the
// measuring transfers against its throttled line.
#include "common/md5.h"
#include "net/http_get.h"
#include "net/http_nginx.h"
#include "net/http_request.h"
#include "net/http_upload.h"
#include "service/harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <thread>

using namespace quorvane;
using namespace quorvane::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace
{

std::string base(const refsvc_test::Address& a)
{
    return "http://" + a.host + ":" + std::to_string(a.port);
}

constexpr std::uint64_t kFileSize = 3 * 1024 * 1024 + 5;

class RefServiceTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        EXPECT_TRUE(WaitForTransferThreads(5s)) << TransferThreadsAlive() << " transfer threads still running";
    }
};

// Bytes counted between 2 s into the window and its end, as a rate in
// megabits per second: the steady part the bandwidth test samples.
template <typename Transfer> double steadyMegabits(ByteCounterHandle& counter, Transfer transfer)
{
    const auto start = Steady::now();
    std::uint64_t atTwo = 0;
    std::thread sampler([&] {
        std::this_thread::sleep_until(start + 2s);
        atTwo = counter.bytes();
    });
    transfer();
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count() - 2.0;
    sampler.join();
    return static_cast<double>(counter.bytes() - atTwo) * 8 / 1e6 / seconds;
}

} // namespace

TEST_F(RefServiceTest, ServiceRequestsOfTheTests)
{
    refsvc_test::RefService service({"--web", "127.0.0.1:0", "--update", "none", "--test-server", "127.0.0.1:0",
                                     "--download", "file.bin=" + std::to_string(kFileSize)});
    ASSERT_TRUE(service.ok()) << service.log();
    const std::string web = base(service.web());
    const std::string test = base(service.testServers().at(0));

    // Login answer in UTF-8 Chinese comes through untouched.
    std::string answer;
    ASSERT_EQ(HttpRequest("GET", web + "/qvweb/loginCheck?u=demo&p=" + md5Hex("demo123"), "", answer), kHttpAnswered);
    EXPECT_EQ(answer.rfind("true-10001-测速达人-", 0), 0u) << answer;

    // Validation, then the release on the bandwidth test's session.
    ASSERT_EQ(HttpRequest("GET", test + "/speed/dovalid?key=777&flag=true", "", answer), kHttpAnswered);
    ASSERT_GE(answer.size(), 3u);
    EXPECT_EQ(answer[0], '1');
    const std::string key = answer.substr(2);
    HttpSession session;
    ASSERT_EQ(session.Request("POST", test + "/speed/dovalid?", "key=" + key, answer), kHttpAnswered);
    EXPECT_EQ(answer, "1");
    EXPECT_EQ(service.counter("keys_released"), 1u);

    // The record clock.
    HttpHeadAnswer head;
    ASSERT_EQ(HttpHead(web + "/speed/", head), kHttpAnswered);
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.header("Date").has_value());

    // The file download test's transfer.
    CHttpGet client;
    ByteCounterHandle counter;
    std::atomic<std::int64_t> length{0};
    std::atomic<std::uint32_t> connectMs{0}, loadMs{0};
    ASSERT_TRUE(client.TimedGet(test + "/speed/file.bin", counter, length, connectMs, loadMs, 30));
    EXPECT_EQ(length.load(), static_cast<std::int64_t>(kFileSize));
    EXPECT_EQ(counter.bytes(), kFileSize);
    // The service counts a completed download after its last write returned,
    // which may be after the client has the whole body.
    EXPECT_TRUE(service.counterAtLeast("downloads_completed", 1u));
    EXPECT_FALSE(client.TimedGet(test + "/speed/no-such-file.bin", counter, length, connectMs, loadMs, 30));
}

TEST_F(RefServiceTest, ThrottledLineIsMeasuredAtItsRate)
{
    constexpr double kMegabits = 40;
    refsvc_test::RefService service({"--web", "none", "--update", "none", "--test-server", "127.0.0.1:0", "--download",
                                     "down.bin=1G", "--rate-mbit", "40"});
    ASSERT_TRUE(service.ok()) << service.log();
    const std::string test = base(service.testServers().at(0));

    ByteCounterHandle down;
    CHttpDownloadGet::Options downOptions;
    downOptions.window = 5s;
    const double downRate = steadyMegabits(down, [&] {
        EXPECT_TRUE(CHttpDownloadGet(downOptions).ParallelGet(test + "/speed/down.bin?r=1&key=k", down, 5));
    });
    // Only a ceiling: the line never carries more than its rate, plus the
    // limiter's catch-up allowance (250 ms) over the 3 s sampled; load can
    // only lower the figure. Its precision is measured by bench/transfer.
    EXPECT_GT(downRate, 0);
    EXPECT_LE(downRate, kMegabits * 1.1);
    ASSERT_TRUE(WaitForTransferThreads(2s));
    // Every byte the service sent arrived and was counted, give or take
    // what was on its way when the window closed.
    const std::uint64_t served = service.counter("download_bytes");
    EXPECT_LE(down.bytes(), served);
    EXPECT_GE(down.bytes() + 5 * 64 * 1024, served);

    TempDir dir;
    const std::string file = (dir.path() / "upload.dat").string();
    {
        std::string data(8 * 1024 * 1024, 'u');
        std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    ParallelUploadOptions upOptions;
    upOptions.window = 5s;
    upOptions.programDir = dir.path();
    ByteCounterHandle up;
    const double upRate = steadyMegabits(
        up, [&] { EXPECT_TRUE(ParallelUpload(test + "/speed/doload.do?r=1&key=k", file, up, 5, upOptions)); });
    // The count may also run ahead by what waits in the socket buffers.
    EXPECT_GT(upRate, 0);
    EXPECT_LE(upRate, kMegabits * 1.25);
    ASSERT_TRUE(WaitForTransferThreads(2s));
    // The count runs ahead of the line by what sits in the send buffers, but
    // never by so much that an upload's end would stall the count for
    // a good part of a sample while the line still carries those bytes.
    EXPECT_GE(up.bytes() + 5 * 1024, service.counter("upload_body_bytes"));
    EXPECT_LE(up.bytes(), service.counter("upload_body_bytes") + 5 * 256 * 1024)
        << "carried " << service.counter("upload_body_bytes");
    EXPECT_GT(service.counter("upload_multipart"), 0u);
}
