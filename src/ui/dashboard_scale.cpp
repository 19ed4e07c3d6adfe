#include "ui/dashboard_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvane::ui
{
namespace
{

// One linear stretch of the scale: from `from` (exclusive) to `to`
// (inclusive) kilobits, 2.25 degrees per `divisor` kilobits from `start`.
struct Segment {
    double from;
    double to;
    double divisor;
    double start;
};

// Every stretch spans ten steps of 2.25 degrees except the first, which
// spans twenty, so each ends exactly where the next begins.
constexpr Segment kSegments[] = {
    {0, 1024, 51.2, -90.0},      {1024, 2048, 102.4, -45.0},   {2048, 4096, 204.8, -22.5},    {4096, 8192, 409.6, 0.0},
    {8192, 20480, 1228.8, 22.5}, {20480, 51200, 3072.0, 45.0}, {51200, 102400, 5120.0, 67.5},
};

} // namespace

double gaugeAngle(std::uint64_t kilobits)
{
    if (kilobits == 0)
        return kGaugeZeroAngle;
    const double k = static_cast<double>(kilobits);
    for (const Segment& s : kSegments) {
        if (k <= s.to)
            return (k - s.from) / s.divisor * 2.25 + s.start;
    }
    return kGaugeFullAngle;
}

double gaugeValueMb(std::uint64_t kilobits)
{
    return static_cast<double>(kilobits) / 1024.0;
}

std::string gaugeText(std::uint64_t kilobits)
{
    if (kilobits == 0)
        return "0 Mb/s";
    // Two decimals by hand, so a comma locale never turns up in the text.
    const std::uint64_t hundredths =
        static_cast<std::uint64_t>(std::llround(gaugeValueMb(kilobits) * 100.0)); // at most 2^64/1024*100
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%llu.%02llu Mb/s", static_cast<unsigned long long>(hundredths / 100),
                  static_cast<unsigned long long>(hundredths % 100));
    return buffer;
}

int bubbleLeft(std::int32_t position, int barWidth, int bubbleWidth)
{
    const long long centred = static_cast<long long>(position) - bubbleWidth / 2;
    if (centred + bubbleWidth > barWidth)
        return barWidth - 75;
    return static_cast<int>(std::max(0LL, centred));
}

} // namespace quorvane::ui
