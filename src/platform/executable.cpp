#include "platform/executable.h"

#include <climits>
#include <unistd.h>

namespace quorvane::platform
{

std::filesystem::path currentExecutablePath()
{
    char buf[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0)
        return {};
    std::string path(buf, static_cast<std::size_t>(n));
    // A program replaced on disk while it runs still knows its old place.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
        path.resize(path.size() - kDeleted.size());
    return path;
}

std::filesystem::path currentExecutableDirectory()
{
    return currentExecutablePath().parent_path();
}

std::string instanceNameOf(const std::filesystem::path& executable)
{
    return executable.filename().stem().string();
}

} // namespace quorvane::platform
