#pragma once
// Splitting of absolute URLs into what a request needs. Pure functions; any
// thread.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane
{

struct UrlParts {
    std::string scheme; // lower case: "http", "https", "ftp", ...
    std::string host;   // without brackets for an IPv6 literal, without user info
    std::uint16_t port = 0;
    std::string path; // path with query, never empty ("/" at least), no fragment
};

// Splits "scheme://[user[:password]@]host[:port][/path][?query][#fragment]".
// A URL without a port gets the scheme's usual one (443 for https, 21 for
// ftp, 80 for everything else). Fails (false, `out` unspecified) without a
// scheme or host, with a port outside 1..65535, or with control characters
// anywhere, so that nothing taken from a URL can break a request line.
// Spaces and bytes above 0x7E in the path are percent-encoded.
bool SplitUrl(std::string_view url, UrlParts& out);

// `text` with each byte for which `encode(byte)` holds written as "%XX"
// (upper-case hex digits), the other bytes as they are.
std::string PercentEncode(std::string_view text, bool (*encode)(unsigned char));

// The authority as a Host header writes it: the host, with brackets for an
// IPv6 literal, and ":port" only when `withPort`.
std::string HostHeaderValue(const UrlParts& url, bool withPort);

} // namespace quorvane
