#pragma once
// ICMP echo sockets and IPv4 name lookups for the ping engine.
//
// Two kinds of socket can carry echo requests. A raw ICMP socket needs
// CAP_NET_RAW; it receives every ICMP datagram that reaches the machine,
// IP header included, and sends the identifier we write. An unprivileged
// ping socket (SOCK_DGRAM) needs the process's group inside the range of
// net.ipv4.ping_group_range; the kernel then stamps the socket's own port as
// the identifier, delivers only echo replies carrying it, and strips the IP
// header. Callers ask the socket which identifier and framing to expect
// instead of knowing the kind.
//
// Thread-safety: one socket belongs to one thread at a time; the free
// functions may be called from any thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quorvane::platform
{

// What precedes the ICMP message in a received datagram.
enum class IcmpFraming { IpHeader, IcmpOnly };

enum class IoStatus { Done, TimedOut, Failed };

class IcmpSocket
{
public:
    virtual ~IcmpSocket() = default;

    virtual IcmpFraming framing() const = 0;
    // The identifier to write into echo requests and to expect in replies,
    // as its two bytes read in the host's byte order.
    virtual std::uint16_t identifier() const = 0;
    virtual bool setTimeouts(std::chrono::milliseconds receive, std::chrono::milliseconds send) = 0;
    // `address` in network byte order (as in_addr holds it).
    virtual IoStatus send(std::span<const std::uint8_t> message, std::uint32_t address) = 0;
    // One datagram into `buffer`; `length` and `source` (network order) are
    // set on Done.
    virtual IoStatus receive(std::span<std::uint8_t> buffer, std::size_t& length, std::uint32_t& source) = 0;
};

struct IcmpOpenResult {
    std::unique_ptr<IcmpSocket> socket; // null on failure
    std::string failure;                // on failure: which right is missing, in words a log can carry
};

// A raw socket where the process may open one, otherwise a ping socket.
IcmpOpenResult openIcmpSocket();

// An IPv4 address for a host name or a dotted address, network order.
std::optional<std::uint32_t> resolveIpv4(const std::string& host);

// Dotted decimal text of a network-order address.
std::string ipv4Text(std::uint32_t address);

} // namespace quorvane::platform
