#include "common/numbers.h"

#include <gtest/gtest.h>

#include <climits>

using namespace quorvane;

TEST(Numbers, ReadLikeTheCLibrary)
{
    EXPECT_EQ(atolValue(""), 0);
    EXPECT_EQ(atolValue("null"), 0);
    EXPECT_EQ(atolValue("4711"), 4711);
    EXPECT_EQ(atolValue("  \t4711abc"), 4711);
    EXPECT_EQ(atolValue("-12"), -12);
    EXPECT_EQ(atolValue("+12"), 12);
    EXPECT_EQ(atolValue("x12"), 0);
    EXPECT_EQ(atolValue("- 12"), 0);
    EXPECT_EQ(parseLeadingInt(" \t-42kb"), -42);
}

TEST(Numbers, SaturateInsteadOfOverflowing)
{
    EXPECT_EQ(atolValue("99999999999999999999999"), LONG_MAX);
    EXPECT_EQ(atolValue("-99999999999999999999999"), LONG_MIN);
    EXPECT_EQ(parseLeadingInt("99999999999999999999"), INT_MAX);
    EXPECT_EQ(parseLeadingInt("-99999999999999999999"), INT_MIN);
    EXPECT_EQ(parseLeadingInt("2147483648"), INT_MAX);
    EXPECT_EQ(parseLeadingInteger("9223372036854775807"), LLONG_MAX);
    EXPECT_EQ(parseLeadingInteger("-9223372036854775808"), LLONG_MIN);
}
