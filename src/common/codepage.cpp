#include "common/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace quorvane
{
namespace
{

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// Length of the valid UTF-8 sequence starting at s[i], or 0 when invalid.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i)
{
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    unsigned int min = 0;
    unsigned int cp = 0;
    if (b0 < 0x80)
        return 1;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// A converter for the pair, in its initial state. Opening one looks up and
// loads tables, which costs far more than converting a short text, so each
// thread keeps the converters it opened until it ends.
iconv_t converter(const char* to, const char* from)
{
    struct Open {
        std::string to;
        std::string from;
        iconv_t cd;
    };
    struct Cache {
        std::vector<Open> open;
        ~Cache()
        {
            for (const Open& o : open)
                iconv_close(o.cd);
        }
    };
    thread_local Cache cache;
    for (const Open& o : cache.open) {
        if (o.to == to && o.from == from) {
            iconv(o.cd, nullptr, nullptr, nullptr, nullptr);
            return o.cd;
        }
    }
    iconv_t cd = iconv_open(to, from);
    if (cd != reinterpret_cast<iconv_t>(-1))
        cache.open.push_back({to, from, cd});
    return cd;
}

// Runs iconv over the whole input. A character that is invalid or that the
// target cannot hold is skipped and `replacement` written in its place; an
// incomplete character at the very end becomes one replacement.
std::optional<std::string> convert(const char* to, const char* from, std::string_view in, std::string_view replacement)
{
    iconv_t cd = converter(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    const bool fromUtf8 = std::strcmp(from, "UTF-8") == 0;
    std::string out;
    out.reserve(in.size() * 2);
    std::vector<char> buf(4096);
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    while (inLeft > 0) {
        char* outPtr = buf.data();
        std::size_t outLeft = buf.size();
        const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buf.data(), buf.size() - outLeft);
        if (rc != static_cast<std::size_t>(-1) || errno == E2BIG)
            continue;
        out.append(replacement);
        if (errno == EINVAL)
            break;
        // A valid UTF-8 character that GBK lacks is skipped whole; otherwise
        // one byte, so that an ASCII byte after a broken lead byte survives.
        std::size_t step = fromUtf8 ? utf8SequenceLength(std::string_view(inPtr, inLeft), 0) : 1;
        if (step == 0)
            step = 1;
        inPtr += step;
        inLeft -= step;
    }
    char* outPtr = buf.data();
    std::size_t outLeft = buf.size();
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buf.data(), buf.size() - outLeft);
    return out;
}

} // namespace

std::string utf8ToGbk(std::string_view utf8)
{
    return convert("GBK", "UTF-8", utf8, "?").value_or(std::string(utf8));
}

std::optional<std::string> tryUtf8ToGbk(std::string_view utf8)
{
    return convert("GBK", "UTF-8", utf8, "?");
}

std::string gbkToUtf8(std::string_view gbk)
{
    return convert("UTF-8", "GBK", gbk, kReplacement).value_or(std::string(gbk));
}

bool isValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = utf8SequenceLength(text, i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::string sanitizeUtf8(std::string_view text)
{
    // Nearly all text is valid already: checking is far cheaper than copying
    // it piece by piece.
    if (isValidUtf8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = utf8SequenceLength(text, i);
        if (len == 0) {
            out.append(kReplacement);
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string_view truncateUtf8(std::string_view utf8, std::size_t maxBytes)
{
    if (utf8.size() <= maxBytes)
        return utf8;
    std::size_t cut = maxBytes;
    // Step back over continuation bytes to the start of the character that
    // would be split. A character has at most three of them; a longer run is
    // not UTF-8, and cutting there splits nothing worth keeping whole.
    for (int steps = 0; steps < 3 && cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80; ++steps)
        --cut;
    if ((static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80)
        cut = maxBytes;
    return utf8.substr(0, cut);
}

} // namespace quorvane
