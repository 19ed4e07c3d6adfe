#pragma once
// The ICMP echo messages of the ping engine, as bytes: no sockets here.
//
// Our echo request is 12 bytes: type 8, code 0, checksum, identifier,
// sequence and a 32-bit millisecond timestamp. Identifier, sequence and
// timestamp are stored in the host's byte order; peers echo them back
// unread, so only we interpret them.
#include "platform/icmp_socket.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quorvane
{

inline constexpr std::size_t kEchoRequestSize = 12;
inline constexpr std::uint8_t kIcmpEchoReply = 0;
inline constexpr std::uint8_t kIcmpEchoRequest = 8;

// The Internet checksum (RFC 1071) as the value to store in host order: the
// bytes are summed as host-order 16-bit words, a trailing odd byte as it
// stands, and the one's complement of the folded sum is returned.
std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes);

// An echo message with its checksum filled in; `type` is 8 for requests.
std::array<std::uint8_t, kEchoRequestSize> BuildEchoMessage(std::uint8_t type, std::uint16_t identifier,
                                                            std::uint16_t sequence, std::uint32_t timestamp);

inline std::array<std::uint8_t, kEchoRequestSize> BuildEchoRequest(std::uint16_t identifier, std::uint16_t sequence,
                                                                   std::uint32_t timestamp)
{
    return BuildEchoMessage(kIcmpEchoRequest, identifier, sequence, timestamp);
}

struct EchoReply {
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0; // as we sent it
};

// Accepts an echo reply (type 0) that carries `identifier` and is long enough
// to hold our timestamp; anything else (echo requests, other ICMP messages,
// other programs' replies, truncated or malformed datagrams) is nullopt.
std::optional<EchoReply> ParseEchoReply(std::span<const std::uint8_t> datagram, platform::IcmpFraming framing,
                                        std::uint16_t identifier);

} // namespace quorvane
