#include "update/segmented_download.h"

#include <gtest/gtest.h>

namespace quorvane::update
{
namespace
{

std::vector<RangeBounds> plan(std::int64_t total)
{
    std::vector<RangeBounds> ranges;
    std::int64_t nextStart = -kSegmentSize;
    while (const auto r = AdvanceNextStart(nextStart, kSegmentSize, total)) {
        ranges.push_back(*r);
        if (ranges.size() > 100)
            break;
    }
    return ranges;
}

TEST(RangePlanning, ConsecutiveSegmentsEndingAtTheLastByte)
{
    const struct {
        std::int64_t total;
        std::vector<RangeBounds> ranges;
    } cases[] = {
        {500000, {{0, 204799}, {204800, 409599}, {409600, 499999}}},
        {409600, {{0, 204799}, {204800, 409599}}},
        {1000, {{0, 999}}},
        {1, {{0, 0}}},
        {204800, {{0, 204799}}},
        {204801, {{0, 204799}, {204800, 204800}}},
        {0, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(plan(c.total), c.ranges) << c.total;

    // A task resuming after the ranges of a state file continues behind them.
    std::int64_t nextStart = 409600 - kSegmentSize;
    EXPECT_EQ(AdvanceNextStart(nextStart, kSegmentSize, 500000), (RangeBounds{409600, 499999}));
    EXPECT_EQ(AdvanceNextStart(nextStart, kSegmentSize, 500000), std::nullopt);
}

TEST(RangePlanning, CounterSlots)
{
    const std::pair<std::int64_t, std::size_t> cases[] = {{0, 100},      {1023999, 100}, {1024000, 10},
                                                          {1228799, 10}, {1228800, 12},  {256 << 20, 2620}};
    for (const auto& [total, slots] : cases)
        EXPECT_EQ(InitialCounterSlots(total), slots) << total;
    // An absurd announced size allocates nothing absurd.
    EXPECT_EQ(InitialCounterSlots(INT64_C(100000000000000)), kMaxInitialCounterSlots);
}

TEST(StateFile, ReadsCountBaseAndRangesSortedByStart)
{
    EXPECT_EQ(StateFilePath("TmpUpdate/Quorvane"), "TmpUpdate/Quorvane.MarrowindDownloadFile");
    const struct {
        const char* what;
        std::string text;
        std::optional<std::int64_t> base; // nothing: rejected
        std::vector<ByteRange> ranges;    // (start, done, length)
    } cases[] = {
        {"two ranges, given out of order (start, length, done per group)",
         "2\n1000\n204800\n204800\n0\n0\n204800\n1000\n",
         1000,
         {{0, 1000, 204800}, {204800, 0, 204800}}},
        {"CR LF line ends and text after the last group", "1\r\n5\r\n10\r\n20\r\n5\r\nrubbish\n", 5, {{10, 5, 20}}},
        {"no ranges", "0\n0\n", 0, {}},
        {"a group cut short", "2\n0\n0\n10\n0\n", std::nullopt, {}},
        {"not a number", "1\n0\nten\n10\n0\n", std::nullopt, {}},
        {"a number with a tail", "1\n0\n10x\n10\n0\n", std::nullopt, {}},
        {"a negative count", "-1\n0\n", std::nullopt, {}},
        {"an absurd count", "4000000000\n0\n", std::nullopt, {}},
        {"empty", "", std::nullopt, {}},
    };
    for (const auto& c : cases) {
        const auto state = ParseDownloadState(c.text);
        ASSERT_EQ(state.has_value(), c.base.has_value()) << c.what;
        if (!state)
            continue;
        EXPECT_EQ(state->baseCount, *c.base) << c.what;
        EXPECT_EQ(state->ranges, c.ranges) << c.what;
    }
}

TEST(StateFile, FitsOnlyWhenEveryByteEndsUpThereExactlyOnce)
{
    const std::int64_t total = 500000;
    const struct {
        const char* what;
        DownloadState state;
        bool fits;
    } cases[] = {
        {"two ranges, 1000 bytes counted", {1000, {{0, 1000, 204800}, {204800, 0, 204800}}}, true},
        {"finished ranges before an unfinished one", {409600, {{409600, 0, 90400}}}, true},
        {"nothing at all", {0, {}}, true},
        {"base short of what lies before the last range", {999, {{0, 1000, 204800}, {204800, 0, 204800}}}, false},
        {"base beyond it", {1001, {{0, 1000, 204800}, {204800, 0, 204800}}}, false},
        {"overlapping ranges", {0, {{0, 0, 204800}, {204799, 0, 10}}}, false},
        {"a range past the end", {0, {{400000, 0, 100001}}}, false},
        {"done beyond the length", {20, {{0, 20, 10}}}, false},
        {"a negative start", {0, {{-10, 0, 10}}}, false},
        {"an empty range", {0, {{0, 0, 0}}}, false},
        {"a base larger than the file", {total + 1, {}}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StateFits(c.state, total), c.fits) << c.what;
    EXPECT_FALSE(StateFits({0, {}}, 0)) << "no size, no resuming";
}

} // namespace
} // namespace quorvane::update
