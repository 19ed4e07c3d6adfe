#pragma once
// Numbers in configuration files and documents are read the C way: leading
// blanks, an optional sign, then as many digits as there are; no digits reads
// 0. Values beyond the type's range saturate instead of overflowing.
#include <string_view>

namespace quorvane
{

long long parseLeadingInteger(std::string_view text);

// atoi semantics, clamped to int.
int parseLeadingInt(std::string_view text);

// atol semantics, clamped to long.
long atolValue(std::string_view text);

} // namespace quorvane
