#pragma once
// The LAN sweep: counts the other machines that answer pings on this
// machine's /24 network, so an automatic round can refuse to measure a line
// that others share.
//
// Thread-safety: one LanSweep runs one sweep at a time, on the caller's
// thread; its ping threads share only the responder list. Ping threads that
// outlive their batch's wait keep what they use alive and end on their own.
#include "common/clock.h"
#include "ping/icmp_ping.h"
#include "platform/lan_interface.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane
{

// The addresses a sweep pings: the first three numbers of `ownAddress` with
// host numbers 1 to 254 in ascending order, whatever the mask says, so the
// own address and the gateway are among them. Empty for the single-host mask
// "255.255.255.255" and for an address that is not dotted decimal.
std::vector<std::string> SweepAddressList(const std::string& ownAddress, const std::string& mask);

class LanSweep
{
public:
    using LogSink = std::function<void(std::string_view)>;
    // One ping thread's work: ping `address` `count` times and add the
    // sources of accepted replies to `responders`.
    using PingFunction = std::function<void(const std::string& address, int count, ResponderList& responders)>;

    struct Environment {
        std::shared_ptr<Clock> clock;                                 // default: the system clock
        LogSink log;                                                  // default: "auto.txt"
        PingFunction ping;                                            // default: IcmpPinger::IcmpPing
        std::function<std::optional<platform::Ipv4Interface>()> lan;  // default: platform::lanInterface
        std::function<void(int& threads, int& count)> readParameters; // default: ReadPingThread
    };

    explicit LanSweep(Environment environment = {});

    // Pings the addresses in batches of `threads` (1 to 50), one thread per
    // address started 55 ms apart, each sending `count` requests (1 to 10);
    // waits up to 10 s of clock time for a batch's threads to end. Returns at
    // once, without waiting, when flags::stopRequested is set before a start.
    void ScanAddresses(const std::vector<std::string>& addresses, int threads, int count);

    // Sweeps the LAN and returns the number of distinct responders within it
    // minus 2 (the machine itself and the gateway); 0 without sweeping when
    // the machine has no LAN interface or a single-host mask.
    int CountLanMachines();

    // The distinct responders seen so far by the current sweep, sorted.
    std::vector<std::string> responders() const;

private:
    struct Batch;
    static void PingThread(PingFunction ping, std::shared_ptr<ResponderList> responders, std::string address, int count,
                           std::shared_ptr<Batch> batch);

    Environment m_env;
    std::shared_ptr<ResponderList> m_responders;
};

// A sweep of this machine's LAN with the real clock, sockets and settings,
// logging to "auto.txt".
int CountLanMachines();

} // namespace quorvane
