#include "ping/icmp_message.h"

#include <cstring>

namespace quorvane
{

std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes)
{
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        std::uint16_t word;
        std::memcpy(&word, bytes.data() + i, 2);
        sum += word;
    }
    if (i < bytes.size()) {
        // The odd byte keeps its place in memory, the missing one is zero.
        std::uint16_t word = 0;
        std::memcpy(&word, bytes.data() + i, 1);
        sum += word;
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum);
}

std::array<std::uint8_t, kEchoRequestSize> BuildEchoMessage(std::uint8_t type, std::uint16_t identifier,
                                                            std::uint16_t sequence, std::uint32_t timestamp)
{
    std::array<std::uint8_t, kEchoRequestSize> message{};
    message[0] = type;
    message[1] = 0;
    std::memcpy(message.data() + 4, &identifier, 2);
    std::memcpy(message.data() + 6, &sequence, 2);
    std::memcpy(message.data() + 8, &timestamp, 4);
    const std::uint16_t checksum = InternetChecksum(message);
    std::memcpy(message.data() + 2, &checksum, 2);
    return message;
}

std::optional<EchoReply> ParseEchoReply(std::span<const std::uint8_t> datagram, platform::IcmpFraming framing,
                                        std::uint16_t identifier)
{
    std::size_t offset = 0;
    if (framing == platform::IcmpFraming::IpHeader) {
        if (datagram.empty())
            return std::nullopt;
        offset = (datagram[0] & 0x0F) * 4u;
        if (offset < 20) // not an IPv4 header
            return std::nullopt;
    }
    // Our timestamp ends at byte 12 of the message; a shorter datagram would
    // make us read beyond what arrived.
    if (datagram.size() < offset + kEchoRequestSize)
        return std::nullopt;
    const std::uint8_t* icmp = datagram.data() + offset;
    // Echo requests carry identifiers too: our own on loopback, strangers'
    // from the LAN. Only replies tell that a host answered.
    if (icmp[0] != kIcmpEchoReply || icmp[1] != 0)
        return std::nullopt;
    std::uint16_t id;
    std::memcpy(&id, icmp + 4, 2);
    if (id != identifier)
        return std::nullopt;
    EchoReply reply;
    std::memcpy(&reply.sequence, icmp + 6, 2);
    std::memcpy(&reply.timestamp, icmp + 8, 4);
    return reply;
}

} // namespace quorvane
