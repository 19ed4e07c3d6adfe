#pragma once
#include <string>
#include <string_view>

namespace quorvane
{

// MD5 (RFC 1321) of the bytes, as 32 lower-case hexadecimal digits.
std::string md5Hex(std::string_view bytes);

// MD5 of a regular file's contents; empty when it cannot be read.
std::string md5HexOfFile(const std::string& path);

} // namespace quorvane
