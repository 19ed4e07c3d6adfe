// The segmented downloader against real servers on loopback: nginx (directly
// and through a relay that breaks, refuses or holds chosen range requests)
// and the reference service's update server.
#include "update/segmented_download.h"

#include "net/http_nginx.h"
#include "net/http_test_server.h"
#include "service/harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <random>
#include <regex>

namespace quorvane::update
{
namespace
{

namespace fs = std::filesystem;
using testing::CannedServer;
using testing::NginxServer;
using testing::ServerConnection;

constexpr auto kLimit = std::chrono::seconds(120); // a bound, never a verdict

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What the relay does with one request, chosen from its head.
struct Fault {
    enum Kind { Pass, Cut, Status, WholeFile, Hold } kind = Pass;
    std::int64_t bytes = 0; // Cut, Hold: body bytes passed on first
};

// A relay in front of nginx: one request per connection, forwarded with
// "Connection: close", the answer streamed back unless the rule says
// otherwise. Every request head is kept (CannedServer::requestHeads).
class Relay
{
public:
    using Rule = std::function<Fault(const std::string& head)>;
    Relay(std::uint16_t upstream, Rule rule)
        : m_upstream(upstream), m_rule(std::move(rule)), m_server([this](ServerConnection& c) { serve(c); })
    {
    }
    std::string url(const std::string& path) const { return m_server.url(path); }
    // The Range values asked for, in order ("" for a request without one).
    std::vector<std::string> ranges() const
    {
        std::vector<std::string> out;
        static const std::regex range("\r\nRange: ?bytes=([0-9]*-[0-9]*)\r\n", std::regex::icase);
        for (const std::string& head : m_server.requestHeads()) {
            std::smatch m;
            out.push_back(std::regex_search(head, m, range) ? m[1].str() : "");
        }
        return out;
    }
    std::vector<std::string> heads() const { return m_server.requestHeads(); }

private:
    void serve(ServerConnection& c)
    {
        std::string head;
        if (!c.readRequestHead(head))
            return;
        const Fault fault = m_rule(head);
        if (fault.kind == Fault::Status) {
            c.send("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbusy");
            return;
        }
        std::string forward = std::regex_replace(head, std::regex("\r\nConnection: [^\r]*", std::regex::icase), "");
        if (fault.kind == Fault::WholeFile)
            forward = std::regex_replace(forward, std::regex("\r\nRange:[^\r]*", std::regex::icase), "");
        forward.insert(forward.size() - 2, "Connection: close\r\n");

        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(m_upstream);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::send(fd, forward.data(), forward.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(forward.size())) {
            ::close(fd);
            return;
        }
        std::string answerHead;
        std::int64_t body = 0;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            std::string_view piece(buffer, static_cast<std::size_t>(n));
            if (answerHead.empty() || answerHead.find("\r\n\r\n") == std::string::npos) {
                const std::size_t before = answerHead.size();
                answerHead.append(piece);
                const auto end = answerHead.find("\r\n\r\n");
                if (end == std::string::npos) {
                    c.send(piece);
                    continue;
                }
                c.send(piece.substr(0, end + 4 - before));
                piece.remove_prefix(end + 4 - before);
            }
            if (fault.kind == Fault::Cut || fault.kind == Fault::Hold) {
                const auto allowed = static_cast<std::size_t>(std::max<std::int64_t>(0, fault.bytes - body));
                if (piece.size() >= allowed) {
                    c.send(piece.substr(0, allowed));
                    ::close(fd);
                    if (fault.kind == Fault::Hold)
                        c.holdUntilStopped();
                    return;
                }
            }
            body += static_cast<std::int64_t>(piece.size());
            if (!c.send(piece))
                break;
        }
        ::close(fd);
    }

    std::uint16_t m_upstream;
    Rule m_rule;
    CannedServer m_server;
};

// True for a range request from `first` on.
bool asksFrom(const std::string& head, std::int64_t first)
{
    return head.find("Range:bytes=" + std::to_string(first) + "-") != std::string::npos;
}

class DownloadLoopback : public ::testing::Test
{
protected:
    static constexpr std::int64_t kSize = 5 * kSegmentSize + 12345;

    void SetUp() override
    {
        content = randomBytes(kSize, 7);
        fs::create_directories(www.path() / "norange");
        std::ofstream(www.path() / "file.bin", std::ios::binary) << content;
        std::ofstream(www.path() / "norange/file.bin", std::ios::binary) << content;
        fs::permissions(www.path() / "norange", fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        target = (local.path() / "file.bin").string();
    }

    // Runs one task to its end.
    void run(DownloadTask& task, const std::string& url, int maxSegments = kDefaultMaxSegments)
    {
        task.maxSegments = maxSegments;
        StartDownload(url, task, target);
        ASSERT_TRUE(task.waitFinished(kLimit)) << url;
    }

    testing::TempDir www, local;
    std::string content, target;
    NginxServer nginx{www.path(), {}, "    location /norange/ { max_ranges 0; }"};
};

TEST_F(DownloadLoopback, RangesFromNginxOverOneOrTenConnections)
{
    ASSERT_TRUE(nginx.running());
    for (int connections : {10, 1}) {
        Relay relay(nginx.port(), [](const std::string&) { return Fault{}; });
        DownloadTask task;
        run(task, relay.url("/file.bin"), connections);
        EXPECT_TRUE(task.allDone());
        EXPECT_FALSE(task.stopped());
        EXPECT_TRUE(task.rangeMode());
        EXPECT_EQ(task.totalSize(), kSize);
        EXPECT_EQ(GetProgress(task), kSize);
        EXPECT_TRUE(slurp(target) == content) << connections;
        // The size probe, the range probe, then each 200 KiB range once.
        std::vector<std::string> expected{"", "0-"};
        for (std::int64_t first = 0; first < kSize; first += kSegmentSize)
            expected.push_back(std::to_string(first) + "-" + std::to_string(std::min(first + kSegmentSize, kSize) - 1));
        std::vector<std::string> seen = relay.ranges();
        std::sort(seen.begin() + 2, seen.end(),
                  [](const std::string& a, const std::string& b) { return std::stoll(a) < std::stoll(b); });
        EXPECT_EQ(seen, expected) << connections;
        EXPECT_EQ(task.counts().repairs, 0);
        const std::string head = relay.heads().at(2);
        EXPECT_NE(head.find("GET /file.bin HTTP/1.0\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("\r\nAccept: */*\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("\r\nUser-Agent: MW-"), std::string::npos) << head;
    }
}

TEST_F(DownloadLoopback, ServerWithoutRangesIsReadOverOneConnection)
{
    Relay relay(nginx.port(), [](const std::string&) { return Fault{}; });
    // An older, longer file there must not leave its tail behind.
    std::ofstream(target, std::ios::binary) << std::string(kSize + 5000, 'x');
    DownloadTask task;
    run(task, relay.url("/norange/file.bin"));
    EXPECT_TRUE(task.allDone());
    EXPECT_FALSE(task.rangeMode());
    EXPECT_EQ(GetProgress(task), kSize);
    EXPECT_TRUE(slurp(target) == content);
    EXPECT_EQ(relay.ranges(), (std::vector<std::string>{"", "0-", ""})) << "size probe, range probe, one plain GET";
}

TEST_F(DownloadLoopback, BrokenOrRefusedRangesAreFetchedAgain)
{
    const struct {
        const char* what;
        Fault fault;             // for the first request of the range from 204800
        const char* repairRange; // what the repair asks for
        int retired;
    } cases[] = {
        {"connection broken mid-range", {Fault::Cut, 50000}, "254800-409599", 0},
        {"broken before the first byte", {Fault::Cut, 0}, "204800-409599", 0},
        {"answered 503", {Fault::Status, 0}, "204800-409599", 1},
        {"answered 200 with the whole file", {Fault::WholeFile, 0}, "204800-409599", 1},
    };
    for (const auto& c : cases) {
        std::atomic<int> hits{0};
        Relay relay(nginx.port(),
                    [&](const std::string& head) { return asksFrom(head, 204800) && hits++ == 0 ? c.fault : Fault{}; });
        DownloadTask task;
        run(task, relay.url("/file.bin"));
        EXPECT_TRUE(task.allDone()) << c.what;
        EXPECT_TRUE(slurp(target) == content) << c.what;
        EXPECT_EQ(GetProgress(task), kSize) << c.what;
        EXPECT_EQ(task.counts().repairs, 1) << c.what;
        EXPECT_EQ(task.counts().retired, c.retired) << c.what;
        const auto seen = relay.ranges();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), c.repairRange), c.fault.bytes > 0 ? 1 : 2) << c.what;
    }
}

TEST_F(DownloadLoopback, RangeThatKeepsBreakingStopsTheTask)
{
    for (const Fault fault : {Fault{Fault::Cut, 1000}, Fault{Fault::Status, 0}}) {
        Relay relay(nginx.port(), [&](const std::string& head) {
            return head.find("Range:bytes=") != std::string::npos && !asksFrom(head, 0) &&
                           head.find("-409599") != std::string::npos
                       ? fault
                       : Fault{};
        });
        DownloadTask task;
        run(task, relay.url("/file.bin"));
        EXPECT_TRUE(task.stopped());
        EXPECT_FALSE(task.allDone());
        EXPECT_EQ(task.counts().repairs, kMaxRangeRepairs);
        EXPECT_LT(GetProgress(task), kSize);
    }
}

TEST_F(DownloadLoopback, StateFileIsResumedAndDeleted)
{
    // An earlier run left: [0, 204800) with 1000 bytes in the file, [204800,
    // 409600) not begun; nothing after it yet. The bytes the state counts as
    // present are there, the rest of the old file is rubbish.
    std::string old(kSize, 'x');
    old.replace(0, 1000, content.substr(0, 1000));
    std::ofstream(target, std::ios::binary) << old;
    std::ofstream(StateFilePath(target), std::ios::binary) << "2\n1000\n204800\n204800\n0\n0\n204800\n1000\n";

    Relay relay(nginx.port(), [](const std::string&) { return Fault{}; });
    DownloadTask task;
    run(task, relay.url("/file.bin"), 1);
    EXPECT_TRUE(task.allDone());
    EXPECT_TRUE(slurp(target) == content);
    EXPECT_FALSE(fs::exists(StateFilePath(target)));
    std::vector<std::string> expected{"", "0-", "1000-204799", "204800-409599"};
    for (std::int64_t first = 409600; first < kSize; first += kSegmentSize)
        expected.push_back(std::to_string(first) + "-" + std::to_string(std::min(first + kSegmentSize, kSize) - 1));
    EXPECT_EQ(relay.ranges(), expected) << "the two ranges first, then onwards from behind them";

    // A state that does not add up is dropped and the file fetched whole.
    std::ofstream(target, std::ios::binary) << old;
    std::ofstream(StateFilePath(target), std::ios::binary) << "1\n999999\n0\n204800\n1000\n";
    DownloadTask again;
    run(again, relay.url("/file.bin"));
    EXPECT_TRUE(again.allDone());
    EXPECT_TRUE(slurp(target) == content);
    EXPECT_FALSE(fs::exists(StateFilePath(target)));
}

TEST_F(DownloadLoopback, StopEndsTheTaskWithItsConnections)
{
    std::promise<void> held;
    std::atomic<bool> once{false};
    Relay relay(nginx.port(), [&](const std::string& head) {
        if (asksFrom(head, 409600) && !once.exchange(true)) {
            held.set_value();
            return Fault{Fault::Hold, 3000};
        }
        return Fault{};
    });
    DownloadTask task;
    task.maxSegments = 3;
    StartDownload(relay.url("/file.bin"), task, target);
    ASSERT_EQ(held.get_future().wait_for(kLimit), std::future_status::ready);
    task.Stop();
    ASSERT_TRUE(task.waitFinished(kLimit));
    EXPECT_TRUE(task.stopped());
    EXPECT_FALSE(task.allDone());
    EXPECT_LT(GetProgress(task), kSize);
}

TEST_F(DownloadLoopback, OneConnectionStoppedMidwayResumesFromItsStateFile)
{
    // On one connection the third range follows the first two on the same
    // thread; a stop while it waits for its body must leave that range and
    // what follows it for the next task, and nothing else.
    std::promise<void> held;
    std::atomic<bool> once{false};
    Relay relay(nginx.port(), [&](const std::string& head) {
        if (asksFrom(head, 409600) && !once.exchange(true)) {
            held.set_value();
            return Fault{Fault::Hold, 0};
        }
        return Fault{};
    });
    DownloadTask stopped;
    stopped.keepState = true;
    stopped.maxSegments = 1;
    StartDownload(relay.url("/file.bin"), stopped, target);
    ASSERT_EQ(held.get_future().wait_for(kLimit), std::future_status::ready);
    stopped.Stop();
    ASSERT_TRUE(stopped.waitFinished(kLimit));
    EXPECT_TRUE(stopped.stopped());
    ASSERT_TRUE(fs::exists(StateFilePath(target)));

    const std::size_t before = relay.ranges().size();
    DownloadTask resumed;
    resumed.keepState = true;
    run(resumed, relay.url("/file.bin"), 1);
    EXPECT_TRUE(resumed.allDone());
    EXPECT_TRUE(slurp(target) == content);
    EXPECT_FALSE(fs::exists(StateFilePath(target)));
    std::vector<std::string> expected{"", "0-", "409600-614399"};
    for (std::int64_t first = 614400; first < kSize; first += kSegmentSize)
        expected.push_back(std::to_string(first) + "-" + std::to_string(std::min(first + kSegmentSize, kSize) - 1));
    const auto seen = relay.ranges();
    EXPECT_EQ(std::vector<std::string>(seen.begin() + static_cast<std::ptrdiff_t>(before), seen.end()), expected);
}

TEST_F(DownloadLoopback, WithoutASizeNothingCanComplete)
{
    Relay relay(nginx.port(), [](const std::string& head) {
        return head.find("Range") == std::string::npos ? Fault{Fault::Status, 0} : Fault{};
    });
    CannedServer mute([](ServerConnection&) {}); // closes every connection at once
    const std::string urls[] = {nginx.url("/missing.bin"), relay.url("/file.bin"), mute.url("/file.bin")};
    for (const std::string& url : urls) {
        DownloadTask task;
        run(task, url);
        EXPECT_TRUE(task.stopped()) << url;
        EXPECT_EQ(task.totalSize(), 0) << url;
    }
    // An empty file, though, is complete at once.
    std::ofstream(www.path() / "empty.bin").close();
    DownloadTask empty;
    std::ofstream(target) << "old";
    run(empty, nginx.url("/empty.bin"));
    EXPECT_TRUE(empty.allDone());
    EXPECT_EQ(fs::file_size(target), 0u);
}

TEST(DownloadRefsvc, FilesOfTheUpdateServer)
{
    testing::TempDir dir;
    fs::create_directories(dir.path() / "update/v9");
    const std::string big = randomBytes(3 * kSegmentSize + 77, 3);
    std::ofstream(dir.path() / "update/v9/Quorvane", std::ios::binary) << big;
    refsvc_test::RefService service({"--web", "none", "--test-server", "none", "--update", "127.0.0.1:0",
                                     "--update-dir", (dir.path() / "update").string()});
    ASSERT_TRUE(service.ok()) << service.log();
    const std::string base = "http://127.0.0.1:" + std::to_string(service.update().port) + "/update/";
    for (int connections : {10, 1}) {
        DownloadTask task;
        task.maxSegments = connections;
        const std::string target = (dir.path() / "Quorvane").string();
        StartDownload(base + "v9/Quorvane", task, target);
        ASSERT_TRUE(task.waitFinished(kLimit));
        EXPECT_TRUE(task.allDone()) << connections;
        EXPECT_TRUE(task.rangeMode());
        EXPECT_TRUE(slurp(target) == big) << connections;
    }
    DownloadTask missing;
    StartDownload(base + "v9/none", missing, (dir.path() / "none").string());
    ASSERT_TRUE(missing.waitFinished(kLimit));
    EXPECT_TRUE(missing.stopped());
}

} // namespace
} // namespace quorvane::update
