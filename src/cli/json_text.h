#pragma once
// The JSON the commands print is written by hand; these keep its strings and
// numbers the same in every command.
#include <optional>
#include <string>

namespace quorvane::cli
{

// `text` as a JSON string, quotes included; control characters as \uXXXX.
std::string jsonString(const std::string& text);
// `v` with `decimals` places, or null when there is no value.
std::string jsonNumber(std::optional<double> v, int decimals);

} // namespace quorvane::cli
