#pragma once
// Paths as the configuration and the rest of the program write them
// ("conf\config.properties", "Config//settings.xml", "tmp//") name files under
// the program directory, which start-up makes the working directory.
#include <filesystem>
#include <string_view>

namespace quorvane
{

// Turns such a path into a relative path under the program directory:
// backslashes and doubled slashes become single separators, and components
// that would leave the directory (a leading "/", a drive letter, "..") are
// dropped, so a name that came from outside (a user id from the service, a
// file name from a manifest) can never point elsewhere. An empty or wholly
// dropped path gives ".".
std::filesystem::path programPath(std::string_view designPath);

// The same path joined to an explicit base directory.
std::filesystem::path programPath(const std::filesystem::path& base, std::string_view designPath);

} // namespace quorvane
