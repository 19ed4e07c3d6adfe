#include "ping/icmp_ping.h"

#include "common/log_file.h"
#include "ping/icmp_message.h"

#include <algorithm>

namespace quorvane
{

namespace
{

constexpr auto kReceiveTimeout = std::chrono::milliseconds(1000);
constexpr auto kSendTimeout = std::chrono::milliseconds(500);
constexpr auto kPauseAfterDatagram = std::chrono::milliseconds(1000);
constexpr std::size_t kDatagramBuffer = 1024;
// A stream of other people's ICMP traffic must not keep PingOnce reading
// for ever when the clock stands still.
constexpr int kMaxForeignDatagrams = 1000;

} // namespace

void ResponderList::add(std::string address)
{
    std::lock_guard lock(m_mutex);
    m_addresses.push_back(std::move(address));
}

void ResponderList::clear()
{
    std::lock_guard lock(m_mutex);
    m_addresses.clear();
}

std::vector<std::string> ResponderList::distinct() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> result = m_addresses;
    std::sort(result.begin(), result.end());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    return result;
}

namespace
{
// Whether this process has said that it cannot open the system's ICMP sockets.
std::atomic<bool> g_systemFailureSaid{false};
} // namespace

IcmpPinger::IcmpPinger(std::shared_ptr<Clock> clock, LogSink log, SocketFactory openSocket)
    : m_clock(clock ? std::move(clock) : systemClock()),
      m_log(log ? std::move(log) : [](std::string_view line) { CLogFile::append("auto.txt", line); })
{
    // The rights do not change while the program runs: one line in the log
    // is enough for the whole run, not one per automatic round.
    if (openSocket)
        m_openSocket = std::move(openSocket);
    else {
        m_openSocket = &platform::openIcmpSocket;
        m_failureSaid = &g_systemFailureSaid;
    }
}

std::unique_ptr<platform::IcmpSocket> IcmpPinger::open()
{
    auto opened = m_openSocket();
    // A sweep opens hundreds of sockets; one line says it all.
    if (!opened.socket && !m_failureSaid->exchange(true))
        m_log(opened.failure);
    return std::move(opened.socket);
}

std::uint32_t IcmpPinger::tickCount() const
{
    const auto since = m_clock->now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

int IcmpPinger::IcmpPing(std::vector<int>& rtts, const std::string& hostIn, int count, ResponderList* responders)
{
    rtts.clear();
    const std::string host = hostIn.empty() ? std::string(kDefaultPingHost) : hostIn;
    const auto socket = open();
    if (!socket || !socket->setTimeouts(kReceiveTimeout, kSendTimeout))
        return -1;
    const auto address = platform::resolveIpv4(host);
    if (!address)
        return -1;

    const std::uint16_t identifier = socket->identifier();
    std::uint8_t buffer[kDatagramBuffer];
    for (int i = 0; i < count; ++i) {
        const auto request = BuildEchoRequest(identifier, static_cast<std::uint16_t>(i), tickCount());
        const auto sent = socket->send(request, *address);
        if (sent == platform::IoStatus::TimedOut)
            continue;
        if (sent == platform::IoStatus::Failed)
            return -1;

        std::size_t length = 0;
        std::uint32_t source = 0;
        const auto received = socket->receive(buffer, length, source);
        if (received == platform::IoStatus::TimedOut)
            continue;
        if (received == platform::IoStatus::Failed)
            return -1;

        if (const auto reply = ParseEchoReply({buffer, length}, socket->framing(), identifier)) {
            const auto rtt = static_cast<int>(tickCount() - reply->timestamp);
            if (responders)
                responders->add(platform::ipv4Text(source));
            if (rtt != 0)
                rtts.push_back(rtt);
        }
        m_clock->sleepFor(kPauseAfterDatagram);
    }
    return 0;
}

std::optional<double> IcmpPinger::PingOnce(const std::string& host, std::chrono::milliseconds timeout)
{
    // A socket time-out of 0 would mean no time-out at all.
    timeout = std::max(timeout, std::chrono::milliseconds(1));
    const auto socket = open();
    const auto address = platform::resolveIpv4(host);
    if (!socket || !address || !socket->setTimeouts(timeout, kSendTimeout))
        return std::nullopt;

    const std::uint16_t identifier = socket->identifier();
    const std::uint16_t sequence = m_nextSequence.fetch_add(1);
    const auto start = m_clock->now();
    const auto deadline = start + timeout;
    if (socket->send(BuildEchoRequest(identifier, sequence, tickCount()), *address) != platform::IoStatus::Done)
        return std::nullopt;

    std::uint8_t buffer[kDatagramBuffer];
    for (int seen = 0; seen < kMaxForeignDatagrams; ++seen) {
        std::size_t length = 0;
        std::uint32_t source = 0;
        if (socket->receive(buffer, length, source) != platform::IoStatus::Done)
            return std::nullopt; // the socket's time-out is the rest of `timeout`
        const auto now = m_clock->now();
        // On a raw socket we also see other threads' replies: only the answer
        // to this very request is our round trip.
        const auto reply = ParseEchoReply({buffer, length}, socket->framing(), identifier);
        if (reply && reply->sequence == sequence && source == *address)
            return std::chrono::duration<double, std::milli>(now - start).count();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (left <= std::chrono::milliseconds(0) ||
            !socket->setTimeouts(std::max(left, std::chrono::milliseconds(1)), kSendTimeout))
            return std::nullopt;
    }
    return std::nullopt;
}

int IcmpPing(std::vector<int>& rtts, const std::string& host, int count)
{
    IcmpPinger pinger;
    return pinger.IcmpPing(rtts, host, count);
}

} // namespace quorvane
