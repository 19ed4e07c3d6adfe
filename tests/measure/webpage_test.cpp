// The web page test's rules without a browser: the address check, the
// figure's texts, the record and the script's reports.
#include "measure/webpage_test.h"
#include "results/record.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace quorvane;
using namespace quorvane::measure;

// Every entry point (web page test, own sites and files, the video address
// page) asks this one check.
TEST(WebpageAddress, PatternIsSearchedAtTheStartOfTheText)
{
    const struct {
        const char* address;
        bool passes;
    } cases[] = {
        {"www.example.com", true},
        {"example.com and more words", true}, // only the start must match
        {"localhost", false},                 // one word without a dot
        {"", false},
        {"http://127.0.0.1:18080/test/page?grow_ms=800&height=900", true},
        {"ftp://files.example.org/pub", true},
        {"https://", false},
        {" www.example.com", false},     // not at the start
        {"gopher://example.com", false}, // an unknown scheme
        {"a_b-c.d_e", true},
        {"&amp;.com", false}, // the entity's characters count only after the host
        {"example.com/p?q=1&amp;r=2", true},
        // A line break would let a later line pass and forge record fields.
        {"not an address\nwww.example.com", false},
        {"www.example.com\r\nurl=forged", false},
        {"www.example.com\t", false},
        {"note\nhttp://a.cn/", false}, // "^" is the start of the text, not of a line
        {"note\fhttp://a.cn/", false},
        {"www.example.com/\xC2\x85x", false},          // a C1 control (NEL)
        {"www.example.com/\xE2\x80\xA8x", false},      // the Unicode line separator
        {"http://www.example.com/\xE4\xB8\xAD", true}, // other characters after the host are not examined
        {"https://a-b.example.cn:8080/", true},
        {"javascript:alert(1)", false},
        {"http://\xE4\xB8\xAD\xE6\x96\x87.cn/", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PassesAddressPattern(c.address), c.passes) << c.address;
}

TEST(WebpageRecord, FieldsTextsAndHistoryParts)
{
    const struct {
        double seconds;
        const char* text;
    } cases[] = {{0.8, "0.800"}, {0.0004, "0.000"}, {10.0, "10.000"}, {1.2345, "1.234"}, {1.2346, "1.235"}};
    for (const auto& c : cases) {
        EXPECT_EQ(FirstScreenText(c.seconds), c.text);
        EXPECT_EQ(FirstScreenResultText(c.seconds), std::string("首屏时间：") + c.text + "s");
    }

    const TestRecord r = ScreenRecord("www.example.com/a,b", 0.8);
    EXPECT_EQ(r.kind, RecordKind::Screen);
    EXPECT_EQ(r.historyName, "www.example.com/a,b");
    EXPECT_EQ(r.headline, "0.800");
    EXPECT_TRUE(r.tail.empty());
    auto fields = r.fields;
    fields.push_back({"ip", "127.0.0.1"});
    const auto identity = [](std::string_view s) { return std::optional<std::string>(std::string(s)); };
    EXPECT_EQ(recordBytes(RecordKind::Screen, fields, identity),
              "+++start+++\nurl=www.example.com/a,b\nfirstscreentime=0.800\nloadingtime=\nip=127.0.0.1\n---end---");
}

TEST(WebpageReport, OnlyWellFormedReportsOfThisMeasurementCount)
{
    using Kind = FirstScreenReport::Kind;
    const std::string token = "qvtoken";
    const struct {
        const char* line;
        bool parsed;
        Kind kind;
        double atMs;
        const char* reason;
        bool hidden;
        long frames;
    } cases[] = {
        {"qvtoken nav 1733616000123.25 top", true, Kind::NavigationStart, 1733616000123.25, "", false, 0},
        {"qvtoken nav 1733616000500 frame", true, Kind::NavigationStart, 1733616000500, "", false, 0},
        {"qvtoken done 1733616000900.5", true, Kind::FrameComplete, 1733616000900.5, "", false, 0},
        {"qvtoken end 1733616000924.5 height visible 48", true, Kind::FirstScreen, 1733616000924.5, "height", false,
         48},
        {"qvtoken end 1733616000924 complete hidden 0", true, Kind::FirstScreen, 1733616000924, "complete", true, 0},
        {"qvother end 1733616000924 height visible 1", false, {}, 0, "", false, 0}, // another measurement's page
        {"hello from the page", false, {}, 0, "", false, 0},                        // the page's own console
        {"qvtoken end -5 height visible 1", false, {}, 0, "", false, 0},            // negative
        {"qvtoken end NaN height visible 1", false, {}, 0, "", false, 0},           // not a number
        {"qvtoken end 1 bound visible 1", false, {}, 0, "", false, 0},              // the page never decides the bound
        {"qvtoken end 1 height visible", false, {}, 0, "", false, 0},               // words missing
        {"qvtoken end 1 height maybe 1", false, {}, 0, "", false, 0},
        {"qvtoken end 1 height visible 1.5", false, {}, 0, "", false, 0},
        {"qvtoken end 0.001 height 1733616000123", false, {}, 0, "", false, 0}, // an older report's shape
        {"qvtoken nav 1", false, {}, 0, "", false, 0},                          // which frame?
        {"qvtoken nav 1 top 2", false, {}, 0, "", false, 0},
        {"qvtoken nav 12abc top", false, {}, 0, "", false, 0},
    };
    for (const auto& c : cases) {
        const auto r = ParseFirstScreenReport(c.line, token);
        ASSERT_EQ(r.has_value(), c.parsed) << c.line;
        if (!r)
            continue;
        EXPECT_EQ(r->kind, c.kind) << c.line;
        EXPECT_DOUBLE_EQ(r->atMs, c.atMs) << c.line;
        EXPECT_EQ(r->reason, c.reason) << c.line;
        EXPECT_EQ(r->hiddenSeen, c.hidden) << c.line;
        EXPECT_EQ(r->animationFrames, c.frames) << c.line;
    }
    EXPECT_EQ(ParseFirstScreenReport(cases[0].line, token)->topFrame, true);
    EXPECT_EQ(ParseFirstScreenReport(cases[1].line, token)->topFrame, false);
    EXPECT_FALSE(ParseFirstScreenReport(" nav 1 top", ""));
}

TEST(WebpageReport, FirstScreenCountsFromTheLatestStartBeforeTheEnd)
{
    const struct {
        std::vector<double> starts;
        double end;
        std::optional<double> seconds;
    } cases[] = {
        {{1000}, 1800, 0.8},          // one document
        {{1000, 1500}, 1800, 0.3},    // a frame restarted the clock
        {{1500, 1000}, 1800, 0.3},    // in whatever order the reports came
        {{1000, 1900}, 1800, 0.8},    // a frame that started after the end
        {{1000}, 1000, 0.0},          // ended as it started
        {{1900}, 1800, std::nullopt}, // no start before the end
        {{}, 1800, std::nullopt},     // no report at all
    };
    for (const auto& c : cases) {
        const auto s = FirstScreenSeconds(c.starts, c.end);
        ASSERT_EQ(s.has_value(), c.seconds.has_value()) << c.end;
        if (s) {
            EXPECT_DOUBLE_EQ(*s, *c.seconds);
        }
    }
}

TEST(WebpageSites, AutomaticPickAndPortalButtons)
{
    const std::vector<std::string> sites = {"a.com", "b.com", "c.com"};
    EXPECT_EQ(PickAutoSite(sites, [] { return 5; }), "c.com");
    EXPECT_EQ(PickAutoSite(sites, [] { return 32767; }), "b.com");
    EXPECT_EQ(PickAutoSite({}, [] { return 1; }), "");

    // Every button measures a page on loopback that passes the address check.
    ASSERT_EQ(PortalButtons().size(), 9u);
    ASSERT_EQ(MorePortalButtons().size(), 21u);
    for (const auto* list : {&PortalButtons(), &MorePortalButtons()}) {
        for (const PortalButton& b : *list) {
            EXPECT_TRUE(b.address.starts_with("http://127.0.0.1:")) << b.label;
            EXPECT_TRUE(PassesAddressPattern(b.address)) << b.address;
        }
    }
}
