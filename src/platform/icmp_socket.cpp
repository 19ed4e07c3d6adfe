#include "platform/icmp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvane::platform
{

namespace
{

class LinuxIcmpSocket final : public IcmpSocket
{
public:
    LinuxIcmpSocket(int fd, IcmpFraming framing, std::uint16_t identifier)
        : m_fd(fd), m_framing(framing), m_identifier(identifier)
    {
    }
    ~LinuxIcmpSocket() override { ::close(m_fd); }
    LinuxIcmpSocket(const LinuxIcmpSocket&) = delete;
    LinuxIcmpSocket& operator=(const LinuxIcmpSocket&) = delete;

    IcmpFraming framing() const override { return m_framing; }
    std::uint16_t identifier() const override { return m_identifier; }

    bool setTimeouts(std::chrono::milliseconds receive, std::chrono::milliseconds send) override
    {
        return setTimeout(SO_RCVTIMEO, receive) && setTimeout(SO_SNDTIMEO, send);
    }

    IoStatus send(std::span<const std::uint8_t> message, std::uint32_t address) override
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        for (;;) {
            const ssize_t n =
                ::sendto(m_fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n >= 0)
                return IoStatus::Done;
            if (errno == EINTR)
                continue;
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? IoStatus::TimedOut : IoStatus::Failed;
        }
    }

    IoStatus receive(std::span<std::uint8_t> buffer, std::size_t& length, std::uint32_t& source) override
    {
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n >= 0) {
                length = static_cast<std::size_t>(n);
                source = from.sin_addr.s_addr;
                return IoStatus::Done;
            }
            if (errno == EINTR)
                continue;
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? IoStatus::TimedOut : IoStatus::Failed;
        }
    }

private:
    bool setTimeout(int option, std::chrono::milliseconds value)
    {
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(value.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>((value.count() % 1000) * 1000);
        return ::setsockopt(m_fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
    }

    int m_fd;
    IcmpFraming m_framing;
    std::uint16_t m_identifier;
};

std::string errorText(int error)
{
    char buffer[128];
    return ::strerror_r(error, buffer, sizeof buffer);
}

} // namespace

IcmpOpenResult openIcmpSocket()
{
    IcmpOpenResult result;
    int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        // Replies carry the identifier we write; the low 16 bits of the
        // process id keep our replies apart from other programs' pings.
        result.socket = std::make_unique<LinuxIcmpSocket>(fd, IcmpFraming::IpHeader,
                                                          static_cast<std::uint16_t>(::getpid() & 0xFFFF));
        return result;
    }
    const int rawError = errno;

    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        // Bind now so the identifier the kernel will stamp is known before
        // the first request goes out.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        socklen_t length = sizeof local;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            result.socket = std::make_unique<LinuxIcmpSocket>(fd, IcmpFraming::IcmpOnly, local.sin_port);
            return result;
        }
        const int bindError = errno;
        ::close(fd);
        result.failure = "ICMP套接字绑定失败：" + errorText(bindError);
        return result;
    }
    const int datagramError = errno;

    if ((rawError == EPERM || rawError == EACCES) && (datagramError == EACCES || datagramError == EPERM)) {
        // Say what would make the LAN count work, not only what failed.
        std::string range = "?";
        if (std::ifstream in("/proc/sys/net/ipv4/ping_group_range"); std::getline(in, range)) {
            for (char& c : range)
                c = c == '\t' ? ' ' : c;
        }
        result.failure = "无法打开ICMP套接字：没有CAP_NET_RAW权限，本进程的组(gid " + std::to_string(::getegid()) +
                         ")也不在net.ipv4.ping_group_range(" + range +
                         ")之内；局域网计数需要其一：将该组纳入此范围（例如 sysctl -w "
                         "net.ipv4.ping_group_range=\"0 2147483647\"），或以CAP_NET_RAW运行";
    } else {
        result.failure = "无法打开ICMP套接字：" + errorText(rawError) + "；" + errorText(datagramError);
    }
    return result;
}

std::optional<std::uint32_t> resolveIpv4(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM; // one entry per address
    addrinfo* list = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list)
        return std::nullopt;
    const auto address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return address;
}

std::string ipv4Text(std::uint32_t address)
{
    unsigned char b[4];
    std::memcpy(b, &address, 4);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

} // namespace quorvane::platform
