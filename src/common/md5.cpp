#include "common/md5.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <memory>

namespace quorvane {
namespace {

struct DigestContext {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    DigestContext() { EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr); }
    void update(const void* data, std::size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }
    std::string hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx.get(), digest, &length);
        std::string out;
        out.reserve(length * 2);
        static constexpr char kDigits[] = "0123456789abcdef";
        for (unsigned int i = 0; i < length; ++i) {
            out.push_back(kDigits[digest[i] >> 4]);
            out.push_back(kDigits[digest[i] & 0x0F]);
        }
        return out;
    }
};

} // namespace

std::string md5Hex(std::string_view bytes)
{
    DigestContext d;
    d.update(bytes.data(), bytes.size());
    return d.hex();
}

std::string md5HexOfFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    DigestContext d;
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
