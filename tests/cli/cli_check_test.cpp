// "check": the figures of one pass beside their limits, as text and JSON, on
// fake /proc and /sys trees.
#include "cli/check_command.h"
#include "common/durable_file.h"
#include "config/work_dir.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

using namespace quorvane;
using test::writeFile;
using ::testing::HasSubstr;

namespace
{

class CliCheckTest : public test::WorkDirTest
{
protected:
    std::pair<int, std::string> check(const cli::Args& args)
    {
        clock = std::make_shared<test::FakeClock>();
        writeFile("Config/threshold_config.xml",
                  "<threshold><CPUThreshold><value>80</value></CPUThreshold>"
                  "<FlowThreshold><down_speed>2000</down_speed><up_speed>100</up_speed></FlowThreshold></threshold>");
        writeFile(dir() / "proc" / "meminfo", "MemTotal: 1000 kB\nMemAvailable: 580 kB\n");
        const auto eth = dir() / "sys" / "class" / "net" / "eth0";
        writeFile(eth / "address", "52:54:00:aa:bb:01\n");
        writeFile(eth / "operstate", "up\n");
        writeFile(eth / "statistics" / "rx_bytes", "0\n");
        writeFile(eth / "statistics" / "tx_bytes", "0\n");
        // The load window passes, then the traffic sample's first second.
        clock->onSleep = [this, eth] {
            if (clock->sleeps().size() == 1)
                writeFile(dir() / "proc" / "stat",
                          "cpu  " + std::to_string(cpuBusy) + " 0 0 " + std::to_string(100 - cpuBusy) + " 0\n");
            if (clock->sleeps().size() == 3)
                writeFile(eth / "statistics" / "rx_bytes", "6000000\n");
        };
        writeFile(dir() / "proc" / "stat", "cpu  0 0 0 0 0\n");
        std::ostringstream out, err;
        const int code = cli::runCheckWith(
            args, out, err,
            {clock, [](std::string_view) {}, dir() / "proc", dir() / "sys", [this] { return lanAnswers; }}, false);
        return {code, out.str()};
    }

    std::shared_ptr<test::FakeClock> clock = std::make_shared<test::FakeClock>();
    int cpuBusy = 30;
    int lanAnswers = 0;
};

TEST_F(CliCheckTest, TextListsEveryFigureBesideItsLimit)
{
    struct Case {
        int cpuBusy, lanAnswers;
        std::string cpuRow, lanRow, verdict;
    };
    const Case cases[] = {
        {30, 0, "processor load    30%                   limit 80%       ok",
         "other machines    0                     limit 0         ok", "code 0 (fit to measure)"},
        {30, 2, "processor load    30%                   limit 80%       ok",
         "other machines    2                     limit 0         rejects", "code 6 (多机上网)"},
        // Every figure is measured even after the first failure, which decides the code.
        {81, 2, "processor load    81%                   limit 80%       rejects",
         "other machines    2                     limit 0         rejects", "code 1 (CPU使用率 > 80%)"},
    };
    for (const auto& c : cases) {
        cpuBusy = c.cpuBusy;
        lanAnswers = c.lanAnswers;
        const auto [code, out] = check({});
        EXPECT_EQ(code, cli::kOk);
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        ASSERT_EQ(lines.size(), 10u) << out;
        EXPECT_EQ(lines[0], c.cpuRow);
        EXPECT_EQ(lines[1], "committed memory  42%                   limit 100%      ok");
        EXPECT_EQ(lines[4], "traffic down      1171.875 KB/s         limit 2000 KB/s ok");
        EXPECT_EQ(lines[6], c.lanRow);
        EXPECT_EQ(lines[7], c.verdict);
        EXPECT_TRUE(lines[8].starts_with("LAN count: ")) << lines[8];
        EXPECT_EQ(lines[9], "folders: the program folder, Data, Data2 and conf can be written");
    }
}

TEST_F(CliCheckTest, JsonCarriesTheSameFigures)
{
    lanAnswers = 1;
    const auto [code, out] = check({"--json"});
    ASSERT_EQ(code, cli::kOk);
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
    ASSERT_FALSE(doc.isEmpty()) << out;
    EXPECT_EQ(doc["code"].toInt(), 6);
    EXPECT_EQ(doc["reason"].toString().toStdString(), "多机上网");
    EXPECT_EQ(doc["cpu"]["percent"].toInt(), 30);
    EXPECT_EQ(doc["cpu"]["limit"].toInt(), 80);
    EXPECT_EQ(doc["download"]["kbps"].toDouble(), 1171.875);
    EXPECT_TRUE(doc["upload"]["ok"].toBool());
    EXPECT_EQ(doc["antiVirus"]["running"].toString(), "");
    EXPECT_FALSE(doc["lan"]["ok"].toBool());
    // What the count needs is said exactly when no ICMP socket opens.
    const QString socket = doc["lan"]["icmpSocket"].toString();
    EXPECT_TRUE(socket == "raw" || socket == "ping" || socket == "none") << socket.toStdString();
    EXPECT_EQ(doc["lan"]["needs"].toString().isEmpty(), socket != "none");
}

TEST_F(CliCheckTest, FoldersThatCannotBeWrittenFailTheCheck)
{
    const auto [code, out] = [this] {
        ScopedWriteFault readOnly(EROFS);
        return check({"--json"});
    }();
    EXPECT_EQ(code, cli::kFailed);
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
    const QJsonArray folders = doc["unwritableFolders"].toArray();
    ASSERT_EQ(folders.size(), 4) << out;
    EXPECT_EQ(folders[1]["folder"].toString(), "Data");
    EXPECT_EQ(folders[1]["reason"].toString(), "Read-only file system");
}

TEST_F(CliCheckTest, UnknownArgumentsAreAUsageError)
{
    std::ostringstream out, err;
    EXPECT_EQ(cli::runCheckWith({"--fast"}, out, err, {}, false), cli::kUsage);
    EXPECT_THAT(err.str(), HasSubstr("check takes --json"));
    EXPECT_EQ(out.str(), "");
}

} // namespace
