#pragma once
// Plain requests to the service (login, score, validation, update manifest,
// clock). Thread-safety: HttpRequest and HttpHead may be called from any
// thread; each call is independent. An HttpSession may be used from any
// thread; its requests run one at a time.
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane
{

enum HttpResult : int { kHttpAnswered = 0, kHttpFailed = 1, kHttpTimedOut = 2 };

struct HttpOptions {
    std::chrono::milliseconds connectTimeout{5000}; // name resolution and connect
    // Once connected, a request or answer that moves no byte for this long
    // is cut off as a time-out (checked about once a second).
    std::chrono::milliseconds stallTimeout{30000};
    // PEM file of the certificates trusted for https; empty: the system's.
    // Certificates and their host names are always verified.
    std::string trustFile;
    // The whole request, from name resolution to the last byte, ends within
    // this (a time-out), however the bytes trickle: the step limits above
    // alone would let a server hold a caller for ever.
    std::chrono::milliseconds totalTimeout{60000};
    // An answer body beyond this many bytes fails the request.
    std::size_t maxAnswerBytes = 64u << 20;
    // A 4xx or 5xx status fails the request instead of answering its page.
    bool errorStatusFails = false;
};

// Sends `verb` ("GET", "POST", ...) to `url` (http or https only; any other
// scheme fails without network traffic) with `body` as a form-encoded body
// (empty: none; a POST then sends an empty body), following redirects.
// `response` is cleared first and receives the answer body up to its first
// NUL byte, checked as UTF-8 (invalid sequences replaced by U+FFFD). The HTTP
// status is not looked at: an error page is an answer too.
// Returns 0 (answered), 1 (failure) or 2 (time-out).
int HttpRequest(const std::string& verb, const std::string& url, const std::string& body, std::string& response);
int HttpRequest(const std::string& verb, const std::string& url, const std::string& body, std::string& response,
                const HttpOptions& options);

// The head of an answer to a HEAD request.
struct HttpHeadAnswer {
    int status = 0; // 0 until a status line was read
    std::vector<std::pair<std::string, std::string>> headers;
    // The first header of that name (case-insensitive).
    std::optional<std::string> header(std::string_view name) const;
};

// Sends HEAD for `url` without following redirects and stores the status and
// response headers (those of the final answer after any interim 1xx ones).
// Returns 0 when an answer head was read (whatever its status), 1 (failure)
// or 2 (time-out).
int HttpHead(const std::string& url, HttpHeadAnswer& answerOut);
int HttpHead(const std::string& url, HttpHeadAnswer& answerOut, const HttpOptions& options);

// A long-lived session whose connections are kept between requests: the
// bandwidth test's session, with its shorter time-outs (connect 5 s, stall
// 3 s, whole request 15 s). Request() has the contract of HttpRequest.
class HttpSession
{
public:
    static HttpOptions defaultOptions();

    HttpSession();
    explicit HttpSession(HttpOptions options);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    int Request(const std::string& verb, const std::string& url, const std::string& body, std::string& response);

private:
    struct Handle;
    HttpOptions m_options;
    std::mutex m_mutex;
    std::unique_ptr<Handle> m_handle;
};

} // namespace quorvane
