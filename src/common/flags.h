#pragma once
// The program-wide flags that connect the automatic scheduler, the tests and
// the main window. They are the only globals of the program; everything else
// is handed to the classes that need it.
#include <atomic>

namespace quorvane::flags
{

inline std::atomic<int> autoMode{0};       // results count as automatic
inline std::atomic<int> stopRequested{0};  // the user asked automatic testing to stop
inline std::atomic<int> autoAbortArmed{0}; // a running automatic test may be cut short
inline std::atomic<int> scheduledTaskCount{0};
inline std::atomic<int> completedTaskCount{0};

inline std::atomic<int> bandwidthTestRunning{0};
inline std::atomic<int> webTestRunning{0};
inline std::atomic<int> videoTestRunning{0};
inline std::atomic<int> downloadTestRunning{0};

inline bool anyTestRunning()
{
    return bandwidthTestRunning.load() || webTestRunning.load() || videoTestRunning.load() ||
           downloadTestRunning.load();
}

} // namespace quorvane::flags
