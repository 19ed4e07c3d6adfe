#include "platform/system_figures.h"

#include "common/durable_file.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <net/if.h>
#include <sstream>

namespace quorvane::platform
{
namespace
{

namespace fs = std::filesystem;

// Kernel files report a size of 0, so they are read to their end; the cap
// keeps a stray large file in a fake tree from being swallowed whole.
std::optional<std::string> readText(const fs::path& path)
{
    auto head = readFileHead(path, 1u << 20);
    return head ? std::optional<std::string>(std::move(head->bytes)) : std::nullopt;
}

std::string firstLine(const std::optional<std::string>& text)
{
    if (!text)
        return {};
    return text->substr(0, text->find('\n'));
}

std::optional<std::uint64_t> parseUnsigned(std::string_view text, int base = 10)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X")))
        text.remove_prefix(2);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    return value;
}

std::optional<std::uint64_t> readUnsigned(const fs::path& path, int base = 10)
{
    const auto text = readText(path);
    if (!text)
        return std::nullopt;
    return parseUnsigned(*text, base);
}

// The value of "Name:   1234 kB" in a /proc/meminfo text.
std::optional<std::uint64_t> meminfoValue(std::string_view text, std::string_view name)
{
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == ':')
            return parseUnsigned(line.substr(name.size() + 1));
        at = end + 1;
    }
    return std::nullopt;
}

bool isWireless(const fs::path& dir)
{
    std::error_code ec;
    if (fs::exists(dir / "wireless", ec) || fs::exists(dir / "phy80211", ec))
        return true;
    std::istringstream uevent(readText(dir / "uevent").value_or(""));
    std::string line;
    while (std::getline(uevent, line)) {
        if (line == "DEVTYPE=wlan")
            return true;
    }
    return false;
}

} // namespace

std::optional<CpuTimes> parseCpuTimes(std::string_view procStat)
{
    const std::string_view line = procStat.substr(0, procStat.find('\n'));
    if (!line.starts_with("cpu ") && !line.starts_with("cpu\t"))
        return std::nullopt;
    std::istringstream fields{std::string(line.substr(3))};
    // user nice system idle iowait irq softirq steal; the guest times that
    // follow are already part of user and nice.
    std::uint64_t value[8] = {};
    int count = 0;
    std::string word;
    while (count < 8 && fields >> word) {
        const auto parsed = parseUnsigned(word);
        if (!parsed)
            return std::nullopt;
        value[count++] = *parsed;
    }
    if (count < 4)
        return std::nullopt;
    CpuTimes times;
    for (int i = 0; i < count; ++i)
        times.total += value[i];
    times.busy = times.total - value[3] - value[4];
    return times;
}

std::optional<CpuTimes> readCpuTimes(const fs::path& procRoot)
{
    const auto text = readText(procRoot / "stat");
    if (!text)
        return std::nullopt;
    return parseCpuTimes(*text);
}

std::optional<long> busyPercent(const CpuTimes& before, const CpuTimes& after)
{
    if (after.total <= before.total || after.busy < before.busy)
        return std::nullopt;
    const std::uint64_t total = after.total - before.total;
    const std::uint64_t busy = std::min(after.busy - before.busy, total);
    return static_cast<long>(busy * 100 / total);
}

std::optional<long> parseMemoryLoad(std::string_view meminfo)
{
    // Not Committed_AS / CommitLimit: the kernel does not enforce that limit
    // under its default overcommit policy, and without swap the limit is
    // half the memory, so an ordinary desktop reads above 90 %.
    const auto memTotal = meminfoValue(meminfo, "MemTotal");
    if (!memTotal || *memTotal == 0)
        return std::nullopt;
    auto available = meminfoValue(meminfo, "MemAvailable");
    if (!available) {
        const auto free = meminfoValue(meminfo, "MemFree");
        if (!free)
            return std::nullopt;
        available = *free + meminfoValue(meminfo, "Buffers").value_or(0) + meminfoValue(meminfo, "Cached").value_or(0);
    }
    const std::uint64_t swapTotal = meminfoValue(meminfo, "SwapTotal").value_or(0);
    const std::uint64_t total = *memTotal + swapTotal;
    const std::uint64_t unused =
        std::min(*available, *memTotal) + std::min(meminfoValue(meminfo, "SwapFree").value_or(0), swapTotal);
    return static_cast<long>((total - unused) * 100 / total);
}

std::optional<long> readMemoryLoad(const fs::path& procRoot)
{
    const auto text = readText(procRoot / "meminfo");
    if (!text)
        return std::nullopt;
    return parseMemoryLoad(*text);
}

std::string formatHardwareAddress(std::string_view sysfsAddress)
{
    while (!sysfsAddress.empty() && (sysfsAddress.back() == '\n' || sysfsAddress.back() == ' '))
        sysfsAddress.remove_suffix(1);
    if (sysfsAddress.empty() || sysfsAddress.size() % 3 != 2)
        return {};
    std::string out;
    bool allZero = true;
    for (std::size_t i = 0; i < sysfsAddress.size(); i += 3) {
        if (i > 0) {
            if (sysfsAddress[i - 1] != ':')
                return {};
            out += '-';
        }
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = sysfsAddress[j];
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return {};
            allZero = allZero && c == '0';
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return allZero ? std::string() : out;
}

std::optional<std::vector<NetInterface>> readNetInterfaces(const fs::path& sysRoot)
{
    const fs::path netDir = sysRoot / "class" / "net";
    std::error_code ec;
    fs::directory_iterator it(netDir, ec);
    if (ec)
        return std::nullopt;
    std::vector<NetInterface> list;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const fs::path dir = it->path();
        NetInterface nic;
        nic.name = dir.filename().string();
        nic.index = static_cast<int>(readUnsigned(dir / "ifindex").value_or(0));
        const std::uint64_t flags = readUnsigned(dir / "flags", 16).value_or(0);
        nic.loopback = (flags & IFF_LOOPBACK) != 0 || firstLine(readText(dir / "type")) == "772";
        const std::string state = firstLine(readText(dir / "operstate"));
        nic.up = state == "up" || (state == "unknown" && (flags & IFF_UP) != 0);
        if (!nic.loopback)
            nic.hardwareAddress = formatHardwareAddress(firstLine(readText(dir / "address")));
        nic.wireless = isWireless(dir);
        nic.received = readUnsigned(dir / "statistics" / "rx_bytes");
        nic.sent = readUnsigned(dir / "statistics" / "tx_bytes");
        list.push_back(std::move(nic));
    }
    std::sort(list.begin(), list.end(), [](const NetInterface& a, const NetInterface& b) {
        return a.index != b.index ? a.index < b.index : a.name < b.name;
    });
    return list;
}

} // namespace quorvane::platform
