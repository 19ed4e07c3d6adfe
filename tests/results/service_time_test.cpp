#include "common/cipher.h"
#include "results/service_time.h"
#include "results/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quorvane;
using namespace quorvane::test;

namespace
{

// Sets the process time zone for one test and restores it.
class ZoneGuard
{
public:
    explicit ZoneGuard(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneGuard()
    {
        if (m_old)
            ::setenv("TZ", m_old->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> m_old;
};

// Answers exactly one HTTP request on a loopback port with a canned answer
// and keeps the request it got.
class OneShotServer
{
public:
    explicit OneShotServer(std::string answer) : m_answer(std::move(answer))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listen, 1);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return;
            const int fd = ::accept(m_listen, nullptr, nullptr);
            char buf[2048];
            while (m_request.find("\r\n\r\n") == std::string::npos) {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, 5000) <= 0)
                    break;
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0)
                    break;
                m_request.append(buf, static_cast<std::size_t>(n));
            }
            [[maybe_unused]] ssize_t w = ::write(fd, m_answer.data(), m_answer.size());
            ::close(fd);
        });
    }
    ~OneShotServer()
    {
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listen);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/speed/"; }
    std::string request()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_request;
    }

private:
    std::string m_answer;
    int m_listen = -1;
    int m_port = 0;
    std::string m_request;
    std::thread m_thread;
};

} // namespace

TEST(ServiceTime, ParsesTheThreeDateForms)
{
    using namespace std::chrono;
    const auto expected = sys_days(year(1994) / November / 6) + hours(8) + minutes(49) + seconds(37);
    EXPECT_EQ(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), expected);
    EXPECT_EQ(parseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT"), expected);
    EXPECT_EQ(parseHttpDate("Sun Nov  6 08:49:37 1994"), expected);

    EXPECT_FALSE(parseHttpDate(""));
    EXPECT_FALSE(parseHttpDate("yesterday"));
    EXPECT_FALSE(parseHttpDate("Sun, 06 Nov 1994 08:49:37 PST")) << "only GMT is a valid HTTP date zone";
    EXPECT_FALSE(parseHttpDate("Sun, 31 Feb 2023 08:49:37 GMT"));
    EXPECT_FALSE(parseHttpDate("Sun, 06 Foo 1994 08:49:37 GMT"));
    EXPECT_FALSE(parseHttpDate("Sun, 06 Nov 1994 24:00:00 GMT"));
    EXPECT_FALSE(parseHttpDate("Sat, 01 Jan 0000 00:00:00 GMT")) << "no instant the clock can hold";
    // Years the clock cannot hold in nanoseconds were once an overflow.
    EXPECT_FALSE(parseHttpDate("Sun Aug  6 08:49:08    1"));
    EXPECT_FALSE(parseHttpDate("Sun, 06 Nov 9999 08:49:37 GMT"));
}

TEST(ServiceTime, ServiceDateBecomesLocalTimeElseLocalClock)
{
    ZoneGuard zone("CST-8"); // UTC+8, no summer time
    auto fake = std::make_shared<FakeClock>(atLocal(2030, 6, 1, 12, 0, 0));
    std::string asked;
    std::optional<std::string> answer = "Tue, 31 Dec 2024 20:30:15 GMT";
    ServiceClock clock(
        "http://127.0.0.1:18080/speed/",
        [&](const std::string& url) {
            asked = url;
            return answer;
        },
        fake);

    RecordTime time;
    std::string text = "stale";
    EXPECT_TRUE(clock.GetServiceTime("%Y%m%d%H%M%S", time, text));
    EXPECT_EQ(asked, "http://127.0.0.1:18080/speed/");
    EXPECT_EQ(time, (RecordTime{2025, 1, 1, 4, 30, 15})) << "eight hours on crosses into the next year";
    EXPECT_EQ(text, "20250101043015");

    // No answer, or an answer whose date cannot be read: the local clock,
    // and no text.
    for (std::optional<std::string> bad : {std::optional<std::string>(), std::optional<std::string>("soon")}) {
        answer = bad;
        text = "stale";
        EXPECT_FALSE(clock.GetServiceTime("%Y", time, text));
        EXPECT_EQ(time, (RecordTime{2030, 6, 1, 12, 0, 0}));
        EXPECT_EQ(text, "");
    }

    // The host follows the configuration from one stamp to the next (a login
    // into another region).
    std::string configured = "http://127.0.0.1:18080/speed/";
    ServiceClock following([&] { return configured; },
                           [&](const std::string& url) {
                               asked = url;
                               return answer;
                           },
                           fake);
    following.now();
    EXPECT_EQ(asked, "http://127.0.0.1:18080/speed/");
    configured = "http://127.0.0.9:28080/speed/";
    following.now();
    EXPECT_EQ(asked, "http://127.0.0.9:28080/speed/");

    // No service configured: never asks.
    asked.clear();
    ServiceClock local(
        "",
        [&](const std::string& url) -> std::optional<std::string> {
            asked = url;
            return std::nullopt;
        },
        fake);
    EXPECT_EQ(local.now(), (RecordTime{2030, 6, 1, 12, 0, 0}));
    EXPECT_EQ(asked, "");
}

TEST(ServiceTime, AnAnswerOutsideTheSaneYearsIsNoClock)
{
    ZoneGuard zone("CST-8"); // UTC+8: the window applies to the local year
    const RecordTime localClock{2030, 6, 1, 12, 0, 0};
    auto fake = std::make_shared<FakeClock>(atLocal(2030, 6, 1, 12, 0, 0));
    std::string answer;
    ServiceClock clock(
        "http://127.0.0.1:18080/speed/", [&](const std::string&) { return answer; }, fake);
    struct Case {
        const char* date;
        std::optional<RecordTime> service; // nothing: the local clock
    };
    const Case cases[] = {
        {"Fri, 31 Dec 1999 15:59:59 GMT", std::nullopt},
        {"Fri, 31 Dec 1999 16:00:00 GMT", RecordTime{2000, 1, 1, 0, 0, 0}},
        {"Fri, 31 Dec 2100 15:59:59 GMT", RecordTime{2100, 12, 31, 23, 59, 59}},
        {"Fri, 31 Dec 2100 16:00:00 GMT", std::nullopt},
        {"Thu, 01 Jan 1970 00:00:00 GMT", std::nullopt},
        {"Sunday, 06-Nov-94 08:49:37 GMT", std::nullopt},
        {"Sat, 01 Jan 0000 00:00:00 GMT", std::nullopt},
        {"Sat, 01 Jan -999 00:00:00 GMT", std::nullopt},
        {"Fri, 31 Dec 9999 23:59:59 GMT", std::nullopt},
    };
    for (const Case& c : cases) {
        answer = c.date;
        RecordTime time;
        std::string text = "stale";
        EXPECT_EQ(clock.GetServiceTime("%Y%m%d%H", time, text), c.service.has_value()) << c.date;
        EXPECT_EQ(time, c.service.value_or(localClock)) << c.date;
        EXPECT_EQ(text, c.service ? formatTime(*c.service, "%Y%m%d%H") : "") << c.date;
    }
}

TEST(ServiceTime, HeadRequestReadsDateOnlyFromA200)
{
    {
        OneShotServer server("HTTP/1.1 200 OK\r\nDate: Tue, 02 Jan 2024 03:04:05 GMT\r\nContent-Length: 10\r\n\r\n");
        EXPECT_EQ(headDate(server.url()), "Tue, 02 Jan 2024 03:04:05 GMT");
        const std::string request = server.request();
        EXPECT_TRUE(request.starts_with("HEAD /speed/ HTTP/1.1\r\n")) << request;
        EXPECT_NE(request.find("\r\nAccept:* \r\n"), std::string::npos) << request;
    }
    {
        // A redirect is an answer without a usable clock: not followed.
        OneShotServer server("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/\r\n"
                             "Date: Tue, 02 Jan 2024 03:04:05 GMT\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(headDate(server.url()), std::nullopt);
    }
    {
        OneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(headDate(server.url()), std::nullopt);
    }
    // Nobody listening.
    std::string closedUrl;
    {
        OneShotServer server("");
        closedUrl = server.url();
        EXPECT_EQ(headDate(server.url()), std::nullopt); // served an empty answer
    }
    EXPECT_EQ(headDate(closedUrl), std::nullopt);
}

TEST(ServiceTime, ClockUrlComesFromTheWebProjectEndPoint)
{
    TempDir dir;
    EXPECT_EQ(serviceClockUrl(dir.path(), ""), "") << "no configuration: local clock";
    const std::string host = encryptValue("127.0.0.1", kValueKey);
    const std::string regional = encryptValue("127.0.0.9", kValueKey);
    spit(dir.path() / "conf/config.properties", "#user config\r\nupdate_server_url=" + host +
                                                    "\r\nweb_project_port=18080\r\nupdate_server_url_31=" + regional +
                                                    "\r\nweb_project_port_31=28080\r\n");
    EXPECT_EQ(serviceClockUrl(dir.path(), ""), "http://127.0.0.1:18080/speed/");
    EXPECT_EQ(serviceClockUrl(dir.path(), "31"), "http://127.0.0.9:28080/speed/");
    EXPECT_EQ(serviceClockUrl(dir.path(), "44"), "") << "a region without its keys has no service clock";
}

TEST(ServiceTime, CalendarArithmetic)
{
    EXPECT_EQ(addSeconds({2024, 12, 31, 23, 59, 59}, 1), (RecordTime{2025, 1, 1, 0, 0, 0}));
    EXPECT_EQ(addSeconds({2024, 2, 28, 23, 59, 30}, 45), (RecordTime{2024, 2, 29, 0, 0, 15}));
    EXPECT_EQ(addSeconds({2023, 2, 28, 23, 59, 30}, 45), (RecordTime{2023, 3, 1, 0, 0, 15}));
    EXPECT_EQ(formatStamp({2024, 1, 2, 3, 4, 5}), "2024-01-02 03:04:05");
    EXPECT_EQ(formatTime({2024, 1, 2, 3, 4, 5}, "%Y%m%d%H%M%S"), "20240102030405");
}
