#include "platform/escape.h"

namespace quorvane::platform
{

std::string backslashEscape(std::string_view value, std::string_view controls)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        const char* escaped = c == '\\' ? "\\\\" : nullptr;
        if (controls.find(c) != std::string_view::npos)
            escaped = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
        if (escaped)
            out += escaped;
        else
            out.push_back(c);
    }
    return out;
}

} // namespace quorvane::platform
