// ParallelUpload against scripted loopback servers and a real nginx.
#include "common/flags.h"
#include "net/http_head_parser.h"
#include "net/http_nginx.h"
#include "net/http_test_server.h"
#include "net/http_upload.h"

#include "support/manual_clock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace quorvane;
using namespace quorvane::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace
{

// What the server learnt from one upload request.
struct Received {
    std::string head;
    std::string body;
};

std::int64_t requestContentLength(const std::string& head)
{
    HttpHeadParser parser(65536);
    std::size_t consumed = 0;
    parser.feed(head, consumed);
    return parser.contentLength();
}

class UploadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_dir.path() / "conf");
        m_file = (m_dir.path() / "upload.dat").string();
    }
    void TearDown() override
    {
        flags::autoAbortArmed = 0;
        flags::stopRequested = 0;
        EXPECT_TRUE(WaitForTransferThreads(5s)) << TransferThreadsAlive() << " transfer threads still running";
    }

    std::string writeFile(std::size_t size)
    {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>((i * 131) % 251);
        std::ofstream(m_file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        return data;
    }
    void setMethod(const std::string& line)
    {
        std::ofstream(m_dir.path() / "conf" / "l_c_config_01.properties", std::ios::binary) << "version=1\r\n"
                                                                                            << line << "\r\n";
    }
    ParallelUploadOptions options(std::chrono::milliseconds window) const
    {
        ParallelUploadOptions o;
        o.window = window;
        o.programDir = m_dir.path();
        return o;
    }
    // Uploads on a manual clock that moves, deadline by deadline, once
    // `ready(bytes counted so far)` holds; returns how far it moved.
    std::chrono::milliseconds uploadOnClock(const std::string& url, ByteCounterHandle& counter,
                                            std::chrono::milliseconds window,
                                            const std::function<bool(std::uint64_t)>& ready)
    {
        auto clock = std::make_shared<ManualClock>();
        ParallelUploadOptions o = options(window);
        o.clock = clock;
        return driveUntilReturn(
            *clock, [&] { EXPECT_TRUE(ParallelUpload(url, m_file, counter, 5, o)); },
            [&](int) { return ready(counter.bytes()); });
    }

    TempDir m_dir;
    std::string m_file;
};

} // namespace

TEST_F(UploadTest, MultipartCountsExactlyTheFileBytesTheServerGot)
{
    const std::string data = writeFile(100000 + 7);
    setMethod("other_key=1"); // upload_method absent: multipart
    std::mutex mutex;
    std::vector<Received> received;
    CannedServer* self = nullptr;
    CannedServer::Options five;
    five.acceptLimit = 5;
    CannedServer server(
        [&](ServerConnection& c) {
            Received r;
            if (!c.readRequestHead(r.head) || !self->waitForConnections(5, 60s))
                return;
            if (!c.readExactly(static_cast<std::size_t>(requestContentLength(r.head)), &r.body))
                return;
            c.send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nok\n");
            std::lock_guard lock(mutex);
            received.push_back(std::move(r));
        },
        five);
    self = &server;

    ByteCounterHandle counter;
    // The window (1500 ms of the transfer's clock) closes once all five files are out.
    EXPECT_EQ(uploadOnClock(server.url("/speed/doload.do?r=1&key=k"), counter, 1500ms,
                            [&](std::uint64_t bytes) {
                                std::lock_guard lock(mutex);
                                return bytes == 5 * data.size() && received.size() == 5;
                            }),
              1500ms);
    EXPECT_EQ(counter.bytes(), 5 * data.size());

    const std::string partHead = "------------------63686572697368\r\n"
                                 "Content-Disposition: form-data; name=\"file\"; filename=\"upload.dat\"\r\n\r\n";
    const std::string partTail = "\r\n------------------63686572697368--\r\n";
    std::lock_guard lock(mutex);
    ASSERT_EQ(received.size(), 5u);
    for (const Received& r : received) {
        EXPECT_EQ(r.head.rfind("POST /speed/doload.do?r=1&key=k HTTP/1.1\r\n", 0), 0u) << r.head;
        EXPECT_NE(r.head.find("\r\nContent-Type: multipart/form-data; boundary=----------------63686572697368\r\n"),
                  std::string::npos)
            << r.head;
        EXPECT_NE(r.head.find("\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0;"),
                  std::string::npos);
        EXPECT_NE(r.head.find("\r\nConnection: Keep-Alive\r\n"), std::string::npos);
        EXPECT_EQ(r.head.find("Expect:"), std::string::npos) << "the body must not wait for an interim answer";
        EXPECT_EQ(requestContentLength(r.head),
                  static_cast<std::int64_t>(partHead.size() + data.size() + partTail.size()));
        EXPECT_TRUE(r.body == partHead + data + partTail) << "multipart body differs";
    }
}

TEST_F(UploadTest, MultipartBodyIsWholeAtEverySize)
{
    // Sizes around the pieces the file may be read and handed over in: every
    // body arrives whole and in order, and the count is exactly the files.
    setMethod("upload_method=m1");
    const std::string partHead = "------------------63686572697368\r\n"
                                 "Content-Disposition: form-data; name=\"file\"; filename=\"upload.dat\"\r\n\r\n";
    const std::string partTail = "\r\n------------------63686572697368--\r\n";
    for (const std::size_t size :
         {std::size_t{1}, std::size_t{16383}, std::size_t{16385}, std::size_t{65536}, std::size_t{65537},
          std::size_t{1024 * 1024 + 3}, std::size_t{3 * 1024 * 1024 + 1}}) {
        const std::string expected = partHead + writeFile(size) + partTail;
        std::atomic<int> whole{0}, answered{0};
        CannedServer::Options five;
        five.acceptLimit = 5;
        CannedServer* self = nullptr;
        // No answer before all five are in: a quick first upload would
        // otherwise start a sixth connection that the closing listener cuts.
        CannedServer server(
            [&](ServerConnection& c) {
                std::string head, body;
                if (!c.readRequestHead(head) || !self->waitForConnections(5, 60s) ||
                    !c.readExactly(static_cast<std::size_t>(requestContentLength(head)), &body))
                    return;
                whole += body == expected ? 1 : 0;
                c.send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nok\n");
                ++answered;
            },
            five);
        self = &server;
        ByteCounterHandle counter;
        uploadOnClock(server.url("/speed/doload.do?r=1&key=k"), counter, 1500ms,
                      [&](std::uint64_t bytes) { return bytes == 5 * size && answered == 5; });
        EXPECT_EQ(whole, 5) << size;
        EXPECT_EQ(counter.bytes(), 5 * size) << size;
    }
}

TEST_F(UploadTest, OtherMethodsRepostTheFirstChunk)
{
    const std::string data = writeFile(50000);
    setMethod("upload_method=m2");
    constexpr int kPostsPerConnection = 4;
    std::atomic<int> posts{0};
    std::atomic<int> badPosts{0};
    CannedServer* self = nullptr;
    CannedServer::Options five;
    five.acceptLimit = 5;
    CannedServer server(
        [&](ServerConnection& c) {
            if (!self->waitForConnections(5, 60s))
                return;
            for (int i = 0; i < kPostsPerConnection; ++i) {
                std::string head, body;
                if (!c.readRequestHead(head) ||
                    !c.readExactly(static_cast<std::size_t>(requestContentLength(head)), &body))
                    return;
                if (body != data.substr(0, 32768) ||
                    head.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n") == std::string::npos)
                    ++badPosts;
                ++posts;
                // The last answer closes the connection; the thread then ends
                // and its replacement finds the door shut.
                c.send(i + 1 < kPostsPerConnection
                           ? "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
                           : "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok");
            }
        },
        five);
    self = &server;

    ByteCounterHandle counter;
    uploadOnClock(server.url("/speed/doload.do"), counter, 1500ms,
                  [&](std::uint64_t) { return posts.load() == 5 * kPostsPerConnection; });
    EXPECT_EQ(posts.load(), 5 * kPostsPerConnection);
    EXPECT_EQ(badPosts.load(), 0);
    EXPECT_EQ(server.connections(), 5) << "each thread keeps one connection for its posts";
    EXPECT_EQ(counter.bytes(), 5u * kPostsPerConnection * 32768);
}

TEST_F(UploadTest, NothingToSendSendsNothing)
{
    CannedServer server([](ServerConnection& c) { c.drain(); });
    ByteCounterHandle counter;

    // A file that does not exist, in either method.
    setMethod("upload_method=m1");
    EXPECT_TRUE(ParallelUpload(server.url("/u"), m_file + ".missing", counter, 5, options(400ms)));
    EXPECT_EQ(counter.bytes(), 0u);
    setMethod("upload_method=m2");
    EXPECT_TRUE(ParallelUpload(server.url("/u"), m_file + ".missing", counter, 5, options(400ms)));
    EXPECT_EQ(counter.bytes(), 0u);
    // An empty file in the repeated-chunk method.
    writeFile(0);
    EXPECT_TRUE(ParallelUpload(server.url("/u"), m_file, counter, 5, options(400ms)));
    EXPECT_EQ(counter.bytes(), 0u);
    EXPECT_EQ(server.connections(), 0);

    EXPECT_FALSE(ParallelUpload("not a url", m_file, counter, 5, options(400ms)));
}

TEST_F(UploadTest, StalledServerIsLeftAtTheWindowsEnd)
{
    // A server that takes the request head and never reads the body: the
    // socket buffers fill, the threads block in their sends. The call still
    // returns with its window, its threads end at once, and the counter
    // stops moving.
    writeFile(64 * 1024 * 1024);
    setMethod("upload_method=m1");
    CannedServer server([](ServerConnection& c) {
        std::string head;
        if (c.readRequestHead(head))
            c.holdUntilStopped();
    });
    ByteCounterHandle counter;
    EXPECT_EQ(uploadOnClock(server.url("/u"), counter, 1000ms, [&](std::uint64_t bytes) { return bytes > 0; }), 1000ms);
    const std::uint64_t atReturn = counter.bytes();
    EXPECT_GT(atReturn, 0u);
    EXPECT_LT(atReturn, 5u * 64 * 1024 * 1024);
    // The server holds them until the test ends: only the window's end can
    // have woken them.
    EXPECT_TRUE(WaitForTransferThreads(20s)) << "blocked uploads must be woken when the window ends";
    EXPECT_LE(counter.bytes() - atReturn, 5 * 1024u);
}

TEST_F(UploadTest, AutomaticStopEndsTheWindowEarly)
{
    writeFile(1024 * 1024);
    CannedServer server([](ServerConnection& c) {
        std::string head;
        while (c.readRequestHead(head) && c.readExactly(static_cast<std::size_t>(requestContentLength(head)), nullptr))
            c.send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    // The stop comes once bytes flow, on a clock that has not moved: the
    // 10 s window ends at the next check, 100 ms of the clock later at most.
    flags::autoAbortArmed = 1;
    ByteCounterHandle counter;
    const auto moved = uploadOnClock(server.url("/u"), counter, 10s, [](std::uint64_t bytes) {
        if (bytes > 0)
            flags::stopRequested = 1;
        return bytes > 0;
    });
    EXPECT_LE(moved, 100ms);
    EXPECT_GT(counter.bytes(), 0u);
}

TEST_F(UploadTest, RealServerSinkSeesAtLeastTheCountedBytes)
{
    const std::string data = writeFile(2 * 1024 * 1024);
    TempDir root;
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.running());
    ByteCounterHandle counter;
    // More than five files counted: some upload has ended and started anew.
    uploadOnClock(nginx.url("/speed/doload.do?r=1&key=k"), counter, 1500ms,
                  [&](std::uint64_t bytes) { return bytes > 5 * data.size(); });
    ASSERT_TRUE(WaitForTransferThreads(5s));
    nginx.stop();
    std::uint64_t completedFileBytes = 0;
    int completed = 0;
    for (const auto& line : nginx.accessLog()) {
        if (line.find("POST /speed/doload.do") == std::string::npos || line.substr(0, 4) != "200 ")
            continue;
        ++completed;
        completedFileBytes += data.size();
    }
    EXPECT_GE(completed, 1);
    // Completed uploads were counted whole; at most the five cut off by the
    // window's end add a part of a file each.
    EXPECT_GE(counter.bytes(), completedFileBytes);
    EXPECT_LE(counter.bytes(), completedFileBytes + 5 * data.size());
}
