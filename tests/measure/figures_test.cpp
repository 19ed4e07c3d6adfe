#include "measure/bandwidth_figures.h"

#include <cmath>
#include <gtest/gtest.h>

#include <clocale>
#include <string>

using namespace quorvane::measure;

namespace
{

constexpr std::uint64_t MB = 1048576;

Samples withRampUp(std::initializer_list<std::uint64_t> counted, Samples ramp = {3, 0, 5, 2, 9})
{
    ramp.insert(ramp.end(), counted);
    return ramp;
}

} // namespace

TEST(BandwidthFigures, SampleListsGiveTheRecordedFigures)
{
    struct Case {
        const char* what;
        Samples samples;
        const char* average;   // "%.2f"
        const char* bandwidth; // "%.1f" of average x 8
        const char* jitter;    // "%f"
        const char* peak;
    };
    const Case cases[] = {
        {"steady 1 MB/s after a ramp-up", withRampUp({MB, MB, MB, MB, MB, MB, MB, MB, MB, MB}), "1.00", "8.0",
         "0.000000", "1.00"},
        {"zeros leave the average, not the jitter",
         withRampUp({0, 2 * MB, 2 * MB, 0, 2 * MB, 2 * MB, 2 * MB, 2 * MB, 2 * MB, 2 * MB}), "2.00", "16.0", "0.500000",
         "2.00"},
        {"nothing counted", withRampUp({0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {MB, MB, MB, MB, MB}), "0.00", "0.0",
         "-1.000000", "0.00"},
        {"the ramp-up never counts, however large",
         withRampUp({MB, MB, MB, MB, MB, MB, MB, MB, MB, MB}, {99 * MB, 99 * MB, 99 * MB, 99 * MB, 99 * MB}), "1.00",
         "8.0", "0.000000", "1.00"},
        {"mixed line",
         withRampUp({12 * MB, 12 * MB, 10 * MB, 12 * MB, 12 * MB, 12 * MB, 10 * MB, 12 * MB, 12 * MB, 12 * MB}),
         "11.60", "92.8", "0.068966", "12.00"},
        // A steady line whose samples are not powers of two: single
        // precision of mean square minus squared mean would show 0.000245.
        {"steady 94.5 Mb line",
         withRampUp(
             {11811160, 11811160, 11811160, 11811160, 11811160, 11811160, 11811160, 11811160, 11811160, 11811160}),
         "11.26", "90.1", "0.000000", "11.26"},
        {"a 10 Gbit/s line does not wrap",
         withRampUp({1250000000, 1250000000, 1250000000, 1250000000, 1250000000, 1250000000, 1250000000, 1250000000,
                     1250000000, 5000000000}),
         "1549.72", "12397.8", "0.692308", "4768.37"},
        {"fewer than six samples count nothing", Samples{MB, MB, MB}, "0.00", "0.0", "-1.000000", "0.00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const float average = AverageSpeed(c.samples);
        EXPECT_EQ(FormatFixed(average, 2), c.average);
        EXPECT_EQ(FormatFixed(average * 8.0f, 1), c.bandwidth);
        EXPECT_EQ(FormatFixed(Jitter(c.samples), 6), c.jitter);
        EXPECT_EQ(PeakSpeedText(c.samples), c.peak);
    }
}

TEST(BandwidthFigures, RankingBarPositionsAndLabels)
{
    struct Case {
        double bandwidth;
        int position;
        const char* label;
    };
    const Case cases[] = {
        {0.0, 0, ""},       {0.1, 16, "蜗牛"},   {0.5, 81, "乌龟"},   {1.0, 163, "兔子"},
        {1.5, 203, "斑马"}, {2.0, 245, "斑马"},  {3.0, 285, "老虎"},  {4.0, 324, "老虎"},
        {7.0, 364, "狮子"}, {10.0, 405, "剑羚"}, {15.0, 472, "剑羚"}, {20.0, 540, "猎豹"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bandwidth);
        EXPECT_EQ(RankBarPosition(c.bandwidth), c.position);
        EXPECT_EQ(RankBarLabel(c.position), c.label);
    }
    // The label bands' edges.
    const std::pair<int, const char*> edges[] = {
        {-3, ""},      {0, ""},       {1, "蜗牛"},   {25, "蜗牛"},  {26, "乌龟"},  {100, "乌龟"},
        {101, "兔子"}, {175, "兔子"}, {176, "斑马"}, {250, "斑马"}, {251, "老虎"}, {325, "老虎"},
        {326, "狮子"}, {400, "狮子"}, {401, "剑羚"}, {475, "剑羚"}, {476, "猎豹"}, {100000, "猎豹"}};
    for (const auto& [position, label] : edges)
        EXPECT_EQ(RankBarLabel(position), label) << position;
    // Absurd rates keep the position inside an int.
    EXPECT_EQ(RankBarPosition(1e300), 1000000);
    EXPECT_EQ(RankBarPosition(std::nan("")), 0);
}

TEST(BandwidthFigures, GaugeValuesAreWholeKilobytesTimesEight)
{
    const std::pair<std::uint64_t, int> cases[] = {
        {0, 0}, {1023, 0}, {1024, 8}, {2047, 8}, {131072, 1024}, {MB, 8192}, {300ull * 1024 * 1024 * 1024, 0x7FFFFFFF}};
    for (const auto& [bytes, kilobits] : cases)
        EXPECT_EQ(GaugeKilobits(bytes), kilobits) << bytes;
}

TEST(BandwidthFigures, RandomQueryTextIsSecondsThenSeventeenDigits)
{
    EXPECT_EQ(RandomQueryText(1700000000, 0), "1700000000.00000000000000000");
    EXPECT_EQ(RandomQueryText(1700000000, 32767), "1700000000.00000000000000000");
    EXPECT_EQ(RandomQueryText(1700000000, 16384), "1700000000.50001525925473800");
    EXPECT_EQ(RandomQueryText(5, 1), "5.00003051850947600");
}

TEST(BandwidthFigures, NumbersIgnoreACommaDecimalLocale)
{
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    EXPECT_EQ(FormatFixed(94.25, 1), "94.2");
    EXPECT_EQ(FormatFixed(2.5, 2), "2.50");
    EXPECT_EQ(RandomQueryText(7, 16384).find(','), std::string::npos);
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (!comma)
        GTEST_SKIP() << "no de_DE.UTF-8 locale on this machine; the C locale alone was checked";
}
