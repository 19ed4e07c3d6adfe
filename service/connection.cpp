#include "connection.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace refsvc
{

namespace
{

bool sameEnd(const sockaddr_storage& ss, const std::string& addr, int port)
{
    char text[INET6_ADDRSTRLEN] = {};
    int actualPort = -1;
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        actualPort = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        actualPort = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    return actualPort == port && addr == text;
}

// The socket of the connection, or -1. The caller is serving a request on
// that connection, so the descriptor cannot be closed (and reused) meanwhile.
int findConnection(const ConnectionEnds& ends)
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int found = -1;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || end == entry->d_name || fd == own)
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
            getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0)
            continue;
        if (sameEnd(local, ends.localAddr, ends.localPort) && sameEnd(peer, ends.peerAddr, ends.peerPort)) {
            found = static_cast<int>(fd);
            break;
        }
    }
    closedir(dir);
    return found;
}

} // namespace

bool dropConnection(const ConnectionEnds& ends)
{
    const int fd = findConnection(ends);
    return fd >= 0 && shutdown(fd, SHUT_RDWR) == 0;
}

bool limitReceiveBuffer(const ConnectionEnds& ends, int bytes)
{
    const int fd = findConnection(ends);
    return fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

} // namespace refsvc
