#include "common/durable_file.h"
#include "common/log_file.h"

#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <regex>
#include <sstream>
#include <thread>

using namespace quorvane;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

namespace
{

const std::regex kLine(R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}),([^\n]*)\n)");

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line + "\n");
    return lines;
}

class LogFileTest : public ::testing::Test
{
protected:
    TempDir dir;
    std::string path = dir.file("auto.txt");
};

TEST_F(LogFileTest, LineCarriesTheLocalTimeAndTheMessage)
{
    const std::time_t before = std::time(nullptr);
    {
        CLogFile log;
        log.open(path, true, CLogFile::kDefaultMaxSize);
        ASSERT_TRUE(log.isOpen());
        log.writeLine("第一轮测速开始");
        log.write("%s：%d 分钟", "将在", 15);
    }
    const std::time_t after = std::time(nullptr);
    const auto lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLine)) << lines[0];
    EXPECT_EQ(m[2], "第一轮测速开始");
    std::tm tm{};
    std::istringstream(m[1].str()) >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
    tm.tm_isdst = -1;
    const std::time_t stamped = std::mktime(&tm);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
    ASSERT_TRUE(std::regex_match(lines[1], m, kLine)) << lines[1];
    EXPECT_EQ(m[2], "将在：15 分钟");
}

TEST_F(LogFileTest, MessagesAreCutAt259BytesWithoutSplittingACharacter)
{
    CLogFile log;
    log.open(path, false, CLogFile::kDefaultMaxSize);
    log.writeLine(std::string(300, 'x'));
    log.writeLine(std::string(256, 'y') + "测");            // exactly 259 bytes: kept whole
    log.writeLine(std::string(257, 'z') + "测速");          // the cut falls inside 测
    log.write("%s%s", std::string(258, 'w').c_str(), "速"); // the same through the format
    log.close();

    const auto lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 4u);
    std::smatch m;
    std::vector<std::string> messages;
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        messages.push_back(m[2]);
    }
    EXPECT_EQ(messages[0], std::string(259, 'x'));
    EXPECT_EQ(messages[1], std::string(256, 'y') + "测");
    EXPECT_EQ(messages[2], std::string(257, 'z'));
    EXPECT_EQ(messages[3], std::string(258, 'w'));
}

TEST_F(LogFileTest, AFileOverTheCapIsEmptiedAndTheLineBecomesItsFirst)
{
    writeFile(path, std::string(1048577, 'o'));
    CLogFile::append(path, "after truncation");
    const auto lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], ::testing::EndsWith(",after truncation\n"));

    // At the cap exactly, the line is appended.
    writeFile(path, std::string(1048575, 'o') + "\n");
    CLogFile::append(path, "appended");
    const std::string text = readFile(path);
    EXPECT_EQ(text.size(), 1048576u + 20u + 8u + 1u);
    EXPECT_THAT(text, ::testing::EndsWith(",appended\n"));
}

TEST_F(LogFileTest, ShortNamesAndUnopenableFilesWriteNothing)
{
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    {
        CLogFile log;
        log.open("a.t", true, CLogFile::kDefaultMaxSize);
        EXPECT_FALSE(log.isOpen());
        log.writeLine("lost");
        log.write("%d", 1);
    }
    {
        CLogFile log;
        log.open(dir.file("no/such/folder/log.txt"), true, CLogFile::kDefaultMaxSize);
        EXPECT_FALSE(log.isOpen());
        log.writeLine("lost");
    }
    std::filesystem::current_path(previous);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 0);

    // A short name leaves an open file as it was.
    CLogFile log;
    log.open(path, true, CLogFile::kDefaultMaxSize);
    log.open("x", true, CLogFile::kDefaultMaxSize);
    log.writeLine("still here");
    log.close();
    EXPECT_THAT(readFile(path), ::testing::EndsWith(",still here\n"));
}

TEST_F(LogFileTest, RelativeNamesLandInTheProgramDirectory)
{
    std::filesystem::create_directory(dir.path() / "program");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path() / "program");
    CLogFile::append("logfile.txt", "one");
    CLogFile::append("..\\escape.txt", "two");
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "program" / "logfile.txt"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "program" / "escape.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "escape.txt"));
}

TEST_F(LogFileTest, OpeningWithoutAppendStartsAnew)
{
    writeFile(path, "old line\n");
    CLogFile log;
    log.open(path, false, CLogFile::kDefaultMaxSize);
    log.writeLine("new");
    log.close();
    EXPECT_THAT(readFile(path), ::testing::MatchesRegex("[0-9-]+ [0-9:]+,new\n"));
}

// Threads with their own objects (as the scheduler and the round worker
// write auto.txt), threads sharing one object, and a small cap that makes
// the writers empty the file under each other: every line stays whole.
TEST_F(LogFileTest, ConcurrentWritersProduceWholeLines)
{
    for (const long cap : {CLogFile::kDefaultMaxSize, 4096L, 4096L, 4096L, 4096L}) {
        writeFile(path, "");
        constexpr int kOwnThreads = 4;
        constexpr int kSharedThreads = 3;
        constexpr int kLines = 300;
        CLogFile shared;
        shared.open(path, true, cap);
        std::vector<std::thread> threads;
        for (int t = 0; t < kOwnThreads; ++t) {
            threads.emplace_back([&, t] {
                CLogFile log;
                log.open(path, true, cap);
                for (int i = 0; i < kLines; ++i)
                    log.write("own %d line %d %s", t, i, std::string(40 + t, 'a' + t).c_str());
            });
        }
        for (int t = 0; t < kSharedThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kLines; ++i)
                    shared.write("shared %d line %d 测速", t, i);
            });
        }
        for (auto& thread : threads)
            thread.join();
        shared.close();

        const std::string text = readFile(path);
        ASSERT_FALSE(text.empty());
        ASSERT_EQ(text.back(), '\n');
        EXPECT_EQ(text.find('\0'), std::string::npos) << "a writer wrote behind a truncation";
        const auto lines = splitLines(text);
        const std::regex body(R"((own \d line \d+ [a-z]+|shared \d line \d+ 测速))");
        for (const auto& line : lines) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
            ASSERT_TRUE(std::regex_match(m[2].str(), body)) << line;
        }
        if (cap == CLogFile::kDefaultMaxSize) {
            EXPECT_EQ(lines.size(), static_cast<std::size_t>((kOwnThreads + kSharedThreads) * kLines));
        }
    }
}

} // namespace

TEST_F(LogFileTest, AFullDiskCostsLinesButNeverTheLogItself)
{
    // What the disk did to earlier lines, and what the file looks like when
    // space returns.
    struct Case {
        const char* what;
        int error;
        int lostLines;
        std::string before; // the file's text before
    } cases[] = {
        {"the disk is full", ENOSPC, 2, "2024-01-02 03:04:05,first\n"},
        {"the folder is read-only", EROFS, 1, ""},
        {"the folder was taken away from us", EACCES, 3, ""},
        {"a line was cut short when the disk filled", ENOSPC, 1, "2024-01-02 03:04:05,cut sh"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path, c.before);
        const long long lostBefore = CLogFile::linesLost();
        {
            ScopedWriteFault fault(c.error);
            for (int i = 0; i < c.lostLines; ++i)
                CLogFile::append(path, "lost");
        }
        EXPECT_EQ(CLogFile::linesLost() - lostBefore, c.lostLines);
        CLogFile::append(path, "back");

        const std::string text = readFile(path);
        ASSERT_EQ(text.rfind(c.before, 0), 0u) << "earlier lines stay";
        const auto lines = splitLines(text.substr(c.before.size()));
        ASSERT_EQ(lines.size(), c.before.empty() || c.before.back() == '\n' ? 2u : 3u) << text;
        const std::string note = lines[lines.size() - 2];
        EXPECT_THAT(note, ::testing::HasSubstr(std::to_string(c.lostLines) + " log lines could not be written (" +
                                               std::strerror(c.error) + ")"));
        EXPECT_TRUE(std::regex_match(lines.back(), kLine)) << lines.back();
        EXPECT_THAT(lines.back(), ::testing::EndsWith(",back\n"));
        std::filesystem::remove(path);
    }
}
