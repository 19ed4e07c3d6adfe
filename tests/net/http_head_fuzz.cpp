// Fuzz target for the response head parser and the URL splitter (libFuzzer;
// built by tests/fuzz in the Clang fuzz build). Checks what must hold for any input:
// the limit is kept, feeding byte by byte and in bulk agree, and nothing a
// split URL yields can break a request line.
#include "net/http_head_parser.h"
#include "net/http_url.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t limit = size % 2 ? HttpHeadParser::kSocketHeadLimit : 64;

    HttpHeadParser bytewise(limit);
    for (char c : input)
        bytewise.feed(c);
    HttpHeadParser bulk(limit);
    std::size_t consumed = 0;
    bulk.feed(input, consumed);

    if (bytewise.state() != bulk.state() || bytewise.raw() != bulk.raw() || bulk.raw().size() > limit ||
        consumed != bulk.raw().size())
        std::abort();
    if (bulk.state() == HttpHeadParser::State::Done) {
        if (bulk.contentLength() < 0 || bulk.statusCode() != bytewise.statusCode() ||
            (bulk.statusCode() != 0 && (bulk.statusCode() < 100 || bulk.statusCode() > 999)) ||
            bulk.fields() != bytewise.fields())
            std::abort();
    }

    UrlParts url;
    if (SplitUrl(input, url)) {
        for (const std::string* part : {&url.host, &url.path}) {
            for (char c : *part) {
                const auto b = static_cast<unsigned char>(c);
                if (b < 0x20 || b == 0x7F || (part == &url.path && (b == ' ' || b > 0x7E)))
                    std::abort();
            }
        }
        if (url.host.empty() || url.path.empty() || url.path.front() != '/' || url.port == 0)
            std::abort();
    }
    return 0;
}
