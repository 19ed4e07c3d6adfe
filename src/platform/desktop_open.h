#pragma once
// Handing a page or a file to the user's desktop: its browser for the
// service's pages, its viewer for the help. xdg-open picks the program the
// user chose, whatever the desktop.
#include "platform/processes.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform
{

// The arguments xdg-open gets for `url`, or nothing when it must not be
// handed over. Only http:, https: and file: addresses go: the text comes
// from the configuration and from the service, and anything else (a text
// starting with "-" would reach xdg-open as an option, a "javascript:" or
// a scheme of some other program) is not for the desktop to run.
std::optional<std::vector<std::string>> desktopOpenArguments(std::string_view url);

// Starts xdg-open for `url`, detached (it may stay until the browser ends).
// False when the address is refused or xdg-open cannot be started.
bool openWithDesktop(std::string_view url, ProcessControl& processes);

// The first executable `name` on $PATH; empty when none.
std::filesystem::path findOnPath(std::string_view name);

} // namespace quorvane::platform
