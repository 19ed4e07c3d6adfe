#pragma once
// The short English words of the engines' outcomes, for logs and the command
// line: one table of (value, word) per kind, looked up the same way.
#include <cstddef>
#include <utility>

namespace quorvane::measure
{

// "unknown" for a value the table lacks.
template <typename E, std::size_t N> const char* WordOf(const std::pair<E, const char*> (&words)[N], E value)
{
    for (const auto& [e, word] : words) {
        if (e == value)
            return word;
    }
    return "unknown";
}

} // namespace quorvane::measure
