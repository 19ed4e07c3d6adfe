#include "net/http_internal.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvane::http_detail
{
namespace
{

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

AddrInfoList resolve(const UrlParts& url)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    const std::string port = std::to_string(url.port);
    for (int family : {AF_INET, AF_UNSPEC}) {
        hints.ai_family = family;
        addrinfo* list = nullptr;
        if (::getaddrinfo(url.host.c_str(), port.c_str(), &hints, &list) == 0 && list)
            return AddrInfoList(list);
    }
    return nullptr;
}

timeval toTimeval(std::chrono::milliseconds ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
    return tv;
}

bool connectWithTimeout(int fd, const sockaddr* address, socklen_t length, std::chrono::milliseconds timeout)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    if (::connect(fd, address, length) != 0) {
        if (errno != EINPROGRESS)
            return false;
        pollfd p{fd, POLLOUT, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
        } while (rc < 0 && errno == EINTR);
        if (rc <= 0)
            return false;
        int error = 0;
        socklen_t errorLength = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0)
            return false;
    }
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

} // namespace

int connectTcp(const UrlParts& url, std::chrono::milliseconds connectTimeout, std::chrono::milliseconds ioTimeout,
               TransferContext& context)
{
    const AddrInfoList addresses = resolve(url);
    if (!addresses)
        return -1;
    const addrinfo* first = addresses.get();
    const int fd = ::socket(first->ai_family, first->ai_socktype | SOCK_CLOEXEC, first->ai_protocol);
    if (fd < 0)
        return -1;
    if (!context.adopt(fd)) {
        ::close(fd);
        return -1;
    }
    const timeval io = toTimeval(ioTimeout);
    const bool ok = connectWithTimeout(fd, first->ai_addr, first->ai_addrlen, connectTimeout) &&
                    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &io, sizeof io) == 0 &&
                    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &io, sizeof io) == 0;
    if (!ok) {
        context.release(fd);
        return -1;
    }
    return fd;
}

bool sendLines(int fd, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        std::size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
    }
    return true;
}

bool readHead(int fd, HttpHeadParser& parser)
{
    // The bytes are looked at before they are taken, and only the head's are
    // taken: the body stays in the socket for the reader that counts it.
    char buffer[4096];
    while (parser.state() == HttpHeadParser::State::NeedMore) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_PEEK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        std::size_t consumed = 0;
        parser.feed(std::string_view(buffer, static_cast<std::size_t>(n)), consumed);
        if (parser.state() == HttpHeadParser::State::TooLarge)
            return false;
        std::size_t taken = 0;
        while (taken < consumed) {
            const ssize_t got = ::recv(fd, buffer, consumed - taken, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            taken += static_cast<std::size_t>(got);
        }
    }
    return parser.state() == HttpHeadParser::State::Done;
}

std::int64_t acceptedContentLength(const HttpHeadParser& parser)
{
    if (parser.state() != HttpHeadParser::State::Done || !parser.isSuccess())
        return 0;
    return parser.contentLength();
}

} // namespace quorvane::http_detail
