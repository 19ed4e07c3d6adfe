#include "platform/desktop_open.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace quorvane::platform
{

std::optional<std::vector<std::string>> desktopOpenArguments(std::string_view url)
{
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    std::string scheme(url.substr(0, colon));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (scheme != "http" && scheme != "https" && scheme != "file")
        return std::nullopt;
    // A line break or another control character has no place in an address
    // and would split it on its way through a desktop entry's Exec line.
    if (std::any_of(url.begin(), url.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
        return std::nullopt;
    const std::string_view rest = url.substr(colon + 1);
    if (rest.empty() || (scheme != "file" && !rest.starts_with("//")))
        return std::nullopt;
    return std::vector<std::string>{std::string(url)};
}

std::filesystem::path findOnPath(std::string_view name)
{
    const char* path = std::getenv("PATH");
    std::string_view rest = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t end = rest.find(':');
        const std::string_view folder = rest.substr(0, end);
        if (!folder.empty() && folder.front() == '/') {
            const std::filesystem::path candidate = std::filesystem::path(folder) / name;
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        if (end == std::string_view::npos)
            return {};
        rest.remove_prefix(end + 1);
    }
}

bool openWithDesktop(std::string_view url, ProcessControl& processes)
{
    const auto args = desktopOpenArguments(url);
    if (!args)
        return false;
    const std::filesystem::path program = findOnPath("xdg-open");
    if (program.empty())
        return false;
    std::error_code ec;
    std::filesystem::path home = std::getenv("HOME") ? std::getenv("HOME") : "/";
    if (!std::filesystem::is_directory(home, ec))
        home = "/";
    return processes.startDetached(program, *args, home).has_value();
}

} // namespace quorvane::platform
