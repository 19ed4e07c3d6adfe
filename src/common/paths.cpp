#include "common/paths.h"

#include <string>

namespace quorvane
{

std::filesystem::path programPath(std::string_view designPath)
{
    std::filesystem::path out;
    std::string component;
    auto flush = [&] {
        if (component.empty() || component == ".") {
        } else if (component == ".." || (component.size() == 2 && component[1] == ':' && out.empty())) {
            // ".." and "C:" never name anything below the program directory.
        } else {
            out /= component;
        }
        component.clear();
    };
    for (char c : designPath) {
        if (c == '\\' || c == '/')
            flush();
        else if (c != '\0')
            component.push_back(c);
    }
    flush();
    if (out.empty())
        return ".";
    // Keep a trailing separator ("tmp//") meaningful to callers that append names.
    if (!designPath.empty() && (designPath.back() == '/' || designPath.back() == '\\'))
        out /= "";
    return out;
}

std::filesystem::path programPath(const std::filesystem::path& base, std::string_view designPath)
{
    return base / programPath(designPath);
}

} // namespace quorvane
