#include "common/cipher.h"

#include <gtest/gtest.h>

using namespace quorvane;

namespace {
des::Block block(std::uint64_t v)
{
    des::Block b{};
    for (int i = 7; i >= 0; --i, v >>= 8)
        b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
    return b;
}
} // namespace

TEST(Des, PublishedKnownAnswers)
{
    struct Vector {
        std::uint64_t key, plain, cipher;
    };
    const Vector vectors[] = {
        {0x0123456789ABCDEFULL, 0x4E6F772069732074ULL, 0x3FA40E8A984D4815ULL}, // "Now is t"
        {0x133457799BBCDFF1ULL, 0x0123456789ABCDEFULL, 0x85E813540F0AB405ULL},
        {0x0101010101010101ULL, 0x95F8A5E5DD31D900ULL, 0x8000000000000000ULL},
    };
    for (const auto& v : vectors) {
        const auto keys = des::schedule(block(v.key));
        EXPECT_EQ(des::encryptBlock(block(v.plain), keys), block(v.cipher));
        EXPECT_EQ(des::decryptBlock(block(v.cipher), keys), block(v.plain));
    }
}

TEST(ValueCipher, RoundTripAndPadding)
{
    EXPECT_EQ(encryptValue("", kValueKey), "");
    EXPECT_EQ(encryptValue("12345678", kValueKey).size(), 16u);
    EXPECT_EQ(encryptValue("123456789", kValueKey).size(), 32u);
    EXPECT_EQ(decryptValue(encryptValue("abc", kValueKey), kValueKey), "abc");
    EXPECT_EQ(decryptValue(encryptValue("测速用户", kValueKey), kValueKey), "测速用户");
}
