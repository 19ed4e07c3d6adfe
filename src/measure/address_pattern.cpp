#include "measure/address_pattern.h"

#include <boost/regex.hpp>

#include <stdexcept>

namespace quorvane::measure
{

namespace
{

// The "&amp;" inside the bracket expressions stands as written: it admits
// '&', 'a', 'm', 'p' and ';', which sites accepted once rely on.
const char* const kAddressPattern = "^((http|ftp|https):\\/\\/)?[\\w\\-_]+(\\.[\\w\\-_]+)+([\\w\\-\\.,@?^=%&amp;:/"
                                    "~\\+#]*[\\w\\-\\@?^=%&amp;/~\\+#])?";

bool holdsControl(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            return true;
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        // U+0080..U+009F in UTF-8.
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F)
            return true;
        // U+2028 and U+2029, the line and paragraph separators.
        if (c == 0xE2 && next == 0x80 && i + 2 < text.size() &&
            (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9))
            return true;
    }
    return false;
}

} // namespace

bool PassesAddressPattern(const std::string& address)
{
    if (holdsControl(address))
        return false;
    static const boost::regex pattern(kAddressPattern, boost::regex::perl);
    try {
        // "^" is the start of the text only, never of a later line.
        return boost::regex_search(address, pattern, boost::match_single_line);
    } catch (const std::runtime_error&) {
        return false; // too complex to decide: not an address
    }
}

} // namespace quorvane::measure
