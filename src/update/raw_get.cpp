#include "update/raw_get.h"

#include "net/http_head_parser.h"
#include "net/http_url.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

namespace quorvane::update
{
namespace
{

timeval toTimeval(std::chrono::milliseconds ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
    return tv;
}

class Socket
{
public:
    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int fd = -1;
};

// The first address of the host, IPv4 first as the updater always chose.
bool connectTo(const UrlParts& url, const RawGetOptions& options, Socket& sock)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(url.port);
    for (const int family : {AF_INET, AF_INET6}) {
        hints.ai_family = family;
        if (::getaddrinfo(url.host.c_str(), port.c_str(), &hints, &found) == 0 && found)
            break;
        found = nullptr;
    }
    if (!found)
        return false;
    sock.fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = sock.fd >= 0;
    if (ok) {
        // The send time-out also bounds connect() on Linux.
        const timeval send = toTimeval(options.connectTimeout);
        const timeval recv = toTimeval(options.receiveTimeout);
        ::setsockopt(sock.fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
        ::setsockopt(sock.fd, SOL_SOCKET, SO_RCVTIMEO, &recv, sizeof recv);
        int rc;
        while ((rc = ::connect(sock.fd, found->ai_addr, found->ai_addrlen)) != 0 && errno == EINTR) {
        }
        ok = rc == 0;
    }
    ::freeaddrinfo(found);
    return ok;
}

// Receives with the socket's own time-out, but never past the deadline.
class Receiver
{
public:
    Receiver(int fd, std::chrono::steady_clock::time_point started, std::chrono::milliseconds deadline)
        : m_fd(fd), m_bounded(deadline.count() > 0), m_end(started + deadline)
    {
    }
    bool expired() const { return m_expired; }
    ssize_t recv(void* buffer, std::size_t size)
    {
        for (;;) {
            if (m_bounded) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(m_end - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    m_expired = true;
                    return -1;
                }
                pollfd p{m_fd, POLLIN, 0};
                const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT32_MAX)));
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready == 0)
                    continue; // the deadline is checked above
            }
            const ssize_t n = ::recv(m_fd, buffer, size, 0);
            if (n < 0 && errno == EINTR)
                continue;
            return n;
        }
    }

private:
    int m_fd;
    bool m_bounded;
    std::chrono::steady_clock::time_point m_end;
    bool m_expired = false;
};

bool sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

std::string_view describe(RawGetResult result)
{
    switch (result) {
    case RawGetResult::Ok:
        return "ok";
    case RawGetResult::NoFolder:
        return "folder could not be created";
    case RawGetResult::BadUrl:
        return "not an http URL";
    case RawGetResult::NoConnection:
        return "no connection";
    case RawGetResult::SendFailed:
        return "request not sent";
    case RawGetResult::BadHead:
        return "no complete response head";
    case RawGetResult::NotSuccess:
        return "status not 2xx";
    case RawGetResult::NoLength:
        return "no Content-Length";
    case RawGetResult::FileFailed:
        return "file not written";
    case RawGetResult::Short:
        return "body shorter than announced";
    case RawGetResult::WrongSize:
        return "announced size not the expected one";
    case RawGetResult::TimedOut:
        return "deadline passed";
    }
    return "?";
}

RawGetResult rawGet(const std::string& url, const std::filesystem::path& file, const RawGetOptions& options)
{
    const auto started = std::chrono::steady_clock::now();
    std::error_code ec;
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path(), ec);
        if (!std::filesystem::is_directory(file.parent_path(), ec))
            return RawGetResult::NoFolder;
    }
    UrlParts parts;
    if (!SplitUrl(url, parts) || parts.scheme != "http")
        return RawGetResult::BadUrl;
    Socket sock;
    if (!connectTo(parts, options, sock))
        return RawGetResult::NoConnection;
    const std::string request = "GET " + parts.path + " HTTP/1.1\r\nAccept: */*\r\nConnection: Keep-Alive\r\nHost: " +
                                HostHeaderValue(parts, parts.port != 80) +
                                "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n\r\n";
    if (!sendAll(sock.fd, request))
        return RawGetResult::SendFailed;

    // The head is read byte by byte, so nothing of the body is taken early.
    Receiver in(sock.fd, started, options.limits.deadline);
    HttpHeadParser head;
    while (head.state() == HttpHeadParser::State::NeedMore) {
        char c;
        const ssize_t n = in.recv(&c, 1);
        if (n <= 0)
            return in.expired() ? RawGetResult::TimedOut : RawGetResult::BadHead;
        head.feed(c);
    }
    if (head.state() != HttpHeadParser::State::Done)
        return RawGetResult::BadHead;
    if (!head.isSuccess())
        return RawGetResult::NotSuccess;
    const std::int64_t length = head.contentLength();
    if (length <= 0)
        return RawGetResult::NoLength;
    const FetchLimits& limits = options.limits;
    if ((limits.expectedSize >= 0 && length != limits.expectedSize) ||
        (limits.expectedSize < 0 && limits.maxBytes >= 0 && length > limits.maxBytes))
        return RawGetResult::WrongSize;

    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        return RawGetResult::FileFailed;
    std::int64_t received = 0;
    char buffer[1024];
    while (received < length) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(sizeof buffer, length - received));
        const ssize_t n = in.recv(buffer, want);
        if (n <= 0)
            break;
        out.write(buffer, n);
        received += n;
    }
    out.close();
    if (!out)
        return RawGetResult::FileFailed;
    if (in.expired())
        return RawGetResult::TimedOut;
    return received == length ? RawGetResult::Ok : RawGetResult::Short;
}

} // namespace quorvane::update
