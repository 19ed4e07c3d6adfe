#pragma once
// The load counters the environment checks read: the processor's busy share
// and the committed memory in use, each a whole percent taken at the last
// collection. A counter that cannot be read gives kUnreadable, which no
// threshold check treats as too high.
//
// Thread-safety: every member may be called from any thread (the round
// timer collects on the window's thread, the checks on the round's worker).
#include "platform/system_figures.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvane
{

class CPerfQuery
{
public:
    static constexpr long kUnreadable = -999;
    static constexpr const char* kProcessorCounter = "\\Processor(_Total)\\% Processor Time";
    static constexpr const char* kMemoryCounter = "\\Memory\\% Committed Bytes In Use";

    // Reads below `procRoot` (the real /proc, or a test's fake tree).
    explicit CPerfQuery(std::filesystem::path procRoot = platform::kProcRoot);

    // True once the processor times could be read; until then no counter
    // can be added. Opening again after a success changes nothing.
    bool Open();

    // The new counter's id (0, 1, ... in the order added), or -1 when the
    // query is not open or the path names neither counter above.
    int AddCounter(const std::string& path);

    // Takes a sample of every counter. The processor value is the busy share
    // since the previous collection, so the first collection leaves it
    // unreadable.
    void Collect();

    // The counter's value at the last collection; kUnreadable for an unknown
    // id, before a usable collection, or when the figure could not be read.
    long GetValue(int id) const;

private:
    enum class Kind { Processor, Memory };
    struct Counter {
        int id;
        Kind kind;
        long value = kUnreadable;
        std::optional<platform::CpuTimes> lastTimes;
    };

    const std::filesystem::path m_procRoot;
    mutable std::mutex m_mutex;
    bool m_open = false;
    int m_nextId = 0;
    std::vector<Counter> m_counters;
};

} // namespace quorvane
