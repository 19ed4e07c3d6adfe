#include "measure/bandwidth_figures.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace quorvane::measure
{

namespace
{

constexpr double kBytesPerMB = 1048576.0;

} // namespace

float AverageSpeed(const Samples& samples)
{
    std::uint64_t sum = 0;
    std::size_t zeros = 0;
    std::size_t counted = 0;
    for (std::size_t i = kRampUpSamples; i < samples.size(); ++i) {
        sum += samples[i];
        zeros += samples[i] == 0 ? 1 : 0;
        ++counted;
    }
    if (sum == 0)
        return 0.0f;
    return static_cast<float>(static_cast<float>(sum) / 1048576.0f) / static_cast<float>(counted - zeros);
}

float Jitter(const Samples& samples)
{
    if (samples.size() <= static_cast<std::size_t>(kRampUpSamples))
        return -1.0f;
    const auto first = samples.begin() + kRampUpSamples;
    const double n = static_cast<double>(samples.end() - first);
    double sum = 0;
    for (auto it = first; it != samples.end(); ++it)
        sum += static_cast<double>(*it);
    const double mean = sum / n;
    if (mean == 0)
        return -1.0f;
    // Deviations from the mean rather than the mean square minus the squared
    // mean: with byte counts near 10^8 the latter cancels to noise in single
    // precision, and a perfectly steady line would show jitter.
    double squares = 0;
    for (auto it = first; it != samples.end(); ++it) {
        const double d = static_cast<double>(*it) - mean;
        squares += d * d;
    }
    return static_cast<float>(std::sqrt(squares / n) / mean);
}

std::string PeakSpeedText(const Samples& samples)
{
    std::uint64_t peak = 0;
    for (std::size_t i = kRampUpSamples; i < samples.size(); ++i)
        peak = std::max(peak, samples[i]);
    if (peak == 0)
        return "0.00";
    return FormatFixed(static_cast<double>(peak) / kBytesPerMB, 2);
}

int GaugeKilobits(std::uint64_t sampleBytes)
{
    const std::uint64_t kilobits = (sampleBytes / 1024) * 8;
    return static_cast<int>(std::min<std::uint64_t>(kilobits, 0x7FFFFFFF));
}

int RankBarPosition(double v)
{
    if (std::isnan(v))
        return 0; // no figure: the bar stays at its start
    double p;
    if (v < 1)
        p = v * 163;
    else if (v < 2)
        p = (v - 1) * 81 + 163;
    else if (v < 4)
        p = (v - 2) * 81 / 2 + 245;
    else if (v < 10)
        p = (v - 4) * 81 / 6 + 324;
    else
        p = (v - 10) * 81 / 6 + 405;
    // A line of several Gbit/s would run the bar past any window; the bar
    // has long stopped meaning anything there.
    p = std::clamp(p, -1.0e6, 1.0e6);
    return static_cast<int>(p);
}

std::string RankBarLabel(int p)
{
    if (p <= 0)
        return {};
    if (p <= 25)
        return "蜗牛";
    if (p <= 100)
        return "乌龟";
    if (p <= 175)
        return "兔子";
    if (p <= 250)
        return "斑马";
    if (p <= 325)
        return "老虎";
    if (p <= 400)
        return "狮子";
    if (p <= 475)
        return "剑羚";
    return "猎豹";
}

std::string FormatFixed(double value, int decimals)
{
    char buf[512];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (ec != std::errc())
        return "0";
    return std::string(buf, end);
}

std::string RandomQueryText(std::time_t seconds, int random)
{
    const std::string fraction = FormatFixed(static_cast<double>(random) / 32767.0, 17);
    return std::to_string(static_cast<long long>(seconds)) + fraction.substr(1);
}

} // namespace quorvane::measure
