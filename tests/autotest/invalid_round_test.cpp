// A rejected round's traces: the history line, the error record and the
// latest result text, each naming the reason with the threshold in force.
#include "autotest/invalid_round.h"
#include "results/history.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace quorvane;
using namespace quorvane::test;

namespace
{

TEST(InvalidRounds, HistoryLineErrorRecordAndSummaryPerCode)
{
    struct Case {
        int code;
        std::string reason; // empty: nothing at all is written
    };
    const Case cases[] = {
        {1, "CPU使用率 > 80%"},
        {2, "内存使用率 > 90%"},
        {3, "开启了杀毒软件"},
        {4, "无线上网"},
        {5, "网卡流量 > 2000KB/s"},
        {6, "多机上网"},
        {0, ""},
        {7, ""},
        {-1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        TempDir dir;
        ServiceClock clock(std::string(), nullptr, systemClock());
        ResultRecorder recorder(dir.path(), clock, [](const std::string&) {});
        std::string latest;
        InvalidRounds rounds({&recorder, nullptr, &clock,
                              [] {
                                  return UserSession{"u42", "", "", "", ""};
                              },
                              [] { return std::string(); },
                              [] {
                                  RejectionThresholds t;
                                  t.cpuPercent = 80;
                                  t.memoryPercent = 90;
                                  t.downloadKBps = 2000;
                                  return t;
                              },
                              [&](const std::string& text) { latest = text; }});
        EXPECT_EQ(rounds.RecordInvalidRound(c.code), !c.reason.empty());
        rounds.SetInvalidRoundSummary(c.code);

        const std::string history = readFile(historyFilePath(dir.path(), "u42"));
        std::vector<std::filesystem::path> records;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir / "Data", ec))
            records.push_back(e.path());
        if (c.reason.empty()) {
            EXPECT_TRUE(history.empty());
            EXPECT_TRUE(records.empty());
            EXPECT_TRUE(latest.empty());
            continue;
        }
        EXPECT_NE(history.find(",自动,自动测速,无效数据," + c.reason + ";"), std::string::npos) << history;
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].filename().string().rfind("Pccollect_error_", 0), 0u);
        const std::string record = readFile(records[0]);
        EXPECT_EQ(record.rfind("+++start+++\r\nerror=" + std::to_string(c.code) + "\r\nuserid=u42\r\ndtime=", 0), 0u)
            << record;
        EXPECT_EQ(record.substr(record.size() - 11), "\r\n---end---");
        EXPECT_EQ(latest.rfind("最近一次自动测速结果：\n数据无效（原因：" + c.reason + "）。\n测速时间： ", 0), 0u)
            << latest;
        EXPECT_EQ(rounds.recorded(), 1);
    }
}

TEST(InvalidRounds, TwoRejectionsInOneHourKeepBothRecords)
{
    TempDir dir;
    ServiceClock clock(std::string(), nullptr, systemClock());
    ResultRecorder recorder(dir.path(), clock, [](const std::string&) {});
    InvalidRounds rounds({&recorder, nullptr, &clock,
                          [] {
                              return UserSession{"u1", "", "", "", ""};
                          },
                          nullptr, [] { return RejectionThresholds{}; }, nullptr});
    EXPECT_TRUE(rounds.RecordInvalidRound(4));
    EXPECT_TRUE(rounds.RecordInvalidRound(6));
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir / "Data"))
        ++files;
    EXPECT_EQ(files, 2) << "an unshipped record is never overwritten";
}

} // namespace
