#include "net/http_url.h"

#include <algorithm>
#include <cctype>

namespace quorvane
{
namespace
{

bool hasControl(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

std::uint16_t defaultPort(const std::string& scheme)
{
    if (scheme == "https")
        return 443;
    if (scheme == "ftp")
        return 21;
    return 80;
}

} // namespace

std::string PercentEncode(std::string_view text, bool (*encode)(unsigned char))
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (encode(b)) {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

bool SplitUrl(std::string_view url, UrlParts& out)
{
    if (hasControl(url))
        return false;
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos || schemeEnd == 0)
        return false;
    std::string scheme(url.substr(0, schemeEnd));
    for (char& c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    std::string_view rest = url.substr(schemeEnd + 3);
    const auto fragment = rest.find('#');
    if (fragment != std::string_view::npos)
        rest = rest.substr(0, fragment);
    const auto authorityEnd = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view path = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);

    const auto at = authority.rfind('@');
    if (at != std::string_view::npos)
        authority = authority.substr(at + 1);

    std::string_view host;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return false;
            port = after.substr(1);
        }
    } else {
        const auto colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos)
            port = authority.substr(colon + 1);
    }
    // Brackets belong only around an IPv6 literal: a stray one would make a
    // Host header that reads back as another host, or as none.
    if (host.empty() || host.find_first_of(" /\\[]") != std::string_view::npos)
        return false;

    std::uint16_t portNumber = defaultPort(scheme);
    if (!port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        const int value = std::stoi(std::string(port));
        if (value < 1 || value > 65535)
            return false;
        portNumber = static_cast<std::uint16_t>(value);
    }

    out.scheme = std::move(scheme);
    out.host = std::string(host);
    out.port = portNumber;
    out.path.clear();
    if (path.empty() || path.front() == '?')
        out.path.push_back('/');
    out.path += PercentEncode(path, [](unsigned char b) { return b == ' ' || b > 0x7E; });
    return true;
}

std::string HostHeaderValue(const UrlParts& url, bool withPort)
{
    const bool literal6 = url.host.find(':') != std::string::npos;
    std::string value;
    if (literal6)
        value.push_back('[');
    value += url.host;
    if (literal6)
        value.push_back(']');
    if (withPort) {
        value.push_back(':');
        value += std::to_string(url.port);
    }
    return value;
}

} // namespace quorvane
