#include "net/http_request.h"

#include "common/codepage.h"
#include "net/http_curl.h"
#include "net/http_head_parser.h"
#include "net/http_url.h"

#include <algorithm>
#include <cctype>
#include <new>

namespace quorvane
{

using namespace http_detail;

namespace
{

constexpr const char* kAgent = "Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; Trident/5.0)";
constexpr std::size_t kMaxHeadBytes = 64u << 10;

bool isToken(const std::string& verb)
{
    return !verb.empty() && std::all_of(verb.begin(), verb.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

bool acceptedScheme(const std::string& url)
{
    UrlParts parts;
    return SplitUrl(url, parts) && (parts.scheme == "http" || parts.scheme == "https");
}

std::size_t collectHead(char* data, std::size_t size, std::size_t count, void* target)
{
    auto* parser = static_cast<HttpHeadParser*>(target);
    const std::size_t n = size * count;
    // An interim answer (1xx) is followed by the real one.
    if (parser->state() == HttpHeadParser::State::Done)
        parser->reset();
    std::size_t consumed = 0;
    return parser->feed(std::string_view(data, n), consumed) == HttpHeadParser::State::TooLarge ? 0 : n;
}

// Cuts off a transfer once no byte has moved either way for the stall time.
// libcurl's own low-speed limit averages over several seconds, so a trickle
// that stops would keep a request alive far longer than the limit.
class StallGuard
{
public:
    explicit StallGuard(CURL* curl, std::chrono::milliseconds limit) : m_curl(curl), m_limit(limit) {}
    bool fired() const { return m_fired; }

    static int onProgress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded)
    {
        return static_cast<StallGuard*>(self)->check(downloaded, uploaded);
    }

private:
    int check(curl_off_t downloaded, curl_off_t uploaded)
    {
        const auto now = std::chrono::steady_clock::now();
        curl_off_t ready = 0;
        // Until the connection is set up (TLS included) the connect time-out rules.
        curl_easy_getinfo(m_curl, CURLINFO_PRETRANSFER_TIME_T, &ready);
        if (ready == 0 || downloaded != m_downloaded || uploaded != m_uploaded) {
            m_downloaded = downloaded;
            m_uploaded = uploaded;
            m_lastMove = now;
            return 0;
        }
        if (now - m_lastMove < m_limit)
            return 0;
        m_fired = true;
        return 1;
    }

    CURL* m_curl;
    std::chrono::milliseconds m_limit;
    std::chrono::steady_clock::time_point m_lastMove = std::chrono::steady_clock::now();
    curl_off_t m_downloaded = -1;
    curl_off_t m_uploaded = -1;
    bool m_fired = false;
};

void applyCommon(CURL* curl, const std::string& url, const HttpOptions& options, StallGuard& stall)
{
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kAgent);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(options.totalTimeout.count(), 1)));
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &StallGuard::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &stall);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.trustFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, options.trustFile.c_str());
}

int resultOf(CURLcode code, const StallGuard& stall)
{
    if (code == CURLE_OK)
        return kHttpAnswered;
    return code == CURLE_OPERATION_TIMEDOUT || stall.fired() ? kHttpTimedOut : kHttpFailed;
}

int performRequest(CURL* curl, const std::string& verb, const std::string& url, const std::string& body,
                   std::string& response, const HttpOptions& options)
{
    response.clear();
    if (!acceptedScheme(url) || !isToken(verb))
        return kHttpFailed;
    try {
        StallGuard stall(curl, options.stallTimeout);
        applyCommon(curl, url, options, stall);
        const CurlHeaderList headers(
            {"Accept: *,*/*", "Accept-Language: zh-cn", "Content-Type: application/x-www-form-urlencoded", "Expect:"});
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
        if (verb == "GET" && body.empty()) {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        } else if (verb == "HEAD") {
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
            if (verb != "POST")
                curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb.c_str());
        }
        if (options.errorStatusFails)
            curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
        BodySink sink{{}, options.maxAnswerBytes};
        std::string& raw = sink.body;
        collectBodyInto(curl, sink);
        const int result = resultOf(curl_easy_perform(curl), stall);
        // The list dies with this scope; the handle must not point at it.
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        if (result != kHttpAnswered)
            return result;
        const auto nul = raw.find('\0');
        if (nul != std::string::npos)
            raw.resize(nul);
        response = sanitizeUtf8(raw);
        return kHttpAnswered;
    } catch (const std::bad_alloc&) {
        response.clear();
        return kHttpFailed;
    }
}

} // namespace

int HttpRequest(const std::string& verb, const std::string& url, const std::string& body, std::string& response)
{
    return HttpRequest(verb, url, body, response, HttpOptions{});
}

int HttpRequest(const std::string& verb, const std::string& url, const std::string& body, std::string& response,
                const HttpOptions& options)
{
    response.clear();
    const CurlHandle curl = newCurl();
    if (!curl)
        return kHttpFailed;
    return performRequest(curl.get(), verb, url, body, response, options);
}

std::optional<std::string> HttpHeadAnswer::header(std::string_view name) const
{
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return value;
    }
    return std::nullopt;
}

int HttpHead(const std::string& url, HttpHeadAnswer& answerOut)
{
    return HttpHead(url, answerOut, HttpOptions{});
}

int HttpHead(const std::string& url, HttpHeadAnswer& answerOut, const HttpOptions& options)
{
    answerOut = HttpHeadAnswer{};
    if (!acceptedScheme(url))
        return kHttpFailed;
    const CurlHandle curl = newCurl();
    if (!curl)
        return kHttpFailed;
    try {
        StallGuard stall(curl.get(), options.stallTimeout);
        applyCommon(curl.get(), url, options, stall);
        // Written as the service has always received it, blank and all.
        const CurlHeaderList headers({"Accept:* "});
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(curl.get(), CURLOPT_NOBODY, 1L);
        HttpHeadParser parser(kMaxHeadBytes);
        curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, &collectHead);
        curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &parser);
        const int result = resultOf(curl_easy_perform(curl.get()), stall);
        if (result != kHttpAnswered)
            return result;
        if (parser.state() != HttpHeadParser::State::Done || parser.statusCode() == 0)
            return kHttpFailed;
        answerOut.status = parser.statusCode();
        answerOut.headers = parser.fields();
        return kHttpAnswered;
    } catch (const std::bad_alloc&) {
        answerOut = HttpHeadAnswer{};
        return kHttpFailed;
    }
}

struct HttpSession::Handle {
    CurlHandle curl;
};

HttpOptions HttpSession::defaultOptions()
{
    HttpOptions options;
    options.connectTimeout = std::chrono::milliseconds(5000);
    options.stallTimeout = std::chrono::milliseconds(3000);
    options.totalTimeout = std::chrono::milliseconds(15000);
    return options;
}

HttpSession::HttpSession() : HttpSession(defaultOptions()) {}

HttpSession::HttpSession(HttpOptions options)
    : m_options(std::move(options)), m_handle(std::make_unique<Handle>(Handle{newCurl()}))
{
}

HttpSession::~HttpSession() = default;

int HttpSession::Request(const std::string& verb, const std::string& url, const std::string& body,
                         std::string& response)
{
    std::lock_guard lock(m_mutex);
    response.clear();
    if (!m_handle->curl)
        return kHttpFailed;
    // A reset forgets the previous request's options but keeps the open
    // connections, which is what the session is for.
    curl_easy_reset(m_handle->curl.get());
    curl_easy_setopt(m_handle->curl.get(), CURLOPT_NOSIGNAL, 1L);
    return performRequest(m_handle->curl.get(), verb, url, body, response, m_options);
}

} // namespace quorvane
