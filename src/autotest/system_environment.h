#pragma once
// The environment checks on this machine: processor and committed-memory
// load, anti-virus processes, a wireless link, adapter traffic over five
// seconds, other machines on the LAN. Limits come from
// Config/threshold_config.xml, read afresh by every check; each figure is
// logged to "auto.txt".
//
// Thread-safety: CollectLoad may run on any thread, concurrently with the
// checks. CheckEnvironment, CheckLanMachines and the other checks run on one
// thread at a time (the scheduler's round worker).
#include "autotest/environment.h"
#include "autotest/perf_query.h"
#include "common/clock.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvane
{

// The figures one pass of the checks saw, each beside its limit. A figure
// stays empty when the pass ended before reaching its check.
struct EnvironmentReport {
    long cpu = CPerfQuery::kUnreadable; // percent
    int cpuLimit = 100;
    long memory = CPerfQuery::kUnreadable; // percent
    int memoryLimit = 100;
    std::optional<std::string> antiVirus; // the running anti-virus name; "" when none runs
    std::optional<std::string> wireless;  // the wireless interface carrying the link; "" when wired
    std::optional<double> downKBps;
    std::optional<double> upKBps;
    int downLimitKBps = 0;
    int upLimitKBps = 0;
    int code = 0; // the first failing check's code, 0 when fit
};

class SystemEnvironmentChecks final : public EnvironmentChecks
{
public:
    using LogSink = std::function<void(std::string_view)>;

    struct Environment {
        std::shared_ptr<Clock> clock;          // default: the system clock
        LogSink log;                           // default: "auto.txt"
        std::filesystem::path procRoot;        // default: /proc
        std::filesystem::path sysRoot;         // default: /sys
        std::function<int()> countLanMachines; // default: a LanSweep on this clock and log
    };

    // Opens the load counters at once when the system lets it, otherwise at
    // the next CollectLoad or check.
    explicit SystemEnvironmentChecks(Environment environment = {});

    void CollectLoad() override;
    int CheckEnvironment() override;
    int CheckLanMachines() override;

    // The checks in order, logging each figure. Stops at the first failing
    // check unless `throughAllChecks`, which measures every figure (the
    // adapter traffic sample included) and still reports the first failure.
    EnvironmentReport Examine(bool throughAllChecks);

    // Other machines on the LAN (never below 0), logged.
    int CountOtherMachines();

    // Whether a process named in the anti-virus list runs.
    bool IsAntiVirusRunning() const;
    // Whether an interface that is up is a wireless one. False when the
    // interfaces cannot be read.
    bool IsWirelessConnection() const;

    // Bytes received and sent by the adapters over `milliseconds` (whole
    // seconds, one-second steps on the clock). 0 on success; 0 with the
    // outputs untouched when a stop is requested before a step; 1 with the
    // outputs untouched when the interfaces cannot be read.
    int SampleAdapterTraffic(std::uint64_t& receivedOut, std::uint64_t& sentOut, int milliseconds);

private:
    std::optional<std::string> runningAntiVirus() const;
    std::optional<std::string> wirelessInterface() const;
    void openCounters();
    std::pair<int, int> counterIds() const;

    Environment m_env;
    CPerfQuery m_query;
    mutable std::mutex m_setupMutex;
    int m_cpuId = -1; // both guarded by m_setupMutex
    int m_memoryId = -1;
};

// The unsigned 32-bit reading of a counter value in the log lines, as the
// figures were always written there (-999 shows as 4294966297).
std::uint32_t logValue(long value);

} // namespace quorvane
