// The reference service's pure parts: command line, user file, answer texts,
// byte ranges, upload accounting, the line-rate limiter, the web pages and
// the faults a streamed body's query asks for.
#include "answers.h"
#include "behaviour.h"
#include "options.h"
#include "rate_limiter.h"
#include "replies.h"
#include "upload_counter.h"
#include "users.h"
#include "web_pages.h"

#include "common/cipher.h"
#include "common/codepage.h"
#include "common/property_file.h"
#include "support/manual_clock.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

using namespace refsvc;

namespace
{
ParseResult parse(std::vector<std::string> args)
{
    return parseOptions(args);
}
} // namespace

TEST(RefsvcOptions, DefaultsAreTheSharedEndPoints)
{
    const auto r = parse({});
    ASSERT_TRUE(r.error.empty());
    ASSERT_TRUE(r.options.web && r.options.update);
    EXPECT_EQ(r.options.web->host, "127.0.0.1");
    EXPECT_EQ(r.options.web->port, 18080);
    EXPECT_EQ(r.options.update->port, 18081);
    ASSERT_EQ(r.options.testServers.size(), 8u);
    EXPECT_EQ(r.options.testServers[0].host, "127.0.0.2");
    EXPECT_EQ(r.options.testServers[7].host, "127.0.0.9");
    for (const auto& t : r.options.testServers)
        EXPECT_EQ(t.port, 8080);
    EXPECT_EQ(r.options.webProject, "qvweb");
    EXPECT_EQ(r.options.loginServlet, "loginCheck");
    EXPECT_EQ(r.options.scoreServlet, "scoreQuery");
    EXPECT_EQ(r.options.portalPageServlet, "portalPage");
    EXPECT_EQ(r.options.portalKeyServlet, "portalKey");
    ASSERT_EQ(r.options.downloads.size(), 6u);
    EXPECT_EQ(r.options.downloads[0].name, "download.dat");
    EXPECT_EQ(r.options.downloads[0].size, 100u * 1024 * 1024);
    EXPECT_EQ(r.options.downloads[1].name, "1MB.bin");
    EXPECT_EQ(r.options.downloads[1].size, 1024u * 1024);
    EXPECT_EQ(r.options.downloads[5].name, "50MB.bin");
    EXPECT_EQ(r.options.downBitsPerSecond, 0u);
}

TEST(RefsvcOptions, ValuesInBothSpellingsAndLists)
{
    const auto r = parse({"--web=127.0.0.9:0",
                          "--test-server",
                          "127.0.0.5,127.0.0.6:9000",
                          "--test-server",
                          "127.0.0.7",
                          "--update",
                          "none",
                          "--download",
                          "a.bin=64K",
                          "--download=b.bin=3G",
                          "--rate-mbit",
                          "50",
                          "--up-mbit=2.5",
                          "--key-mode",
                          "2",
                          "--login-mode",
                          "delay:1500",
                          "--web-project",
                          "other",
                          "-q"});
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.options.web->port, 0);
    EXPECT_FALSE(r.options.update.has_value());
    ASSERT_EQ(r.options.testServers.size(), 3u);
    EXPECT_EQ(r.options.testServers[0].port, 8080); // a bare host takes the test servers' port
    EXPECT_EQ(r.options.testServers[1].port, 9000);
    ASSERT_EQ(r.options.downloads.size(), 2u);
    EXPECT_EQ(r.options.downloads[0].size, 65536u);
    EXPECT_EQ(r.options.downloads[1].size, 3ull << 30);
    EXPECT_EQ(r.options.downBitsPerSecond, 50000000u);
    EXPECT_EQ(r.options.upBitsPerSecond, 2500000u);
    EXPECT_EQ(r.options.keyMode, "2");
    EXPECT_EQ(r.options.webProject, "other");
    EXPECT_TRUE(r.options.quiet);
    EXPECT_TRUE(parse({"--test-server", "none"}).options.testServers.empty());
}

TEST(RefsvcOptions, MistakesAreNamed)
{
    EXPECT_NE(parse({"--bogus"}).error.find("--bogus"), std::string::npos);
    EXPECT_NE(parse({"--web"}).error.find("needs a value"), std::string::npos);
    EXPECT_FALSE(parse({"--web", "127.0.0.1:99999"}).error.empty());
    EXPECT_FALSE(parse({"--web", ":80"}).error.empty());
    EXPECT_FALSE(parse({"--download", "nosize"}).error.empty());
    EXPECT_FALSE(parse({"--download", "x=12Q"}).error.empty());
    EXPECT_FALSE(parse({"--download", "../x=1K"}).error.empty());
    EXPECT_FALSE(parse({"--rate-mbit", "-3"}).error.empty());
    EXPECT_FALSE(parse({"--rate-mbit", "fast"}).error.empty());
    EXPECT_FALSE(parse({"--login-servlet", "a/b"}).error.empty());
    EXPECT_FALSE(parse({"--key-mode", "3"}).error.empty());
    EXPECT_FALSE(parse({"--login-mode", "delay:soon"}).error.empty());
    EXPECT_FALSE(parse({"--threads", "1"}).error.empty());
    EXPECT_TRUE(parse({"--help"}).showHelp);
}

TEST(RefsvcOptions, ListenersStayOnLoopbackUnlessAllowedElsewhere)
{
    struct Case {
        std::vector<std::string> args;
        bool ok;
    };
    const Case cases[] = {
        {{"--web", "127.1.2.3:0", "--update", "localhost:0", "--test-server", "127.0.0.2,127.255.255.254"}, true},
        {{"--web", "0.0.0.0:18080"}, false},
        {{"--update", "192.168.1.10"}, false},
        {{"--test-server", "127.0.0.2,10.0.0.1"}, false},
        {{"--web", "example.org:80"}, false},
        {{"--web", "128.0.0.1:80"}, false},
        {{"--video-dispatch", "10.0.0.1"}, false},
        {{"--web", "0.0.0.0:18080", "--allow-remote"}, true},
        {{"--allow-remote", "--test-server", "10.0.0.1"}, true},
    };
    for (const auto& c : cases) {
        const auto r = parse(c.args);
        EXPECT_EQ(r.error.empty(), c.ok) << c.args[0] << " " << c.args[1] << ": " << r.error;
        if (!c.ok) {
            EXPECT_NE(r.error.find("--allow-remote"), std::string::npos) << r.error;
        }
    }
    EXPECT_EQ(parse({"--max-upload-body", "2G", "--max-users", "5"}).options.maxUploadBody, 2ull << 30);
    EXPECT_FALSE(parse({"--max-upload-body", "1K"}).error.empty());
    EXPECT_FALSE(parse({"--max-users", "0"}).error.empty());
}

TEST(RefsvcOptions, SohuDispatchIsBestEffortUnlessGiven)
{
    const auto defaults = parse({});
    ASSERT_TRUE(defaults.options.videoDispatch.has_value());
    EXPECT_EQ(defaults.options.videoDispatch->port, 80);
    EXPECT_FALSE(defaults.options.videoDispatchGiven);
    const auto given = parse({"--video-dispatch", "127.0.3.4"});
    EXPECT_EQ(given.options.videoDispatch->host, "127.0.3.4");
    EXPECT_EQ(given.options.videoDispatch->port, 80);
    EXPECT_TRUE(given.options.videoDispatchGiven);
    EXPECT_FALSE(parse({"--video-dispatch", "none"}).options.videoDispatch.has_value());
}

TEST(RefsvcAnswers, RequestLogTargetsHideEveryPassword)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/qvweb/loginCheck?u=demo&p=62cc2d8b4bf2d8728120d052163a77df", "/qvweb/loginCheck?u=demo&p=***"},
        {"/qvweb/portalPage?p=abc&u=p&reqkey=K&pagetype=bbs", "/qvweb/portalPage?p=***&u=p&reqkey=K&pagetype=bbs"},
        {"/x?pw=secret&%70=digest&password=&q=p", "/x?pw=***&%70=***&password=***&q=p"},
        {"/speed/?p", "/speed/?p"},
        {"/speed/dovalid?key=1&flag=true", "/speed/dovalid?key=1&flag=true"},
        {"/plain", "/plain"},
        {"/x?&&p=1&", "/x?&&p=***&"},
    };
    for (const auto& [target, shown] : cases)
        EXPECT_EQ(redactSecrets(target), shown) << target;
}

TEST(RefsvcModes, EachKindHasItsOwnWordsAndTheCommonFaults)
{
    EXPECT_TRUE(parseMode(SwitchKind::Login, "repsd"));
    EXPECT_FALSE(parseMode(SwitchKind::Key, "repsd"));
    EXPECT_TRUE(parseMode(SwitchKind::Key, "0"));
    EXPECT_FALSE(parseMode(SwitchKind::Login, "0"));
    EXPECT_TRUE(parseMode(SwitchKind::PortalKey, "empty"));
    EXPECT_TRUE(parseMode(SwitchKind::Clock, "nodate"));
    for (auto kind : {SwitchKind::Login, SwitchKind::Key, SwitchKind::PortalKey, SwitchKind::Clock}) {
        EXPECT_TRUE(parseMode(kind, "garbage"));
        EXPECT_TRUE(parseMode(kind, "close"));
        EXPECT_EQ(parseMode(kind, "delay")->delayMs, kDefaultDelayMs);
        EXPECT_EQ(parseMode(kind, "delay:250")->delayMs, 250);
        EXPECT_FALSE(parseMode(kind, "delay:-1"));
        EXPECT_FALSE(parseMode(kind, "delay:"));
    }
    ModeSwitch sw(SwitchKind::Login, *parseMode(SwitchKind::Login, "normal"));
    std::string why;
    EXPECT_FALSE(sw.set("1", &why));
    EXPECT_NE(why.find("repsd"), std::string::npos);
    EXPECT_EQ(sw.get().name, "normal");
    EXPECT_TRUE(sw.set("false"));
    EXPECT_EQ(sw.get().name, "false");
}

TEST(RefsvcUsers, FileWithCommentsScoresAndLineEnds)
{
    const auto parsed = parseUsers("# comment\r\n"
                                   "demo|62CC2D8B4BF2D8728120D052163A77DF|10001|测速达人|*|广东省深圳市|电信|1|2|3\r\n"
                                   "\n"
                                   "bob|309031d05eb343448b725b09a3635f13|B_7|bob|10.0.0.1||\n");
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    ASSERT_EQ(parsed.users.size(), 2u);
    EXPECT_EQ(parsed.users[0].digest, "62cc2d8b4bf2d8728120d052163a77df");
    EXPECT_EQ(parsed.users[0].location2, "电信");
    EXPECT_EQ(parsed.users[0].scoreExperience, 3);
    EXPECT_EQ(parsed.users[1].scoreTotal, 0);
}

TEST(RefsvcUsers, FieldsTheLoginAnswerCouldNotCarryAreRefusedWithTheLine)
{
    const std::string good = "a|62cc2d8b4bf2d8728120d052163a77df|1|n|*|l1|l2\n";
    struct Case {
        std::string line, expect;
    };
    const Case cases[] = {
        {"a|62cc2d8b4bf2d8728120d052163a77df|2|ni-ck|*|l1|l2", "\"-\""},
        {"a|62cc2d8b4bf2d8728120d052163a77df|2|n|*|two words|l2", "blank"},
        {"a|62cc2d8b4bf2d8728120d052163a77df|2|n|10.\xdb.0.1|l1|l2", "UTF-8"},
        {"a|62cc2d8b4bf2d8728120d052163a77df|../x|n|*|l1|l2", "id"},
        {"a|62cc2d8b4bf2d8728120d052163a77d|2|n|*|l1|l2", "digest"},
        {"a|62cc2d8b4bf2d8728120d052163a77dg|2|n|*|l1|l2", "digest"},
        {"a|62cc2d8b4bf2d8728120d052163a77df|2|n|*|l1", "fields"},
        {"a|62cc2d8b4bf2d8728120d052163a77df|2|n|*|l1|l2|1|x|3", "whole numbers"},
        {"b|62cc2d8b4bf2d8728120d052163a77df|1|n|*|l1|l2", "twice"}, // id of line 1
        {"a|62cc2d8b4bf2d8728120d052163a77df|2|n|*|l1|l2", "twice"}, // name of line 1
    };
    for (const auto& c : cases) {
        const auto parsed = parseUsers(good + c.line + "\n");
        EXPECT_NE(parsed.error.find("line 2"), std::string::npos) << c.line << " -> " << parsed.error;
        EXPECT_NE(parsed.error.find(c.expect), std::string::npos) << c.line << " -> " << parsed.error;
        EXPECT_TRUE(parsed.users.empty());
    }
}

TEST(RefsvcUsers, NamesMatchInUtf8OrTheClientsCodePage)
{
    UserDirectory dir;
    dir.replace(parseUsers("张三|62cc2d8b4bf2d8728120d052163a77df|7|z|*|l1|l2\n").users);
    EXPECT_TRUE(dir.authenticate("张三", "62cc2d8b4bf2d8728120d052163a77df"));
    EXPECT_TRUE(dir.authenticate(quorvane::utf8ToGbk("张三"), "62CC2D8B4BF2D8728120D052163A77DF"));
    EXPECT_FALSE(dir.authenticate("张三", "00cc2d8b4bf2d8728120d052163a77df"));
    EXPECT_FALSE(dir.authenticate("张", "62cc2d8b4bf2d8728120d052163a77df"));

    User fresh{"李四", "309031d05eb343448b725b09a3635f13", "", "小李", "*", "北京市", "联通"};
    EXPECT_TRUE(dir.add(fresh).empty());
    EXPECT_EQ(dir.byName("李四")->id, "10001"); // numbering starts above the demo ids
    EXPECT_FALSE(dir.add(fresh).empty());       // the name is taken
    EXPECT_TRUE(dir.setDigest(quorvane::utf8ToGbk("李四"), "62cc2d8b4bf2d8728120d052163a77df"));
    EXPECT_TRUE(dir.authenticate("李四", "62cc2d8b4bf2d8728120d052163a77df"));
    EXPECT_FALSE(dir.setDigest("nobody", "62cc2d8b4bf2d8728120d052163a77df"));
}

TEST(RefsvcAnswers, LoginScoreAndKeyTexts)
{
    User u{"demo", "", "10001", "测速达人", "*", "广东省深圳市", "电信"};
    EXPECT_EQ(loginSuccessAnswer(u, "127.0.0.9"), "true-10001-测速达人-127.0.0.9-广东省深圳市 电信-");
    u.address = "10.1.2.3";
    EXPECT_EQ(loginSuccessAnswer(u, "127.0.0.9"), "true-10001-测速达人-10.1.2.3-广东省深圳市 电信-");
    u.location1.clear();
    u.location2.clear();
    // Nothing after the address: no blank follows, so the client leaves both words empty.
    EXPECT_EQ(loginSuccessAnswer(u, "x"), "true-10001-测速达人-10.1.2.3-");
    EXPECT_EQ(scoreAnswer(1280, 960, 320), "1280,960,320,");
    EXPECT_EQ(keyAnswer('2', "ABC"), "2,ABC");
    for (const char* word : {"true", "false", "repsd"})
        EXPECT_EQ(std::string(kGarbageAnswer).find(word), std::string::npos);
}

TEST(RefsvcAnswers, HttpDateIsTheFixedEnglishFormat)
{
    EXPECT_EQ(httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(httpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(RefsvcAnswers, ByteRanges)
{
    struct Case {
        std::string header;
        std::uint64_t total;
        ByteRange::Kind kind;
        std::uint64_t first, last;
    };
    const Case cases[] = {
        {"", 1000, ByteRange::Whole, 0, 0},
        {"bytes=0-", 1000, ByteRange::Partial, 0, 999},
        {"bytes=0-204799", 500000, ByteRange::Partial, 0, 204799},
        {"bytes=409600-499999", 500000, ByteRange::Partial, 409600, 499999},
        {"bytes=409600-", 500000, ByteRange::Partial, 409600, 499999},
        {"bytes=400000-999999", 500000, ByteRange::Partial, 400000, 499999}, // end clipped
        {" bytes= 5 - 9 ", 1000, ByteRange::Partial, 5, 9},
        {"bytes=-100", 1000, ByteRange::Partial, 900, 999},
        {"bytes=-5000", 1000, ByteRange::Partial, 0, 999},
        {"bytes=1000-", 1000, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=5000-6000", 1000, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=-0", 1000, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=9-5", 1000, ByteRange::Whole, 0, 0},                 // invalid: ignored
        {"bytes=0-1,5-6", 1000, ByteRange::Whole, 0, 0},             // lists: served whole
        {"items=0-5", 1000, ByteRange::Whole, 0, 0},                 // other units
        {"bytes=99999999999999999999-", 10, ByteRange::Whole, 0, 0}, // overflow
        {"bytes=-", 10, ByteRange::Whole, 0, 0},
    };
    for (const auto& c : cases) {
        const auto r = parseRange(c.header, c.total);
        EXPECT_EQ(r.kind, c.kind) << c.header;
        if (c.kind == ByteRange::Partial) {
            EXPECT_EQ(r.first, c.first) << c.header;
            EXPECT_EQ(r.last, c.last) << c.header;
        }
    }
    EXPECT_EQ(contentRange(parseRange("bytes=204800-409599", 500000), 500000), "bytes 204800-409599/500000");
    EXPECT_EQ(contentRange(parseRange("bytes=600000-", 500000), 500000), "bytes */500000");
}

TEST(RefsvcAnswers, FormBodies)
{
    EXPECT_EQ(formValue("key=ABC", "key"), "ABC");
    EXPECT_EQ(formValue("a=1&key=%E6%B5%8B+x&b", "key"), "测 x");
    EXPECT_EQ(formValue("a=1&b", "b"), "");
    EXPECT_FALSE(formValue("akey=1", "key"));
    EXPECT_EQ(decodeFormComponent("100%"), "100%");
    EXPECT_EQ(decodeFormComponent("%4"), "%4");
    EXPECT_EQ(htmlEscape("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
}

namespace
{
// The measuring client's multipart framing around one file.
const std::string kBoundary = "----------------63686572697368";
std::string framed(const std::string& file)
{
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"up.dat\"\r\n\r\n" + file +
           "\r\n--" + kBoundary + "--\r\n";
}
} // namespace

TEST(RefsvcUploadCounter, FileBytesAreSeparatedFromTheFramingHoweverTheBodyIsCut)
{
    std::string file(70000, '\0');
    for (std::size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<char>(i * 7); // holds "\r\n" and "-" bytes
    const std::string body = framed(file);
    for (std::size_t piece : {std::size_t(1), std::size_t(3), std::size_t(1024), std::size_t(4096), body.size()}) {
        UploadCounter c(kBoundary);
        for (std::size_t at = 0; at < body.size(); at += piece)
            c.feed(body.data() + at, std::min(piece, body.size() - at));
        c.finish();
        EXPECT_EQ(c.bodyBytes(), body.size()) << piece;
        EXPECT_EQ(c.payloadBytes(), file.size()) << piece;
        EXPECT_FALSE(c.malformed());
    }
    // An empty file.
    UploadCounter empty(kBoundary);
    const std::string none = framed("");
    empty.feed(none.data(), none.size());
    empty.finish();
    EXPECT_EQ(empty.payloadBytes(), 0u);
}

TEST(RefsvcUploadCounter, BrokenOffAndOtherBodies)
{
    const std::string body = framed(std::string(5000, 'x'));
    const std::size_t headSize = body.find("\r\n\r\n") + 4;
    UploadCounter cut(kBoundary);
    cut.feed(body.data(), headSize + 1234);
    cut.finish(); // not ended by the closing delimiter: everything after the head counts
    EXPECT_EQ(cut.payloadBytes(), 1234u);

    UploadCounter inHead(kBoundary);
    inHead.feed(body.data(), 10);
    EXPECT_EQ(inHead.payloadBytes(), 0u);

    UploadCounter plain("");
    plain.feed("key=1&x=2", 9);
    plain.finish();
    EXPECT_EQ(plain.payloadBytes(), 9u);

    UploadCounter noHead(kBoundary);
    const std::string junk(20000, 'a');
    noHead.feed(junk.data(), junk.size());
    noHead.finish();
    EXPECT_TRUE(noHead.malformed());
    EXPECT_EQ(noHead.payloadBytes(), 20000u);

    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=" + kBoundary), kBoundary);
    EXPECT_EQ(multipartBoundary("Multipart/Form-Data; boundary=\"ab c\"; charset=x"), "ab c");
    EXPECT_EQ(multipartBoundary("application/x-www-form-urlencoded"), "");
    EXPECT_EQ(multipartBoundary("multipart/form-data"), "");
}

// The limiter's schedule on a clock the test moves: when each transfer may
// pass, whatever the machine's load. Its precision against real time is
// measured by bench/transfer (the service's line at 500 and 50 Mbit/s).
namespace
{
using namespace std::chrono;
using quorvane::testing::ManualClock;
} // namespace

TEST(RefsvcRateLimiter, NoIntervalCarriesMoreThanTheRateAndTheBucket)
{
    // Takers play out on the manual clock: each books a piece, holds it
    // until the line lets it pass, then comes back after its own delay (a
    // stall stands for a descheduled sender). Whatever the schedule, no
    // interval between two passing pieces may carry more than rate x time
    // plus the bucket (5 ms of the rate, or one piece when larger).
    struct Case {
        const char* what;
        std::uint64_t rate;
        std::size_t piece;
        std::vector<std::pair<milliseconds, int>> takers; // start, pieces
        int stallEvery;                                   // pieces; 0: never
        milliseconds stall, lateWake;
        bool keen; // keeps the line busy: must also reach the rate
    };
    // clang-format off
    const Case cases[] = {
        {"four share", 4'000'000, 5000, {{0ms, 100}, {0ms, 100}, {0ms, 100}, {0ms, 100}}, 0, 0ms, 0ms, true},
        // The next transfer's request comes 35 ms after the last one ended:
        // a line that was busy just now must not start it with a burst.
        {"right after another", 1'000'000, 10000, {{0ms, 50}, {530ms, 20}, {530ms, 20}, {530ms, 20}}, 0, 0ms, 0ms,
         false},
        {"wakes late within the bucket", 1'000'000, 5000, {{0ms, 100}}, 0, 0ms, 3ms, true},
        {"stalled senders", 1'000'000, 10000, {{0ms, 40}, {0ms, 40}}, 7, 60ms, 0ms, false},
        {"idle between requests", 1'000'000, 10000, {{0ms, 20}, {600ms, 20}, {1100ms, 5}}, 0, 0ms, 0ms, false},
        {"pieces above the bucket", 2'000'000, 50000, {{0ms, 30}, {100ms, 30}}, 3, 20ms, 1ms, false},
    };
    // clang-format on
    for (const auto& c : cases) {
        auto clock = std::make_shared<ManualClock>();
        RateLimiter line(c.rate, clock);
        const auto start = clock->now();
        struct Taker {
            RateLimiter::TimePoint next;
            int left, done = 0;
        };
        std::vector<Taker> takers;
        for (const auto& [at, pieces] : c.takers)
            takers.push_back({start + at, pieces});
        std::vector<RateLimiter::TimePoint> passed;
        for (;;) {
            Taker* t = nullptr;
            for (auto& candidate : takers)
                if (candidate.left > 0 && (!t || candidate.next < t->next))
                    t = &candidate;
            if (!t)
                break;
            if (t->next > clock->now())
                clock->advance(t->next - clock->now());
            const auto at = std::max(line.reserve(c.piece), clock->now());
            passed.push_back(at);
            --t->left;
            ++t->done;
            t->next = at + c.lateWake + (c.stallEvery && t->done % c.stallEvery == 0 ? c.stall : 0ms);
        }
        std::sort(passed.begin(), passed.end());
        // 5 ms of the rate, at least two of the line's own pieces.
        const double bucket = std::max(0.005 * double(c.rate), 2.0 * double(line.pieceSize()));
        double worst = -1e18;
        for (std::size_t i = 0; i < passed.size(); ++i)
            for (std::size_t j = i; j < passed.size(); ++j) {
                const double carried = double(c.piece) * double(j - i + 1);
                const double allowed = duration<double>(passed[j] - passed[i]).count() * double(c.rate) +
                                       std::max(bucket, double(c.piece));
                worst = std::max(worst, carried - allowed);
            }
        EXPECT_LE(worst, 1.0) << c.what << ": bytes beyond rate and bucket";
        if (c.keen) {
            // Senders that keep coming lose nothing: the last piece passes
            // the bucket's time before the line has carried it all.
            const double seconds = duration<double>(passed.back() - start).count();
            const double expected = (double(c.piece) * double(passed.size()) - bucket) / double(c.rate);
            EXPECT_NEAR(seconds, expected, 0.001) << c.what;
        }
    }
}

TEST(RefsvcRateLimiter, AFreshLineOrANewRateGivesNoHeadStart)
{
    // The moments between start (or a rate change) and the first transfer
    // are no credit: that transfer still takes its full time.
    for (int round = 0; round < 2; ++round) {
        auto clock = std::make_shared<ManualClock>();
        RateLimiter line(1'000'000, clock);
        if (round == 1) {
            line.reserve(10000);
            line.setRate(2'000'000);
        }
        clock->advance(80ms);
        const auto start = clock->now();
        RateLimiter::TimePoint due{};
        for (int i = 0; i < 40; ++i)
            due = line.reserve(round == 0 ? 5000 : 10000); // 200 ms worth
        EXPECT_EQ(std::chrono::round<milliseconds>(due - start), 190ms) << round; // less the 10 ms bucket
    }
}

TEST(RefsvcRateLimiter, CarriedBytesAreCountedInTheSecondTheyPassed)
{
    // A fast line: every piece here passes within the bucket, at once.
    auto clock = std::make_shared<ManualClock>();
    RateLimiter line(1'000'000'000, clock);
    const std::pair<milliseconds, std::size_t> passes[] = {{0ms, 1000}, {999ms, 500}, {1ms, 20}, {2000ms, 7}};
    for (const auto& [after, bytes] : passes) {
        clock->advance(after);
        ASSERT_TRUE(line.acquire(bytes));
    }
    line.stop();
    EXPECT_FALSE(line.acquire(100)); // not carried
    const std::vector<std::pair<std::int64_t, std::uint64_t>> expected = {{0, 1500}, {1, 20}, {3, 7}};
    EXPECT_EQ(line.carriedSeconds(), expected);
}

TEST(RefsvcRateLimiter, UnlimitedPassesAndStopWakesWaiters)
{
    RateLimiter open;
    EXPECT_EQ(open.pieceSize(), 0u);
    EXPECT_TRUE(open.acquire(1u << 30));
    EXPECT_EQ(RateLimiter(4'000'000).pieceSize(), 20000u);

    // A transfer that would wait 100 s on a clock that never moves ends as
    // soon as the line stops.
    auto clock = std::make_shared<ManualClock>();
    RateLimiter slow(1000, clock);
    std::atomic<int> result{-1};
    std::thread taker([&] { result = slow.acquire(100000) ? 1 : 0; });
    ASSERT_TRUE(clock->awaitWaiters(1));
    slow.stop();
    taker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(slow.acquire(1));

    // On a moving clock it passes once its time has come.
    RateLimiter moving(1000, clock);
    // (The bucket of so slow a line is two 1024-byte pieces.)
    std::thread mover([&] { result = moving.acquire(5000) ? 1 : 0; });
    ASSERT_TRUE(clock->awaitWaiters(1));
    EXPECT_EQ(clock->nextDeadline(), clock->now() + 2952ms);
    clock->advance(2952ms);
    mover.join();
    EXPECT_EQ(result.load(), 1);
}

TEST(RefsvcOptions, DefaultsMeetTheShippedConfiguration)
{
    // The installation tree points at the service started without options;
    // a change on either side alone would leave the demo talking to nobody.
    const auto o = parse({}).options;
    const std::string dist = std::string(QUORVANE_SOURCE_DIR) + "/dist";
    quorvane::PropertyFile config(dist + "/conf/config.properties");
    ASSERT_TRUE(config.load());
    EXPECT_EQ(quorvane::decryptValue(config.get("update_server_url"), quorvane::kValueKey), o.web->host);
    EXPECT_EQ(config.get("web_project_port"), std::to_string(o.web->port));
    EXPECT_EQ(config.get("web_project_name"), o.webProject);
    EXPECT_EQ(config.get("login_servlet"), o.loginServlet);
    EXPECT_EQ(config.get("s_coru_e"), o.scoreServlet);
    EXPECT_EQ(config.get("view_ui"), o.portalPageServlet);
    EXPECT_EQ(config.get("view_ui_k"), o.portalKeyServlet);
    EXPECT_EQ(config.get("url_down_file"), o.downloads.at(0).name);
    EXPECT_EQ(config.get("update_server_path"),
              "http://" + o.update->host + ":" + std::to_string(o.update->port) + "/update/");

    std::ifstream catalogue(dist + "/Config/dest_config.xml");
    ASSERT_TRUE(catalogue);
    const std::string text((std::istreambuf_iterator<char>(catalogue)), std::istreambuf_iterator<char>());
    const std::regex address("value=\"(\\d+\\.\\d+\\.\\d+\\.\\d+):");
    int seen = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), address); it != std::sregex_iterator();
         ++it, ++seen) {
        const std::string ip = (*it)[1];
        EXPECT_TRUE(std::any_of(o.testServers.begin(), o.testServers.end(),
                                [&](const Endpoint& e) { return e.host == ip && e.port == 8080; }))
            << ip << " has no test server";
    }
    EXPECT_GT(seen, 0);

    // Every download preset of the shipped settings is a file the test
    // servers serve.
    std::ifstream settings(dist + "/Config/settings.xml");
    ASSERT_TRUE(settings);
    const std::string presets((std::istreambuf_iterator<char>(settings)), std::istreambuf_iterator<char>());
    const std::regex download("http://(\\d+\\.\\d+\\.\\d+\\.\\d+):8080/download/([^<\"]+)");
    int files = 0;
    for (auto it = std::sregex_iterator(presets.begin(), presets.end(), download); it != std::sregex_iterator();
         ++it, ++files) {
        const std::string ip = (*it)[1];
        const std::string name = (*it)[2];
        EXPECT_TRUE(
            std::any_of(o.testServers.begin(), o.testServers.end(), [&](const Endpoint& e) { return e.host == ip; }))
            << ip << " has no test server";
        EXPECT_TRUE(
            std::any_of(o.downloads.begin(), o.downloads.end(), [&](const DownloadFile& d) { return d.name == name; }))
            << name << " is not served";
    }
    EXPECT_GE(files, 5);
}

// ---------------------------------------------------------------------------
// First-screen test pages

TEST(RefsvcWebPages, QueryKeysAreReadAndBounded)
{
    const struct {
        std::map<std::string, std::string> query;
        std::optional<int> grow;
        int hold;
        int popups;
        bool errors;
    } cases[] = {
        {{}, std::nullopt, 20000, 0, false},                        // never grows, held long
        {{{"grow_ms", "800"}}, 800, 3800, 0, false},                // held until well after it grew
        {{{"grow_ms", "800"}, {"hold_ms", "0"}}, 800, 0, 0, false}, // completes at once
        {{{"grow_ms", "-5"}, {"hold_ms", "999999"}}, 0, kMaxHoldMs, 0, false},
        {{{"grow_ms", "8e2"}, {"popups", "1000"}}, std::nullopt, 20000, 100, false}, // unreadable; clamped
        {{{"errors", "1"}}, std::nullopt, 20000, 0, true},
        {{{"errors", "yes"}}, std::nullopt, 20000, 0, false},
    };
    for (const auto& c : cases) {
        const TestPageParams p = parseTestPageParams(c.query);
        EXPECT_EQ(p.growMs, c.grow);
        EXPECT_EQ(p.holdMs, c.hold);
        EXPECT_EQ(p.popups, c.popups);
        EXPECT_EQ(p.errors, c.errors);
    }
}

TEST(RefsvcWebPages, AnswersThatAreNoPageAndPagesThatKeepRunning)
{
    using Answer = TestPageParams::Answer;
    const struct {
        std::map<std::string, std::string> query;
        Answer answer;
        std::optional<int> pingMs;
    } cases[] = {
        {{{"answer", "204"}}, Answer::NoContent, std::nullopt},
        {{{"answer", "attachment"}, {"ping_ms", "50"}}, Answer::Attachment, 50},
        {{{"answer", "302"}, {"ping_ms", "5"}}, Answer::Page, std::nullopt}, // unknown; too often to be kind
        {{{"ping_ms", "99999999"}}, Answer::Page, kMaxHoldMs},
    };
    for (const auto& c : cases) {
        const TestPageParams p = parseTestPageParams(c.query);
        EXPECT_EQ(p.answer, c.answer);
        EXPECT_EQ(p.pingMs, c.pingMs);
    }
    EXPECT_TRUE(testPageHtml(parseTestPageParams({{"quirks", "1"}})).starts_with("<html>"));
}

TEST(RefsvcWebPages, PagesCarryWhatTheirQueryAsks)
{
    const std::string grow = testPageHtml(parseTestPageParams({{"grow_ms", "800"}, {"height", "900"}}));
    EXPECT_NE(grow.find("<!DOCTYPE html>"), std::string::npos); // standards mode: the body's own height counts
    EXPECT_NE(grow.find("at(800,"), std::string::npos);
    EXPECT_NE(grow.find("'900px'"), std::string::npos);
    EXPECT_NE(grow.find("/test/hold?ms=3800"), std::string::npos);
    const std::string held = testPageHtml(parseTestPageParams({{"hold_ms", "0"}, {"frame_ms", "500"}}));
    EXPECT_EQ(held.find("/test/hold"), std::string::npos);
    EXPECT_NE(held.find("at(500,"), std::string::npos);
    EXPECT_NE(held.find("iframe"), std::string::npos);

    // Each portal fills its first screen at its own moment, the same every time.
    const TestPageParams news = portalPageParams("news/index.html");
    EXPECT_EQ(news.title, "news");
    ASSERT_TRUE(news.growMs);
    EXPECT_GE(*news.growMs, 150);
    EXPECT_LT(*news.growMs, 650);
    EXPECT_EQ(portalPageParams("news/index.html").growMs, news.growMs);
    EXPECT_GT(news.holdMs, *news.growMs);
    EXPECT_EQ(portalPageParams("").title, "portal");
    EXPECT_NE(testPageHtml(portalPageParams("<b>x</b>/")).find("&lt;b&gt;"), std::string::npos);
}

// The query comes from whoever connects: a value out of range or not a plain
// number must leave the default, never become a fault or an overflow.
TEST(RefsvcReplies, BodyFaultsTakeOnlyNumbersInRange)
{
    struct Row {
        httplib::Params query;
        int status;
        bool noLength;
        long long stallAfter;
        long long stallMs;
    };
    const Row rows[] = {
        {{}, 0, false, -1, 10000},
        {{{"status", "404"}}, 404, false, -1, 10000},
        {{{"status", "400"}}, 400, false, -1, 10000},
        {{{"status", "599"}}, 599, false, -1, 10000},
        {{{"status", "399"}}, 0, false, -1, 10000},
        {{{"status", "600"}}, 0, false, -1, 10000},
        {{{"status", "-404"}}, 0, false, -1, 10000},
        {{{"status", "4O4"}}, 0, false, -1, 10000},
        {{{"length", "none"}}, 0, true, -1, 10000},
        {{{"length", "None"}}, 0, false, -1, 10000},
        {{{"stall_after", "0"}}, 0, false, 0, 10000},
        {{{"stall_after", "1099511627776"}}, 0, false, 1099511627776, 10000},
        {{{"stall_after", "1099511627777"}}, 0, false, -1, 10000},
        {{{"stall_after", "99999999999999999999"}}, 0, false, -1, 10000},
        {{{"stall_after", "1000"}, {"stall_ms", "0"}}, 0, false, 1000, 0},
        {{{"stall_after", "1000"}, {"stall_ms", "120000"}}, 0, false, 1000, 120000},
        {{{"stall_after", "1000"}, {"stall_ms", "120001"}}, 0, false, 1000, 10000},
        {{{"stall_after", ""}}, 0, false, -1, 10000},
    };
    for (const Row& row : rows) {
        httplib::Request req;
        req.params = row.query;
        const BodyFaults f = bodyFaults(req);
        const std::string where =
            row.query.empty() ? "(none)" : row.query.begin()->first + "=" + row.query.begin()->second;
        EXPECT_EQ(f.status, row.status) << where;
        EXPECT_EQ(f.noLength, row.noLength) << where;
        EXPECT_EQ(f.stallAfter, row.stallAfter) << where;
        EXPECT_EQ(f.stallMs.count(), row.stallMs) << where;
    }
}
