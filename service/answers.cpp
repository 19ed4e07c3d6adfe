#include "answers.h"

#include <cstdio>

namespace refsvc
{

std::string loginSuccessAnswer(const User& user, const std::string& peerAddress)
{
    const std::string& address = user.address == "*" ? peerAddress : user.address;
    std::string answer = "true-" + user.id + "-" + user.nickname + "-" + address + "-";
    if (!user.location1.empty() || !user.location2.empty())
        answer += user.location1 + " " + user.location2 + "-";
    return answer;
}

std::string scoreAnswer(long long total, long long bandwidth, long long experience)
{
    return std::to_string(total) + "," + std::to_string(bandwidth) + "," + std::to_string(experience) + ",";
}

std::string keyAnswer(char status, const std::string& key)
{
    return std::string(1, status) + "," + key;
}

std::string httpDate(std::time_t t)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday % 7], tm.tm_mday,
                  months[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

namespace
{

void skipBlanks(const std::string& s, std::size_t& i)
{
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
}

// Reads decimal digits; false when there are none or they overflow.
bool readNumber(const std::string& s, std::size_t& i, std::uint64_t& out)
{
    const std::size_t begin = i;
    out = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        const std::uint64_t digit = static_cast<std::uint64_t>(s[i] - '0');
        if (out > (UINT64_MAX - digit) / 10)
            return false;
        out = out * 10 + digit;
        ++i;
    }
    return i > begin;
}

} // namespace

ByteRange parseRange(const std::string& header, std::uint64_t total)
{
    ByteRange whole;
    std::size_t i = 0;
    skipBlanks(header, i);
    if (header.compare(i, 6, "bytes=") != 0)
        return whole;
    i += 6;
    skipBlanks(header, i);
    std::uint64_t first = 0, last = 0;
    bool hasFirst = false, hasLast = false;
    if (i < header.size() && header[i] != '-') {
        if (!readNumber(header, i, first))
            return whole;
        hasFirst = true;
    }
    skipBlanks(header, i);
    if (i >= header.size() || header[i] != '-')
        return whole;
    ++i;
    skipBlanks(header, i);
    if (i < header.size() && header[i] >= '0' && header[i] <= '9') {
        if (!readNumber(header, i, last))
            return whole;
        hasLast = true;
    }
    skipBlanks(header, i);
    if (i != header.size()) // a list of ranges, or trailing junk
        return whole;

    ByteRange r;
    if (!hasFirst) {
        if (!hasLast)
            return whole;
        // Suffix: the last N bytes.
        if (last == 0 || total == 0) {
            r.kind = ByteRange::Unsatisfiable;
            return r;
        }
        r.kind = ByteRange::Partial;
        r.first = last >= total ? 0 : total - last;
        r.last = total - 1;
        return r;
    }
    if (hasLast && last < first)
        return whole; // syntactically invalid: ignored
    if (first >= total) {
        r.kind = ByteRange::Unsatisfiable;
        return r;
    }
    r.kind = ByteRange::Partial;
    r.first = first;
    r.last = (!hasLast || last >= total) ? total - 1 : last;
    return r;
}

std::string contentRange(const ByteRange& range, std::uint64_t total)
{
    if (range.kind == ByteRange::Unsatisfiable)
        return "bytes */" + std::to_string(total);
    return "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/" + std::to_string(total);
}

std::string decodeFormComponent(const std::string& text)
{
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::string> formValue(const std::string& body, const std::string& key)
{
    std::size_t start = 0;
    while (start <= body.size()) {
        auto amp = body.find('&', start);
        if (amp == std::string::npos)
            amp = body.size();
        const std::string pair = body.substr(start, amp - start);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == key)
            return eq == std::string::npos ? std::string() : decodeFormComponent(pair.substr(eq + 1));
        start = amp + 1;
    }
    return std::nullopt;
}

std::string redactSecrets(const std::string& target)
{
    const auto question = target.find('?');
    if (question == std::string::npos)
        return target;
    std::string out = target.substr(0, question + 1);
    std::size_t start = question + 1;
    while (start <= target.size()) {
        auto amp = target.find('&', start);
        if (amp == std::string::npos)
            amp = target.size();
        const std::string pair = target.substr(start, amp - start);
        const auto eq = pair.find('=');
        const std::string key = decodeFormComponent(pair.substr(0, eq));
        if (eq != std::string::npos && (key == "p" || key == "pw" || key == "password"))
            out += pair.substr(0, eq) + "=***";
        else
            out += pair;
        if (amp < target.size())
            out += '&';
        start = amp + 1;
    }
    return out;
}

std::string htmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace refsvc
