#pragma once
// Ed25519 key pairs made on the spot, with the texts the configuration and
// the server folder hold.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvane::testing
{

inline std::string base64(std::string_view bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

class ReleaseKey
{
public:
    ReleaseKey() : m_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), &EVP_PKEY_free)
    {
        if (!m_key)
            throw std::runtime_error("no Ed25519 key");
    }
    // base64 of the 32 raw bytes
    std::string rawPublic() const
    {
        std::string raw(32, '\0');
        std::size_t len = raw.size();
        EVP_PKEY_get_raw_public_key(m_key.get(), reinterpret_cast<unsigned char*>(raw.data()), &len);
        return base64(raw);
    }
    // the body of the PEM "PUBLIC KEY"
    std::string pemBody() const
    {
        unsigned char* der = nullptr;
        const int len = i2d_PUBKEY(m_key.get(), &der);
        std::string text = base64(std::string_view(reinterpret_cast<char*>(der), static_cast<std::size_t>(len)));
        OPENSSL_free(der);
        return text;
    }
    // the 64 raw signature bytes
    std::string sign(std::string_view message) const
    {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        std::string sig(64, '\0');
        std::size_t len = sig.size();
        EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, m_key.get());
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size());
        return sig;
    }

private:
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_key;
};

} // namespace quorvane::testing
