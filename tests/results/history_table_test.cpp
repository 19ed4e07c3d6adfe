// The history's chart numbers and time stamps, and the CSV and JSON texts
// read back by independent readers. Columns and search: history_page_test.
#include "results/history.h"
#include "results/history_table.h"
#include "results/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

using namespace quorvane;
using namespace quorvane::test;

namespace
{

using Cells = std::vector<std::string>;

// Runs a Python snippet over a file and returns what it printed: Python's csv
// and json modules are readers that share nothing with the writer.
std::string python(const std::string& code, const std::filesystem::path& file)
{
    const std::string command = "/usr/bin/python3 -c '" + code + "' '" + file.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string out;
    char buf[4096];
    while (pipe && std::fgets(buf, sizeof buf, pipe.get()))
        out += buf;
    return out;
}

} // namespace

TEST(HistoryTable, ChartTakesTheHeadlineNumberInItsUnit)
{
    const struct {
        Cells fields;
        std::optional<HistorySeries> series;
        double value;
    } cases[] = {
        {{"2024-01-01 10:00:00", "手动", "带宽测速", "s", "94.3Mb/s"}, HistorySeries::Bandwidth, 94.3},
        {{"2024-01-01 10:00:00", "手动", "文件下载", "s", "812.50 KB/s"}, HistorySeries::FileDownload, 812.5},
        {{"2024-01-01 10:00:00", "自动", "网页性能", "s", "2.31 s"}, HistorySeries::WebPage, 2.31},
        {{"2024-01-01 10:00:00", "自动", "视频测速", "s", "300 KB/s"}, HistorySeries::Video, 300},
        {{"2024-01-01 10:00:00", "自动", "自动测速", "无效数据", "CPU使用率 > 90%"}, std::nullopt, 0},
        {{"2024-01-01 10:00:00", "手动", "带宽测速", "s", "94.3 KB/s"}, std::nullopt, 0}, // wrong unit
        {{"2024-01-01 10:00:00", "手动", "带宽测速", "s", "-1Mb/s"}, std::nullopt, 0},
        {{"2024-01-01 10:00:00", "手动", "带宽测速", "s", "Mb/s"}, std::nullopt, 0},
        {{"2024-01-01 10:00:00", "手动", "带宽测速", "s"}, std::nullopt, 0}, // malformed
        {{"yesterday", "手动", "带宽测速", "s", "94.3Mb/s"}, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        const auto point = historyPoint(historyRows({c.fields})[0]);
        ASSERT_EQ(point.has_value(), c.series.has_value()) << c.fields.back();
        if (point) {
            EXPECT_EQ(point->series, *c.series) << c.fields.back();
            EXPECT_DOUBLE_EQ(point->value, c.value) << c.fields.back();
        }
    }
}

TEST(HistoryTable, TimeStampsAreReadAsCalendarTime)
{
    const std::pair<const char*, std::optional<long long>> cases[] = {
        {"1970-01-01 00:00:00", 0},
        {"2024-02-29 12:00:00", 1709208000},
        {"2000-03-01 00:00:01", 951868801},
        {"2024-13-01 00:00:00", std::nullopt},
        {"2024-01-01 00:00", std::nullopt},
        {"2024-01-01T00:00:00", std::nullopt},
        {"2024-01-01 00:00:00x", std::nullopt},
    };
    for (const auto& [text, seconds] : cases)
        EXPECT_EQ(parseHistoryTime(text), seconds) << text;
}

TEST(HistoryTable, CsvCellsNeverStartAFormula)
{
    HistoryRow row;
    row.cells = {"=HYPERLINK(\"x\")", "+1", "-2,3", "@SUM(A1)", "a=b"};
    row.cellCount = 5;
    const std::string csv = historyCsv({row});
    EXPECT_EQ(csv.substr(csv.find("\r\n") + 2), "\"'=HYPERLINK(\"\"x\"\")\",'+1,\"'-2,3\",'@SUM(A1),a=b\r\n");
}

TEST(HistoryTable, CsvAndJsonReadBackByOtherReaders)
{
    TempDir dir;
    // A server name with a comma and a quote, as the history file holds it.
    const auto history = dir.path() / "HistoryRecord1.txt";
    spit(history, "2024-01-01 10:00:00,手动,带宽测速,电信 \"A\",1号,94.3Mb/s;\n"
                  "2024-01-01 11:00:00,自动,网页性能,http://x.cn/\\n,1.5 s;\n");
    const auto rows = newestFirst(historyRows(ReadHistoryFile(history)));
    ASSERT_EQ(rows.size(), 2u);

    const auto csv = dir.path() / "h.csv";
    spit(csv, historyCsv(rows));
    EXPECT_EQ(slurp(csv).substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(
        python("import csv,sys\n"
               "for r in csv.reader(open(sys.argv[1], encoding=\"utf-8-sig\", newline=\"\")): print(\"|\".join(r))",
               csv),
        "测速时间|类型|测速类型|名称|指标\n"
        "2024-01-01 11:00:00|自动|网页性能|http://x.cn/\\n|1.5 s\n"
        "2024-01-01 10:00:00|手动|带宽测速|电信 \"A\",1号|94.3Mb/s\n");

    const auto json = dir.path() / "h.json";
    spit(json, historyJson(rows));
    EXPECT_EQ(python("import json,sys\n"
                     "for o in json.load(open(sys.argv[1], encoding=\"utf-8\")): "
                     "print(\"|\".join(o[k] for k in (\"time\",\"mode\",\"test\",\"name\",\"value\")))",
                     json),
              "2024-01-01 11:00:00|自动|网页性能|http://x.cn/\\n|1.5 s\n"
              "2024-01-01 10:00:00|手动|带宽测速|电信 \"A\",1号|94.3Mb/s\n");
    spit(json, historyJson({}));
    EXPECT_EQ(python("import json,sys\nprint(json.load(open(sys.argv[1])))", json), "[]\n");
}
