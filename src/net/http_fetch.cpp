#include "net/http_fetch.h"

#include "net/http_curl.h"
#include "net/http_url.h"

#include <fstream>
#include <unistd.h>

namespace quorvane
{

using namespace http_detail;

int HttpFetchToFile(const std::string& url, const std::filesystem::path& file, int& statusOut,
                    const HttpOptions& options, std::size_t maxBytes)
{
    statusOut = 0;
    std::error_code ec;
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path(), ec);
    std::filesystem::remove(file, ec);

    UrlParts parts;
    if (!SplitUrl(url, parts) || (parts.scheme != "http" && parts.scheme != "https"))
        return kHttpFailed;
    const CurlHandle curl = newCurl();
    if (!curl)
        return kHttpFailed;
    BodySink sink{{}, maxBytes};
    const CurlHeaderList headers({"Cache-Control: no-cache", "Pragma: no-cache"});
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    // A stalled answer ends once nothing arrived for the stall time.
    const long stallSeconds = std::max<long>(1, static_cast<long>(options.stallTimeout.count() / 1000));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.trustFile.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, options.trustFile.c_str());
    collectBodyInto(c, sink);
    const CURLcode code = curl_easy_perform(c);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    if (code == CURLE_OPERATION_TIMEDOUT)
        return kHttpTimedOut;
    if (code != CURLE_OK)
        return kHttpFailed;
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    statusOut = static_cast<int>(status);
    if (status != 200)
        return kHttpAnswered;

    std::filesystem::path temp = file;
    temp += ".";
    temp += std::to_string(::getpid());
    temp += ".part";
    bool ok;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(sink.body.data(), static_cast<std::streamsize>(sink.body.size()));
        out.flush();
        ok = static_cast<bool>(out);
    }
    if (ok)
        std::filesystem::rename(temp, file, ec);
    if (!ok || ec) {
        std::filesystem::remove(temp, ec);
        return kHttpFailed;
    }
    return kHttpAnswered;
}

} // namespace quorvane
