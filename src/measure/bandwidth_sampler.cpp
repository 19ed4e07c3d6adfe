#include "measure/bandwidth_sampler.h"

#include "common/log_file.h"

#include <algorithm>
#include <cmath>

namespace quorvane::measure
{

namespace
{

void logLine(const SamplerSettings& settings, const std::string& line)
{
    if (!settings.logFile.empty())
        CLogFile::append(settings.logFile.string(), line);
}

struct Reading {
    Clock::Steady::time_point at;
    std::uint64_t bytes = 0;
};

// The counter and the moment it was read; the moment is the middle of the
// read, so a thread descheduled around it errs by half as much.
Reading read(Clock& clock, const std::function<std::uint64_t()>& bytes)
{
    const auto before = clock.now();
    const std::uint64_t value = bytes();
    const auto after = clock.now();
    return {before + (after - before) / 2, value};
}

void sleepUntil(Clock& clock, Clock::Steady::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.now());
    if (left.count() > 0)
        clock.sleepFor(left);
}

} // namespace

bool DirectionSummary::movedBytes() const
{
    return std::any_of(samples.begin() + std::min<std::size_t>(samples.size(), kRampUpSamples), samples.end(),
                       [](std::uint64_t s) { return s > 0; });
}

std::string SummaryLogLine(const DirectionSummary& s)
{
    const bool down = s.direction == Direction::Download;
    return std::string(down ? "\n10次平均下载速率：" : "\n10次平均上传速率：") + FormatFixed(s.averageMBps, 2) +
           (down ? "MB  下行带宽：" : "MB  估算上行带宽：") + FormatFixed(s.bandwidthMb(), 1) + "Mb  10次抖动率：" +
           FormatFixed(s.jitter, 6);
}

DirectionSummary SampleDirection(Direction direction, Clock::Steady::time_point start,
                                 const std::function<std::uint64_t()>& bytes,
                                 const std::function<bool()>& transferRunning, const SamplerSettings& settings,
                                 const SampleEvents& events)
{
    DirectionSummary summary(direction);
    summary.started = true;
    Clock& clock = *settings.clock;

    const auto first = start + settings.firstWait;
    sleepUntil(clock, first);
    logLine(settings, direction == Direction::Download ? "下载测速：" : "上传测速：");

    // Each reading closes one sample and opens the next, so the samples
    // cover the window without gaps. A sample is the bytes between two
    // readings over the time that really passed between them: a reading
    // taken late moves bytes into its sample together with the time they
    // took, instead of making one second look short and the next look long.
    Reading previous = read(clock, bytes);
    for (int k = 1; k <= kSamplesPerDirection;) {
        if (!transferRunning())
            return summary;
        // Never read again within half an interval of the last reading: over
        // a sliver of time the counter's chunks would read as a burst.
        sleepUntil(clock, std::max(first + settings.interval * k, previous.at + settings.interval / 2));
        const Reading current = read(clock, bytes);
        const std::uint64_t moved = current.bytes >= previous.bytes ? current.bytes - previous.bytes : 0;
        const double seconds = std::chrono::duration<double>(current.at - previous.at).count();
        const auto sample =
            seconds > 0 ? static_cast<std::uint64_t>(std::llround(static_cast<double>(moved) / seconds)) : moved;
        // A wake-up so late that later samples' moments passed too gives each
        // of them the same rate: the stretch is one measurement.
        int covered = 1;
        while (k + covered <= kSamplesPerDirection && current.at >= first + settings.interval * (k + covered))
            ++covered;
        for (int i = 0; i < covered; ++i, ++k) {
            summary.samples.push_back(sample);
            if (events.sample)
                events.sample(direction, k, sample);
            logLine(settings, FormatFixed(static_cast<double>(sample) / 1024.0, 3) + "KB/S");
        }
        previous = current;
    }

    summary.completed = true;
    summary.averageMBps = AverageSpeed(summary.samples);
    summary.jitter = Jitter(summary.samples);
    summary.peakText = PeakSpeedText(summary.samples);
    summary.jitterText = FormatFixed(summary.jitter, 6);
    logLine(settings, SummaryLogLine(summary));
    return summary;
}

} // namespace quorvane::measure
