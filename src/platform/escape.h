#pragma once
// Backslash escaping shared by the text stores of this layer (the registry
// INI file, desktop entries), so a value can never start a new line there.
#include <string>
#include <string_view>

namespace quorvane::platform
{

// Doubles every backslash and writes each control character listed in
// `controls` (any of '\n', '\r', '\t') as backslash-n, -r or -t.
std::string backslashEscape(std::string_view value, std::string_view controls);

} // namespace quorvane::platform
