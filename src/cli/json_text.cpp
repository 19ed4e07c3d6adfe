#include "cli/json_text.h"

#include "measure/bandwidth_figures.h"

#include <cstdio>

namespace quorvane::cli
{

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonNumber(std::optional<double> v, int decimals)
{
    return v ? measure::FormatFixed(*v, decimals) : "null";
}

} // namespace quorvane::cli
