// The socket download clients against scripted loopback servers and a real
// nginx.
#include "common/flags.h"
#include "net/http_get.h"
#include "net/http_head_parser.h"
#include "net/http_nginx.h"
#include "net/http_test_server.h"

#include "support/manual_clock.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

using namespace quorvane;
using namespace quorvane::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace
{

struct TimedGetOutcome {
    bool ok = false;
    std::uint64_t bytes = 0;
    std::int64_t contentLength = 0;
    std::uint32_t connectMs = 0;
    std::uint32_t loadMs = 0;
    std::chrono::milliseconds elapsed{0};
};

// A one-shot signal between a scripted server and the test.
class Event
{
public:
    void set()
    {
        std::lock_guard lock(m_mutex);
        m_set = true;
        m_changed.notify_all();
    }
    // Waits at most 20 s of real time; false when the signal never came.
    bool wait()
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_set; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_set = false;
};

TimedGetOutcome timedGet(const std::string& url, int timeoutSeconds = 30, CHttpGet::Options options = {})
{
    CHttpGet client(options);
    ByteCounterHandle counter;
    std::atomic<std::int64_t> length{-1};
    std::atomic<std::uint32_t> connectMs{99999}, loadMs{99999};
    const auto start = Steady::now();
    TimedGetOutcome out;
    out.ok = client.TimedGet(url, counter, length, connectMs, loadMs, timeoutSeconds);
    out.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start);
    EXPECT_TRUE(counter.hasCounter()) << "the counter is handed out on every path";
    out.bytes = counter.bytes();
    out.contentLength = length;
    out.connectMs = connectMs;
    out.loadMs = loadMs;
    return out;
}

// Answers every request with `head` and then `bodyBytes` body bytes.
CannedServer::Handler answerWith(std::string head, std::uint64_t bodyBytes)
{
    return [head, bodyBytes](ServerConnection& c) {
        std::string request;
        if (c.readRequestHead(request) && c.send(head))
            c.sendBody(bodyBytes);
        c.drain();
    };
}

class TransferTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        flags::autoAbortArmed = 0;
        flags::stopRequested = 0;
        // Every transfer thread has to be gone before the next case.
        EXPECT_TRUE(WaitForTransferThreads(5s)) << TransferThreadsAlive() << " transfer threads still running";
    }
};

using TimedGetTest = TransferTest;
using ParallelGetTest = TransferTest;

} // namespace

TEST_F(TimedGetTest, CountsTheBodyOfTheSecondConnection)
{
    // The load time is the clock's time from the first connection's close to
    // the body's end: here the clock moves 300 ms while the server holds the
    // body back, and nothing else.
    constexpr std::uint64_t kSize = 300000;
    Event secondAsked, bodyMayStart;
    CannedServer server([&](ServerConnection& c) {
        std::string request;
        if (!c.readRequestHead(request) || !c.sendOkHead(kSize))
            return;
        if (c.index() == 1) {
            secondAsked.set();
            if (bodyMayStart.wait())
                c.sendBody(kSize);
        }
        c.drain();
    });
    auto clock = std::make_shared<ManualClock>();
    CHttpGet::Options options;
    options.clock = clock;
    TimedGetOutcome out;
    {
        ScopedThread call([&] { out = timedGet(server.url("/speed/file.bin?r=1"), 30, options); });
        ASSERT_TRUE(secondAsked.wait());
        clock->advance(300ms);
        bodyMayStart.set();
    }
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.contentLength, static_cast<std::int64_t>(kSize));
    EXPECT_EQ(out.bytes, kSize);
    EXPECT_EQ(out.connectMs, 0u);
    EXPECT_EQ(out.loadMs, 300u);
    EXPECT_EQ(server.connections(), 2);

    const std::string expected = "GET /speed/file.bin?r=1 HTTP/1.1\r\n"
                                 "Accept: */*\r\n"
                                 "Cache-Control: no-cache\r\n"
                                 "Connection: Keep-Alive\r\n"
                                 "Host: 127.0.0.1\r\n"
                                 "Pragma: no-cache\r\n"
                                 "\r\n";
    const auto heads = server.requestHeads();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0], expected);
    EXPECT_EQ(heads[1], expected);
}
TEST_F(TimedGetTest, OnlyA2xxWithALengthIsADownload)
{
    struct Case {
        const char* head;
        bool ok;
        std::int64_t length;
    };
    const Case cases[] = {
        // "404" inside the head of a good answer is no failure.
        {"HTTP/1.1 200 OK\r\nETag: \"404-5e1\"\r\nContent-Length: 14040\r\n\r\n", true, 14040},
        {"HTTP/1.1 206 Partial Content\r\nContent-Length: 4000\r\n\r\n", true, 4000},
        // Error pages have bodies too; they are not the file.
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 4000\r\n\r\n", false, 0},
        {"HTTP/1.1 403 Forbidden\r\nContent-Length: 4000\r\n\r\n", false, 0},
        {"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4000\r\n\r\n", false, 0},
        {"HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 4000\r\n\r\n", false, 0},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", false, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, 0},
        {"garbage\r\n\r\n", false, 0},
    };
    for (const Case& c : cases) {
        const std::string head = c.head;
        CannedServer server(answerWith(head, 14040));
        const auto out = timedGet(server.url("/f"));
        EXPECT_EQ(out.ok, c.ok) << c.head;
        EXPECT_EQ(out.contentLength, c.length) << c.head;
        EXPECT_EQ(out.bytes, c.ok ? static_cast<std::uint64_t>(c.length) : 0u) << c.head;
        EXPECT_EQ(server.connections(), c.ok ? 2 : 1) << c.head;
    }
}

// Real web servers send long heads (cookies above all); the body that
// follows in the same packets must still be counted, and only it.
TEST_F(TimedGetTest, LongHeadsAreReadWholeAndOnlyTheBodyCounts)
{
    const auto headOf = [](std::size_t cookieLines) {
        std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n";
        for (std::size_t i = 0; i < cookieLines; ++i)
            head += "Set-Cookie: session" + std::to_string(i) + "=" + std::string(96, 'c') + "; Path=/; HttpOnly\r\n";
        return head + "\r\n";
    };
    struct Case {
        std::size_t cookieLines;
        bool ok;
    };
    for (const Case& c : {Case{0, true}, Case{60, true}, Case{118, true}, Case{119, false}}) {
        const std::string head = headOf(c.cookieLines);
        ASSERT_EQ(head.size() <= HttpHeadParser::kSocketHeadLimit, c.ok) << head.size();
        CannedServer server(answerWith(head, 20000));
        const auto out = timedGet(server.url("/f"));
        EXPECT_EQ(out.ok, c.ok) << head.size() << " head bytes";
        EXPECT_EQ(out.bytes, c.ok ? 20000u : 0u) << head.size() << " head bytes";
        EXPECT_EQ(server.connections(), c.ok ? 2 : 1) << head.size() << " head bytes";
    }

    // The same for every connection of the parallel download (five
    // connections, then refused, so exactly five bodies are served).
    CannedServer::Options five;
    five.acceptLimit = 5;
    CannedServer server(answerWith(headOf(60), 20000), five);
    CHttpDownloadGet::Options options;
    options.window = 2s;
    CHttpDownloadGet client(options);
    ByteCounterHandle counter;
    ASSERT_TRUE(client.ParallelGet(server.url("/f"), counter, 5));
    EXPECT_EQ(counter.bytes(), 5 * 20000u);
}

TEST_F(TimedGetTest, BodiesOfEverySizeCountExactlyWhateverFollowsThem)
{
    // Sizes around the usual read sizes, the body followed on the same
    // connection by bytes that are not part of it, sent whole or trickled in
    // small writes so that receives come back short.
    struct Case {
        std::uint64_t size;
        bool trickle;
    };
    const std::string after(70000, 'x');
    for (const Case& c : {Case{1, false}, Case{1023, false}, Case{1025, true}, Case{65535, false}, Case{65537, true},
                          Case{262143, false}, Case{262144, false}, Case{262145, true}, Case{3 * 262144 + 7, false},
                          Case{3 * 262144 + 7, true}}) {
        CannedServer server([&](ServerConnection& conn) {
            std::string request;
            if (!conn.readRequestHead(request) || !conn.sendOkHead(c.size))
                return;
            if (conn.index() == 1) {
                for (std::uint64_t left = c.size; left > 0;) {
                    const std::uint64_t piece = c.trickle ? std::min<std::uint64_t>(left, 4097) : left;
                    if (!conn.sendBody(piece))
                        return;
                    left -= piece;
                    if (c.trickle)
                        std::this_thread::sleep_for(100us);
                }
                conn.send(after);
            }
            conn.drain();
        });
        const auto out = timedGet(server.url("/f"));
        EXPECT_TRUE(out.ok) << c.size;
        EXPECT_EQ(out.bytes, c.size) << c.size << (c.trickle ? " trickled" : "");
    }
}

TEST_F(TimedGetTest, BodyCutShortOrStalledEndsTheLoadBeforeItsLimit)
{
    // On a clock that never moves, the 30 s limit never comes: the call can
    // only return because the body ended (closed early) or the socket's own
    // receive time-out (real time, 500 ms here) ended it.
    CannedServer closesEarly([](ServerConnection& c) {
        std::string request;
        if (c.readRequestHead(request) && c.sendOkHead(1000000) && c.index() == 1)
            c.sendBody(5000);
    });
    CannedServer stalls([](ServerConnection& c) {
        std::string request;
        if (c.readRequestHead(request) && c.sendOkHead(1000000) && c.index() == 1) {
            c.sendBody(5000);
            c.holdUntilStopped();
        }
    });
    for (CannedServer* server : {&closesEarly, &stalls}) {
        CHttpGet::Options options;
        options.clock = std::make_shared<ManualClock>();
        options.receiveTimeout = 500ms;
        const auto out = timedGet(server->url("/f"), 30, options);
        EXPECT_TRUE(out.ok);
        EXPECT_EQ(out.bytes, 5000u);
        EXPECT_EQ(out.loadMs, 0u);
    }
}
TEST_F(TimedGetTest, LongBodyIsCutOffAtTheTimeLimit)
{
    // A body that keeps coming outlasts a 1-second limit: the call returns
    // true when the clock reaches the limit, with what arrived so far, and
    // the counter stops moving once the call has returned.
    CannedServer server([](ServerConnection& c) {
        std::string request;
        if (!c.readRequestHead(request) || !c.sendOkHead(6000000000ULL))
            return;
        while (c.index() == 1 && !c.waitStopped(10ms) && c.sendBody(1000)) {
        }
    });
    auto clock = std::make_shared<ManualClock>();
    CHttpGet::Options options;
    options.clock = clock;
    CHttpGet client(options);
    ByteCounterHandle counter;
    std::atomic<std::int64_t> length{0};
    std::atomic<std::uint32_t> connectMs{0}, loadMs{0};
    bool ok = false;
    const auto moved = driveUntilReturn(
        *clock, [&] { ok = client.TimedGet(server.url("/big"), counter, length, connectMs, loadMs, 1); },
        [&](int) { return counter.bytes() > 20000; });
    ASSERT_TRUE(ok);
    EXPECT_EQ(moved, 1000ms);
    EXPECT_EQ(loadMs.load(), 1000u);
    EXPECT_EQ(length.load(), 6000000000LL) << "sizes beyond 4 GB are kept whole";
    const std::uint64_t atReturn = counter.bytes();
    EXPECT_GT(atReturn, 20000u);
    ASSERT_TRUE(WaitForTransferThreads(5s));
    EXPECT_LE(counter.bytes() - atReturn, 1024u) << "at most the piece in flight is added after the return";
}
TEST_F(TimedGetTest, NoConnectionOrNoAnswerFails)
{
    // Never answers: the receive time-out (real time) ends the first
    // connection, and no second one is made.
    CannedServer silent([](ServerConnection& c) { c.holdUntilStopped(); });
    CHttpGet::Options options;
    options.receiveTimeout = 500ms;
    auto out = timedGet(silent.url("/f"), 30, options);
    EXPECT_FALSE(out.ok);
    EXPECT_GE(out.elapsed, 500ms); // a lower bound: load only lengthens it
    EXPECT_EQ(out.contentLength, 0);
    EXPECT_EQ(silent.connections(), 1);

    // Nobody listening.
    std::uint16_t closedPort;
    {
        CannedServer gone([](ServerConnection&) {});
        closedPort = gone.port();
    }
    out = timedGet("http://127.0.0.1:" + std::to_string(closedPort) + "/f");
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.bytes, 0u);

    // A URL that cannot be split.
    EXPECT_FALSE(timedGet("no url at all").ok);
    EXPECT_FALSE(timedGet("http://127.0.0.1:99999/").ok);
}
TEST_F(TimedGetTest, RealServerFileArrivesWhole)
{
    TempDir root;
    constexpr std::size_t kSize = 3 * 1024 * 1024 + 17;
    {
        std::ofstream file(root.path() / "file.bin", std::ios::binary);
        std::string data(kSize, 'q');
        file.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.running());
    const auto out = timedGet(nginx.url("/file.bin"));
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.contentLength, static_cast<std::int64_t>(kSize));
    EXPECT_EQ(out.bytes, kSize);

    const auto missing = timedGet(nginx.url("/missing.bin"));
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.bytes, 0u);

    nginx.stop();
    const auto log = nginx.accessLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].substr(0, 4), "200 ");
    EXPECT_EQ(log[1], "200 " + std::to_string(kSize) + " " + log[1].substr(log[1].find(' ', 4) + 1));
    EXPECT_EQ(log[2].substr(0, 4), "404 ");
}

namespace
{

struct ParallelOutcome {
    bool ok = false;
    std::uint64_t bytes = 0;
    std::chrono::milliseconds clockMoved{0}; // how far the clock moved during the call
};

// Runs ParallelGet on a manual clock that moves, deadline by deadline, once
// `ready(bytes counted so far, moves so far)` holds.
ParallelOutcome parallelGet(const std::string& url, std::chrono::milliseconds window,
                            const std::function<bool(std::uint64_t bytes, int moves)>& ready = {},
                            CHttpDownloadGet::Options options = {})
{
    auto clock = std::make_shared<ManualClock>();
    options.window = window;
    options.clock = clock;
    CHttpDownloadGet client(options);
    ByteCounterHandle counter;
    ParallelOutcome out;
    out.clockMoved = driveUntilReturn(
        *clock, [&] { out.ok = client.ParallelGet(url, counter, 5); },
        [&](int moves) { return !ready || ready(counter.bytes(), moves); });
    EXPECT_TRUE(counter.hasCounter());
    out.bytes = counter.bytes();
    return out;
}

// Accepts exactly five connections (then refuses), answers each only once
// all five are there, with `size` body bytes.
CannedServer::Options fiveThenRefuse()
{
    CannedServer::Options options;
    options.acceptLimit = 5;
    return options;
}

} // namespace

TEST_F(ParallelGetTest, CountsExactlyTheBodiesServed)
{
    constexpr std::uint64_t kSize = 700001;
    CannedServer* self = nullptr;
    CannedServer server(
        [&self](ServerConnection& c) {
            std::string request;
            if (!c.readRequestHead(request) || !self->waitForConnections(5, 60s))
                return;
            if (c.sendOkHead(kSize))
                c.sendBody(kSize);
            c.drain();
        },
        fiveThenRefuse());
    self = &server;
    // The window is 1500 ms of the transfer's clock, which moves only once
    // every body is in.
    const auto out = parallelGet(server.url("/speed/down.bin?r=2&key=k"), 1500ms,
                                 [](std::uint64_t bytes, int) { return bytes == 5 * kSize; });
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.bytes, 5 * kSize);
    EXPECT_EQ(server.bodyBytesSent(), 5 * kSize);
    EXPECT_EQ(out.clockMoved, 1500ms);

    const auto heads = server.requestHeads();
    ASSERT_EQ(heads.size(), 5u);
    for (const auto& head : heads) {
        EXPECT_EQ(head, "GET /speed/down.bin?r=2&key=k HTTP/1.1\r\n"
                        "Accept: */*\r\n"
                        "Accept-Encoding: gzip, deflate\r\n"
                        "Connection: Keep-Alive\r\n"
                        "Host: 127.0.0.1\r\n"
                        "Cache-Control: no-cache\r\n"
                        "Pragma: no-cache\r\n"
                        "\r\n");
    }
}
TEST_F(ParallelGetTest, EndedConnectionsAreReplacedForTheWholeWindow)
{
    // While the window is open (the clock stands still until then), every
    // connection that ends is replaced at once.
    constexpr std::uint64_t kSize = 20000;
    CannedServer server(answerWith("HTTP/1.1 200 OK\r\nETag: \"404\"\r\nContent-Length: 20000\r\n\r\n", kSize));
    const auto out =
        parallelGet(server.url("/f"), 1000ms, [&](std::uint64_t, int) { return server.connections() > 20; });
    EXPECT_TRUE(out.ok);
    EXPECT_GT(server.connections(), 20);
    // Every body but the ones cut off by the window's end was counted.
    EXPECT_LE(out.bytes, server.bodyBytesSent());
    EXPECT_GE(out.bytes + 5 * kSize, server.bodyBytesSent());
    EXPECT_GT(out.bytes, 15 * kSize);

    EXPECT_FALSE(parallelGet("not a url", 1000ms).ok);
}
TEST_F(ParallelGetTest, ErrorAnswersAndSilenceCountNothing)
{
    // A failed connection is retried, but no sooner than 100 ms of the clock
    // after it began: over a 600 ms window each of the five slots tries at
    // 0, 100, ..., 600 ms, however fast the machine fails them.
    for (const char* head :
         {"HTTP/1.1 404 Not Found\r\nContent-Length: 5000\r\n\r\n", "HTTP/1.1 500 Oops\r\nContent-Length: 5000\r\n\r\n",
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"}) {
        CannedServer server(answerWith(head, 5000));
        const auto out = parallelGet(server.url("/f"), 600ms,
                                     [&](std::uint64_t, int moves) { return server.connections() >= 5 * (moves + 1); });
        EXPECT_TRUE(out.ok);
        EXPECT_EQ(out.bytes, 0u) << head;
        EXPECT_GE(server.connections(), 5 * 6) << "failed connections are replaced: " << head;
        EXPECT_LE(server.connections(), 5 * 7) << "and not in a tight loop: " << head;
    }

    // A server that never answers: when the window ends, the connections it
    // leaves are shut at once, long before their 60 s receive time-out.
    CannedServer silent([](ServerConnection& c) { c.holdUntilStopped(); });
    CHttpDownloadGet::Options options;
    options.receiveTimeout = 60s;
    const auto out = parallelGet(
        silent.url("/f"), 1200ms, [&](std::uint64_t, int) { return silent.connections() >= 5; }, options);
    EXPECT_EQ(out.bytes, 0u);
    EXPECT_EQ(out.clockMoved, 1200ms);
    EXPECT_TRUE(WaitForTransferThreads(20s));
}
TEST_F(ParallelGetTest, AutomaticStopEndsTheWindowEarly)
{
    CannedServer server(answerWith("HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n", 100000000));
    // Only both flags together stop a transfer: the whole window runs.
    flags::autoAbortArmed = 1;
    flags::stopRequested = 0;
    auto out = parallelGet(server.url("/f"), 800ms, [](std::uint64_t bytes, int) { return bytes > 0; });
    EXPECT_EQ(out.clockMoved, 800ms);
    EXPECT_GT(out.bytes, 0u);

    // The stop comes 300 ms into a 10 s window: the call ends at the next
    // check, 100 ms later at most.
    flags::stopRequested = 0;
    out = parallelGet(server.url("/f"), 10s, [](std::uint64_t bytes, int moves) {
        if (moves == 3)
            flags::stopRequested = 1;
        return bytes > 0;
    });
    EXPECT_TRUE(out.ok);
    EXPECT_GE(out.clockMoved, 300ms);
    EXPECT_LE(out.clockMoved, 400ms);
}
TEST_F(ParallelGetTest, ASecondTransferCountsOnlyItsOwnBytes)
{
    // The first transfer's connections trickle forever; when its window ends
    // they are still inside a receive. The second transfer starts at once
    // against a server whose bytes are known exactly.
    CannedServer trickle([](ServerConnection& c) {
        std::string request;
        if (!c.readRequestHead(request) || !c.sendOkHead(1000000000))
            return;
        while (!c.waitStopped(20ms) && c.sendBody(700)) {
        }
    });
    constexpr std::uint64_t kSize = 123457;
    CannedServer* exactSelf = nullptr;
    CannedServer exact(
        [&exactSelf](ServerConnection& c) {
            std::string request;
            if (!c.readRequestHead(request) || !exactSelf->waitForConnections(5, 60s))
                return;
            if (c.sendOkHead(kSize))
                c.sendBody(kSize);
            c.drain();
        },
        fiveThenRefuse());
    exactSelf = &exact;

    auto clock = std::make_shared<ManualClock>();
    CHttpDownloadGet::Options options;
    options.clock = clock;
    options.window = 500ms;
    CHttpDownloadGet first(options);
    options.window = 800ms;
    CHttpDownloadGet second(options);
    ByteCounterHandle firstCounter;
    ByteCounterHandle secondCounter;
    driveUntilReturn(
        *clock, [&] { EXPECT_TRUE(first.ParallelGet(trickle.url("/slow"), firstCounter, 5)); },
        [&](int) { return firstCounter.bytes() > 0; });
    const std::uint64_t firstAtReturn = firstCounter.bytes();
    EXPECT_GT(firstAtReturn, 0u);
    driveUntilReturn(
        *clock, [&] { EXPECT_TRUE(second.ParallelGet(exact.url("/exact"), secondCounter, 5)); },
        [&](int) { return secondCounter.bytes() == 5 * kSize; });
    EXPECT_EQ(secondCounter.bytes(), 5 * kSize);
    EXPECT_NE(firstCounter.counter(), secondCounter.counter());
    ASSERT_TRUE(WaitForTransferThreads(5s));
    EXPECT_LE(firstCounter.bytes() - firstAtReturn, 5 * 1024u);
}
TEST_F(ParallelGetTest, RealServerBytesMatchItsLog)
{
    TempDir root;
    {
        std::ofstream file(root.path() / "down.bin", std::ios::binary);
        std::string data(8 * 1024 * 1024, 'z');
        file.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.running());
    // The window closes once more than one file's worth has been counted.
    const auto out = parallelGet(nginx.url("/down.bin?r=1"), 1500ms,
                                 [](std::uint64_t bytes, int) { return bytes > 8u * 1024 * 1024; });
    EXPECT_TRUE(out.ok);
    ASSERT_TRUE(WaitForTransferThreads(5s));
    nginx.stop();
    std::uint64_t served = 0;
    int requests = 0;
    for (const auto& line : nginx.accessLog()) {
        EXPECT_EQ(line.substr(0, 4), "200 ") << line;
        served += std::stoull(line.substr(4));
        ++requests;
    }
    EXPECT_GE(requests, 5);
    EXPECT_GT(out.bytes, 8u * 1024 * 1024);
    // What nginx handed to its sockets but the window cut off never arrived.
    EXPECT_LE(out.bytes, served);
    EXPECT_GE(out.bytes + 5u * 8 * 1024 * 1024, served);
}
