// Numbers written under a comma-decimal user locale: the Qt application
// object takes the whole locale from the environment, and the C library's
// "%.1f" would then write "94,3" into records and history lines.
#include "common/number_locale.h"
#include "results/history.h"
#include "results/record.h"
#include "results/test_support.h"
#include "support/qt_app.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <langinfo.h>

namespace quorvane
{
namespace
{

constexpr const char* kCommaLocale = "de_DE.UTF-8";

std::string printed(const char* format, double value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

TEST(NumberLocale, RecordsAndHistoryKeepThePointUnderACommaLocale)
{
    ASSERT_EQ(setenv("LC_ALL", kCommaLocale, 1), 0);
    testing::qtApp(); // as every program's main makes it
    ASSERT_EQ(printed("%.1f", 94.3), "94,3") << kCommaLocale << " is not installed: run scripts/setup.sh";

    pinNumericLocale();
    EXPECT_STREQ(nl_langinfo(CODESET), "UTF-8") << "text must stay UTF-8";
    struct Case {
        const char* format;
        double value;
        const char* text;
    };
    for (const Case& c : {Case{"%.1f", 94.3, "94.3"}, Case{"%.2f", 512.0, "512.00"}, Case{"%.3f", 1.234, "1.234"}}) {
        EXPECT_EQ(printed(c.format, c.value), c.text);
        EXPECT_EQ(std::strtod(c.text, nullptr), c.value) << c.text;
    }

    // What a bandwidth page hands over, formatted the C way.
    test::TempDir dir;
    test::StillClock clock(2024, 1, 2, 3, 4, 5);
    test::LogCollector log;
    ResultRecorder recorder(dir.path(), clock.service, log.sink());
    const std::string rate = printed("%.1f", 94.3);
    const TestRecord band{RecordKind::Band, {{"bandwidth", rate}}, {}, "北京电信1", rate, ""};
    const WrittenRecord written = recorder.writeTestRecord(band, {"7", "小王", "10.1.2.3", "北京市", "电信"}, true);
    ASSERT_FALSE(written.fileName.empty());
    EXPECT_NE(test::slurp(dir.path() / "Data" / written.fileName).find("\nbandwidth=94.3\n"), std::string::npos);
    const auto history = ReadHistoryFile(historyFilePath(dir.path(), "7"));
    ASSERT_EQ(history.size(), 1u);
    ASSERT_EQ(history[0].size(), 5u) << "a comma in the value adds a field";
    EXPECT_EQ(history[0][4], "94.3Mb/s");
}

TEST(NumberLocale, DecimalsAreFormattedWithAPointWhateverTheLocale)
{
    ASSERT_NE(std::setlocale(LC_NUMERIC, kCommaLocale), nullptr) << "run scripts/setup.sh";
    struct Case {
        double value;
        int decimals;
        const char* text;
    };
    for (const Case& c :
         {Case{94.3, 1, "94.3"}, Case{512, 2, "512.00"}, Case{1.2346, 3, "1.235"}, Case{1e12, 0, "1000000000000"},
          Case{-2.5, 1, "-2.5"}, Case{7, -1, "7"}, Case{std::nan(""), 2, "0.00"}})
        EXPECT_EQ(formatDecimal(c.value, c.decimals), c.text) << c.value << " with " << c.decimals;
    std::setlocale(LC_NUMERIC, "C");
}

} // namespace
} // namespace quorvane
