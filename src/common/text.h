#pragma once
// Small steps on byte text that several layers take the same way: the
// blanks around a value, names compared without regard to ASCII case, and
// a value kept on one line of a line-based file.
#include <string>
#include <string_view>

namespace quorvane
{

// Space and tab: the blanks around a field of a head or an INI line.
inline constexpr std::string_view kBlanks = " \t";
// Blanks and line ends: what surrounds a value typed or read from a file.
inline constexpr std::string_view kWhiteSpace = " \t\r\n";

// `text` without the characters of `blanks` at either end.
std::string_view trimmed(std::string_view text, std::string_view blanks = kWhiteSpace);

// Equal but for the case of ASCII letters; other bytes must match exactly.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// `value` with every CR and LF made a blank: in a file of one entry a line,
// a line end inside a value would start an entry of its own (a forged key).
std::string oneLine(std::string value);

} // namespace quorvane
