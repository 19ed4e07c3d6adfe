// URLs come from the configuration and from the service's answers. Whatever
// SplitUrl accepts must make a request line and a Host header that nothing
// can break, and must read back the same from what a request sends.
#include "fuzz/fuzz_support.h"
#include "net/http_url.h"

#include <cstdint>
#include <string_view>

using namespace quorvane;

namespace
{

bool safeForRequestLine(const std::string& text, bool isPath)
{
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || (isPath && (b == ' ' || b > 0x7E)))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view url(reinterpret_cast<const char*>(data), size);
    UrlParts parts;
    if (!SplitUrl(url, parts))
        return 0;
    FUZZ_REQUIRE(!parts.scheme.empty() && !parts.host.empty() && parts.port != 0);
    FUZZ_REQUIRE(!parts.path.empty() && parts.path.front() == '/');
    FUZZ_REQUIRE(parts.path.find('#') == std::string::npos);
    FUZZ_REQUIRE(safeForRequestLine(parts.host, false) && safeForRequestLine(parts.path, true));
    const std::string hostHeader = HostHeaderValue(parts, true);
    FUZZ_REQUIRE(hostHeader.find_first_of(" /\\@") == std::string::npos);

    // The URL a client rebuilds from the parts (the upload's target) names
    // the same place.
    UrlParts again;
    FUZZ_REQUIRE(SplitUrl(parts.scheme + "://" + hostHeader + parts.path, again));
    FUZZ_REQUIRE(again.scheme == parts.scheme && again.host == parts.host && again.port == parts.port &&
                 again.path == parts.path);
    return 0;
}
