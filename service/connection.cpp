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

} // namespace

bool dropConnection(const std::string& localAddr, int localPort, const std::string& peerAddr, int peerPort)
{
    // The HTTP library does not hand its sockets to request handlers; the
    // connection is found by its two end points, which name it uniquely.
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool found = false;
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
        if (sameEnd(local, localAddr, localPort) && sameEnd(peer, peerAddr, peerPort)) {
            shutdown(static_cast<int>(fd), SHUT_RDWR);
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

} // namespace refsvc
