// The downloader and the raw GET against servers that lie about sizes, send
// more than they announced, or trickle: nothing is allocated or written
// beyond what the caller allows, and nothing waits past its deadline.
#include "hostile_server.h"
#include "support/temp_dir.h"
#include "update/raw_get.h"
#include "update/segmented_download.h"

#include <gtest/gtest.h>

#include <thread>

namespace quorvane::update
{
namespace
{

namespace fs = std::filesystem;
using testing::HostileFile;
using testing::HostileServer;
using testing::patternBytes;

constexpr auto kLimit = std::chrono::seconds(60); // a bound, never a verdict
constexpr std::int64_t kAbsurd = 100000000000000; // 10^14 bytes

TEST(HostileServer, DownloaderTakesNoMoreThanTheCallerAllows)
{
    const std::string content = patternBytes(2 * kSegmentSize + 5000);
    const auto size = static_cast<std::int64_t>(content.size());
    const struct {
        const char* what;
        HostileFile file;
        std::int64_t expected, maxSize;
        bool done; // else stopped, and no file at all
    } cases[] = {
        {"absurd Content-Length against the manifest's size",
         {.content = content, .announce = kAbsurd},
         size,
         -1,
         false},
        {"absurd Content-Length of a manifest", {.content = content, .announce = kAbsurd}, -1, 16 << 20, false},
        {"a size other than the manifest's", {.content = content}, size - 1, -1, false},
        {"more bytes than announced, no ranges", {.content = content, .extra = 7000, .ranges = false}, size, -1, true},
        {"206 bodies longer than their ranges",
         {.content = content, .extra = 3000, .announceExtra = true},
         size,
         -1,
         true},
        {"more bytes than announced, no expected size",
         {.content = content, .extra = 3000, .ranges = false},
         -1,
         16 << 20,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        const fs::path target = dir / "file.bin";
        HostileServer server({{"/file.bin", c.file}});
        DownloadTask task;
        task.expectedSize = c.expected;
        task.maxSize = c.maxSize;
        StartDownload(server.url("/file.bin"), task, target.string());
        ASSERT_TRUE(task.waitFinished(kLimit));
        EXPECT_EQ(task.allDone(), c.done);
        if (c.done) {
            EXPECT_EQ(test::readFile(target), content);
        } else {
            EXPECT_FALSE(fs::exists(target)) << fs::file_size(target);
        }
    }
}

// Cancelling must not wait for a request that the server never answers.
TEST(HostileServer, CancelEndsAProbeTheServerHolds)
{
    test::TempDir dir;
    HostileFile silent;
    silent.silent = true;
    HostileServer server({{"/file.bin", silent}});
    std::atomic<bool> cancel{false};
    DownloadTask task;
    task.cancelled = [&] { return cancel.load(); };
    std::thread starter([&] { StartDownload(server.url("/file.bin"), task, (dir / "file.bin").string()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto cancelledAt = std::chrono::steady_clock::now();
    cancel = true;
    starter.join();
    ASSERT_TRUE(task.waitFinished(kLimit));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, std::chrono::seconds(3));
    EXPECT_TRUE(task.stopped());
}

TEST(HostileServer, RawGetKeepsToSizeAndDeadline)
{
    const std::string content = patternBytes(3000);
    const auto size = static_cast<std::int64_t>(content.size());
    const auto trickle = std::chrono::milliseconds(40);
    const struct {
        const char* what;
        HostileFile file;
        FetchLimits limits;
        RawGetResult result;
    } cases[] = {
        {"absurd Content-Length against the manifest's size",
         {.content = content, .announce = kAbsurd},
         {size, -1, {}},
         RawGetResult::WrongSize},
        {"a 300 MB manifest", {.content = content, .announce = 300 << 20}, {-1, 16 << 20, {}}, RawGetResult::WrongSize},
        {"more bytes than announced", {.content = content, .extra = 5000}, {size, -1, {}}, RawGetResult::Ok},
        {"a trickling manifest",
         {.content = content, .trickle = trickle},
         {-1, 16 << 20, std::chrono::seconds(1)},
         RawGetResult::TimedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        HostileServer server({{"/file.bin", c.file}});
        RawGetOptions options;
        options.limits = c.limits;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(rawGet(server.url("/file.bin"), dir / "file.bin", options), c.result);
        if (c.result == RawGetResult::Ok) {
            EXPECT_EQ(test::readFile(dir / "file.bin"), content);
        } else {
            EXPECT_FALSE(fs::exists(dir / "file.bin"));
        }
        if (c.result == RawGetResult::TimedOut) {
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        }
    }
}

} // namespace
} // namespace quorvane::update
