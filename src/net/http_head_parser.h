#pragma once
// A response head parser that never touches a socket: bytes go in, it says
// whether it needs more, is done, or the head outgrew its limit. The socket
// clients feed it what they received, the libcurl clients header lines.
//
// One object per response head; not shared between threads.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane
{

class HttpHeadParser
{
public:
    enum class State { NeedMore, Done, TooLarge };

    // The socket clients read at most this many head bytes: room for the
    // cookies and the like of real web servers, which often pass 1 KiB.
    static constexpr std::size_t kSocketHeadLimit = 16 * 1024;

    // `limit`: the most bytes a head may have, its closing empty line included.
    explicit HttpHeadParser(std::size_t limit = kSocketHeadLimit);

    State feed(char byte);
    // Takes bytes up to the end of the head and no further; `consumed` tells
    // how many were taken (what follows belongs to the body).
    State feed(std::string_view bytes, std::size_t& consumed);
    State state() const { return m_state; }
    void reset();

    // The raw head bytes taken so far.
    std::string_view raw() const { return m_raw; }

    // Meaningful once state() is Done.
    // The status code of a "HTTP/<version> <3 digits>" first line; 0 when the
    // first line is anything else.
    int statusCode() const { return m_status; }
    bool isSuccess() const { return m_status >= 200 && m_status <= 299; }
    // The first field of that name (case-insensitive), value without the
    // blanks around it.
    std::optional<std::string_view> field(std::string_view name) const;
    const std::vector<std::pair<std::string, std::string>>& fields() const { return m_fields; }
    // The first Content-Length field read as a decimal number (leading blanks
    // allowed, reading stops at the first non-digit). 0 when the field is
    // absent, has no digits, is negative or does not fit 63 bits.
    std::int64_t contentLength() const;

private:
    void parse();

    std::size_t m_limit;
    State m_state = State::NeedMore;
    std::string m_raw;
    int m_status = 0;
    std::vector<std::pair<std::string, std::string>> m_fields;
};

} // namespace quorvane
