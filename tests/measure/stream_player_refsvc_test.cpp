// The built-in player against the reference service's stream file: a
// throttled stream measured as the service counted it, and the ways a
// stream goes wrong, each still reported with what was measured.
#include "measure/stream_player.h"
#include "measure/video_test.h"
#include "service/harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

using namespace quorvane;
using namespace quorvane::measure;
using namespace std::chrono_literals;

namespace
{

const std::uint64_t kSampleSize =
    std::filesystem::file_size(std::filesystem::path(QUORVANE_SOURCE_DIR) / "service/data/video/sample.mp4");

struct Stream {
    std::unique_ptr<refsvc_test::RefService> service;
    explicit Stream(const std::string& rateMbit)
    {
        std::vector<std::string> args{"--web", "127.0.0.1:0", "--update", "none", "--test-server", "127.0.0.1:0"};
        if (!rateMbit.empty()) {
            args.push_back("--rate-mbit");
            args.push_back(rateMbit);
        }
        service = std::make_unique<refsvc_test::RefService>(args);
    }
    std::string url(const std::string& query = "") const
    {
        return "http://127.0.0.1:" + std::to_string(service->web().port) + "/video/sample.mp4" + query;
    }
};

} // namespace

TEST(VideoStream, ThrottledStreamIsMeasuredAsTheServiceSentIt)
{
    // 1.2 Mbit/s: about 2.4 s for the sample, long enough for whole seconds.
    Stream s("1.2");
    ASSERT_TRUE(s.service->ok());
    std::promise<std::string> call;
    std::string shown;
    StreamPlayer::Display display;
    display.data = [&](const char* d, std::size_t n) { shown.append(d, n); };
    StreamPlayer player(
        {}, [&](const std::string& r) { call.set_value(r); }, display);
    player.CallFunction(InvokeRequest(invoke::kAutoPlay, s.url()));
    auto answer = call.get_future();
    ASSERT_EQ(answer.wait_for(60s), std::future_status::ready);
    const std::vector<std::string> v = VideoInfoPieces(answer.get());
    ASSERT_EQ(v.size(), 6u);

    EXPECT_TRUE(s.service->counterAtLeast("video_bytes", kSampleSize));
    const std::uint64_t sent = s.service->counter("video_bytes");
    EXPECT_EQ(sent, kSampleSize);
    EXPECT_EQ(std::stoull(v[2]), kSampleSize);
    EXPECT_EQ(std::stoull(v[4]), sent);
    EXPECT_EQ(shown.size(), sent); // the display got every byte, in order
    EXPECT_EQ(IfCompleted(v[4], v[2]), 1);
    const double lineKBps = 1.2e6 / 8 / 1024;
    // Never faster than the line; a reader starved of the processor may
    // take the bytes later than the line offered them.
    for (const std::string& figure : {v[3], v[0]}) {
        EXPECT_LE(std::stod(figure), lineKBps * 1.02);
        EXPECT_GE(std::stod(figure), lineKBps * 0.90);
    }
    EXPECT_LE(std::stoul(v[1]), std::stoul(v[5]));
    // The total time holds the body's time at the line rate: never shorter,
    // and longer only as far as the figures above allow a starved reader.
    const double lineMs = sent / (lineKBps * 1024) * 1000;
    const double bodyMs = std::stod(v[5]) - std::stod(v[1]);
    EXPECT_GE(bodyMs, lineMs * 0.98);
    EXPECT_LE(bodyMs, lineMs / 0.90);
}

TEST(VideoStream, BrokenStreamsReportWhatCame)
{
    Stream s("");
    ASSERT_TRUE(s.service->ok());
    struct Case {
        const char* what;
        std::string url;
        StreamEnd end;
        std::uint64_t loaded;
        std::uint64_t total;
        int status;
    };
    const Case cases[] = {
        {"complete", s.url(), StreamEnd::Completed, kSampleSize, kSampleSize, 200},
        {"no length", s.url("?length=none"), StreamEnd::Completed, kSampleSize, kSampleSize, 200},
        {"early end", s.url("?stall_after=100000&stall_ms=0"), StreamEnd::EarlyEnd, 100000, kSampleSize, 200},
        {"no length, early end", s.url("?length=none&stall_after=5000&stall_ms=0"), StreamEnd::EarlyEnd, 5000, 0, 200},
        {"stall", s.url("?stall_after=70000&stall_ms=5000"), StreamEnd::Stalled, 70000, kSampleSize, 200},
        {"http error", s.url("?status=503"), StreamEnd::HttpError, 0, 0, 503},
        {"missing file", "http://127.0.0.1:" + std::to_string(s.service->web().port) + "/video/none.mp4",
         StreamEnd::HttpError, 0, 0, 404},
        {"not a web address", "file:///etc/passwd", StreamEnd::NoConnection, 0, 0, 0},
        {"nobody listening", "http://127.0.0.1:1/video/sample.mp4", StreamEnd::NoConnection, 0, 0, 0},
    };
    StreamLimits limits;
    limits.stall = 500ms;
    std::atomic<bool> stop{false};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const StreamFigures f = DownloadStream(c.url, limits, *systemClock(), stop, nullptr);
        EXPECT_EQ(StreamEndName(f.end), std::string(StreamEndName(c.end)));
        EXPECT_EQ(f.loadedBytes, c.loaded);
        EXPECT_EQ(f.totalBytes, c.total);
        EXPECT_EQ(f.httpStatus, c.status);
        EXPECT_EQ(VideoInfoPieces(InvokeRequest(invoke::kInfo, VideoInfoPayload(f))).size(), 6u);
    }
}

TEST(VideoStream, StopEndsTheRunWithoutAReport)
{
    Stream s("0.4"); // the sample would take about 7 s
    ASSERT_TRUE(s.service->ok());
    std::atomic<int> calls{0};
    std::promise<void> firstBytes;
    std::atomic<bool> told{false};
    StreamPlayer::Display display;
    display.data = [&](const char*, std::size_t) {
        if (!told.exchange(true))
            firstBytes.set_value();
    };
    StreamFigures ended;
    display.ended = [&](const StreamFigures& f) { ended = f; };
    StreamPlayer player(
        {}, [&](const std::string&) { ++calls; }, display);
    player.CallFunction(InvokeRequest(invoke::kPlay, s.url()));
    ASSERT_EQ(firstBytes.get_future().wait_for(30s), std::future_status::ready);
    player.CallFunction(InvokeRequest(invoke::kStop, s.url()));
    player.waitIdle();
    EXPECT_FALSE(player.running());
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(ended.end, StreamEnd::Stopped);
    EXPECT_LT(ended.loadedBytes, kSampleSize);

    // Closing the player stops and says so.
    std::string last;
    StreamPlayer closing({}, [&](const std::string& r) { last = r; });
    closing.CallFunction(InvokeRequest(invoke::kPlay, s.url()));
    closing.Quit();
    EXPECT_EQ(ParseInvoke(last)->name, invoke::kQuit);
}
