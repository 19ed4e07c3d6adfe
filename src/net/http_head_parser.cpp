#include "net/http_head_parser.h"

#include "common/text.h"

#include <algorithm>
#include <limits>

namespace quorvane
{
namespace
{

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "HTTP/<digits>.<digits> <3 digits>" followed by the end or a blank.
int parseStatusLine(std::string_view line)
{
    if (line.substr(0, 5) != "HTTP/")
        return 0;
    const auto space = line.find(' ');
    if (space == std::string_view::npos)
        return 0;
    std::string_view code = line.substr(space + 1);
    if (code.size() < 3 || code[0] < '1' || code[0] > '9' || !isDigit(code[1]) || !isDigit(code[2]))
        return 0;
    if (code.size() > 3 && code[3] != ' ')
        return 0;
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

} // namespace

HttpHeadParser::HttpHeadParser(std::size_t limit) : m_limit(limit)
{
    m_raw.reserve(std::min<std::size_t>(limit, 4096));
}

void HttpHeadParser::reset()
{
    m_state = State::NeedMore;
    m_raw.clear();
    m_status = 0;
    m_fields.clear();
}

HttpHeadParser::State HttpHeadParser::feed(char byte)
{
    if (m_state != State::NeedMore)
        return m_state;
    if (m_raw.size() >= m_limit) {
        m_state = State::TooLarge;
        return m_state;
    }
    m_raw.push_back(byte);
    if (byte == '\n' && m_raw.size() >= 4 && m_raw.compare(m_raw.size() - 4, 4, "\r\n\r\n") == 0) {
        m_state = State::Done;
        parse();
    } else if (m_raw.size() >= m_limit) {
        m_state = State::TooLarge;
    }
    return m_state;
}

HttpHeadParser::State HttpHeadParser::feed(std::string_view bytes, std::size_t& consumed)
{
    consumed = 0;
    while (consumed < bytes.size() && m_state == State::NeedMore)
        feed(bytes[consumed++]);
    return m_state;
}

void HttpHeadParser::parse()
{
    std::string_view rest(m_raw);
    rest.remove_suffix(2); // the closing empty line
    bool first = true;
    while (!rest.empty()) {
        const auto end = rest.find("\r\n");
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
        if (first) {
            m_status = parseStatusLine(line);
            first = false;
            continue;
        }
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            // A folded continuation of the previous field.
            if (!m_fields.empty()) {
                m_fields.back().second += ' ';
                m_fields.back().second += trimmed(line, kBlanks);
            }
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            continue;
        m_fields.emplace_back(std::string(trimmed(line.substr(0, colon), kBlanks)),
                              std::string(trimmed(line.substr(colon + 1), kBlanks)));
    }
}

std::optional<std::string_view> HttpHeadParser::field(std::string_view name) const
{
    for (const auto& [key, value] : m_fields) {
        if (equalsIgnoreCase(key, name))
            return std::string_view(value);
    }
    return std::nullopt;
}

std::int64_t HttpHeadParser::contentLength() const
{
    const auto value = field("Content-Length");
    if (!value)
        return 0;
    std::int64_t length = 0;
    std::size_t i = 0;
    if (i == value->size() || !isDigit((*value)[i]))
        return 0;
    for (; i < value->size() && isDigit((*value)[i]); ++i) {
        const int digit = (*value)[i] - '0';
        if (length > (std::numeric_limits<std::int64_t>::max() - digit) / 10)
            return 0;
        length = length * 10 + digit;
    }
    return length;
}

} // namespace quorvane
