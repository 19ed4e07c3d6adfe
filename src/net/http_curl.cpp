#include "net/http_curl.h"

#include "net/curl_global.h"
#include "net/http_internal.h"

#include <csignal>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvane::http_detail
{
namespace
{

curl_socket_t openSocket(void* clientp, curlsocktype, curl_sockaddr* address)
{
    auto* context = static_cast<TransferContext*>(clientp);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    if (!context->adopt(fd)) {
        ::close(fd);
        return CURL_SOCKET_BAD;
    }
    return fd;
}

int closeSocket(void* clientp, curl_socket_t fd)
{
    static_cast<TransferContext*>(clientp)->release(fd);
    return 0;
}

int progress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* context = static_cast<const TransferContext*>(clientp);
    return context->stopped() || automaticStopRequested() ? 1 : 0;
}

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* target)
{
    auto* sink = static_cast<BodySink*>(target);
    const std::size_t n = size * count;
    if (sink->body.size() + n > sink->maxBytes)
        return 0; // ends the transfer with a write error
    sink->body.append(data, n);
    return n;
}

} // namespace

CurlHandle newCurl()
{
    net::EnsureCurl();
    CurlHandle handle(curl_easy_init());
    if (handle)
        curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
    return handle;
}

void collectBodyInto(CURL* handle, BodySink& sink)
{
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collectBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
}

CurlHeaderList::CurlHeaderList(const std::vector<std::string>& lines)
{
    for (const auto& line : lines)
        append(line);
}

void CurlHeaderList::append(const std::string& line)
{
    if (curl_slist* grown = curl_slist_append(m_list, line.c_str()))
        m_list = grown;
}

void bindToContext(CURL* handle, TransferContext& context)
{
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &context);
    curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, &closeSocket);
    curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, &context);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &context);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

} // namespace quorvane::http_detail

namespace quorvane::net
{

void EnsureCurl()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {
        };
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

} // namespace quorvane::net
