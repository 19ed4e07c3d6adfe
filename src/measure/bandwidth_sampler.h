#pragma once
// The sampling half of one direction of the bandwidth test: started just
// before the transfer, it waits 2 s, then reads the transfer's byte counter
// once a second, 15 times, and turns the samples into the direction's
// figures. Samples are taken on fixed deadlines (start + 2 s + k s) of the
// injected clock, so a late wake-up shortens the next wait instead of
// stretching the window. Each sample is a rate in bytes per second: the
// bytes counted between two readings over the clock time between them.
#include "common/clock.h"
#include "measure/bandwidth_figures.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace quorvane::measure
{

enum class Direction { Download, Upload };

// The outcome of one direction.
struct DirectionSummary {
    DirectionSummary() = default;
    explicit DirectionSummary(Direction d) : direction(d) {}

    Direction direction = Direction::Download;
    bool started = false;   // the transfer could start (URL and local file usable)
    Samples samples;        // bytes per second, in order
    bool completed = false; // all 15 samples were taken
    float averageMBps = 0;  // AverageSpeed
    float jitter = -1;      // Jitter
    std::string peakText = "0.00";
    std::string jitterText; // "%f" of jitter; empty until completed

    // The bandwidth in Mb (average x 8, single precision as the record writes it).
    float bandwidthMb() const { return averageMBps * 8.0f; }
    // True when a completed direction counted any byte after the ramp-up.
    bool movedBytes() const;
};

// What the sampler reports while it runs. Called on the sampling thread.
struct SampleEvents {
    // After each sample: its 1-based index and bytes.
    std::function<void(Direction, int index, std::uint64_t bytes)> sample;
};

struct SamplerSettings {
    std::shared_ptr<Clock> clock;
    std::filesystem::path logFile; // logfile.txt; empty: no log lines
    std::chrono::milliseconds firstWait{2000};
    std::chrono::milliseconds interval{1000};
};

// The sampling thread's body. `start` is the moment the transfer was started
// (taken just before this thread). `bytes` reads the transfer's live counter;
// `transferRunning` tells whether the transfer call still runs: a sample
// whose turn comes after it returned is not taken and the direction stays
// incomplete (no summary line in the log). Logs "下载测速：" / "上传测速：",
// one "%.3fKB/S" line per sample and the summary line.
DirectionSummary SampleDirection(Direction direction, Clock::Steady::time_point start,
                                 const std::function<std::uint64_t()>& bytes,
                                 const std::function<bool()>& transferRunning, const SamplerSettings& settings,
                                 const SampleEvents& events = {});

// The summary log line of a completed direction ("\n10次平均下载速率：..." or
// "\n10次平均上传速率：...").
std::string SummaryLogLine(const DirectionSummary& summary);

} // namespace quorvane::measure
