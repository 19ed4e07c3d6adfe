// The web page test's rules without a browser: the address check, the
// figure's texts, the record and the script's reports.
#include "measure/webpage_test.h"
#include "results/record.h"

#include <gtest/gtest.h>

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
    const std::string token = "qvtoken";
    const struct {
        const char* line;
        bool parsed;
        FirstScreenReport::Kind kind;
        double seconds;
        const char* reason;
    } cases[] = {
        {"qvtoken nav 1733616000123.25", true, FirstScreenReport::Kind::NavigationStart, 0, ""},
        {"qvtoken end 0.801234 height 1733616000123.25", true, FirstScreenReport::Kind::FirstScreen, 0.801234,
         "height"},
        {"qvtoken end 0.02 complete 1733616000123", true, FirstScreenReport::Kind::FirstScreen, 0.02, "complete"},
        {"qvother end 0.5 height 1", false, {}, 0, ""},  // an earlier measurement's page
        {"hello from the page", false, {}, 0, ""},       // the page's own console
        {"qvtoken end -0.5 height 1", false, {}, 0, ""}, // negative
        {"qvtoken end NaN height 1", false, {}, 0, ""},  // not a number
        {"qvtoken end 0.5 bound 1", false, {}, 0, ""},   // the page never decides the bound
        {"qvtoken end 0.5 height", false, {}, 0, ""},    // missing navigation start
        {"qvtoken nav 1 2", false, {}, 0, ""},           // extra words
        {"qvtoken nav 12abc", false, {}, 0, ""},
    };
    for (const auto& c : cases) {
        const auto r = ParseFirstScreenReport(c.line, token);
        ASSERT_EQ(r.has_value(), c.parsed) << c.line;
        if (!r)
            continue;
        EXPECT_EQ(r->kind, c.kind) << c.line;
        EXPECT_DOUBLE_EQ(r->seconds, c.seconds) << c.line;
        EXPECT_EQ(r->reason, c.reason) << c.line;
    }
    EXPECT_FALSE(ParseFirstScreenReport(" nav 1", ""));
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
