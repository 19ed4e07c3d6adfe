#include "ui/dashboard_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

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

std::int32_t rankPosition(double v)
{
    if (!(v > 0))
        return 0; // also not-a-number
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
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    return p >= kMax ? std::numeric_limits<std::int32_t>::max() : static_cast<std::int32_t>(p);
}

const char* rankLabel(std::int32_t p)
{
    if (p <= 0)
        return "";
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

int bubbleLeft(std::int32_t position, int barWidth, int bubbleWidth)
{
    const long long centred = static_cast<long long>(position) - bubbleWidth / 2;
    if (centred + bubbleWidth > barWidth)
        return barWidth - 75;
    return static_cast<int>(std::max(0LL, centred));
}

} // namespace quorvane::ui
