#include "measure/bandwidth_sampler.h"

#include "common/log_file.h"

#include <algorithm>

namespace quorvane::measure
{

namespace
{

void logLine(const SamplerSettings& settings, const std::string& line)
{
    if (!settings.logFile.empty())
        CLogFile::append(settings.logFile.string(), line);
}

void sleepUntil(Clock& clock, Clock::Steady::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.now());
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

    // Each reading closes one sample and opens the next, so the 15 samples
    // cover the window without gaps.
    std::uint64_t previous = bytes();
    for (int k = 1; k <= kSamplesPerDirection; ++k) {
        if (!transferRunning())
            return summary;
        sleepUntil(clock, first + settings.interval * k);
        const std::uint64_t current = bytes();
        const std::uint64_t sample = current >= previous ? current - previous : 0;
        previous = current;
        summary.samples.push_back(sample);
        if (events.sample)
            events.sample(direction, k, sample);
        logLine(settings, FormatFixed(static_cast<double>(sample) / 1024.0, 3) + "KB/S");
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
