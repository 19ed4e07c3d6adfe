#include "common/codepage.h"

#include <gtest/gtest.h>

using namespace quorvane;

namespace
{

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Codepage, ChineseTextRoundTripsThroughGbk)
{
    EXPECT_EQ(utf8ToGbk("测速用户"), "\xB2\xE2\xCB\xD9\xD3\xC3\xBB\xA7");
    EXPECT_EQ(gbkToUtf8("\xB2\xE2\xCB\xD9\xD3\xC3\xBB\xA7"), "测速用户");
    const std::string mixed = "配置文件中已经有%s键 abc=1\r\n";
    EXPECT_EQ(gbkToUtf8(utf8ToGbk(mixed)), mixed);
    EXPECT_EQ(utf8ToGbk(""), "");
    EXPECT_EQ(gbkToUtf8(""), "");
}

TEST(Codepage, LongTextCrossesTheConversionBuffer)
{
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += i % 3 ? "网" : "x";
    EXPECT_EQ(gbkToUtf8(utf8ToGbk(text)), text);
}

TEST(Codepage, WhatGbkCannotHoldBecomesAQuestionMark)
{
    EXPECT_EQ(utf8ToGbk("a\xF0\x9F\x98\x80"
                        "b"),
              "a?b"); // an emoji is one character, one mark
    EXPECT_EQ(utf8ToGbk("a\xFF"
                        "b"),
              "a?b");
    EXPECT_EQ(utf8ToGbk("a\xE6\xB5"), "a?"); // cut inside the last character
    EXPECT_EQ(utf8ToGbk("\xC0\xAF"), "??");  // overlong form of "/"
}

TEST(Codepage, BrokenGbkBecomesReplacementCharacters)
{
    EXPECT_EQ(gbkToUtf8("ab\xB2"), "ab" + kFffd);       // lead byte at the end
    EXPECT_EQ(gbkToUtf8("\xB2 x"), kFffd + " x");       // lead byte before ASCII keeps the ASCII
    EXPECT_EQ(gbkToUtf8("\xFF\xB2\xE2"), kFffd + "测"); // 0xFF is no GBK byte
    for (int b = 0; b < 256; ++b) {
        const std::string out = gbkToUtf8(std::string(3, static_cast<char>(b)));
        EXPECT_TRUE(isValidUtf8(out)) << b;
    }
}

TEST(Codepage, SanitizeAndValidateUtf8)
{
    EXPECT_TRUE(isValidUtf8("plain 测速 \xF0\x9F\x98\x80"));
    for (const std::string& bad :
         {std::string("\xC0\xAF"), std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"), std::string("\x80"),
          std::string("\xE6\xB5"), std::string("\xF8\x88\x80\x80\x80")}) {
        EXPECT_FALSE(isValidUtf8(bad));
        const std::string clean = sanitizeUtf8("<" + bad + ">");
        EXPECT_TRUE(isValidUtf8(clean));
        EXPECT_EQ(clean.front(), '<');
        EXPECT_EQ(clean.back(), '>');
        EXPECT_NE(clean.find(kFffd), std::string::npos);
    }
    EXPECT_EQ(sanitizeUtf8("ok 测速"), "ok 测速");
}

TEST(Codepage, TruncationNeverSplitsACharacter)
{
    const std::string text = "ab测速"; // 2 + 3 + 3 bytes
    EXPECT_EQ(truncateUtf8(text, 100), text);
    EXPECT_EQ(truncateUtf8(text, 8), text);
    EXPECT_EQ(truncateUtf8(text, 7), "ab测");
    EXPECT_EQ(truncateUtf8(text, 5), "ab测");
    EXPECT_EQ(truncateUtf8(text, 4), "ab");
    EXPECT_EQ(truncateUtf8(text, 2), "ab");
    EXPECT_EQ(truncateUtf8(text, 0), "");
    const std::string four = "a\xF0\x9F\x98\x80"; // a 4-byte character
    for (std::size_t n = 1; n < 5; ++n)
        EXPECT_EQ(truncateUtf8(four, n), "a") << n;
    // A long run of stray continuation bytes is cut at the limit rather
    // than dropped altogether.
    EXPECT_EQ(truncateUtf8(std::string(10, '\x80'), 6).size(), 6u);
}

} // namespace
