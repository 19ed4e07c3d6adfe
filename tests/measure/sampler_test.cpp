#include "measure/bandwidth_sampler.h"
#include "measure/support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace quorvane;
using namespace quorvane::measure;
using namespace std::chrono_literals;

namespace
{

constexpr std::uint64_t MB = 1048576;

struct Sampling {
    std::shared_ptr<test::SteppingClock> clock =
        std::make_shared<test::SteppingClock>(test::localTime(2024, 1, 2, 3, 4, 5));
    Clock::Steady::time_point start = clock->now();
    std::vector<double> readAt; // seconds after start of each counter read
    test::TempDir dir;
    double rate = MB;                                          // bytes per second of the line
    std::uint64_t chunk = 1;                                   // the counter moves in these steps
    std::vector<std::chrono::milliseconds> lateAfterRead = {}; // the next wake-up's lateness, by read

    DirectionSummary run(Direction direction, std::chrono::milliseconds transferEndsAfter,
                         std::vector<int>* indices = nullptr)
    {
        SamplerSettings settings;
        settings.clock = clock;
        settings.logFile = dir / "logfile.txt";
        SampleEvents events;
        events.sample = [indices](Direction, int index, std::uint64_t) {
            if (indices)
                indices->push_back(index);
        };
        // A line of exactly `rate`: the counter is a function of time.
        auto bytes = [this] {
            const double seconds = std::chrono::duration<double>(clock->now() - start).count();
            if (!lateAfterRead.empty())
                clock->setOversleep(readAt.size() < lateAfterRead.size() ? lateAfterRead[readAt.size()] : 0ms);
            readAt.push_back(seconds);
            return static_cast<std::uint64_t>(seconds * rate) / chunk * chunk;
        };
        auto running = [this, transferEndsAfter] { return clock->now() - start < transferEndsAfter; };
        return SampleDirection(direction, start, bytes, running, settings, events);
    }
};

} // namespace

TEST(BandwidthSampler, SamplesSitOnFixedDeadlinesEvenWhenWakeUpsAreLate)
{
    for (const auto oversleep : {0ms, 300ms, 450ms}) {
        SCOPED_TRACE(oversleep.count());
        Sampling s;
        s.clock->setOversleep(oversleep);
        std::vector<int> indices;
        const DirectionSummary summary = s.run(Direction::Download, 18s, &indices);
        ASSERT_TRUE(summary.completed);
        ASSERT_EQ(summary.samples.size(), 15u);
        // Every sample spans one second of the line, not one second plus the
        // lateness, so the window is not stretched and the rate not inflated.
        for (std::uint64_t sample : summary.samples)
            EXPECT_NEAR(static_cast<double>(sample), MB, 2.0);
        ASSERT_EQ(s.readAt.size(), 16u);
        const double late = std::chrono::duration<double>(oversleep).count();
        for (std::size_t k = 0; k < s.readAt.size(); ++k)
            EXPECT_NEAR(s.readAt[k], 2.0 + late + static_cast<double>(k), 1e-6) << k;
        EXPECT_EQ(indices, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
        EXPECT_EQ(FormatFixed(summary.averageMBps, 2), "1.00");
        EXPECT_EQ(summary.jitterText, "0.000000");
        EXPECT_EQ(summary.peakText, "1.00");
    }
}

TEST(BandwidthSampler, ALateWakeUpMovesBytesWithoutInventingAPeak)
{
    // A 5 MB/s line. Once one sample was read 700 ms late and the next on
    // time, giving 1.5 and 0.3 of the rate, and the peak was a speed the
    // line never had.
    struct Case {
        const char* what;
        std::vector<std::chrono::milliseconds> late; // by read
        std::uint64_t chunk;
        double tolerance; // of the rate
    };
    const Case cases[] = {
        {"one late reading", {0ms, 0ms, 0ms, 0ms, 0ms, 0ms, 0ms, 700ms}, 1, 1e-6},
        {"late past the next moment", {0ms, 0ms, 0ms, 0ms, 0ms, 0ms, 1700ms, 0ms, 20ms}, 1, 1e-6},
        {"jittery wake-ups", {90ms, 5ms, 400ms, 0ms, 250ms, 30ms, 480ms, 1ms, 0ms, 333ms, 0ms, 70ms}, 1, 1e-6},
        // Counted in 64 KiB steps: even a reading soon after a late one is
        // at least half a second away, so a step moves a sample by 2.6 %.
        {"coarse counter", {0ms, 0ms, 0ms, 0ms, 0ms, 0ms, 999ms, 0ms, 999ms, 0ms}, 65536, 0.027},
    };
    constexpr double rate = 5.0 * MB;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sampling s;
        s.rate = rate;
        s.chunk = c.chunk;
        s.lateAfterRead = c.late;
        const DirectionSummary summary = s.run(Direction::Upload, 60s);
        ASSERT_TRUE(summary.completed);
        ASSERT_EQ(summary.samples.size(), 15u);
        for (std::uint64_t sample : summary.samples)
            EXPECT_NEAR(static_cast<double>(sample), rate, rate * c.tolerance);
        EXPECT_NEAR(std::stod(summary.peakText), 5.0, 5.0 * c.tolerance + 0.005);
    }
}

TEST(BandwidthSampler, ATransferThatEndsEarlyLeavesTheDirectionIncomplete)
{
    struct Case {
        std::chrono::milliseconds endsAfter;
        std::size_t samples;
    };
    // The transfer state is looked at before each sample: a transfer that
    // ended at 9.5 s still gives the sample running from 9 s to 10 s.
    const Case cases[] = {{0ms, 0}, {1500ms, 0}, {2500ms, 1}, {9500ms, 8}, {16500ms, 15}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endsAfter.count());
        Sampling s;
        const DirectionSummary summary = s.run(Direction::Upload, c.endsAfter);
        EXPECT_EQ(summary.samples.size(), c.samples);
        EXPECT_EQ(summary.completed, c.samples == 15);
        const std::string log = test::readFile(s.dir / "logfile.txt");
        EXPECT_NE(log.find(",上传测速：\n"), std::string::npos);
        EXPECT_EQ(log.find("10次平均上传速率") != std::string::npos, c.samples == 15);
    }
}

TEST(BandwidthSampler, LogShowsEverySampleAndTheSummary)
{
    Sampling s;
    ASSERT_TRUE(s.run(Direction::Download, 18s).completed);
    const std::string log = test::readFile(s.dir / "logfile.txt");
    std::size_t lines = 0;
    for (std::size_t at = log.find(",1024.000KB/S\n"); at != std::string::npos;
         at = log.find(",1024.000KB/S\n", at + 1))
        ++lines;
    EXPECT_EQ(lines, 15u);
    EXPECT_NE(log.find(",下载测速：\n"), std::string::npos);
    EXPECT_NE(log.find(",\n10次平均下载速率：1.00MB  下行带宽：8.0Mb  10次抖动率：0.000000\n"), std::string::npos)
        << log;

    DirectionSummary up(Direction::Upload);
    up.averageMBps = 2.0f;
    up.jitter = 0.5f;
    EXPECT_EQ(SummaryLogLine(up), "\n10次平均上传速率：2.00MB  估算上行带宽：16.0Mb  10次抖动率：0.500000");
}
