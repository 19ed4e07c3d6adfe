#include "net/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace quorvane::testing
{

bool ServerConnection::readRequestHead(std::string& head)
{
    head.clear();
    char byte;
    while (head.size() < 65536) {
        const ssize_t n = ::recv(m_fd, &byte, 1, 0);
        if (n != 1)
            return false;
        head.push_back(byte);
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) {
            std::lock_guard lock(m_server.m_mutex);
            m_server.m_heads.push_back(head);
            return true;
        }
    }
    return false;
}

bool ServerConnection::readExactly(std::size_t count, std::string* out)
{
    char buffer[65536];
    while (count > 0) {
        const ssize_t n = ::recv(m_fd, buffer, std::min(count, sizeof buffer), 0);
        if (n <= 0)
            return false;
        if (out)
            out->append(buffer, static_cast<std::size_t>(n));
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t ServerConnection::drain()
{
    char buffer[65536];
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return total;
        total += static_cast<std::uint64_t>(n);
    }
}

bool ServerConnection::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool ServerConnection::sendBody(std::uint64_t count)
{
    static const std::string pattern = [] {
        std::string p(65536, '\0');
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<char>('a' + i % 26);
        return p;
    }();
    while (count > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, pattern.size()));
        const ssize_t n = ::send(m_fd, pattern.data(), piece, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        m_server.m_bodySent += static_cast<std::uint64_t>(n);
        count -= static_cast<std::uint64_t>(n);
    }
    return true;
}

bool ServerConnection::sendOkHead(std::uint64_t contentLength, std::string_view extraLines)
{
    return send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(contentLength) + "\r\n" +
                std::string(extraLines) + "\r\n");
}

void ServerConnection::holdUntilStopped()
{
    std::unique_lock lock(m_server.m_mutex);
    m_server.m_changed.wait(lock, [this] { return m_server.m_stopped; });
}

bool ServerConnection::waitStopped(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_server.m_mutex);
    return m_server.m_changed.wait_for(lock, limit, [this] { return m_server.m_stopped; });
}

CannedServer::CannedServer(Handler handler, Options options) : m_handler(std::move(handler)), m_options(options)
{
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listenFd, options.backlog) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_listenFd);
        throw std::runtime_error("listen");
    }
    m_port = ntohs(address.sin_port);
    if (options.accept)
        m_acceptThread = std::thread([this] { acceptLoop(); });
}

CannedServer::~CannedServer()
{
    stop();
}

std::string CannedServer::url(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

void CannedServer::closeListener()
{
    std::lock_guard lock(m_mutex);
    if (m_listenFd >= 0) {
        ::shutdown(m_listenFd, SHUT_RDWR);
        ::close(m_listenFd);
        m_listenFd = -1;
    }
}

void CannedServer::acceptLoop()
{
    for (;;) {
        int listenFd;
        {
            std::lock_guard lock(m_mutex);
            listenFd = m_listenFd;
        }
        if (listenFd < 0)
            return;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        const int index = m_accepted++;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopped) {
                ::close(fd);
                return;
            }
            m_fds.push_back(fd);
            m_threads.emplace_back([this, fd, index] {
                ServerConnection connection(*this, fd, index);
                m_handler(connection);
                ::shutdown(fd, SHUT_RDWR);
            });
            m_changed.notify_all();
        }
        if (m_options.acceptLimit >= 0 && index + 1 >= m_options.acceptLimit) {
            closeListener();
            return;
        }
    }
}

bool CannedServer::waitForConnections(int count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_accepted.load() >= count; });
}

std::vector<std::string> CannedServer::requestHeads() const
{
    std::lock_guard lock(m_mutex);
    return m_heads;
}

void CannedServer::stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return;
        m_stopped = true;
        for (int fd : m_fds)
            ::shutdown(fd, SHUT_RDWR);
        m_changed.notify_all();
    }
    closeListener();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        threads.swap(m_threads);
    }
    for (auto& thread : threads)
        thread.join();
    std::lock_guard lock(m_mutex);
    for (int fd : m_fds)
        ::close(fd);
    m_fds.clear();
}

} // namespace quorvane::testing
