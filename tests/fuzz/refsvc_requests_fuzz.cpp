// What clients send the reference service: form bodies, Range headers,
// multipart uploads, run-time mode switches and the command line.
#include "answers.h"
#include "behaviour.h"
#include "options.h"
#include "upload_counter.h"

#include "fuzz/fuzz_support.h"

#include <cstdint>
#include <string>
#include <vector>

using namespace refsvc;

namespace
{

void ranges(const std::string& header, std::uint64_t total)
{
    const ByteRange r = parseRange(header, total);
    if (r.kind == ByteRange::Partial) {
        FUZZ_REQUIRE(r.first <= r.last && r.last < total);
        contentRange(r, total);
    }
}

// The payload count must not depend on how the body is cut into pieces.
void upload(const std::string& contentType, const std::string& body, std::size_t cut)
{
    const std::string boundary = multipartBoundary(contentType);
    UploadCounter whole(boundary), pieces(boundary);
    whole.feed(body.data(), body.size());
    for (std::size_t at = 0; at < body.size(); at += cut)
        pieces.feed(body.data() + at, std::min(cut, body.size() - at));
    whole.finish();
    pieces.finish();
    FUZZ_REQUIRE(whole.bodyBytes() == body.size() && pieces.bodyBytes() == body.size());
    FUZZ_REQUIRE(whole.payloadBytes() == pieces.payloadBytes());
    FUZZ_REQUIRE(whole.payloadBytes() <= body.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const unsigned selector = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (selector % 5) {
    case 0: {
        formValue(text, "u");
        formValue(text, "");
        const std::string decoded = decodeFormComponent(text);
        FUZZ_REQUIRE(decoded.size() <= text.size());
        htmlEscape(decoded);
        break;
    }
    case 1:
        for (std::uint64_t total : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{3000}, UINT64_MAX})
            ranges(text, total);
        break;
    case 2: {
        const auto split = text.find('\n');
        upload(text.substr(0, split), split == std::string::npos ? "" : text.substr(split + 1), 1 + selector % 7);
        break;
    }
    case 3:
        for (auto kind : {SwitchKind::Login, SwitchKind::Key, SwitchKind::PortalKey, SwitchKind::Clock}) {
            ModeSwitch sw(kind, Mode{"normal", 0});
            std::string why;
            if (sw.set(text, &why))
                FUZZ_REQUIRE(sw.get().delayMs >= 0);
            else
                FUZZ_REQUIRE(!why.empty());
        }
        break;
    case 4: {
        std::vector<std::string> args;
        std::string current;
        for (char c : text) {
            if (c == '\0') {
                args.push_back(current);
                current.clear();
            } else {
                current += c;
            }
        }
        args.push_back(current);
        parseOptions(args);
        parseSize(text);
        parseMegabits(text);
        parseEndpoint(text, 8080);
        break;
    }
    }
    return 0;
}
