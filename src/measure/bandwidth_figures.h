#pragma once
// The figures of the bandwidth test, from the one-second samples of a
// direction. Pure functions: any thread.
//
// Units: a sample is bytes per second over about one second; speeds are MB/s with
// 1 MB = 1048576 bytes; bandwidths are speeds x 8 in "Mb"; the gauge works in
// kilobits per second. The first 5 samples of a direction are the ramp-up and
// never count.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace quorvane::measure
{

inline constexpr int kSamplesPerDirection = 15;
inline constexpr int kRampUpSamples = 5;

using Samples = std::vector<std::uint64_t>;

// Average speed (MB/s) of samples 6 to the end, zero samples left out of the
// count; 0 when they sum to 0. Single precision.
float AverageSpeed(const Samples& samples);

// Coefficient of variation of samples 6 to the end, zeros included; -1 when
// their mean is 0 (or there are none). Single precision.
float Jitter(const Samples& samples);

// The largest of samples 6 to the end in MB/s, "%.2f"; "0.00" when it is 0.
std::string PeakSpeedText(const Samples& samples);

// The gauge value of one sample: floor(bytes / 1024) x 8 kilobits.
int GaugeKilobits(std::uint64_t sampleBytes);

// The ranking bar position (pixels from its left edge) for a download
// bandwidth in Mb, as the result label shows it (one decimal).
int RankBarPosition(double bandwidthMb);

// The bar's bubble label for a position: "蜗牛" ... "猎豹"; empty for 0 or less.
std::string RankBarLabel(int position);

// printf-style "%.<decimals>f" that ignores the process locale, so a record
// written under a comma-decimal desktop still says "94.3".
std::string FormatFixed(double value, int decimals);

// The `r` query text of the test URLs: the seconds as "%d", then the random
// value / 32767 as "%.17f" without its first character.
std::string RandomQueryText(std::time_t seconds, int random);

} // namespace quorvane::measure
