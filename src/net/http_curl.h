#pragma once
// Internals shared by the libcurl clients. Not for use outside src/net.
#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

namespace quorvane::http_detail
{

class TransferContext;

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// A new easy handle with the settings every client shares (no signals).
CurlHandle newCurl();

class CurlHeaderList
{
public:
    CurlHeaderList() = default;
    explicit CurlHeaderList(const std::vector<std::string>& lines);
    CurlHeaderList(const CurlHeaderList&) = delete;
    CurlHeaderList& operator=(const CurlHeaderList&) = delete;
    ~CurlHeaderList() { curl_slist_free_all(m_list); }
    void append(const std::string& line);
    curl_slist* get() const { return m_list; }

private:
    curl_slist* m_list = nullptr;
};

// An answer's body gathered in memory. More than `maxBytes` ends the
// transfer with a write error rather than growing without bound.
struct BodySink {
    std::string body;
    std::size_t maxBytes;
};

// Points the handle's body at `sink`, which must outlive the transfer.
void collectBodyInto(CURL* handle, BodySink& sink);

// Opens and closes the handle's sockets through the context, so that
// stopping the context wakes a transfer blocked on the network, and aborts
// the transfer at its next progress check once the context is stopped or
// automatic stop was requested. The context must outlive the handle.
void bindToContext(CURL* handle, TransferContext& context);

} // namespace quorvane::http_detail
