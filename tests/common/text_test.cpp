#include "common/text.h"

#include <gtest/gtest.h>

using namespace quorvane;

TEST(Text, TrimmedTakesOnlyTheGivenBlanksAtTheEnds)
{
    const struct {
        std::string_view text, blanks, want;
    } cases[] = {
        {"", kWhiteSpace, ""},
        {" \t\r\n", kWhiteSpace, ""},
        {"\r\n key = v \t", kWhiteSpace, "key = v"},
        {"x", kWhiteSpace, "x"},
        // A head's field value keeps a CR it does not own as a blank.
        {"\tvalue\r", kBlanks, "value\r"},
        {"  ", kBlanks, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(trimmed(c.text, c.blanks), c.want) << '"' << c.text << '"';
}

TEST(Text, CaseIsIgnoredForAsciiLettersOnly)
{
    const struct {
        std::string_view a, b;
        bool equal;
    } cases[] = {
        {"Content-Length", "content-length", true},
        {"", "", true},
        {"HKEY_Software", "hkey_software", true},
        {"abc", "abcd", false},
        // '@' and '`' sit 32 below 'A' and 'a'; '[' 32 below '{'.
        {"@", "`", false},
        {"[", "{", false},
        // Latin-1 capital and small A with diaeresis: not letters here.
        {"\xC4", "\xE4", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(equalsIgnoreCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

TEST(Text, OneLineBlanksLineEndsAndNothingElse)
{
    EXPECT_EQ(oneLine("nick\r\nauto=1"), "nick  auto=1");
    EXPECT_EQ(oneLine("tab\there\x01"), "tab\there\x01");
    EXPECT_EQ(oneLine(""), "");
}
