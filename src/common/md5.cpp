#include "common/md5.h"

#include <openssl/evp.h>

#include <sys/stat.h>

#include <fstream>
#include <memory>

namespace quorvane
{
namespace
{

// Any failure of the library yields "" rather than a digest of nothing, so
// that a comparison with an expected digest can only fail.
class Digest
{
public:
    Digest() { m_ok = m_ctx && EVP_DigestInit_ex(m_ctx.get(), EVP_md5(), nullptr) == 1; }
    void update(const void* data, std::size_t size) { m_ok = m_ok && EVP_DigestUpdate(m_ctx.get(), data, size) == 1; }
    std::string hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!m_ok || EVP_DigestFinal_ex(m_ctx.get(), digest, &length) != 1)
            return {};
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string out;
        out.reserve(length * 2);
        for (unsigned int i = 0; i < length; ++i) {
            out.push_back(kDigits[digest[i] >> 4]);
            out.push_back(kDigits[digest[i] & 0x0F]);
        }
        return out;
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    bool m_ok = false;
};

} // namespace

std::string md5Hex(std::string_view bytes)
{
    Digest d;
    d.update(bytes.data(), bytes.size());
    return d.hex();
}

std::string md5HexOfFile(const std::string& path)
{
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    Digest d;
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        d.update(buf, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad())
        return {};
    return d.hex();
}

} // namespace quorvane
