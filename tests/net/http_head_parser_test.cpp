#include "net/http_head_parser.h"
#include "net/http_url.h"

#include <gtest/gtest.h>

using namespace quorvane;
using State = HttpHeadParser::State;

namespace
{

HttpHeadParser parsed(const std::string& head, std::size_t limit = HttpHeadParser::kSocketHeadLimit)
{
    HttpHeadParser parser(limit);
    for (char c : head)
        parser.feed(c);
    return parser;
}

} // namespace

TEST(HttpHeadParser, EndsExactlyAtTheEmptyLine)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    HttpHeadParser parser;
    for (std::size_t i = 0; i + 1 < head.size(); ++i)
        ASSERT_EQ(parser.feed(head[i]), State::NeedMore) << "done early at byte " << i;
    EXPECT_EQ(parser.feed(head.back()), State::Done);
    EXPECT_EQ(parser.raw(), head);

    // Fed in bulk, the head stops where the body begins.
    HttpHeadParser bulk;
    std::size_t consumed = 0;
    EXPECT_EQ(bulk.feed(head + "hello", consumed), State::Done);
    EXPECT_EQ(consumed, head.size());
    EXPECT_EQ(bulk.contentLength(), 5);

    // Bare line feeds do not end a head.
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\nContent-Length: 5\n\n").state(), State::NeedMore);
}

TEST(HttpHeadParser, HeadLimitCountsTheClosingLine)
{
    constexpr std::size_t limit = HttpHeadParser::kSocketHeadLimit;
    const std::string start = "HTTP/1.1 200 OK\r\nX-Pad: ";
    const std::string end = "\r\n\r\n";
    const std::string fits = start + std::string(limit - start.size() - end.size(), 'p') + end;
    ASSERT_EQ(fits.size(), limit);
    EXPECT_EQ(parsed(fits).state(), State::Done);

    const std::string oneOver = start + std::string(limit + 1 - start.size() - end.size(), 'p') + end;
    HttpHeadParser parser;
    std::size_t consumed = 0;
    EXPECT_EQ(parser.feed(oneOver, consumed), State::TooLarge);
    EXPECT_EQ(consumed, limit);
    // It stays too large: no later byte can make it a head.
    EXPECT_EQ(parser.feed('\n'), State::TooLarge);

    EXPECT_EQ(parsed(oneOver, 2 * limit).state(), State::Done);
}

TEST(HttpHeadParser, OnlyTheStatusLineDecidesSuccess)
{
    struct Case {
        const char* head;
        int status;
        bool success;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", 200, true},
        {"HTTP/1.0 204 No Content\r\n\r\n", 204, true},
        {"HTTP/1.1 206 Partial Content\r\n\r\n", 206, true},
        {"HTTP/1.1 299\r\n\r\n", 299, true},
        {"HTTP/1.1 199 Odd\r\n\r\n", 199, false},
        {"HTTP/1.1 301 Moved\r\n\r\n", 301, false},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", 403, false},
        {"HTTP/1.1 404 Not Found\r\n\r\n", 404, false},
        {"HTTP/1.1 500 Internal Server Error\r\n\r\n", 500, false},
        // "404" in a header of a good answer is just a header.
        {"HTTP/1.1 200 OK\r\nETag: \"404-abc\"\r\nContent-Length: 14040\r\n\r\n", 200, true},
        {"HTTP/1.1 200 OK\r\nX-Note: 404 Not Found\r\n\r\n", 200, true},
        // Not a status line at all.
        {"ICY 200 OK\r\n\r\n", 0, false},
        {"HTTP/1.1 2000 OK\r\n\r\n", 0, false},
        {"HTTP/1.1 20 OK\r\n\r\n", 0, false},
        {"HTTP/1.1 001 Odd\r\n\r\n", 0, false},
        {"HTTP/1.1\r\n\r\n", 0, false},
        {"<html>200</html>\r\n\r\n", 0, false},
    };
    for (const Case& c : cases) {
        const auto parser = parsed(c.head);
        ASSERT_EQ(parser.state(), State::Done) << c.head;
        EXPECT_EQ(parser.statusCode(), c.status) << c.head;
        EXPECT_EQ(parser.isSuccess(), c.success) << c.head;
    }
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\nETag: \"404-abc\"\r\nContent-Length: 14040\r\n\r\n").contentLength(), 14040);
}

TEST(HttpHeadParser, ContentLengthReadsLikeTheClientsAlwaysDid)
{
    struct Case {
        const char* fields;
        std::int64_t length;
    };
    const Case cases[] = {
        {"Content-Length: 1234\r\n", 1234},
        {"Content-Length:1234\r\n", 1234},
        {"Content-Length:    77\r\n", 77},
        {"content-length: 42\r\n", 42},
        {"CONTENT-LENGTH: 42\r\n", 42},
        {"Content-Length: 12abc\r\n", 12},
        {"Content-Length: 0\r\n", 0},
        {"Content-Length: abc\r\n", 0},
        {"Content-Length: -5\r\n", 0},
        {"Content-Length:\r\n", 0},
        {"X-Content-Length: 99\r\n", 0},
        {"Server: x\r\n", 0},
        // Sizes past 2 and 4 GB stay exact.
        {"Content-Length: 2147483648\r\n", 2147483648LL},
        {"Content-Length: 6000000000\r\n", 6000000000LL},
        {"Content-Length: 9223372036854775807\r\n", 9223372036854775807LL},
        {"Content-Length: 9223372036854775808\r\n", 0},
        {"Content-Length: 99999999999999999999999\r\n", 0},
        // The first of two fields counts.
        {"Content-Length: 10\r\nContent-Length: 20\r\n", 10},
    };
    for (const Case& c : cases) {
        const auto parser = parsed(std::string("HTTP/1.1 200 OK\r\n") + c.fields + "\r\n");
        ASSERT_EQ(parser.state(), State::Done) << c.fields;
        EXPECT_EQ(parser.contentLength(), c.length) << c.fields;
    }
}

TEST(HttpHeadParser, FieldsKeepOrderAndFoldedLines)
{
    auto parser = parsed("HTTP/1.1 200 OK\r\nDate: Mon, 01 Jan 2024 00:00:00 GMT\r\nX-Long: first\r\n"
                         "\tsecond\r\nno colon here\r\n: empty name\r\nServer:  refsvc  \r\n\r\n");
    ASSERT_EQ(parser.state(), State::Done);
    ASSERT_EQ(parser.fields().size(), 3u);
    EXPECT_EQ(parser.fields()[0].first, "Date");
    EXPECT_EQ(parser.field("date").value_or(""), "Mon, 01 Jan 2024 00:00:00 GMT");
    EXPECT_EQ(parser.field("X-Long").value_or(""), "first second");
    EXPECT_EQ(parser.field("Server").value_or(""), "refsvc");
    EXPECT_FALSE(parser.field("Missing").has_value());

    parser.reset();
    EXPECT_EQ(parser.state(), State::NeedMore);
    EXPECT_TRUE(parser.raw().empty());
    EXPECT_EQ(parser.statusCode(), 0);
}

TEST(SplitUrl, DefaultsAndParts)
{
    UrlParts u;
    ASSERT_TRUE(SplitUrl("http://10.1.2.3/speed/file.bin?r=1&key=abc", u));
    EXPECT_EQ(u.scheme, "http");
    EXPECT_EQ(u.host, "10.1.2.3");
    EXPECT_EQ(u.port, 80);
    EXPECT_EQ(u.path, "/speed/file.bin?r=1&key=abc");

    ASSERT_TRUE(SplitUrl("HTTPS://Example.org:8443", u));
    EXPECT_EQ(u.scheme, "https");
    EXPECT_EQ(u.port, 8443);
    EXPECT_EQ(u.path, "/");
    ASSERT_TRUE(SplitUrl("https://example.org/a", u));
    EXPECT_EQ(u.port, 443);
    ASSERT_TRUE(SplitUrl("ftp://example.org/a", u));
    EXPECT_EQ(u.scheme, "ftp");
    EXPECT_EQ(u.port, 21);

    ASSERT_TRUE(SplitUrl("http://h:8080?x=1#frag", u));
    EXPECT_EQ(u.path, "/?x=1");
    ASSERT_TRUE(SplitUrl("http://user:pw@h:81/p#f", u));
    EXPECT_EQ(u.host, "h");
    EXPECT_EQ(u.port, 81);
    EXPECT_EQ(u.path, "/p");
    ASSERT_TRUE(SplitUrl("http://[::1]:8080/x", u));
    EXPECT_EQ(u.host, "::1");
    EXPECT_EQ(HostHeaderValue(u, false), "[::1]");
    EXPECT_EQ(HostHeaderValue(u, true), "[::1]:8080");

    ASSERT_TRUE(SplitUrl("http://h/下载 文件.bin", u));
    EXPECT_EQ(u.path, "/%E4%B8%8B%E8%BD%BD%20%E6%96%87%E4%BB%B6.bin");
}

TEST(SplitUrl, RejectsWhatCouldBreakARequest)
{
    UrlParts u;
    for (const char* bad : {"", "127.0.0.1/speed/", "://h/", "http://", "http:///path", "http://h:0/",
                            "http://h:65536/", "http://h:80x/", "http://[::1/", "http://[[]/", "http://a]b/",
                            "http://h/a\r\nX: y", "http://h\n/", "http://h/\x7f", "ht tp://h/"}) {
        EXPECT_FALSE(SplitUrl(bad, u)) << bad;
    }
    EXPECT_TRUE(SplitUrl("http://h:65535/", u));
    EXPECT_EQ(u.port, 65535);
}
