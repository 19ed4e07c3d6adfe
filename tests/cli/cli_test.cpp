#include "cli/cli.h"
#include "cli/command_options.h"
#include "cli/run_cli.h"

#include "common/cipher.h"
#include "platform/network_adapters.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_dir.h"

#include <fstream>
#include <sstream>

using namespace quorvane;
using ::testing::HasSubstr;
using ::testing::Not;

namespace
{

using Result = test::CliResult;
using test::runCli;

TEST(CliOptions, ACommandReadsOnlyTheOptionsItTakes)
{
    struct Row {
        cli::Args args;
        std::vector<std::string_view> accepted;
        std::string error;
        std::vector<std::string> positional;
    };
    const Row rows[] = {
        {{"http://a/", "--json"}, {"--json"}, "", {"http://a/"}},
        {{"--server", "x"}, {"--json"}, "unknown option --server", {"x"}},
        {{"--dir"}, {"--dir"}, "--dir needs a value", {}},
        {{"--dir", "--json", "p"}, {"--dir", "--json"}, "", {"p"}}, // a value is taken as it stands
    };
    for (const Row& r : rows) {
        const cli::CommandOptions o = cli::ParseCommandOptions(r.args, r.accepted);
        EXPECT_EQ(o.error, r.error) << r.args[0];
        EXPECT_EQ(o.positional, r.positional) << r.args[0];
    }
    const cli::CommandOptions all = cli::ParseCommandOptions({"--auto", "--server", "s", "--stream", "--dir", "d"},
                                                             {"--auto", "--server", "--stream", "--dir"});
    EXPECT_TRUE(all.automatic && all.stream && !all.json);
    EXPECT_EQ(all.server + all.dir, "sd");
}

TEST(CliCipher, EncryptPrintsUpperCaseHexThatDecryptReadsBack)
{
    for (const std::string& text :
         {std::string("127.0.0.1"), std::string("测速用户"), std::string("a b=c"), std::string()}) {
        const auto encrypted = runCli({"cipher", "encrypt", text});
        ASSERT_EQ(encrypted.code, cli::kOk) << encrypted.err;
        EXPECT_EQ(encrypted.err, "");
        ASSERT_FALSE(encrypted.out.empty());
        EXPECT_EQ(encrypted.out.back(), '\n');
        const std::string hex = encrypted.out.substr(0, encrypted.out.size() - 1);
        EXPECT_THAT(hex, ::testing::MatchesRegex("([0-9A-F]{16})*"));
        EXPECT_EQ(hex, encryptValue(text, kValueKey));

        const auto decrypted = runCli({"cipher", "decrypt", hex});
        ASSERT_EQ(decrypted.code, cli::kOk) << decrypted.err;
        EXPECT_EQ(decrypted.out, text + "\n");
    }
    // Value as the shipped configuration holds it.
    EXPECT_EQ(runCli({"cipher", "decrypt", "cf94ab149601a10779b532f9832447a5"}).out, "127.0.0.1\n");
}

TEST(CliCipher, MalformedCipherTextFailsWithAMessage)
{
    for (const char* bad : {"XYZ", "CF94AB149601A107 ", "CF94AB149601A1077", "CF94AB149601A10G"}) {
        const auto result = runCli({"cipher", "decrypt", bad});
        EXPECT_EQ(result.code, cli::kFailed) << bad;
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, HasSubstr("not an enciphered value"));
    }
}

TEST(CliUsage, BadArgumentsPrintUsageAndExitWithTwo)
{
    const std::vector<cli::Args> bad = {
        {},
        {"nonsense"},
        {"cipher"},
        {"cipher", "encrypt"},
        {"cipher", "encrypt", "a", "b"},
        {"cipher", "rot13", "x"},
        {"history", "--json", "--csv"},
        {"history", "--dir"},
        {"history", "--xml"},
        {"webpage"},
        {"webpage", "--json"},
        {"webpage", "a.com", "b.com"},
        {"webpage", "a.com", "--dir"},
    };
    for (const auto& args : bad) {
        const auto result = runCli(args);
        EXPECT_EQ(result.code, cli::kUsage) << ::testing::PrintToString(args);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, HasSubstr("Usage: quorvane-cli"));
    }
    const auto help = runCli({"--help"});
    EXPECT_EQ(help.code, cli::kOk);
    EXPECT_THAT(help.out, HasSubstr("cipher encrypt TEXT"));
    EXPECT_THAT(help.out, HasSubstr("cipher decrypt HEX"));
    // Every registered command appears in the usage.
    for (const auto& command : cli::commands())
        EXPECT_THAT(help.out, HasSubstr(std::string(command.name) + " ")) << command.name;
}

TEST(CliHistory, PrintsTheStoredUsersHistoryNewestFirstInEachFormat)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir.path() / "conf");
    std::filesystem::create_directories(dir.path() / "HistoryRecord");
    {
        std::ofstream(dir.path() / "conf" / "l_c_config_01.properties", std::ios::binary)
            << "#user config\r\nuname=x\r\nuserid=42\r\n";
        std::ofstream(dir.path() / "HistoryRecord" / "HistoryRecord42.txt", std::ios::binary)
            << "2024-01-01 10:00:00,手动,带宽测速,北京,94.3Mb/s;\nshort;\n"
               "2024-01-01 11:00:00,自动,自动测速,无效数据,无线上网;\n";
    }
    const std::string d = dir.path().string();
    const struct {
        cli::Args args;
        std::string out;
    } cases[] = {
        {{"history", "--dir", d},
         "测速时间  类型  测速类型  名称  指标\n2024-01-01 11:00:00  自动  自动测速  无效数据  无线上网\n"
         "2024-01-01 10:00:00  手动  带宽测速  北京  94.3Mb/s\n"},
        {{"history", "--csv", "--dir", d},
         "\xEF\xBB\xBF测速时间,类型,测速类型,名称,指标\r\n2024-01-01 11:00:00,自动,自动测速,无效数据,无线上网\r\n"
         "2024-01-01 10:00:00,手动,带宽测速,北京,94.3Mb/s\r\n"},
        {{"history", "--dir", d, "--json", "--user", "7"}, "[]\n"}, // another user, no file
    };
    for (const auto& c : cases) {
        const auto result = runCli(c.args);
        EXPECT_EQ(result.code, cli::kOk) << result.err;
        EXPECT_EQ(result.out, c.out) << ::testing::PrintToString(c.args);
    }
    const auto json = runCli({"history", "--json", "--dir", d});
    EXPECT_THAT(json.out, HasSubstr(R"({"time": "2024-01-01 11:00:00", "mode": "自动", "test": "自动测速", )"));
    EXPECT_THAT(json.out, Not(HasSubstr("share"))); // no contract picked here

    // Once the user picked a contract on this machine, bandwidth entries
    // carry the share of it they reached; other entries have none.
    const std::string mac = platform::LinuxNetworkAdapters().firstMacAddress();
    std::filesystem::create_directories(dir.path() / "Config");
    std::ofstream(dir.path() / "conf" / "ipconfig.properties", std::ios::binary)
        << mac << "=6\r\ncontract_chosen_" << mac << "=true\r\n";
    std::ofstream(dir.path() / "Config" / "settings42.xml", std::ios::binary)
        << "<auto><contband><bandmap id=\"1\">2M</bandmap><bandmap id=\"6\">100M</bandmap></contband></auto>";
    const auto judged = runCli({"history", "--json", "--dir", d});
    EXPECT_THAT(judged.out, HasSubstr(R"("name": "北京", "value": "94.3Mb/s", "share": 98})"));
    EXPECT_THAT(judged.out, HasSubstr(R"("name": "无效数据", "value": "无线上网"})"));

    std::filesystem::remove(dir.path() / "conf" / "l_c_config_01.properties");
    const auto noUser = runCli({"history", "--dir", d});
    EXPECT_EQ(noUser.code, cli::kFailed);
    EXPECT_THAT(noUser.err, HasSubstr("--user"));
}

} // namespace

TEST(CliWebpage, AnAddressThatFailsTheCheckStartsNoBrowser)
{
    for (const char* bad : {"localhost", "www.example.com\nurl=x", " www.example.com"}) {
        const auto result = runCli({"webpage", bad, "--json"});
        EXPECT_EQ(result.code, cli::kFailed) << bad;
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, HasSubstr("请输入正确的网页链接地址！"));
    }
}
