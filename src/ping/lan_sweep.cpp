#include "ping/lan_sweep.h"

#include "common/flags.h"
#include "common/log_file.h"
#include "config/readers.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace quorvane
{

namespace
{

constexpr auto kStartStagger = std::chrono::milliseconds(55);
constexpr auto kBatchWait = std::chrono::milliseconds(10000);
// The batch wait sleeps on the threads' completion in slices of real time,
// checking the clock's deadline between them.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);
constexpr int kMaxThreads = 50;
constexpr int kMaxCount = 10;

std::optional<std::array<int, 4>> parseDotted(const std::string& text)
{
    std::array<int, 4> parts{};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == end || *p != '.')
                return std::nullopt;
            ++p;
        }
        const auto [next, error] = std::from_chars(p, end, parts[i]);
        if (error != std::errc() || next == p || next - p > 3 || parts[i] > 255)
            return std::nullopt;
        p = next;
    }
    if (p != end)
        return std::nullopt;
    return parts;
}

} // namespace

struct LanSweep::Batch {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
};

std::vector<std::string> SweepAddressList(const std::string& ownAddress, const std::string& mask)
{
    std::vector<std::string> list;
    const auto own = parseDotted(ownAddress);
    if (mask == "255.255.255.255" || !own)
        return list;
    const std::string prefix =
        std::to_string((*own)[0]) + "." + std::to_string((*own)[1]) + "." + std::to_string((*own)[2]) + ".";
    for (int host = 1; host <= 254; ++host)
        list.push_back(prefix + std::to_string(host));
    return list;
}

LanSweep::LanSweep(Environment environment)
    : m_env(std::move(environment)), m_responders(std::make_shared<ResponderList>())
{
    if (!m_env.clock)
        m_env.clock = systemClock();
    if (!m_env.log)
        m_env.log = [](std::string_view line) { CLogFile::append("auto.txt", line); };
    if (!m_env.ping) {
        auto pinger = std::make_shared<IcmpPinger>(m_env.clock, m_env.log);
        m_env.ping = [pinger](const std::string& address, int count, ResponderList& responders) {
            std::vector<int> rtts;
            pinger->IcmpPing(rtts, address, count, &responders);
        };
    }
    if (!m_env.lan)
        m_env.lan = &platform::lanInterface;
    if (!m_env.readParameters)
        m_env.readParameters = &ReadPingThread;
}

void LanSweep::PingThread(PingFunction ping, std::shared_ptr<ResponderList> responders, std::string address, int count,
                          std::shared_ptr<Batch> batch)
{
    ping(address, count, *responders);
    std::lock_guard lock(batch->mutex);
    --batch->running;
    batch->ended.notify_all();
}

void LanSweep::ScanAddresses(const std::vector<std::string>& addresses, int threads, int count)
{
    threads = std::clamp(threads, 1, kMaxThreads);
    count = std::clamp(count, 1, kMaxCount);
    for (std::size_t first = 0; first < addresses.size(); first += static_cast<std::size_t>(threads)) {
        const std::size_t last = std::min(addresses.size(), first + static_cast<std::size_t>(threads));
        auto batch = std::make_shared<Batch>();
        m_env.log("开启50个线程PingThread...");
        for (std::size_t i = first; i < last; ++i) {
            if (flags::stopRequested.load())
                return; // threads already started finish on their own
            {
                std::lock_guard lock(batch->mutex);
                ++batch->running;
            }
            try {
                std::thread(&LanSweep::PingThread, m_env.ping, m_responders, addresses[i], count, batch).detach();
            } catch (const std::system_error&) {
                // Out of threads: this address goes unpinged, the sweep goes on.
                std::lock_guard lock(batch->mutex);
                --batch->running;
            }
            m_env.clock->sleepFor(kStartStagger);
        }

        m_env.log("....................等待....................");
        const auto deadline = m_env.clock->now() + kBatchWait;
        std::unique_lock lock(batch->mutex);
        while (batch->running > 0 && m_env.clock->now() < deadline)
            batch->ended.wait_for(lock, kWaitSlice, [&] { return batch->running == 0; });
        lock.unlock();
        m_env.log("50个PingThread都已正常结束...");
    }
}

int LanSweep::CountLanMachines()
{
    const auto lan = m_env.lan();
    if (!lan)
        return 0;
    const auto list = SweepAddressList(lan->address, lan->mask);
    if (list.empty())
        return 0;
    // A fresh list: threads left over from an earlier sweep must not count in
    // this one.
    m_responders = std::make_shared<ResponderList>();
    m_env.log("本机IP：" + lan->address);
    m_env.log("局域网IP数：" + std::to_string(list.size()));

    int threads = kMaxThreads;
    int count = 2;
    m_env.readParameters(threads, count);
    ScanAddresses(list, threads, count);

    const auto found = responders();
    // Only hosts of the swept network are machines of this LAN; a reply to
    // another ping of this process (a test server's latency) is not.
    std::vector<std::string> local;
    std::copy_if(found.begin(), found.end(), std::back_inserter(local),
                 [&](const std::string& a) { return std::find(list.begin(), list.end(), a) != list.end(); });
    m_env.log("可ping通的机器数：" + std::to_string(local.size()) + "(包括本机与网关)");
    for (const auto& address : local)
        m_env.log(address);
    return static_cast<int>(local.size()) - 2;
}

std::vector<std::string> LanSweep::responders() const
{
    return m_responders->distinct();
}

int CountLanMachines()
{
    LanSweep sweep;
    return sweep.CountLanMachines();
}

} // namespace quorvane
