#include "measure/latency.h"

#include "ping/icmp_ping.h"
#include "platform/icmp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quorvane::measure
{

Pinger TcpConnectPinger(int port, std::chrono::milliseconds timeout)
{
    return [port, timeout](const std::string& host) -> std::optional<double> {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1)
            return std::nullopt;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return std::nullopt;
        std::optional<double> rtt;
        const auto begin = std::chrono::steady_clock::now();
        int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, static_cast<int>(timeout.count())) == 1 ? 0 : -1;
            int error = 0;
            socklen_t length = sizeof error;
            if (rc == 0 && (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0))
                rc = -1;
        }
        if (rc == 0) {
            rtt = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
        }
        ::close(fd);
        return rtt;
    };
}

Pinger EchoPinger(std::shared_ptr<Clock> clock)
{
    if (!platform::openIcmpSocket().socket)
        return TcpConnectPinger(8080);
    auto pinger = std::make_shared<IcmpPinger>(std::move(clock));
    return [pinger](const std::string& host) { return pinger->PingOnce(host); };
}

std::optional<double> Median(std::vector<double> values)
{
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[mid];
    return (values[mid - 1] + values[mid]) / 2;
}

LatencyProbe::LatencyProbe(Pinger pinger, std::shared_ptr<Clock> clock)
    : m_pinger(std::move(pinger)), m_clock(std::move(clock))
{
}

LatencyProbe::~LatencyProbe()
{
    stop();
}

void LatencyProbe::start(const std::string& host)
{
    stop();
    {
        std::lock_guard lock(m_mutex);
        m_idle.clear();
        m_download.clear();
        m_upload.clear();
    }
    m_phase = Phase::Idle;
    m_stop = false;
    if (!m_pinger || host.empty() || !m_clock)
        return;
    // The idle burst runs before the caller starts loading the line: on the
    // probe's own thread it could race the download and report load as idle.
    for (int i = 0; i < 3; ++i) {
        if (auto rtt = m_pinger(host))
            record(Phase::Idle, *rtt);
    }
    m_thread = std::thread([this, host] { run(host); });
}

void LatencyProbe::setPhase(Phase phase)
{
    m_phase = phase;
}

void LatencyProbe::record(Phase phase, double ms)
{
    std::lock_guard lock(m_mutex);
    (phase == Phase::Idle ? m_idle : phase == Phase::Download ? m_download : m_upload).push_back(ms);
}

void LatencyProbe::run(std::string host)
{
    using namespace std::chrono_literals;
    const auto start = m_clock->now();
    for (long long k = 1; !m_stop; ++k) {
        const auto deadline = start + std::chrono::seconds(k);
        // Short slices, so that stop() is seen quickly.
        while (!m_stop) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - m_clock->now());
            if (left <= 0ms)
                break;
            m_clock->sleepFor(std::min<std::chrono::milliseconds>(left, 50ms));
        }
        if (m_stop)
            break;
        // A slow answer must not crowd the next echoes together.
        if (m_clock->now() - deadline > 500ms)
            continue;
        const Phase phase = m_phase;
        if (auto rtt = m_pinger(host))
            record(phase, *rtt);
    }
}

LatencyReport LatencyProbe::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    LatencyReport report;
    report.idleMs = Median(m_idle);
    report.downloadMs = Median(m_download);
    report.uploadMs = Median(m_upload);
    report.idleCount = static_cast<int>(m_idle.size());
    report.downloadCount = static_cast<int>(m_download.size());
    report.uploadCount = static_cast<int>(m_upload.size());
    return report;
}

} // namespace quorvane::measure
