#pragma once
// The ICMP echo (ping) engine: the LAN sweep's pings and the latency of a
// test server.
//
// Usage for one round-trip time (latency under load):
//     quorvane::IcmpPinger pinger(clock);
//     if (auto ms = pinger.PingOnce("10.0.0.1")) ... *ms ...
//
// Thread-safety: an IcmpPinger may be shared by any number of threads; every
// call opens its own socket. ResponderList is fully thread-safe.
#include "common/clock.h"
#include "platform/icmp_socket.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane
{

// The addresses (dotted decimal) of hosts whose echo replies were accepted.
// Duplicates are kept until distinct() is asked for.
class ResponderList
{
public:
    void add(std::string address);
    void clear();
    // Sorted as texts, without duplicates.
    std::vector<std::string> distinct() const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_addresses;
};

// Used when IcmpPing is given no host.
inline constexpr const char* kDefaultPingHost = "www.example.com";

class IcmpPinger
{
public:
    using LogSink = std::function<void(std::string_view)>;
    using SocketFactory = std::function<platform::IcmpOpenResult()>;

    // `log` receives the line that names the missing right when no ICMP
    // socket can be opened; by default it goes to "auto.txt". `openSocket`
    // defaults to platform::openIcmpSocket. With the system's sockets the
    // line is said once per process, however many sweeps and pingers come
    // and go; with a factory of the caller's, once per pinger.
    explicit IcmpPinger(std::shared_ptr<Clock> clock = systemClock(), LogSink log = {}, SocketFactory openSocket = {});

    // Sends `count` echo requests to `host` (a name or a dotted address; empty
    // means kDefaultPingHost), one after the other: each waits up to 1000 ms
    // for one datagram, and after a datagram the next request follows 1000 ms
    // later. Round-trip times (ms, from the echoed timestamp) of accepted
    // replies that are not 0 go to `rtts`, which is emptied first; the
    // sources of accepted replies go to `responders` when given. Any reply
    // carrying our identifier counts, also one answering another thread's
    // request: its source answered all the same.
    // Returns 0 when all requests were handled (answered or not), -1 when no
    // socket could be opened, the host is unknown, or sending or receiving
    // failed for another reason than a time-out.
    int IcmpPing(std::vector<int>& rtts, const std::string& host, int count, ResponderList* responders = nullptr);

    // One echo request to `host`; the round-trip time in milliseconds
    // (sub-millisecond resolution) of the matching reply, or nullopt when
    // none came within `timeout`, the host is unknown or no socket opens.
    std::optional<double> PingOnce(const std::string& host,
                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));

private:
    std::unique_ptr<platform::IcmpSocket> open();
    std::uint32_t tickCount() const;

    std::shared_ptr<Clock> m_clock;
    LogSink m_log;
    SocketFactory m_openSocket;
    std::atomic<bool> m_failureLogged{false};
    std::atomic<bool>* m_failureSaid = &m_failureLogged;
    std::atomic<std::uint16_t> m_nextSequence{0x8000};
};

// IcmpPing with the real clock, logging to "auto.txt".
int IcmpPing(std::vector<int>& rtts, const std::string& host, int count);

} // namespace quorvane
