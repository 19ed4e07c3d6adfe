#include "platform/autostart.h"
#include "platform/escape.h"
#include "platform/executable.h"

#include "platform/registry_store.h"

#include "common/durable_file.h"

#include <unistd.h>

#include <cstdlib>

namespace quorvane::platform
{
namespace
{

// An Exec argument: in double quotes with ", `, $ and \ escaped by a
// backslash; "%" doubled, since field codes start with it.
std::string quoteExecArgument(const std::string& argument)
{
    std::string out = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            out.push_back('\\');
        if (c == '%')
            out.push_back('%');
        out.push_back(c);
    }
    return out + "\"";
}

// Every value of a desktop entry is a string in which backslash starts an
// escape; the quoted Exec line passes through that layer first.
std::string escapeString(const std::string& value)
{
    return backslashEscape(value, "\n\t\r");
}

} // namespace

std::string autostartEntryText(const std::filesystem::path& executable)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quorvane\n"
           "Exec=" +
           escapeString(quoteExecArgument(executable.string())) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::filesystem::path autostartProgram(const std::function<const char*(const char*)>& env)
{
    const char* launcher = env ? env("QUORVANE_LAUNCHER") : std::getenv("QUORVANE_LAUNCHER");
    if (launcher && *launcher == '/' && ::access(launcher, X_OK) == 0)
        return launcher;
    return currentExecutablePath();
}

XdgAutoStart::XdgAutoStart(std::filesystem::path entryFile) : m_file(std::move(entryFile)) {}

std::filesystem::path XdgAutoStart::defaultEntryPath()
{
    return userConfigDirectory() / "autostart" / "Quorvane-c.desktop";
}

bool XdgAutoStart::enable(const std::filesystem::path& executable)
{
    std::error_code ec;
    std::filesystem::create_directories(m_file.parent_path(), ec);
    return writeFileDurably(m_file, autostartEntryText(executable));
}

bool XdgAutoStart::disable()
{
    std::error_code ec;
    std::filesystem::remove(m_file, ec);
    return !std::filesystem::exists(std::filesystem::symlink_status(m_file, ec));
}

bool XdgAutoStart::isEnabled() const
{
    return ::access(m_file.c_str(), R_OK) == 0;
}

} // namespace quorvane::platform
