#pragma once
// The configuration value cipher: single DES, ECB, zero padding, cipher text
// as upper-case hexadecimal. Keeps a few configuration values (service host,
// stored credentials, upload credentials) from being read or edited directly
// in the files. It is obfuscation against casual reading, not protection
// against anyone who has the program.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane
{

// The key text every enciphered value of the installation is written with.
inline constexpr std::string_view kValueKey = "5tg;6yh/";

// Enciphers a UTF-8 value. The bytes under the cipher are the value in GBK,
// so values enciphered by other tools of the service read back. Returns ""
// when the key is not exactly 8 bytes.
std::string encryptValue(std::string_view plainUtf8, std::string_view keyText);

// Deciphers to UTF-8. Lower-case digits are accepted. The plain text ends at
// its first zero byte. Cipher text that is not a whole number of 16-digit
// blocks of hex digits yields "" (nothing is guessed from a damaged value).
// Returns "" when the key is not exactly 8 bytes.
std::string decryptValue(std::string_view cipherHex, std::string_view keyText);

// True when the text is a whole number of 16-digit blocks of hex digits (of
// either case): the only cipher text decryptValue deciphers. The empty text
// is well formed (it is the cipher text of the empty value).
bool isWellFormedCipherText(std::string_view cipherHex);

namespace des
{
using Block = std::array<std::uint8_t, 8>;
using RoundKeys = std::array<std::uint64_t, 16>; // 48-bit subkeys

RoundKeys schedule(const Block& key);
Block encryptBlock(const Block& in, const RoundKeys& keys);
Block decryptBlock(const Block& in, const RoundKeys& keys);
} // namespace des

} // namespace quorvane
