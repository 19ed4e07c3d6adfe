// HttpRequest, HttpHead and HttpSession against scripted loopback servers and
// a TLS nginx with throwaway certificates.
#include "common/codepage.h"
#include "net/http_head_parser.h"
#include "net/http_nginx.h"
#include "net/http_request.h"
#include "net/http_test_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quorvane;
using namespace quorvane::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace
{

std::string answer(const std::string& statusLine, const std::string& body, const std::string& extra = {})
{
    return "HTTP/1.1 " + statusLine + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" +
           body;
}

std::int64_t requestContentLength(const std::string& head)
{
    HttpHeadParser parser(65536);
    std::size_t consumed = 0;
    parser.feed(head, consumed);
    return parser.contentLength();
}

// Answers each request on a connection with the next of `answers` (the last
// one repeats), recording request bodies.
CannedServer::Handler scripted(std::vector<std::string> answers, std::vector<std::string>* bodies = nullptr,
                               std::mutex* mutex = nullptr)
{
    return [answers, bodies, mutex](ServerConnection& c) {
        for (std::size_t i = 0;; ++i) {
            std::string head, body;
            if (!c.readRequestHead(head) || !c.readExactly(static_cast<std::size_t>(requestContentLength(head)), &body))
                return;
            if (bodies) {
                std::lock_guard lock(*mutex);
                bodies->push_back(body);
            }
            if (!c.send(answers[std::min(i, answers.size() - 1)]))
                return;
        }
    };
}

std::string fieldOf(const std::string& head, const std::string& name)
{
    const auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return "<absent>";
    const auto start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
}

} // namespace

TEST(HttpRequest, SendsTheServiceHeadersAndReturnsCheckedText)
{
    // Valid UTF-8, two invalid bytes, then a NUL and text after it.
    const std::string body = std::string("1|状态key\xff\xfe") + std::string(1, '\0') + "after the NUL";
    CannedServer server(scripted({answer("200 OK", body)}));
    std::string response = "stale";
    ASSERT_EQ(HttpRequest("GET", server.url("/speed/dovalid?key=1&flag=true"), "", response), kHttpAnswered);
    EXPECT_EQ(response, "1|状态key\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_TRUE(isValidUtf8(response));

    const auto heads = server.requestHeads();
    ASSERT_EQ(heads.size(), 1u);
    const std::string& head = heads[0];
    EXPECT_EQ(head.rfind("GET /speed/dovalid?key=1&flag=true HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_EQ(fieldOf(head, "User-Agent"), "Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; Trident/5.0)");
    EXPECT_EQ(fieldOf(head, "Accept"), "*,*/*");
    EXPECT_EQ(fieldOf(head, "Accept-Language"), "zh-cn");
    EXPECT_EQ(fieldOf(head, "Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(fieldOf(head, "Accept-Encoding"), "gzip, deflate");
}

TEST(HttpRequest, BodiesStatusesEncodingsAndRedirects)
{
    const std::string gzipped("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\x7b\xda\xd7\xfd\x7c\xcf\xca\xe7\xb3\x5a\x9e"
                              "\xaf\x9d\xf2\x74\x49\xaf\x42\x7e\x36\x00\x3a\x63\x30\x76\x12\x00\x00\x00",
                              39);
    std::vector<std::string> bodies;
    std::mutex mutex;
    CannedServer server([&](ServerConnection& c) {
        std::string head, body;
        if (!c.readRequestHead(head) || !c.readExactly(static_cast<std::size_t>(requestContentLength(head)), &body))
            return;
        {
            std::lock_guard lock(mutex);
            bodies.push_back(body);
        }
        if (head.find(" /post ") != std::string::npos)
            c.send(answer("200 OK", "got " + body));
        else if (head.find(" /missing ") != std::string::npos)
            c.send(answer("404 Not Found", "no such page"));
        else if (head.find(" /broken ") != std::string::npos)
            c.send(answer("500 Internal Server Error", "failed inside"));
        else if (head.find(" /gzip ") != std::string::npos)
            c.send(answer("200 OK", gzipped, "Content-Encoding: gzip\r\n"));
        else if (head.find(" /moved ") != std::string::npos)
            c.send(answer("302 Found", "", "Location: /post\r\n"));
        else
            c.send(answer("400 Bad Request", "unexpected"));
    });
    std::string response;
    EXPECT_EQ(HttpRequest("POST", server.url("/post"), "key=abc&x=1", response), kHttpAnswered);
    EXPECT_EQ(response, "got key=abc&x=1");
    EXPECT_EQ(HttpRequest("POST", server.url("/post"), "", response), kHttpAnswered);
    EXPECT_EQ(response, "got ");

    // The status is not looked at: an error page is an answer.
    EXPECT_EQ(HttpRequest("GET", server.url("/missing"), "", response), kHttpAnswered);
    EXPECT_EQ(response, "no such page");
    EXPECT_EQ(HttpRequest("GET", server.url("/broken"), "", response), kHttpAnswered);
    EXPECT_EQ(response, "failed inside");

    // A compressed answer is what the request asked for; it comes back as text.
    EXPECT_EQ(HttpRequest("GET", server.url("/gzip"), "", response), kHttpAnswered);
    EXPECT_EQ(response, "压缩的答复 ok");

    EXPECT_EQ(HttpRequest("GET", server.url("/moved"), "", response), kHttpAnswered);
    EXPECT_EQ(response, "got ");

    // A caller that wants no error page, or no body beyond its size, fails.
    HttpOptions strict;
    strict.errorStatusFails = true;
    strict.maxAnswerBytes = 8;
    const std::vector<std::pair<std::string, int>> cases = {
        {"/missing", kHttpFailed}, {"/broken", kHttpFailed}, {"/gzip", kHttpFailed}, {"/post", kHttpAnswered}};
    for (const auto& [path, result] : cases)
        EXPECT_EQ(HttpRequest("GET", server.url(path), "", response, strict), result) << path;
    EXPECT_EQ(response, "got ");
}

TEST(HttpRequest, OnlyHttpAndHttpsLeaveTheMachine)
{
    // Something listens where the FTP request would go; it must see nothing.
    CannedServer ftpPort([](ServerConnection& c) { c.send("220 ready\r\n"); });
    std::string response = "stale";
    EXPECT_EQ(HttpRequest("GET", "ftp://127.0.0.1:" + std::to_string(ftpPort.port()) + "/file", "", response),
              kHttpFailed);
    EXPECT_EQ(response, "");
    EXPECT_EQ(HttpRequest("GET", "file:///etc/hostname", "", response), kHttpFailed);
    EXPECT_EQ(HttpRequest("GET", "not a url", "", response), kHttpFailed);
    EXPECT_EQ(HttpRequest("GE T", "http://127.0.0.1:" + std::to_string(ftpPort.port()) + "/", "", response),
              kHttpFailed);

    // Nor does a redirect lead there.
    CannedServer redirecting(scripted(
        {answer("302 Found", "", "Location: ftp://127.0.0.1:" + std::to_string(ftpPort.port()) + "/file\r\n")}));
    EXPECT_EQ(HttpRequest("GET", redirecting.url("/"), "", response), kHttpFailed);
    EXPECT_EQ(ftpPort.connections(), 0);
    EXPECT_EQ(redirecting.connections(), 1);
}

TEST(HttpRequest, FailuresAndTimeOutsAreTold)
{
    std::string response;
    std::uint16_t closedPort;
    {
        CannedServer gone([](ServerConnection&) {});
        closedPort = gone.port();
    }
    EXPECT_EQ(HttpRequest("GET", "http://127.0.0.1:" + std::to_string(closedPort) + "/", "", response), kHttpFailed);

    // Accepts, reads the request, never answers: a stall time-out.
    CannedServer silent([](ServerConnection& c) { c.holdUntilStopped(); });
    HttpOptions quick;
    quick.stallTimeout = 1s;
    EXPECT_EQ(HttpRequest("GET", silent.url("/"), "", response, quick), kHttpTimedOut);

    // An answer that stops half-way is a time-out as well.
    CannedServer halfway([](ServerConnection& c) {
        std::string head;
        if (c.readRequestHead(head) && c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part"))
            c.holdUntilStopped();
    });
    EXPECT_EQ(HttpRequest("GET", halfway.url("/"), "", response, quick), kHttpTimedOut);
    EXPECT_EQ(response, "");

    // A listener whose queue is full drops new connection attempts: the
    // connect time-out is a time-out too.
    CannedServer::Options queueOnly;
    queueOnly.accept = false;
    queueOnly.backlog = 0;
    CannedServer full([](ServerConnection&) {}, queueOnly);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(full.port());
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(50ms); // let the fillers' handshakes land in the queue
    HttpOptions shortConnect;
    shortConnect.connectTimeout = 700ms;
    const auto start = Steady::now();
    EXPECT_EQ(HttpRequest("GET", full.url("/"), "", response, shortConnect), kHttpTimedOut);
    EXPECT_GE(Steady::now() - start, 600ms); // a lower bound: load only lengthens it
    for (int fd : fillers)
        ::close(fd);
}

TEST(HttpHead, ReturnsStatusAndHeadersWithoutFollowing)
{
    CannedServer server([](ServerConnection& c) {
        std::string head;
        if (!c.readRequestHead(head))
            return;
        if (head.rfind("HEAD /speed/ ", 0) == 0)
            c.send("HTTP/1.1 200 OK\r\nDate: Tue, 02 Jan 2024 03:04:05 GMT\r\nContent-Length: 1234\r\n\r\n");
        else
            c.send("HTTP/1.1 302 Found\r\nLocation: /speed/\r\nContent-Length: 0\r\n\r\n");
    });
    HttpHeadAnswer answer;
    ASSERT_EQ(HttpHead(server.url("/speed/"), answer), kHttpAnswered);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.header("date").value_or(""), "Tue, 02 Jan 2024 03:04:05 GMT");
    EXPECT_FALSE(answer.header("Location").has_value());
    ASSERT_EQ(server.requestHeads().size(), 1u);
    EXPECT_NE(server.requestHeads()[0].find("\r\nAccept:* \r\n"), std::string::npos) << server.requestHeads()[0];

    ASSERT_EQ(HttpHead(server.url("/elsewhere"), answer), kHttpAnswered);
    EXPECT_EQ(answer.status, 302);
    EXPECT_EQ(answer.header("Location").value_or(""), "/speed/");
    EXPECT_EQ(server.requestHeads().size(), 2u) << "a redirect is reported, not followed";

    std::uint16_t closedPort;
    {
        CannedServer gone([](ServerConnection&) {});
        closedPort = gone.port();
    }
    EXPECT_EQ(HttpHead("http://127.0.0.1:" + std::to_string(closedPort) + "/speed/", answer), kHttpFailed);
    EXPECT_EQ(answer.status, 0);
    EXPECT_TRUE(answer.headers.empty());
}

TEST(HttpSession, KeepsItsConnectionAndItsShortTimeOut)
{
    std::vector<std::string> bodies;
    std::mutex mutex;
    CannedServer server(scripted({answer("200 OK", "first"), answer("200 OK", "second")}, &bodies, &mutex));
    HttpSession session;
    std::string response;
    EXPECT_EQ(session.Request("GET", server.url("/a"), "", response), kHttpAnswered);
    EXPECT_EQ(response, "first");
    EXPECT_EQ(session.Request("POST", server.url("/speed/dovalid?"), "key=42", response), kHttpAnswered);
    EXPECT_EQ(response, "second");
    EXPECT_EQ(server.connections(), 1);
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(bodies.size(), 2u);
        EXPECT_EQ(bodies[1], "key=42");
    }
    const auto heads = server.requestHeads();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[1].rfind("POST /speed/dovalid? HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(fieldOf(heads[1], "Accept-Language"), "zh-cn") << "every request carries the service headers";

    CannedServer silent([](ServerConnection& c) { c.holdUntilStopped(); });
    const auto start = Steady::now();
    EXPECT_EQ(session.Request("GET", silent.url("/"), "", response), kHttpTimedOut);
    EXPECT_GE(Steady::now() - start, 2500ms); // a lower bound: load only lengthens it
    EXPECT_EQ(session.Request("GET", "ftp://127.0.0.1/", "", response), kHttpFailed);
}

// A server that keeps sending a byte now and then never trips the stall
// limit; only the whole request's deadline ends the wait.
TEST(HttpRequest, ATricklingServerCannotHoldACallerPastTheDeadline)
{
    constexpr int kTrickleBytes = 200; // 10 s of trickle: far past the deadline
    const auto trickle = [](bool inHead) {
        return [inHead](ServerConnection& c) {
            std::string head;
            if (!c.readRequestHead(head))
                return;
            c.send(inHead ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n");
            for (int i = 0; i < kTrickleBytes && !c.waitStopped(50ms); ++i) {
                if (!c.send(inHead ? "X: y\r\n" : "z"))
                    return;
            }
        };
    };
    HttpOptions options;
    options.totalTimeout = 700ms; // the stall limit stays at its 30 s
    struct Case {
        const char* name;
        bool trickleInHead;
        std::function<int(const std::string& url)> call;
    };
    HttpSession session(options);
    const Case cases[] = {
        {"request", false,
         [&](const std::string& url) {
             std::string response;
             return HttpRequest("GET", url, "", response, options);
         }},
        {"head", true,
         [&](const std::string& url) {
             HttpHeadAnswer answer;
             return HttpHead(url, answer, options);
         }},
        {"session", false,
         [&](const std::string& url) {
             std::string response;
             return session.Request("POST", url, "key=1", response);
         }},
    };
    for (const Case& c : cases) {
        CannedServer slow(trickle(c.trickleInHead));
        EXPECT_EQ(c.call(slow.url("/")), kHttpTimedOut) << c.name;
        // A prompt answer is not cut by the same deadline.
        CannedServer prompt(
            scripted({c.trickleInHead ? "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" : answer("200 OK", "in time")}));
        EXPECT_EQ(c.call(prompt.url("/")), kHttpAnswered) << c.name;
    }
}

TEST(HttpsRequest, CertificateAndItsNameAreVerified)
{
    TestCertificates certificates;
    const TlsSite good = certificates.issue("good", "127.0.0.1");
    const TlsSite wrongName = certificates.issue("wrong", "wrong.example");
    const TlsSite untrusted = certificates.selfSigned("self", "127.0.0.1");
    ASSERT_TRUE(certificates.ok()) << "openssl could not make the test certificates";
    TempDir root;
    NginxServer nginx(root.path(), {good, wrongName, untrusted});
    ASSERT_TRUE(nginx.running());
    auto httpsUrl = [&](std::size_t site) { return "https://127.0.0.1:" + std::to_string(nginx.tlsPort(site)) + "/x"; };

    HttpOptions trusting;
    trusting.trustFile = certificates.caFile();
    std::string response;
    EXPECT_EQ(HttpRequest("GET", httpsUrl(0), "", response, trusting), kHttpAnswered);
    EXPECT_EQ(response, "secure answer");
    // Same authority, but the certificate names another host.
    EXPECT_EQ(HttpRequest("GET", httpsUrl(1), "", response, trusting), kHttpFailed);
    EXPECT_EQ(response, "");
    // The right name, but nobody vouches for the certificate.
    EXPECT_EQ(HttpRequest("GET", httpsUrl(2), "", response, trusting), kHttpFailed);
    EXPECT_EQ(HttpRequest("GET", httpsUrl(0), "", response), kHttpFailed) << "the test authority is not the system's";

    HttpHeadAnswer head;
    EXPECT_EQ(HttpHead(httpsUrl(0), head, trusting), kHttpAnswered);
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.header("Date").has_value());
    EXPECT_EQ(HttpHead(httpsUrl(1), head, trusting), kHttpFailed);

    HttpSession session(HttpOptions{5000ms, 3000ms, certificates.caFile()});
    EXPECT_EQ(session.Request("POST", httpsUrl(0), "key=1", response), kHttpAnswered);
    EXPECT_EQ(session.Request("POST", httpsUrl(1), "key=1", response), kHttpFailed);
}
