#pragma once
// The numbers behind the bandwidth page's two dashboards, without drawing:
// where the needle of the speed gauge points for a live value, what the gauge
// says, and where the ranking bar's bubble goes. The bar's positions and
// animals are the test's own figures (measure/bandwidth_figures.h).
//
// Thread-safety: pure functions, callable from any thread.
#include <cstdint>
#include <string>

namespace quorvane::ui
{

// Needle angles in degrees: -90 is the zero position, 0 points straight up,
// 90 is full scale (100 Mb/s).
inline constexpr double kGaugeZeroAngle = -90.0;
inline constexpr double kGaugeFullAngle = 90.0;
// The gauge's full scale in kilobits per second.
inline constexpr std::uint64_t kGaugeFullScaleKbit = 102400;

// The needle angle for a live value in kilobits per second. The scale is
// piecewise linear, 2.25 degrees per step, with its joins at 1, 2, 4, 8, 20
// and 50 Mb/s (-45, -22.5, 0, 22.5, 45, 67.5 degrees). Values beyond full
// scale pin the needle at full scale rather than leaving it where it was,
// which could show 0 beside a text of 300 Mb/s.
double gaugeAngle(std::uint64_t kilobits);

// The value in Mb/s that the gauge prints (kilobits / 1024).
double gaugeValueMb(std::uint64_t kilobits);

// The gauge's text: "%.2f Mb/s", or "0 Mb/s" for nothing. Always with a
// decimal point, whatever the locale.
std::string gaugeText(std::uint64_t kilobits);

// One scale mark: the value it stands for and its angle.
struct GaugeMark {
    std::uint64_t kilobits;
    double angle;
    const char* label; // "0", "1M", ... "100M"
};
// The joins of the scale, from 0 to full scale.
inline constexpr GaugeMark kGaugeMarks[] = {{0, -90.0, "0"},      {1024, -45.0, "1M"},   {2048, -22.5, "2M"},
                                            {4096, 0.0, "4M"},    {8192, 22.5, "8M"},    {20480, 45.0, "20M"},
                                            {51200, 67.5, "50M"}, {102400, 90.0, "100M"}};

// The left edge of the label bubble for a marker position on a bar of the
// given width: centred on the marker, or 75 pixels left of the bar's right
// edge when a centred bubble would stick out on the right.
int bubbleLeft(std::int32_t position, int barWidth, int bubbleWidth);

} // namespace quorvane::ui
