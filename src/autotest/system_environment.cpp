#include "autotest/system_environment.h"

#include "common/flags.h"
#include "common/log_file.h"
#include "common/number_locale.h"
#include "config/readers.h"
#include "ping/lan_sweep.h"
#include "platform/processes.h"

#include <algorithm>
#include <map>

namespace quorvane
{
namespace
{

constexpr auto kCollectDelay = std::chrono::milliseconds(55);
constexpr int kTrafficSampleMs = 5000;
constexpr double kTrafficSeconds = 5.0;

struct Counters {
    std::string interface;
    std::optional<std::uint64_t> received;
    std::optional<std::uint64_t> sent;
};

// Octet counters by hardware address; the first interface (by index) with an
// address stands for it, so a bridge or bond and its members are counted
// once.
std::optional<std::map<std::string, Counters>> trafficSnapshot(const std::filesystem::path& sysRoot)
{
    const auto interfaces = platform::readNetInterfaces(sysRoot);
    if (!interfaces)
        return std::nullopt;
    std::map<std::string, Counters> byAddress;
    for (const auto& nic : *interfaces) {
        if (nic.loopback || nic.hardwareAddress.empty())
            continue;
        byAddress.try_emplace(nic.hardwareAddress, Counters{nic.name, nic.received, nic.sent});
    }
    return byAddress;
}

// What went through between the snapshots. Only an interface present in both
// with counters that did not go back adds to it: an adapter plugged in,
// removed or reset meanwhile would otherwise count its whole history (or a
// wrapped negative) as five seconds of traffic and reject the round.
std::uint64_t difference(const std::optional<std::uint64_t>& before, const std::optional<std::uint64_t>& after)
{
    if (!before || !after || *after < *before)
        return 0;
    return *after - *before;
}

std::string percentLine(const char* label, long value)
{
    return std::string(label) + std::to_string(logValue(value)) + "%";
}

} // namespace

std::uint32_t logValue(long value)
{
    return static_cast<std::uint32_t>(value);
}

SystemEnvironmentChecks::SystemEnvironmentChecks(Environment environment)
    : m_env(std::move(environment)), m_query(m_env.procRoot.empty() ? platform::kProcRoot : m_env.procRoot)
{
    if (!m_env.clock)
        m_env.clock = systemClock();
    if (!m_env.log)
        m_env.log = [](std::string_view line) { CLogFile::append("auto.txt", line); };
    if (m_env.procRoot.empty())
        m_env.procRoot = platform::kProcRoot;
    if (m_env.sysRoot.empty())
        m_env.sysRoot = platform::kSysRoot;
    if (!m_env.countLanMachines) {
        m_env.countLanMachines = [clock = m_env.clock, log = m_env.log] {
            LanSweep::Environment sweepEnvironment;
            sweepEnvironment.clock = clock;
            sweepEnvironment.log = log;
            LanSweep sweep(std::move(sweepEnvironment));
            return sweep.CountLanMachines();
        };
    }
    openCounters();
}

void SystemEnvironmentChecks::openCounters()
{
    // The round's start and a check may both be first to get here.
    std::lock_guard lock(m_setupMutex);
    if (m_cpuId >= 0 || !m_query.Open())
        return;
    m_cpuId = m_query.AddCounter(CPerfQuery::kProcessorCounter);
    m_memoryId = m_query.AddCounter(CPerfQuery::kMemoryCounter);
}

std::pair<int, int> SystemEnvironmentChecks::counterIds() const
{
    std::lock_guard lock(m_setupMutex);
    return {m_cpuId, m_memoryId};
}

void SystemEnvironmentChecks::CollectLoad()
{
    openCounters();
    m_query.Collect();
}

int SystemEnvironmentChecks::CheckEnvironment()
{
    return Examine(false).code;
}

EnvironmentReport SystemEnvironmentChecks::Examine(bool throughAllChecks)
{
    EnvironmentReport report;
    // True when the pass ends here.
    const auto fail = [&](int code) {
        if (report.code == 0)
            report.code = code;
        return !throughAllChecks;
    };

    openCounters();
    m_env.clock->sleepFor(kCollectDelay);
    m_query.Collect();
    const auto [cpuId, memoryId] = counterIds();

    report.cpu = m_query.GetValue(cpuId);
    report.cpuLimit = ReadCpuThreshold();
    m_env.log(percentLine("CPU使用率: ", report.cpu));
    if (report.cpu > report.cpuLimit && fail(1))
        return report;

    report.memory = m_query.GetValue(memoryId);
    report.memoryLimit = ReadMemoryThreshold();
    m_env.log(percentLine("内存使用率: ", report.memory));
    if (report.memory > report.memoryLimit && fail(2))
        return report;

    // A finding that is there fails the round with `code`.
    auto found = [&](std::optional<std::string>& into, std::optional<std::string> value, int code, const char* yes,
                     const char* no) {
        into = value.value_or("");
        m_env.log(into->empty() ? no : yes);
        return !into->empty() && fail(code);
    };
    if (found(report.antiVirus, runningAntiVirus(), 3, "开启了杀毒软件", "未开启杀毒软件"))
        return report;
    if (found(report.wireless, wirelessInterface(), 4, "无线上网", "有线上网"))
        return report;

    // A failed or stopped sample leaves both at 0.
    std::uint64_t received = 0, sent = 0;
    SampleAdapterTraffic(received, sent, kTrafficSampleMs);
    report.downKBps = static_cast<double>(received) / 1024.0 / kTrafficSeconds;
    report.upKBps = static_cast<double>(sent) / 1024.0 / kTrafficSeconds;
    ReadFlowThreshold(report.downLimitKBps, report.upLimitKBps);
    m_env.log("网卡流量-上传：" + formatDecimal(*report.upKBps, 6) + " 下载：" + formatDecimal(*report.downKBps, 6));
    if (*report.downKBps > report.downLimitKBps || *report.upKBps > report.upLimitKBps)
        fail(5);
    return report;
}

int SystemEnvironmentChecks::CountOtherMachines()
{
    // The sweep subtracts the machine itself and the gateway from those that
    // answered; where they do not answer (no gateway, pings filtered) that
    // goes below 0, which is no count of machines.
    const int machines = std::max(0, m_env.countLanMachines());
    m_env.log("多机上网：" + std::to_string(machines) + "台机器(不包括自己)");
    return machines;
}

int SystemEnvironmentChecks::CheckLanMachines()
{
    return CountOtherMachines() > 0 ? 6 : 0;
}

std::optional<std::string> SystemEnvironmentChecks::runningAntiVirus() const
{
    std::vector<std::string> names;
    ReadAntiVirusNames(names);
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    if (names.empty())
        return std::nullopt;
    for (const auto& process : platform::processSnapshot(m_env.procRoot)) {
        for (const auto& name : names) {
            if (platform::processNameMatches(process, name, platform::NameCase::Insensitive))
                return name;
        }
    }
    return std::nullopt;
}

bool SystemEnvironmentChecks::IsAntiVirusRunning() const
{
    return runningAntiVirus().has_value();
}

std::optional<std::string> SystemEnvironmentChecks::wirelessInterface() const
{
    const auto interfaces = platform::readNetInterfaces(m_env.sysRoot);
    if (!interfaces)
        return std::nullopt;
    for (const auto& nic : *interfaces) {
        if (nic.up && nic.wireless)
            return nic.name;
    }
    return std::nullopt;
}

bool SystemEnvironmentChecks::IsWirelessConnection() const
{
    return wirelessInterface().has_value();
}

int SystemEnvironmentChecks::SampleAdapterTraffic(std::uint64_t& receivedOut, std::uint64_t& sentOut, int milliseconds)
{
    const auto before = trafficSnapshot(m_env.sysRoot);
    if (!before)
        return 1;
    for (int step = 0; step < milliseconds / 1000; ++step) {
        if (flags::stopRequested.load())
            return 0;
        m_env.clock->sleepFor(std::chrono::seconds(1));
    }
    const auto after = trafficSnapshot(m_env.sysRoot);
    if (!after)
        return 1;
    std::uint64_t received = 0, sent = 0;
    for (const auto& [address, now] : *after) {
        const auto then = before->find(address);
        if (then == before->end() || then->second.interface != now.interface)
            continue;
        received += difference(then->second.received, now.received);
        sent += difference(then->second.sent, now.sent);
    }
    receivedOut = received;
    sentOut = sent;
    return 0;
}

} // namespace quorvane
