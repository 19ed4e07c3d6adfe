#include "common/number_locale.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>

namespace quorvane
{

void pinNumericLocale()
{
    std::setlocale(LC_NUMERIC, "C");
}

std::string formatDecimal(double value, int decimals)
{
    if (!std::isfinite(value))
        value = 0;
    decimals = std::clamp(decimals, 0, 17);
    // Enough for the largest double in fixed notation with 17 decimals.
    char buf[340];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (ec != std::errc())
        return "0";
    return std::string(buf, end);
}

} // namespace quorvane
