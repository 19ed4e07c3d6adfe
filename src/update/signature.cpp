#include "update/signature.h"

#include "common/text.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace quorvane::update
{
namespace
{

constexpr std::size_t kRawKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

KeyPtr readKey(std::string_view configured)
{
    KeyPtr none(nullptr, &EVP_PKEY_free);
    const auto bytes = decodeBase64(configured);
    if (!bytes)
        return none;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
    if (bytes->size() == kRawKeyBytes)
        return KeyPtr(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, data, kRawKeyBytes), &EVP_PKEY_free);
    const unsigned char* cursor = data;
    KeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(bytes->size())), &EVP_PKEY_free);
    // A key of another kind (RSA, another curve) is not ours to trust.
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519 || cursor != data + bytes->size())
        return none;
    return key;
}

std::optional<std::string> readSignature(const std::string& file)
{
    if (file.size() == kSignatureBytes)
        return file;
    auto decoded = decodeBase64(file);
    if (decoded && decoded->size() == kSignatureBytes)
        return decoded;
    return std::nullopt;
}

} // namespace

std::string_view describe(SignatureVerdict verdict)
{
    switch (verdict) {
    case SignatureVerdict::NotRequired:
        return "no release key configured";
    case SignatureVerdict::Valid:
        return "signature valid";
    case SignatureVerdict::Missing:
        return "signature missing";
    case SignatureVerdict::Invalid:
        return "signature invalid";
    case SignatureVerdict::BadKey:
        return "release key unreadable";
    }
    return "?";
}

bool signatureRequired(std::string_view configuredKey)
{
    const auto key = trimmed(configuredKey);
    return !key.empty() && key != "null";
}

SignatureVerdict checkManifestSignature(std::string_view configuredKey, std::string_view manifest,
                                        const std::optional<std::string>& signature)
{
    if (!signatureRequired(configuredKey))
        return SignatureVerdict::NotRequired;
    const KeyPtr key = readKey(configuredKey);
    if (!key)
        return SignatureVerdict::BadKey;
    if (!signature)
        return SignatureVerdict::Missing;
    const auto sig = readSignature(*signature);
    if (!sig)
        return SignatureVerdict::Invalid;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return SignatureVerdict::Invalid;
    const int ok = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig->data()), sig->size(),
                                    reinterpret_cast<const unsigned char*>(manifest.data()), manifest.size());
    return ok == 1 ? SignatureVerdict::Valid : SignatureVerdict::Invalid;
}

std::optional<std::string> decodeBase64(std::string_view text)
{
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    std::string out;
    unsigned bits = 0;
    int count = 0;
    bool padding = false;
    for (const char c : text) {
        if (isBlank(c))
            continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        const int v = value(c);
        if (v < 0 || padding)
            return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    // Six bits left over cannot come from whole bytes.
    if (count >= 6)
        return std::nullopt;
    return out;
}

} // namespace quorvane::update
