#include "common/numbers.h"

#include <climits>

namespace quorvane
{

long long parseLeadingInteger(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value > (LLONG_MAX - digit) / 10)
            return negative ? LLONG_MIN : LLONG_MAX;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

namespace
{
template <typename T> T clampTo(long long value, T low, T high)
{
    return value < low ? low : value > high ? high : static_cast<T>(value);
}
} // namespace

int parseLeadingInt(std::string_view text)
{
    return clampTo<int>(parseLeadingInteger(text), INT_MIN, INT_MAX);
}

long atolValue(std::string_view text)
{
    return clampTo<long>(parseLeadingInteger(text), LONG_MIN, LONG_MAX);
}

} // namespace quorvane
