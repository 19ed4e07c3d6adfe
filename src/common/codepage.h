#pragma once
// The one place where text changes code page. Inside the program every
// std::string is UTF-8; the service reads and computes on GBK (result records,
// the login name bytes, the bytes under the password digest and under the
// value cipher). Nothing else in the code base calls iconv.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane
{

// UTF-8 to GBK. Characters GBK cannot hold become '?'; invalid UTF-8 bytes
// likewise. Never throws.
std::string utf8ToGbk(std::string_view utf8);

// The same, but nothing when the GBK converter cannot be opened, where
// utf8ToGbk passes the text through unchanged. For bytes that must never go
// out in the wrong code page.
std::optional<std::string> tryUtf8ToGbk(std::string_view utf8);

// GBK to UTF-8. Invalid GBK sequences become U+FFFD. Never throws.
std::string gbkToUtf8(std::string_view gbk);

// Returns the text with every invalid UTF-8 sequence replaced by U+FFFD, so
// that text from outside (server answers, XML) can be trusted to be UTF-8.
std::string sanitizeUtf8(std::string_view text);

// True when the text is valid UTF-8.
bool isValidUtf8(std::string_view text);

// The longest prefix of a UTF-8 text of at most maxBytes bytes that does not
// split a character.
std::string_view truncateUtf8(std::string_view utf8, std::size_t maxBytes);

} // namespace quorvane
