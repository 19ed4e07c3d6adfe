// quorvane-refsvc as the clients meet it: the built program on loopback,
// spoken to in raw HTTP so that every byte of an answer is checked.
#include "harness.h"

#include "common/codepage.h"
#include "common/md5.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

using namespace refsvc_test;
using namespace std::chrono;
using quorvane::md5Hex;

namespace
{

std::vector<std::string> serviceArgs(std::vector<std::string> extra = {})
{
    std::vector<std::string> args = {"--web",         "127.0.0.1:0",
                                     "--update",      "127.0.0.1:0",
                                     "--test-server", "127.0.0.2:0,127.0.0.3:0",
                                     "--data",        sourceDir() + "/service/data",
                                     "--download",    "small.bin=3000",
                                     "--download",    "big.bin=1G"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::string demoLogin(const std::string& password = "demo123")
{
    return "/qvweb/loginCheck?u=demo&p=" + md5Hex(password);
}

// What the parallel download client sends, line for line.
std::string downloadRequest(const std::string& target, const std::string& host)
{
    return "GET " + target +
           " HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\nConnection: Keep-Alive\r\n" +
           "Host: " + host + "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n\r\n";
}

std::string post(const std::string& target, const std::string& contentType, const std::string& body,
                 bool keepAlive = false)
{
    return "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           (keepAlive ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n") + "\r\n" + body;
}

const std::string kBoundary = "----------------63686572697368";

std::string multipartBody(const std::string& file)
{
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"upload.dat\"\r\n\r\n" +
           file + "\r\n--" + kBoundary + "--\r\n";
}

std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

// Sends the request and reads until the service closes the connection:
// true when it closed without a byte, false when it answered or when nothing
// happened for 10 s (then it was left hanging).
bool closedWithoutAnswer(const Address& to, const std::string& request)
{
    const int fd = connectTo(to, seconds(5));
    if (fd < 0)
        return false;
    if (!sendAll(fd, request)) {
        close(fd);
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    char byte;
    const bool closed = poll(&p, 1, 10000) == 1 && recv(fd, &byte, 1, 0) == 0;
    close(fd);
    return closed;
}

std::time_t parseHttpDate(const std::string& text)
{
    std::tm tm{};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    if (!end || *end != '\0')
        return -1;
    return timegm(&tm);
}

} // namespace

// ---------------------------------------------------------------------------
// Web project

TEST(RefsvcWebProject, LoginAnswersByteForByte)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();

    const Reply ok = get(svc.web(), demoLogin(), "Accept-Encoding: gzip, deflate\r\n");
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "true-10001-测速达人-127.0.0.1-广东省深圳市 电信-");
    EXPECT_EQ(ok.header("content-type"), "text/plain; charset=UTF-8");
    EXPECT_FALSE(ok.has("content-encoding")); // announced gzip, still plain

    EXPECT_EQ(get(svc.web(), demoLogin("demo124")).body, "false");
    EXPECT_EQ(get(svc.web(), "/qvweb/loginCheck?u=nobody&p=" + md5Hex("demo123")).body, "false");
    EXPECT_EQ(get(svc.web(), "/qvweb/loginCheck").body, "false");
    // Upper-case digests and the name's GBK bytes, raw in the request line.
    std::string upper = md5Hex("test456");
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(get(svc.web(), "/qvweb/loginCheck?u=tester&p=" + upper).body,
              "true-10002-北京用户-127.0.0.1-北京市 联通-");
    EXPECT_EQ(get(svc.web(), "/qvweb/loginCheck?u=tester&p=" + md5Hex("test456"), "").status, 200);
    EXPECT_EQ(get(svc.web(), "/qvweb/nosuchServlet").status, 404);
    EXPECT_EQ(svc.counter("login_accepted"), 3u);
    EXPECT_EQ(svc.counter("login_refused"), 3u);
}

TEST(RefsvcWebProject, LoginModesSwitchAtRunTime)
{
    RefService svc(serviceArgs({"--login-mode", "repsd"}));
    ASSERT_TRUE(svc.ok()) << svc.log();
    EXPECT_EQ(get(svc.web(), demoLogin()).body, "repsd");

    ASSERT_TRUE(svc.control("/__control/login-mode?mode=false"));
    EXPECT_EQ(get(svc.web(), demoLogin()).body, "false");

    ASSERT_TRUE(svc.control("/__control/login-mode?mode=garbage"));
    const Reply garbage = get(svc.web(), demoLogin());
    EXPECT_EQ(garbage.status, 200);
    EXPECT_FALSE(garbage.body.empty());
    for (const char* word : {"true", "false", "repsd"})
        EXPECT_EQ(garbage.body.find(word), std::string::npos) << word;

    ASSERT_TRUE(svc.control("/__control/login-mode?mode=close"));
    EXPECT_TRUE(closedWithoutAnswer(svc.web(), "GET " + demoLogin() + " HTTP/1.1\r\nHost: x\r\n\r\n"));

    // A lower bound only: load can lengthen the wait, never shorten it.
    ASSERT_TRUE(svc.control("/__control/login-mode?mode=delay:400"));
    const auto start = steady_clock::now();
    const Reply late = get(svc.web(), demoLogin());
    EXPECT_GE(steady_clock::now() - start, milliseconds(400));
    EXPECT_EQ(late.body.rfind("true-10001-", 0), 0u);
    // A client that gives up first sees nothing at all.
    ASSERT_TRUE(svc.control("/__control/login-mode?mode=delay:3000"));
    EXPECT_FALSE(
        roundTrip(svc.web(), "GET " + demoLogin() + " HTTP/1.1\r\nHost: x\r\n\r\n", milliseconds(300)).received);

    EXPECT_FALSE(svc.control("/__control/login-mode?mode=sometimes"));
    EXPECT_EQ(svc.stats()["login_mode"], "delay");
    ASSERT_TRUE(roundTrip(svc.web(), post("/__control/login-mode", "application/x-www-form-urlencoded", "mode=normal"))
                    .status == 200);
    EXPECT_EQ(get(svc.web(), demoLogin()).body.rfind("true-", 0), 0u);
}

TEST(RefsvcWebProject, ScoreAndPortalPages)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    EXPECT_EQ(get(svc.web(), "/qvweb/scoreQuery?userid=10001").body, "1280,960,320,");
    EXPECT_EQ(get(svc.web(), "/qvweb/scoreQuery?userid=99999").body, "0,0,0,");

    const std::string key = get(svc.web(), "/qvweb/portalKey").body;
    EXPECT_TRUE(std::regex_match(key, std::regex("[0-9A-F]{16}"))) << key;
    const std::string pageTarget =
        "/qvweb/portalPage?u=demo&p=" + md5Hex("demo123") + "&reqkey=" + key + "&pagetype=score";
    const Reply page = get(svc.web(), pageTarget);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("1280"), std::string::npos);
    EXPECT_NE(page.body.find("测速达人"), std::string::npos);
    EXPECT_EQ(get(svc.web(), pageTarget).status, 403); // a key opens one page

    const std::string key2 = get(svc.web(), "/qvweb/portalKey").body;
    EXPECT_NE(key2, key);
    EXPECT_EQ(get(svc.web(), "/qvweb/portalPage?u=demo&p=" + md5Hex("x") + "&reqkey=" + key2 + "&pagetype=bbs").status,
              403);
    const std::string key3 = get(svc.web(), "/qvweb/portalKey").body;
    EXPECT_EQ(
        get(svc.web(), "/qvweb/portalPage?u=demo&p=" + md5Hex("demo123") + "&reqkey=" + key3 + "&pagetype=bbs").status,
        200);

    ASSERT_TRUE(svc.control("/__control/portal-key-mode?mode=empty"));
    const Reply empty = get(svc.web(), "/qvweb/portalKey");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.header("content-length"), "0");
    EXPECT_EQ(svc.counter("portal_pages_shown"), 2u);
    EXPECT_EQ(svc.counter("portal_pages_refused"), 2u);
}

TEST(RefsvcWebProject, RegistrationAndForgottenPasswordPages)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    EXPECT_NE(get(svc.web(), "/speed/page/RegisterG.jsp").body.find("<form"), std::string::npos);
    EXPECT_NE(get(svc.web(), "/speed/page/ForgetPsd.jsp").body.find("<form"), std::string::npos);

    // 王五 / 密码x, as a browser posts the form (UTF-8, percent-encoded).
    const std::string form =
        "u=%E7%8E%8B%E4%BA%94&pw=%E5%AF%86%E7%A0%81x&nickname=%E5%B0%8F%E7%8E%8B"
        "&location1=%E6%B9%96%E5%8C%97%E7%9C%81%E6%AD%A6%E6%B1%89%E5%B8%82&location2=%E7%A7%BB%E5%8A%A8";
    const Reply reg =
        roundTrip(svc.web(), post("/speed/page/RegisterG.jsp", "application/x-www-form-urlencoded", form));
    EXPECT_EQ(reg.status, 200) << reg.body;
    // The client sends the name and digests the password in GBK.
    const Reply login = get(svc.web(), "/qvweb/loginCheck?u=" + quorvane::utf8ToGbk("王五") +
                                           "&p=" + md5Hex(quorvane::utf8ToGbk("密码x")));
    EXPECT_EQ(login.body, "true-10003-小王-127.0.0.1-湖北省武汉市 移动-");
    EXPECT_EQ(roundTrip(svc.web(), post("/speed/page/RegisterG.jsp", "application/x-www-form-urlencoded", form)).status,
              400); // the name is taken
    EXPECT_EQ(roundTrip(svc.web(), post("/speed/page/RegisterG.jsp", "application/x-www-form-urlencoded",
                                        "u=x&pw=y&nickname=a-b&location1=l&location2=m"))
                  .status,
              400); // "-" would break the login answer

    EXPECT_EQ(
        roundTrip(svc.web(), post("/speed/page/ForgetPsd.jsp", "application/x-www-form-urlencoded", "u=demo")).status,
        200);
    EXPECT_EQ(get(svc.web(), demoLogin()).body, "false");
    EXPECT_EQ(get(svc.web(), demoLogin("735119")).body.rfind("true-10001-", 0), 0u);
    EXPECT_EQ(
        roundTrip(svc.web(), post("/speed/page/ForgetPsd.jsp", "application/x-www-form-urlencoded", "u=nobody")).status,
        404);
}

TEST(RefsvcWebProject, ClockAnswersHeadWithTheServiceDate)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    Reply r = head(svc.web(), "/speed/");
    EXPECT_EQ(r.status, 200);
    std::time_t date = parseHttpDate(r.header("date"));
    EXPECT_LE(std::abs(date - std::time(nullptr)), 5) << r.header("date");

    ASSERT_TRUE(svc.control("/__control/clock-offset?seconds=-7200"));
    date = parseHttpDate(head(svc.web(), "/speed/").header("date"));
    EXPECT_LE(std::abs(date - (std::time(nullptr) - 7200)), 5);

    ASSERT_TRUE(svc.control("/__control/clock-mode?mode=error"));
    EXPECT_EQ(head(svc.web(), "/speed/").status, 503);
    ASSERT_TRUE(svc.control("/__control/clock-mode?mode=redirect"));
    r = head(svc.web(), "/speed/");
    EXPECT_EQ(r.status, 302);
    EXPECT_FALSE(r.header("location").empty());
    ASSERT_TRUE(svc.control("/__control/clock-mode?mode=nodate"));
    r = head(svc.web(), "/speed/");
    EXPECT_EQ(r.status, 200);
    EXPECT_FALSE(r.has("date"));
    EXPECT_EQ(svc.counter("clock_requests"), 5u);
}

// ---------------------------------------------------------------------------
// Test servers

TEST(RefsvcTestServer, KeyHandshakeModesAndRelease)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    const Address server = svc.testServers().at(0);
    auto release = [&](const std::string& key) {
        return roundTrip(server, post("/speed/dovalid?", "application/x-www-form-urlencoded", "key=" + key)).body;
    };

    const std::string answer = get(server, "/speed/dovalid?key=12345&flag=true").body;
    ASSERT_TRUE(std::regex_match(answer, std::regex("1,[0-9A-F]{16}"))) << answer;
    const std::string key = answer.substr(2);
    EXPECT_EQ(release(key), "1");
    EXPECT_EQ(release(key), "0"); // released already
    EXPECT_EQ(release("12345"), "0");

    ASSERT_TRUE(svc.control("/__control/key-mode?mode=0"));
    EXPECT_EQ(get(server, "/speed/dovalid?key=1&flag=false").body, "0,");

    ASSERT_TRUE(svc.control("/__control/key-mode?mode=2"));
    const std::string later = get(server, "/speed/dovalid?key=1&flag=false").body;
    ASSERT_TRUE(std::regex_match(later, std::regex("2,[0-9A-F]{16}"))) << later;
    // Coming back with the key it was given (to any test server) is let in.
    EXPECT_EQ(get(svc.testServers().at(1), "/speed/dovalid?key=" + later.substr(2) + "&flag=false").body,
              "1," + later.substr(2));
    EXPECT_EQ(release(later.substr(2)), "1");

    ASSERT_TRUE(svc.control("/__control/key-mode?mode=garbage"));
    const std::string junk = get(server, "/speed/dovalid?key=1&flag=true").body;
    ASSERT_FALSE(junk.empty());
    EXPECT_EQ(std::string("012").find(junk[0]), std::string::npos);
    ASSERT_TRUE(svc.control("/__control/key-mode?mode=close"));
    EXPECT_TRUE(get(server, "/speed/dovalid?key=1&flag=true").raw.empty());

    EXPECT_EQ(svc.counter("keys_issued"), 2u);
    EXPECT_EQ(svc.counter("keys_deferred"), 1u);
    EXPECT_EQ(svc.counter("keys_released"), 2u);
    EXPECT_EQ(svc.counter("releases_unknown"), 2u);
    EXPECT_EQ(svc.counter("keys_active"), 0u);
}

TEST(RefsvcTestServer, DownloadFileAsTheMeasuringClientsReadIt)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    const Address server = svc.testServers().at(1);

    const Reply first =
        roundTrip(server, downloadRequest("/speed/small.bin?r=1700000000.12345678901234567&key=K", server.host));
    ASSERT_EQ(first.status, 200);
    // The socket clients look for this spelling and take any "404" in the
    // head for a failure.
    EXPECT_NE(first.head.find("\r\nContent-Length: 3000\r\n"), std::string::npos) << first.head;
    EXPECT_EQ(first.head.find("404"), std::string::npos);
    EXPECT_LT(first.head.size(), 1024u);
    EXPECT_FALSE(first.has("content-encoding"));
    ASSERT_EQ(first.body.size(), 3000u);

    // Same content on every test server and every request; ranges are slices of it.
    EXPECT_EQ(get(svc.testServers().at(0), "/speed/small.bin").body, first.body);
    const Reply slice = get(server, "/speed/small.bin", "Range: bytes=1000-1999\r\n");
    EXPECT_EQ(slice.status, 206);
    EXPECT_EQ(slice.header("content-range"), "bytes 1000-1999/3000");
    EXPECT_EQ(slice.body, first.body.substr(1000, 1000));
    EXPECT_EQ(get(server, "/speed/small.bin", "Range: bytes=3000-\r\n").status, 416);

    const Reply big = head(server, "/speed/big.bin");
    EXPECT_EQ(big.header("content-length"), "1073741824");
    EXPECT_TRUE(big.body.empty());
    // The content does not repeat within a piece the clients read at once.
    EXPECT_NE(first.body.substr(0, 1024), first.body.substr(1024, 1024));

    EXPECT_EQ(get(server, "/speed/other.bin").status, 404);
    // Counted when the server has finished sending, which may be after the
    // client has read the last byte.
    EXPECT_TRUE(svc.counterAtLeast("download_bytes", 7000u));
    EXPECT_EQ(svc.counter("download_bytes"), 7000u);
    EXPECT_TRUE(svc.counterAtLeast("downloads_completed", 3u));
    EXPECT_EQ(svc.counter("downloads_completed"), 3u);

    // The file download test's presets live under /download/: the same files.
    EXPECT_EQ(get(server, "/download/small.bin").body, first.body);
    EXPECT_EQ(get(server, "/download/other.bin").status, 404);
}

// The faults the file download test's tests ask for in the query.
TEST(RefsvcTestServer, DownloadFaultsOnRequest)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    const Address server = svc.testServers().at(0);
    const std::string whole = get(server, "/download/small.bin").body;
    ASSERT_EQ(whole.size(), 3000u);

    struct Row {
        std::string query;
        int status;
        bool length; // a Content-Length header
        bool chunked;
        std::string body; // what arrives before the answer ends
    };
    for (const Row& r : {
             Row{"?status=503", 503, true, false, "refused on request\n"},
             Row{"?status=200", 200, true, false, whole}, // not a fault: ignored
             Row{"?length=none", 200, false, true, ""},
             // The rest of the body never comes; the connection is dropped.
             Row{"?stall_after=1000&stall_ms=100", 200, true, false, whole.substr(0, 1000)},
             Row{"?stall_after=0&stall_ms=100", 200, true, false, ""},
         }) {
        SCOPED_TRACE(r.query);
        const Reply reply = get(server, "/download/small.bin" + r.query);
        EXPECT_EQ(reply.status, r.status);
        EXPECT_EQ(reply.has("content-length"), r.length);
        EXPECT_EQ(reply.header("transfer-encoding") == "chunked", r.chunked);
        if (r.chunked) {
            // Chunks of the same content, then the last chunk.
            std::string body;
            std::size_t at = reply.body.find("\r\n");
            std::size_t from = 0;
            while (at != std::string::npos) {
                const std::size_t size = std::stoul(reply.body.substr(from, at - from), nullptr, 16);
                if (size == 0)
                    break;
                body += reply.body.substr(at + 2, size);
                from = at + 2 + size + 2;
                at = reply.body.find("\r\n", from);
            }
            EXPECT_EQ(body, whole);
        } else {
            EXPECT_EQ(reply.body, r.body);
        }
    }
}

TEST(RefsvcTestServer, UploadsAreCountedAsTheClientsCountThem)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    const Address server = svc.testServers().at(0);

    // Multipart, one request carrying one file.
    const std::string file = randomBytes(100000, 1);
    const std::string body = multipartBody(file);
    std::string request = "POST /speed/doload.do?r=1&key=K HTTP/1.1\r\nHost: " + server.host +
                          "\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
                          "\r\nAccept-Encoding: gzip, deflate\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
                          "Connection: Keep-Alive\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
    EXPECT_EQ(roundTrip(server, request).status, 200);

    // Repeated chunks: request after request on one connection.
    const int fd = connectTo(server, seconds(5));
    ASSERT_GE(fd, 0);
    const std::string chunk = randomBytes(32768, 2);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(sendAll(fd, post("/speed/doload.do?r=2&key=K", "application/x-www-form-urlencoded", chunk, true)));
        EXPECT_EQ(parseReply(readAnswer(fd, steady_clock::now() + seconds(5)), false).status, 200) << i;
    }
    close(fd);
    EXPECT_EQ(svc.counter("upload_payload_bytes"), 100000u + 3 * 32768u);
    EXPECT_EQ(svc.counter("upload_body_bytes"), body.size() + 3 * 32768u);
    EXPECT_EQ(svc.counter("upload_multipart"), 1u);
    EXPECT_EQ(svc.counter("upload_other"), 3u);
    EXPECT_EQ(svc.counter("uploads_completed"), 4u);
    EXPECT_EQ(svc.counter("upload_buffers_limited"), 0u); // unthrottled: left to the kernel

    // A client stopped mid-file: what arrived still counts, the framing does not.
    const int cut = connectTo(server, seconds(5));
    ASSERT_GE(cut, 0);
    const std::size_t headSize = body.find("\r\n\r\n") + 4;
    const std::size_t headerEnd = request.find("\r\n\r\n") + 4;
    ASSERT_TRUE(sendAll(cut, request.substr(0, headerEnd + headSize + 50000)));
    close(cut);
    EXPECT_TRUE(svc.counterAtLeast("uploads_broken", 1));
    EXPECT_EQ(svc.counter("uploads_broken"), 1u);
    EXPECT_EQ(svc.counter("upload_payload_bytes"), 100000u + 3 * 32768u + 50000u);
}

// ---------------------------------------------------------------------------
// Limits: what a stranger could send to exhaust or corrupt the service

TEST(RefsvcLimits, BodiesAreRefusedByTheirLengthExceptTheUploadSinksFile)
{
    RefService svc(serviceArgs({"--max-upload-body", "10M"}));
    ASSERT_TRUE(svc.ok()) << svc.log();
    const Address web = svc.web(), test = svc.testServers().at(0);
    auto headOnly = [](const std::string& target, const std::string& lengthHeader) {
        return "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
               lengthHeader + "\r\n\r\n";
    };
    struct Case {
        Address to;
        std::string request;
        int status;
    };
    const Case cases[] = {
        // Announced lengths beyond the limit are answered before any body byte.
        {web, headOnly("/speed/page/RegisterG.jsp", "Content-Length: 8193"), 413},
        {web, headOnly("/speed/page/ForgetPsd.jsp", "Content-Length: 99999999999999999999999"), 413},
        {web, headOnly("/__control/login-mode", "Transfer-Encoding: chunked"), 411},
        {test, headOnly("/speed/dovalid?", "Content-Length: 1000000"), 413},
        {test, headOnly("/speed/doload.do", "Content-Length: 10485761"), 413},
        {svc.update(), headOnly("/update/x", "Content-Length: 70000"), 413},
        // A form at the limit and the measurement's file are taken.
        {web,
         post("/speed/page/ForgetPsd.jsp", "application/x-www-form-urlencoded", "u=nobody&x=" + std::string(8181, 'a')),
         404},
        {test,
         post("/speed/doload.do", "multipart/form-data; boundary=" + kBoundary, multipartBody(randomBytes(8 << 20, 5))),
         200},
        // A chunked upload is counted as it comes and cut off at the limit.
        {test,
         "POST /speed/doload.do HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
             [] {
                 std::string chunks;
                 for (int i = 0; i < 11; ++i)
                     chunks += "100000\r\n" + std::string(1 << 20, 'c') + "\r\n";
                 return chunks + "0\r\n\r\n";
             }(),
         413},
    };
    for (const auto& c : cases)
        EXPECT_EQ(roundTrip(c.to, c.request).status, c.status) << c.request.substr(0, 120);
    EXPECT_EQ(svc.counter("bodies_refused"), 7u);
    // The cut upload counts what arrived, as any broken-off upload does.
    EXPECT_EQ(svc.counter("upload_payload_bytes"), (8u << 20) + (10u << 20));
    EXPECT_EQ(get(web, demoLogin()).status, 200) << "still serving";
}

TEST(RefsvcLimits, RegistrationsIdsAndClockOffsetsStayInRange)
{
    const std::string form = "u=new&pw=x&nickname=n&location1=l1&location2=l2";
    const std::string digest = md5Hex("x");
    struct Case {
        std::string users; // the users file
        std::vector<std::string> extra;
        int firstStatus, secondStatus;
        std::string newId; // of the first registration
        std::uint64_t usersAfter;
    };
    const Case cases[] = {
        // At the cap a registration is refused, without touching the users.
        {"a|" + digest + "|1|n|*|l1|l2\n", {"--max-users", "2"}, 200, 403, "10001", 2},
        // A large id leaves room above it (it once overflowed) ...
        {"a|" + digest + "|9223372036854775807|n|*|l1|l2\n", {}, 200, 200, "9223372036854775808", 3},
        // ... the largest leaves none, which is said instead of wrapping round.
        {"a|" + digest + "|18446744073709551615|n|*|l1|l2\n", {}, 400, 400, "", 1},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto args = serviceArgs({"--users", dir.write("users.txt", c.users)});
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RefService svc(args);
        ASSERT_TRUE(svc.ok()) << svc.log();
        const auto registration = [&](const std::string& name) {
            return roundTrip(svc.web(), post("/speed/page/RegisterG.jsp", "application/x-www-form-urlencoded",
                                             "u=" + name + form.substr(5)));
        };
        EXPECT_EQ(registration("new").status, c.firstStatus) << c.users;
        EXPECT_EQ(registration("newer").status, c.secondStatus) << c.users;
        if (!c.newId.empty()) {
            EXPECT_EQ(get(svc.web(), "/qvweb/loginCheck?u=new&p=" + digest).body,
                      "true-" + c.newId + "-n-127.0.0.1-l1 l2-");
        }
        EXPECT_EQ(svc.counter("users"), c.usersAfter) << c.users;
    }

    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    for (const char* bad : {"9223372036854775807", "-9223372036854775808", "3153600001", "99999999999999999999"})
        EXPECT_FALSE(svc.control(std::string("/__control/clock-offset?seconds=") + bad)) << bad;
    EXPECT_EQ(svc.stats()["clock_offset"], "0");
    ASSERT_TRUE(svc.control("/__control/clock-offset?seconds=-3153600000"));
    const std::time_t date = parseHttpDate(head(svc.web(), "/speed/").header("date"));
    EXPECT_LE(std::abs(date - (std::time(nullptr) - 3153600000LL)), 5);
}

TEST(RefsvcLimits, TheRequestLogHoldsNoPasswordDigests)
{
    RefService svc(serviceArgs(), true);
    ASSERT_TRUE(svc.ok()) << svc.log();
    const std::string digest = md5Hex("demo123");
    ASSERT_EQ(get(svc.web(), demoLogin()).status, 200);
    const std::string key = get(svc.web(), "/qvweb/portalKey").body;
    ASSERT_EQ(get(svc.web(), "/qvweb/portalPage?pagetype=score&u=demo&p=" + digest + "&reqkey=" + key).status, 200);
    // Each line is written once its answer is out; wait for the last one.
    const auto deadline = steady_clock::now() + seconds(5);
    while (svc.log().find("pagetype=score") == std::string::npos && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20));
    const std::string log = svc.log();
    EXPECT_EQ(log.find(digest), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /qvweb/loginCheck?u=demo&p=*** HTTP/1.1\" 200"), std::string::npos) << log;
    EXPECT_NE(log.find("&p=***&reqkey=" + key), std::string::npos) << log;
}

// ---------------------------------------------------------------------------
// Update server

TEST(RefsvcUpdateServer, StaticFilesWithByteRanges)
{
    TempDir dir;
    const std::string content = randomBytes(500000, 3);
    dir.write("update/files/Quorvane.bin", content);
    dir.write("update/update.xml", "<update><Version>V2</Version></update>");
    dir.write("secret.txt", "not for clients");
    std::filesystem::create_symlink(dir.path() + "/secret.txt", dir.path() + "/update/link.txt");
    RefService svc(serviceArgs({"--update-dir", dir.path() + "/update"}));
    ASSERT_TRUE(svc.ok()) << svc.log();
    const Address u = svc.update();

    const Reply whole = get(u, "/update/files/Quorvane.bin");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.header("accept-ranges"), "bytes");
    EXPECT_EQ(whole.body, content);
    EXPECT_EQ(get(u, "/update/update.xml").body, "<update><Version>V2</Version></update>");

    // 200 KiB segments, with the header written without a blank.
    const std::pair<std::size_t, std::size_t> segments[] = {{0, 204799}, {204800, 409599}, {409600, 499999}};
    for (const auto& [a, b] : segments) {
        const Reply r =
            get(u, "/update/files/Quorvane.bin", "Range:bytes=" + std::to_string(a) + "-" + std::to_string(b) + "\r\n");
        EXPECT_EQ(r.status, 206);
        EXPECT_EQ(r.header("content-range"), "bytes " + std::to_string(a) + "-" + std::to_string(b) + "/500000");
        EXPECT_EQ(r.body, content.substr(a, b - a + 1)) << a;
    }
    const Reply open = get(u, "/update/files/Quorvane.bin", "Range:bytes=0-\r\n");
    EXPECT_EQ(open.status, 206);
    EXPECT_EQ(open.body.size(), 500000u);
    const Reply beyond = get(u, "/update/files/Quorvane.bin", "Range: bytes=500000-\r\n");
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(beyond.header("content-range"), "bytes */500000");
    EXPECT_EQ(get(u, "/update/files/Quorvane.bin", "Range: bytes=0-1,5-6\r\n").status, 200);
    // The segmented downloader speaks HTTP/1.0.
    const Reply old = roundTrip(u, "GET /update/files/Quorvane.bin HTTP/1.0\r\nRange:bytes=10-19\r\n\r\n");
    EXPECT_EQ(old.status, 206);
    EXPECT_EQ(old.body, content.substr(10, 10));
    EXPECT_EQ(head(u, "/update/files/Quorvane.bin").header("content-length"), "500000");

    for (const char* outside : {"/update/../secret.txt", "/update/%2e%2e/secret.txt", "/update/link.txt",
                                "/update/files", "/update/", "/update/missing.bin"})
        EXPECT_EQ(get(u, outside).status, 404) << outside;
}

// ---------------------------------------------------------------------------
// Line rate

TEST(RefsvcLineRate, TransfersTakeAtLeastTheirTimeOnTheLine)
{
    // 6,250,000 bytes a second. Only lower bounds: the line may never be
    // faster than its rate, and load can only make it slower. How close to
    // the rate the service keeps is measured by bench/transfer.
    RefService svc(serviceArgs({"--rate-mbit", "50"}));
    ASSERT_TRUE(svc.ok()) << svc.log();
    const Address server = svc.testServers().at(0);
    // 12.5 MB take 2 s; the line's bucket (10 ms, two pieces) may pass at
    // once, so 1.99 s is the least a shaped line allows.
    const auto atLeast = [](steady_clock::time_point start, double seconds) {
        EXPECT_GE(duration<double>(steady_clock::now() - start).count(), seconds);
    };
    // A loaded machine must not make the line faster (a descheduled sender
    // once earned a burst): every core stays busy throughout, for at most
    // a minute.
    std::atomic<bool> done{false};
    std::vector<std::thread> busy;
    const auto busyUntil = steady_clock::now() + seconds(60);
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
        busy.emplace_back([&] {
            while (!done && steady_clock::now() < busyUntil) {
            }
        });
    struct Joiner {
        std::atomic<bool>& done;
        std::vector<std::thread>& threads;
        ~Joiner()
        {
            done = true;
            for (auto& t : threads)
                t.join();
        }
    } joiner{done, busy};

    auto start = steady_clock::now();
    const Reply one = get(server, "/speed/big.bin", "Range: bytes=0-12499999\r\n");
    const double took = duration<double>(steady_clock::now() - start).count();
    EXPECT_EQ(one.body.size(), 12500000u);
    atLeast(start, 1.985);
    // The service's own account of that body: all of it, over no more time
    // than the client saw, never faster than the line.
    std::map<std::string, std::string> carried;
    for (const auto until = steady_clock::now() + seconds(5); carried.empty() && steady_clock::now() < until;
         std::this_thread::sleep_for(milliseconds(20))) {
        std::istringstream lines(get(svc.web(), "/__control/carried").body);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::map<std::string, std::string> f;
            for (std::string field; fields >> field;)
                if (const auto eq = field.find('='); eq != std::string::npos)
                    f[field.substr(0, eq)] = field.substr(eq + 1);
            if (f["length"] == "12500000")
                carried = f;
        }
    }
    ASSERT_FALSE(carried.empty());
    {
        EXPECT_EQ(carried["bytes"], "12500000");
        const double bodySeconds = (std::stod(carried["last_ms"]) - std::stod(carried["first_ms"])) / 1000.0;
        EXPECT_LE(bodySeconds, took);
        EXPECT_LE(std::stod(carried["request_ms"]), std::stod(carried["first_ms"]));
        // A shaped line's bound: the rate over the interval plus its bucket
        // (two 5 ms pieces) and the two times' rounding to milliseconds.
        EXPECT_LE(12500000 - std::stod(carried["first_piece"]), 6250000 * (bodySeconds + 0.012));
    }

    // Five connections share the line, as the parallel clients do, right
    // after the first transfer.
    std::atomic<std::size_t> received{0};
    start = steady_clock::now();
    std::vector<std::thread> five;
    for (int i = 0; i < 5; ++i)
        five.emplace_back([&] { received += get(server, "/speed/big.bin", "Range: bytes=0-2499999\r\n").body.size(); });
    for (auto& t : five)
        t.join();
    EXPECT_EQ(received.load(), 12500000u);
    atLeast(start, 1.985);

    start = steady_clock::now();
    const Reply up = roundTrip(svc.testServers().at(1), post("/speed/doload.do", "application/x-www-form-urlencoded",
                                                             std::string(12500000, 'u')));
    EXPECT_EQ(up.status, 200);
    atLeast(start, 1.985);
    EXPECT_EQ(svc.counter("upload_body_bytes"), 12500000u);
    // Uploads on a throttled line get a small receive buffer, so that a
    // client counting at its socket cannot run megabytes ahead of the line.
    EXPECT_EQ(svc.counter("upload_buffers_limited"), 1u);

    done = true;

    // Unthrottled at run time: the whole file, no small buffers any more.
    ASSERT_TRUE(svc.control("/__control/rate?down=0&up=0"));
    EXPECT_EQ(svc.stats()["down_bits_per_second"], "0");
    EXPECT_EQ(get(server, "/speed/big.bin", "Range: bytes=0-62499999\r\n").body.size(), 62500000u);
    EXPECT_EQ(roundTrip(server, post("/speed/doload.do", "text/plain", std::string(100000, 'u'))).status, 200);
    EXPECT_EQ(svc.counter("upload_buffers_limited"), 1u);
}

// ---------------------------------------------------------------------------
// Life cycle

TEST(RefsvcLifeCycle, StopsCleanlyOnSignalsWhileRequestsAreOpen)
{
    RefService svc(serviceArgs({"--rate-mbit", "1", "--login-mode", "delay:60000"}), true);
    ASSERT_TRUE(svc.ok()) << svc.log();
    EXPECT_EQ(get(svc.web(), "/qvweb/scoreQuery?userid=10001").body, "1280,960,320,");

    // A slow download and a held login are in progress when the signal comes.
    std::thread download([&] { get(svc.testServers().at(0), "/speed/big.bin"); });
    std::thread login([&] { get(svc.web(), demoLogin()); });
    ASSERT_TRUE(svc.counterAtLeast("login_requests", 1));
    ASSERT_TRUE(svc.counterAtLeast("download_requests", 1));
    EXPECT_EQ(svc.counter("login_requests"), 1u);
    EXPECT_EQ(svc.counter("download_requests"), 1u);

    // The held login would answer after 60 s and the download take hours:
    // ending well before either means the open requests were cut.
    const auto status = svc.stop(SIGTERM, seconds(30));
    download.join();
    login.join();
    ASSERT_TRUE(status.has_value()) << "still running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;

    const std::string log = svc.log();
    EXPECT_NE(log.find("\"GET /qvweb/scoreQuery?userid=10001 HTTP/1.1\" 200 13\n"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped"), std::string::npos);

    RefService idle(serviceArgs());
    ASSERT_TRUE(idle.ok());
    const auto interrupted = idle.stop(SIGINT, seconds(5));
    ASSERT_TRUE(interrupted.has_value());
    EXPECT_TRUE(WIFEXITED(*interrupted) && WEXITSTATUS(*interrupted) == 0);
}

TEST(RefsvcLifeCycle, RefusesToStartOnBadInput)
{
    TempDir dir;
    const std::string users = dir.write("users.txt", "ok|62cc2d8b4bf2d8728120d052163a77df|1|n|*|l1|l2\n"
                                                     "bad|62cc2d8b4bf2d8728120d052163a77df|2|n-n|*|l1|l2\n");
    RefService badUsers(serviceArgs({"--users", users}));
    EXPECT_FALSE(badUsers.ok());
    auto status = badUsers.stop(SIGTERM, seconds(5));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    EXPECT_NE(badUsers.log().find("line 2"), std::string::npos) << badUsers.log();

    RefService badOption({"--rate-mbit", "fast"});
    EXPECT_FALSE(badOption.ok());
    status = badOption.stop(SIGTERM, seconds(5));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(WEXITSTATUS(*status), 2);

    // An address another service holds is refused, not shared.
    RefService first(serviceArgs());
    ASSERT_TRUE(first.ok());
    const Address taken = first.testServers().at(0);
    RefService second({"--web", "none", "--update", "none", "--data", sourceDir() + "/service/data", "--test-server",
                       taken.host + ":" + std::to_string(taken.port)});
    EXPECT_FALSE(second.ok());
    status = second.stop(SIGTERM, seconds(5));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_NE(second.log().find("cannot listen"), std::string::npos);
}

TEST(RefsvcLifeCycle, TestServersListenOnTheClientsFixedPort)
{
    // The clients always use port 8080; each test server has its own
    // loopback address. Another run may hold one, so try a few.
    std::mt19937 gen(static_cast<unsigned>(steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string a = "127." + std::to_string(10 + gen() % 200) + "." + std::to_string(gen() % 250) + "." +
                              std::to_string(2 + gen() % 250);
        const std::string b =
            a.substr(0, a.rfind('.')) + "." + std::to_string(1 + std::stoi(a.substr(a.rfind('.') + 1)));
        RefService svc({"--web", "none", "--update", "none", "--data", sourceDir() + "/service/data", "--test-server",
                        a + "," + b});
        if (!svc.ok())
            continue;
        ASSERT_EQ(svc.testServers().size(), 2u);
        for (const auto& server : svc.testServers()) {
            EXPECT_EQ(server.port, 8080);
            EXPECT_EQ(get(server, "/speed/dovalid?key=1&flag=true").body.substr(0, 2), "1,");
        }
        EXPECT_EQ(svc.readyLine(), "quorvane-refsvc ready web=none update=none test=" + a + ":8080," + b + ":8080");
        return;
    }
    FAIL() << "no free loopback address found for port 8080";
}

TEST(RefsvcWebProject, FirstScreenTestPagesAndPortals)
{
    RefService svc(serviceArgs());
    ASSERT_TRUE(svc.ok()) << svc.log();
    const struct {
        const char* target;
        int status;
        const char* type; // content type prefix
        const char* needle;
    } cases[] = {
        {"/test/page?grow_ms=800", 200, "text/html", "at(800,"},
        {"/portal/news/index.html", 200, "text/html", "<title>news</title>"},
        {"/portal/163/index.html", 200, "text/html", "<title>163</title>"},
        {"/test/hold?ms=50", 200, "image/gif", "GIF89a"},
    };
    for (const auto& c : cases) {
        const Reply r = get(svc.web(), c.target);
        EXPECT_EQ(r.status, c.status) << c.target;
        EXPECT_EQ(r.header("content-type").rfind(c.type, 0), 0u) << c.target << ": " << r.header("content-type");
        EXPECT_NE(r.body.find(c.needle), std::string::npos) << c.target;
        EXPECT_EQ(r.header("cache-control"), "no-store") << c.target;
    }
    // The video sites' pages are not portal stand-ins.
    EXPECT_EQ(get(svc.web(), "/portal/video/youku/v_show/id_X.html").body.find("at("), std::string::npos);
}
