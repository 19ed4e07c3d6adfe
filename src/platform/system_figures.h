#pragma once
// The kernel's figures that decide whether the machine is fit to measure:
// processor times, memory in use, network interfaces with their traffic
// counters. Every read takes the folder where the kernel's view is mounted,
// so tests hand in a fake tree in a temporary folder.
//
// Thread-safety: every function may be called from any thread.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform
{

inline const std::filesystem::path kProcRoot = "/proc";
inline const std::filesystem::path kSysRoot = "/sys";

// Processor time since boot over all processors, in clock ticks. Busy is
// everything but idle and waiting for input/output.
struct CpuTimes {
    std::uint64_t busy = 0;
    std::uint64_t total = 0;
};

// The aggregate "cpu" line of a /proc/stat text; nothing when it is missing
// or malformed.
std::optional<CpuTimes> parseCpuTimes(std::string_view procStat);
std::optional<CpuTimes> readCpuTimes(const std::filesystem::path& procRoot);

// The busy share between two readings in whole percent (rounded down);
// nothing when no processor time passed between them or the counters went
// back.
std::optional<long> busyPercent(const CpuTimes& before, const CpuTimes& after);

// The share of memory and swap in use, of a /proc/meminfo text:
// (MemTotal + SwapTotal - MemAvailable - SwapFree) / (MemTotal + SwapTotal)
// in whole percent (rounded down), 0 to 100. Missing swap lines count as no
// swap; a kernel without MemAvailable is read as MemFree + Buffers + Cached.
// Nothing when MemTotal is missing or 0, or no free figure is given.
std::optional<long> parseMemoryLoad(std::string_view meminfo);
std::optional<long> readMemoryLoad(const std::filesystem::path& procRoot);

struct NetInterface {
    std::string name;
    int index = 0;
    // Upper-case hexadecimal byte pairs joined by "-"; empty when the
    // interface has no hardware address (or only zeros, as a loopback).
    std::string hardwareAddress;
    bool up = false;
    bool loopback = false;
    bool wireless = false;
    std::optional<std::uint64_t> received; // bytes, from statistics/rx_bytes
    std::optional<std::uint64_t> sent;     // bytes, from statistics/tx_bytes
};

// "aa:bb:0c" as "AA-BB-0C"; empty for an empty or all-zero address and for
// text that is not colon-separated hexadecimal byte pairs.
std::string formatHardwareAddress(std::string_view sysfsAddress);

// The interfaces under <sysRoot>/class/net in ascending index order; nothing
// when that folder cannot be read. Up: the operational state is "up", or
// "unknown" (drivers that do not report one) with the interface
// administratively up. Wireless: a "wireless" or "phy80211" entry, or
// DEVTYPE=wlan in its uevent.
std::optional<std::vector<NetInterface>> readNetInterfaces(const std::filesystem::path& sysRoot);

} // namespace quorvane::platform
