// Echo messages as bytes: the checksum against hand-computed values, the
// request's exact layout, and which received datagrams count as replies.
#include "ping/icmp_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

using namespace quorvane;
using platform::IcmpFraming;

namespace
{

using Bytes = std::vector<std::uint8_t>;

// The checksum as it lies in the message.
Bytes storedChecksum(const Bytes& data)
{
    const std::uint16_t value = InternetChecksum(data);
    Bytes out(2);
    std::memcpy(out.data(), &value, 2);
    return out;
}

TEST(InternetChecksum, MatchesHandComputedSums)
{
    struct Case {
        const char* what;
        Bytes data;
        Bytes expected;
    };
    const Case cases[] = {
        {"RFC 1071 example", {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, {0x22, 0x0D}},
        {"odd length pads the last byte", {0x01, 0x02, 0x03}, {0xFB, 0xFD}},
        {"carry folded back in", {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01}, {0xFF, 0xFE}},
        {"nothing", {}, {0xFF, 0xFF}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(storedChecksum(c.data), c.expected) << c.what;
}

TEST(EchoRequest, TwelveBytesInHostOrderWithAValidChecksum)
{
    const auto message = BuildEchoRequest(0x1234, 0x0102, 0xA1B2C3D4);
    const Bytes expected{0x08, 0x00, 0x3A, 0x87, 0x34, 0x12, 0x02, 0x01, 0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(Bytes(message.begin(), message.end()), expected);
    // A receiver sums the message with its checksum to zero.
    EXPECT_EQ(InternetChecksum(message), 0);
}

// An IPv4 header of `words` 32-bit words followed by `icmp`.
Bytes withIpHeader(const Bytes& icmp, int words = 5)
{
    Bytes datagram(static_cast<std::size_t>(words) * 4, 0);
    datagram[0] = static_cast<std::uint8_t>(0x40 | words);
    datagram.insert(datagram.end(), icmp.begin(), icmp.end());
    return datagram;
}

Bytes echo(std::uint8_t type, std::uint16_t id, std::uint16_t sequence = 7, std::uint32_t stamp = 5000)
{
    const auto m = BuildEchoMessage(type, id, sequence, stamp);
    return Bytes(m.begin(), m.end());
}

TEST(ParseEchoReply, AcceptsOnlyOurEchoReplies)
{
    constexpr std::uint16_t ours = 0x4D2;
    const Bytes reply = echo(kIcmpEchoReply, ours);
    Bytes unreachable = reply;
    unreachable[0] = 3;
    Bytes badHeaderLength = withIpHeader(reply);
    badHeaderLength[0] = 0x44;

    struct Case {
        const char* what;
        Bytes datagram;
        IcmpFraming framing;
        bool accepted;
    };
    const Case cases[] = {
        {"our reply after an IP header", withIpHeader(reply), IcmpFraming::IpHeader, true},
        {"our reply after an IP header with options", withIpHeader(reply, 6), IcmpFraming::IpHeader, true},
        {"our reply on a ping socket", reply, IcmpFraming::IcmpOnly, true},
        {"our own request seen on loopback", withIpHeader(echo(kIcmpEchoRequest, ours)), IcmpFraming::IpHeader, false},
        {"a neighbour's request with our identifier", echo(kIcmpEchoRequest, ours), IcmpFraming::IcmpOnly, false},
        {"another program's reply", withIpHeader(echo(kIcmpEchoReply, ours + 1)), IcmpFraming::IpHeader, false},
        {"destination unreachable", withIpHeader(unreachable), IcmpFraming::IpHeader, false},
        {"cut before the timestamp", Bytes(reply.begin(), reply.begin() + 8), IcmpFraming::IcmpOnly, false},
        {"cut inside the timestamp", withIpHeader(Bytes(reply.begin(), reply.end() - 1)), IcmpFraming::IpHeader, false},
        {"header length below an IPv4 header", badHeaderLength, IcmpFraming::IpHeader, false},
        {"ping socket datagram read as raw", reply, IcmpFraming::IpHeader, false},
        {"empty", {}, IcmpFraming::IpHeader, false},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseEchoReply(c.datagram, c.framing, ours);
        EXPECT_EQ(parsed.has_value(), c.accepted) << c.what;
        if (parsed) {
            EXPECT_EQ(parsed->sequence, 7) << c.what;
            EXPECT_EQ(parsed->timestamp, 5000u) << c.what;
        }
    }
}

} // namespace
