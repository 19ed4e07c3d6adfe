// The contracted rate of a label, the share a result reached, and the rule
// that decides when automatic results have stayed short long enough to tell.
#include "results/contract_share.h"

#include <gtest/gtest.h>

#include <optional>

namespace quorvane
{
namespace
{

TEST(ContractShare, LabelsGiveARateInMegabitsOrNone)
{
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"2M", 2},
        {"100M", 100},
        {"1000M", 1000},
        {"1G", 1000},
        {"1.5G", 1500},
        {" 50 M ", 50},
        {"20m", 20},
        {"100Mbps", 100},
        {"100Mb/s", 100},
        {"100MB", 100},
        {"300兆", 300},
        {"512K", 0.512},
        {"8", 8},
        {"", std::nullopt},
        {"M", std::nullopt},
        {"光纤", std::nullopt},
        {"kept", std::nullopt},
        {"0M", std::nullopt},
        {"-5M", std::nullopt},
        {".5M", std::nullopt},
        {"5.M", std::nullopt},
        {"100T", std::nullopt},
        {"100M以上", std::nullopt},
        {"1.2.3M", std::nullopt},
    };
    for (const auto& [label, want] : cases) {
        const auto got = ContractRateMbit(label);
        ASSERT_EQ(got.has_value(), want.has_value()) << label;
        if (want) {
            EXPECT_DOUBLE_EQ(*got, *want) << label;
        }
    }
}

TEST(ContractShare, AChoiceCountsOnlyWhenItIsListedAndHasARate)
{
    const std::vector<std::pair<std::string, std::string>> choices = {{"1", "2M"}, {"6", "100M"}, {"9", "不限"}};
    const auto found = FindContract("6", choices);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->label, "100M");
    EXPECT_EQ(found->mbit, 100);
    EXPECT_FALSE(FindContract("9", choices)); // listed, but no number
    EXPECT_FALSE(FindContract("7", choices)); // not in the list
    EXPECT_FALSE(FindContract("null", choices));
}

TEST(ContractShare, TheShareConvertsTheProgramsMegabitsAndRoundsDown)
{
    // The program's figure counts 2^20 bits; contracts count 10^6.
    struct Case {
        double figureMb, contractMbit;
        int percent;
    };
    const Case cases[] = {
        {38.1, 100, 39},             // a 40 Mbit/s line as the program shows it
        {95.4, 100, 100},            // what a full 100 Mbit/s line shows
        {95.3, 100, 99},             // just short of it is not rounded up to full
        {47.6837158203125, 100, 50}, // exactly half of the contract
        {47.6, 100, 49},
        {190.7, 100, 199}, // faster than the contract
        {0.0, 100, 0},
        {1.9, 2, 99},
        {953.7, 1000, 100},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ContractSharePercent(c.figureMb, c.contractMbit), c.percent)
            << c.figureMb << " of " << c.contractMbit;
    EXPECT_EQ(ContractSharePercent(10, 0), 0); // no contract rate, no share
    EXPECT_EQ(ContractShareText(87), "达到签约带宽的 87%");
}

TEST(ContractShare, TheNoticeFiresOncePerEpisode)
{
    // Each character is one automatic result: L below the threshold, H at or
    // above it, '-' the notice turned off. The expected string marks with
    // '!' the results after which the notice fires.
    struct Case {
        const char* name;
        int count;
        const char* results;
        const char* fires;
    };
    const Case cases[] = {
        {"three in a row", 3, "LLL", "..!"},
        {"stays quiet through the episode", 3, "LLLLLL", "..!..."},
        {"a good result ends the episode", 3, "LLLHLLL", "..!...!"},
        {"a good result breaks the count", 3, "LLHLLHLL", "........"},
        {"one result is enough when asked", 1, "LLHL", "!..!"},
        {"turning it off forgets the streak", 3, "LL-LL", "....."},
        {"off mid-episode, on again: a new episode", 2, "LL-LL", ".!..!"},
        {"good results alone never fire", 3, "HHHH", "...."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShortfallWatch watch;
        std::string fired;
        for (const char* r = c.results; *r; ++r) {
            const ShortfallSettings settings{*r != '-', 50, c.count};
            const auto notice = watch.addResult(*r == 'H' ? 50 : 38, "100M", settings);
            fired += notice ? '!' : '.';
        }
        EXPECT_EQ(fired, c.fires);
    }
}

TEST(ContractShare, TheNoticeNamesTheFiguresOfItsEpisode)
{
    ShortfallWatch watch;
    const ShortfallSettings settings{true, 60, 3};
    for (int share : {12, 70, 45, 38})
        EXPECT_FALSE(watch.addResult(share, "100M", settings));
    const auto notice = watch.addResult(41, "100M", settings);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->shares, (std::vector<int>{45, 38, 41})); // the last three, oldest first
    EXPECT_EQ(notice->title(), "带宽低于签约带宽的 60%");
    EXPECT_EQ(notice->text(), "最近 3 次自动测速的带宽连续低于签约带宽 100M 的 60%：分别达到 45%、38%、41%。");
}

} // namespace
} // namespace quorvane
