#include "results/history.h"
#include "results/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace quorvane;
using namespace quorvane::test;

namespace
{

std::string entryLine(int n)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "2024-01-02 03:04:05,手动,带宽测速,server%d,%d.0Mb/s;", n, n);
    return buf;
}

std::vector<std::string> lines(const std::filesystem::path& path)
{
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace

TEST(HistoryFile, KeepsTheNewestHundredLines)
{
    TempDir dir;
    const auto path = dir.path() / "HistoryRecord1.txt";
    for (int n = 1; n <= 100; ++n)
        ASSERT_TRUE(AppendHistoryLine(path, entryLine(n)));
    EXPECT_EQ(lines(path).size(), 100u);

    // A full file stays full: the oldest line makes room.
    ASSERT_TRUE(AppendHistoryLine(path, entryLine(101)));
    auto kept = lines(path);
    ASSERT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept.front(), entryLine(2));
    EXPECT_EQ(kept.back(), entryLine(101));

    // A file that came to hold more (an older version, a hand edit) is cut
    // back to the cap, not kept over it.
    std::string big;
    for (int n = 1; n <= 130; ++n)
        big += entryLine(n) + "\n";
    spit(path, big);
    ASSERT_TRUE(AppendHistoryLine(path, entryLine(131)));
    kept = lines(path);
    ASSERT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept.front(), entryLine(32));
    EXPECT_EQ(kept.back(), entryLine(131));
    EXPECT_EQ(listNames(dir.path()), std::vector<std::string>{"HistoryRecord1.txt"}) << "no temporary file left";
}

TEST(HistoryFile, ShortLinesAreSkippedByTheReaderButCountForTheCap)
{
    TempDir dir;
    const auto path = dir.path() / "h.txt";
    // 20 bytes exactly, and 21 bytes: only the longer one is read.
    const std::string twenty = "2024-01-02 03:04:0;x";
    const std::string twentyOne = "2024-01-02 03:04:05,a";
    ASSERT_EQ(twenty.size(), 20u);
    ASSERT_TRUE(AppendHistoryLine(path, twenty));
    ASSERT_TRUE(AppendHistoryLine(path, twentyOne + ",b,c,d;"));
    ASSERT_TRUE(AppendHistoryLine(path, ""));
    const auto entries = ReadHistoryFile(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], (std::vector<std::string>{"2024-01-02 03:04:05", "a", "b", "c", "d"}));

    for (int n = 0; n < 97; ++n)
        ASSERT_TRUE(AppendHistoryLine(path, "short"));
    ASSERT_EQ(lines(path).size(), 100u);
    ASSERT_TRUE(AppendHistoryLine(path, entryLine(7)));
    const auto kept = lines(path);
    EXPECT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept.front(), twentyOne + ",b,c,d;") << "the short first line was the oldest and went";
}

TEST(HistoryFile, SemicolonsAndCommasCutEntriesAndFields)
{
    TempDir dir;
    const auto path = dir.path() / "h.txt";
    // A page address with a comma shifts the fields; a ";" inside a value
    // splits the entry; what follows the last ";" is dropped; an entry may
    // run over two lines because lines are joined without separator.
    spit(path, "2024-01-02 03:04:05,手动,网页性能,http://a/x,y.html,1.2 s;\n"
               "2024-01-02 03:04:06,自动,视频测速,站;点,340 KB/s;trailing text\n"
               "2024-01-02 03:04:07,手动,文件下载,标签\n"
               ",512.00 KB/s;2024-01-02\r\n"
               "short;\n");
    const auto entries = ReadHistoryFile(path);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0],
              (std::vector<std::string>{"2024-01-02 03:04:05", "手动", "网页性能", "http://a/x", "y.html", "1.2 s"}));
    EXPECT_EQ(entries[1], (std::vector<std::string>{"2024-01-02 03:04:06", "自动", "视频测速", "站"}));
    EXPECT_EQ(entries[2], (std::vector<std::string>{"点", "340 KB/s"}));
    // "trailing text" joins the next line's text before its ";".
    EXPECT_EQ(entries[3], (std::vector<std::string>{"trailing text2024-01-02 03:04:07", "手动", "文件下载", "标签",
                                                    "512.00 KB/s"}));
}

TEST(HistoryFile, ALineACrashLeftWithoutItsEndIsDroppedNotJoined)
{
    TempDir dir;
    const auto path = dir.path() / "h.txt";
    spit(path, entryLine(1) + "\n" + entryLine(2).substr(0, 30));
    ASSERT_TRUE(AppendHistoryLine(path, entryLine(3)));
    EXPECT_EQ(lines(path), (std::vector<std::string>{entryLine(1), entryLine(3)}));
    const auto entries = ReadHistoryFile(path);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].back(), "3.0Mb/s");
}

TEST(HistoryFile, MissingOrUnwritableFiles)
{
    TempDir dir;
    EXPECT_TRUE(ReadHistoryFile(dir.path() / "none.txt").empty());
    // The folder is not made by the append; the record writer makes it.
    EXPECT_FALSE(AppendHistoryLine(dir.path() / "no-such-folder" / "h.txt", entryLine(1)));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no-such-folder"));
}

TEST(HistoryFile, UserIdStaysOneFileName)
{
    EXPECT_EQ(historyFilePath("/inst", "20417"), std::filesystem::path("/inst/HistoryRecord/HistoryRecord20417.txt"));
    EXPECT_EQ(historyFilePath("/inst", "../../etc/x"),
              std::filesystem::path("/inst/HistoryRecord/HistoryRecord..%2F..%2Fetc%2Fx.txt"));
}
