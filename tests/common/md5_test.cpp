#include "common/md5.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace quorvane;

namespace
{

TEST(Md5, TestSuiteOfTheRfc)
{
    const std::pair<const char*, const char*> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, digest] : vectors)
        EXPECT_EQ(md5Hex(input), digest) << '"' << input << '"';
}

TEST(Md5, BytesAreHashedAsGivenIncludingZeroAndHighBytes)
{
    EXPECT_EQ(md5Hex(std::string_view("\0", 1)), "93b885adfe0da089cdf634904fd59f71");
    // GBK password bytes are hashed as they are, not as UTF-8.
    EXPECT_NE(md5Hex("\xB2\xE2\xCB\xD9"), md5Hex("测速"));
}

TEST(Md5, FileDigestEqualsTheDigestOfItsBytes)
{
    test::TempDir dir;
    std::string content;
    for (int i = 0; i < 200000; ++i) // larger than one read buffer
        content.push_back(static_cast<char>(i * 7));
    test::writeFile(dir.file("big.bin"), content);
    test::writeFile(dir.file("empty.bin"), "");
    EXPECT_EQ(md5HexOfFile(dir.file("big.bin")), md5Hex(content));
    EXPECT_EQ(md5HexOfFile(dir.file("empty.bin")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5HexOfFile(dir.file("missing.bin")), "");
    EXPECT_EQ(md5HexOfFile(dir.path().string()), "") << "a directory has no digest";
}

} // namespace
