#include "common/property_file.h"

#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <thread>

using namespace quorvane;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace
{

// The lines of a saved file after the two header lines, split at CR LF.
std::vector<std::string> bodyLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    if (lines.size() >= 2)
        lines.erase(lines.begin(), lines.begin() + 2);
    return lines;
}

class PropertyFileTest : public ::testing::Test
{
protected:
    TempDir dir;
    std::string path = dir.file("test.properties");

    PropertyFile loaded(const std::string& content, bool expectOk = true)
    {
        writeFile(path, content);
        PropertyFile file(path);
        EXPECT_EQ(file.load(), expectOk);
        return file;
    }
};

TEST_F(PropertyFileTest, LineSyntaxKeepsEveryByteBetweenEqualsAndLineEnd)
{
    auto file = loaded("#comment=1\r\n"
                       "a=b=c\r\n"
                       " x=1\r\n"
                       " #y=2\r\n"
                       "=empty key\r\n"
                       "empty value=\r\n"
                       "Case=upper\n"
                       "case=lower\n"
                       "trail= v \r\n"
                       "cr=in\rside\r\n"
                       "last=no line end");
    EXPECT_EQ(file.get("a"), "b=c");
    EXPECT_EQ(file.get(" x"), "1");
    EXPECT_EQ(file.get("x"), "null");
    EXPECT_EQ(file.get(" #y"), "2");
    EXPECT_EQ(file.get("#comment"), "null");
    EXPECT_EQ(file.get(""), "empty key");
    EXPECT_EQ(file.get("empty value"), "");
    EXPECT_EQ(file.get("Case"), "upper");
    EXPECT_EQ(file.get("case"), "lower");
    EXPECT_EQ(file.get("trail"), " v ");
    EXPECT_EQ(file.get("cr"), "in\rside");
    EXPECT_EQ(file.get("last"), "no line end");
    EXPECT_FALSE(file.dirty());
}

TEST_F(PropertyFileTest, DuplicatedKeysReadLastAndAreAllRewritten)
{
    auto file = loaded("k=1\r\nother=x\r\nk=2\r\n");
    EXPECT_EQ(file.get("k"), "2");
    EXPECT_THAT(file.entries(), ElementsAre(Pair("k", "1"), Pair("other", "x"), Pair("k", "2")));

    file.set("k", "3");
    ASSERT_TRUE(file.save(false));
    EXPECT_THAT(bodyLines(readFile(path)), ElementsAre("k=3", "other=x", "k=3"));
}

TEST_F(PropertyFileTest, LoadStopsAtAnEmptyLineOrALineWithoutEquals)
{
    {
        auto file = loaded("a=1\r\n\r\nb=2\r\n", true);
        EXPECT_EQ(file.get("a"), "1");
        EXPECT_EQ(file.get("b"), "null");
    }
    {
        auto file = loaded("a=1\r\nno equals here\r\nb=2\r\n", false);
        EXPECT_EQ(file.get("a"), "1");
        EXPECT_EQ(file.get("b"), "null");
    }
    {
        // Comments before the stop are skipped, not a reason to stop.
        auto file = loaded("#only comments\r\n#and more\r\n", true);
        EXPECT_TRUE(file.entries().empty());
    }
    auto empty = loaded("", true);
    EXPECT_TRUE(empty.entries().empty());
}

TEST_F(PropertyFileTest, MissingFileOrFolderReadsAsAllNullAndSavesNothing)
{
    for (const std::string& missing : {dir.file("absent.properties"), dir.file("no/such/folder/x.properties")}) {
        PropertyFile file(missing);
        EXPECT_FALSE(file.load());
        EXPECT_EQ(file.get("username"), "null");
        file.set("username", "u");
        EXPECT_FALSE(file.dirty()) << "set must never add a key";
        EXPECT_FALSE(file.save(true));
        file.add("username", "u");
        EXPECT_TRUE(file.dirty());
        // The folder exists for the first name only.
        EXPECT_EQ(file.save(true), missing == dir.file("absent.properties"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no"));

    // A folder where the file should be is no file.
    std::filesystem::create_directory(dir.path() / "folder.properties");
    PropertyFile folder(dir.file("folder.properties"));
    EXPECT_FALSE(folder.load());
    folder.add("k", "v");
    EXPECT_FALSE(folder.save(false));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder.properties"));
}

TEST_F(PropertyFileTest, SetChangesOnlyExistingKeys)
{
    auto file = loaded("a=1\r\n");
    file.set("b", "2");
    EXPECT_FALSE(file.dirty());
    EXPECT_EQ(file.get("b"), "null");
    file.set("a", "null");
    EXPECT_TRUE(file.dirty());
    EXPECT_EQ(file.get("a"), "null");
}

TEST_F(PropertyFileTest, AddReportsAnExistingKeyAndAppendsANewOne)
{
    std::vector<std::string> reports;
    PropertyFile::setDuplicateKeyReporter([&](const std::string& m) { reports.push_back(m); });

    auto file = loaded("k=v0\r\n");
    file.add("k", "v");
    EXPECT_THAT(reports, ElementsAre("配置文件中已经有k键"));
    EXPECT_EQ(file.get("k"), "v0");
    EXPECT_FALSE(file.dirty());

    file.add("new", "v");
    file.add("new", "again");
    EXPECT_EQ(reports.size(), 2u);
    ASSERT_TRUE(file.save(false));
    EXPECT_THAT(bodyLines(readFile(path)), ElementsAre("k=v0", "new=v"));
    PropertyFile::setDuplicateKeyReporter(nullptr);
}

TEST_F(PropertyFileTest, DuplicateKeyWithoutReporterGoesToTheLog)
{
    PropertyFile::setDuplicateKeyReporter(nullptr);
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    {
        PropertyFile file("x.properties");
        writeFile(dir.file("x.properties"), "dup=1\r\n");
        file.load();
        file.add("dup", "2");
    }
    std::filesystem::current_path(previous);
    EXPECT_THAT(readFile(dir.file("logfile.txt")), ::testing::MatchesRegex("[0-9-]+ [0-9:]+,配置文件中已经有dup键\n"));
}

TEST_F(PropertyFileTest, SaveWritesHeaderAndCrLfAndDropsOldComments)
{
    auto file = loaded("#old comment\n#another\nb=2\na=1\n");
    file.set("a", "10");
    ASSERT_TRUE(file.save(false));
    const std::string text = readFile(path);
    EXPECT_THAT(text, ::testing::StartsWith("#user config\r\n#"));
    EXPECT_EQ(text.find("old comment"), std::string::npos);
    EXPECT_THAT(bodyLines(text), ElementsAre("b=2", "a=10"));
    // Every LF is preceded by CR, and the file ends with a line end.
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
        }
    }
    EXPECT_THAT(text, ::testing::EndsWith("a=10\r\n"));
    // The time line is a comment: a second load sees only the entries.
    PropertyFile again(path);
    EXPECT_TRUE(again.load());
    EXPECT_EQ(again.entries().size(), 2u);
}

TEST_F(PropertyFileTest, SaveWithoutChangeWritesNothing)
{
    const std::string original = "#my comment\nk=v\n";
    auto file = loaded(original);
    file.get("k");
    file.set("absent", "x");
    EXPECT_FALSE(file.save(true));
    EXPECT_EQ(readFile(path), original);
}

TEST_F(PropertyFileTest, PreDateIsStampedOnlyWhenPresentAndAsked)
{
    const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}\\:\d{2}\\:\d{2})");
    {
        auto file = loaded("pre_date=\r\nauto=1\r\n");
        file.set("auto", "0");
        ASSERT_TRUE(file.save(true));
        PropertyFile again(path);
        again.load();
        EXPECT_TRUE(std::regex_match(again.get("pre_date"), stamp)) << again.get("pre_date");
    }
    {
        auto file = loaded("pre_date=old\r\nauto=1\r\n");
        file.set("auto", "0");
        ASSERT_TRUE(file.save(false));
        PropertyFile again(path);
        again.load();
        EXPECT_EQ(again.get("pre_date"), "old");
    }
    {
        auto file = loaded("auto=1\r\n");
        file.set("auto", "0");
        ASSERT_TRUE(file.save(true));
        EXPECT_EQ(readFile(path).find("pre_date"), std::string::npos);
    }
}

TEST_F(PropertyFileTest, SaveAfterAnEarlyStopKeepsTheUnreadLines)
{
    auto file = loaded("a=1\r\nbroken line\r\nb=2\r\n#c=3\r\n\r\n\r\n", false);
    file.set("a", "9");
    file.add("b", "added");
    ASSERT_TRUE(file.save(false));
    EXPECT_THAT(bodyLines(readFile(path)), ElementsAre("a=9", "b=added", "broken line", "b=2", "#c=3"));

    // The empty line that stopped the reading is kept; the ones at the very
    // end are not.
    auto stopped = loaded("a=1\n\nb=2\n\n");
    stopped.set("a", "2");
    ASSERT_TRUE(stopped.save(false));
    EXPECT_THAT(bodyLines(readFile(path)), ElementsAre("a=2", "", "b=2"));
}

TEST_F(PropertyFileTest, LongLinesAreReadAndWrittenWhole)
{
    const std::string longValue(10000, 'v');
    auto file = loaded("long=" + longValue + "\r\nshort=1\r\n");
    EXPECT_EQ(file.get("long"), longValue);
    EXPECT_EQ(file.get("short"), "1");
    file.set("short", "2");
    ASSERT_TRUE(file.save(false));
    PropertyFile again(path);
    EXPECT_TRUE(again.load());
    EXPECT_EQ(again.get("long"), longValue);
}

// Lines split at LF, one trailing CR removed, trailing empty lines dropped.
std::vector<std::string> lfLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        pos = end + 1;
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

bool isSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole)
{
    std::size_t i = 0;
    for (const auto& line : whole) {
        if (i < part.size() && part[i] == line)
            ++i;
    }
    return i == part.size();
}

TEST_F(PropertyFileTest, BinaryGarbageNeitherCrashesNorIsLost)
{
    std::mt19937 random(1234);
    for (int round = 0; round < 30; ++round) {
        std::string garbage(4096, '\0');
        for (auto& c : garbage)
            c = static_cast<char>(random());
        // Make some rounds line-rich, so that keys, comments and stops occur.
        if (round % 2 == 0) {
            for (std::size_t i = 0; i < garbage.size(); i += 1 + random() % 40)
                garbage[i] = "\n=#\r"[random() % 4];
        }
        const std::string original = "key=value\r\n" + garbage;
        writeFile(path, original);
        PropertyFile file(path);
        file.load();
        file.set("key", "changed");
        ASSERT_TRUE(file.save(false));

        // Nothing invented: every saved line stood in the file (the changed
        // key aside). Nothing lost: every line that was not a comment is
        // still there, in order. Comments may go, as with any save.
        auto saved = bodyLines(readFile(path));
        ASSERT_FALSE(saved.empty());
        EXPECT_EQ(saved.front(), "key=changed");
        saved.erase(saved.begin());
        std::vector<std::string> before = lfLines(original);
        before.erase(before.begin());
        std::vector<std::string> nonComments;
        for (const auto& line : before) {
            if (line.empty() || line[0] != '#')
                nonComments.push_back(line);
        }
        std::vector<std::string> savedSplit = lfLines(readFile(path));
        savedSplit.erase(savedSplit.begin(), savedSplit.begin() + 3);
        EXPECT_TRUE(isSubsequence(savedSplit, before)) << "round " << round;
        EXPECT_TRUE(isSubsequence(nonComments, savedSplit)) << "round " << round;

        PropertyFile reread(path);
        reread.load();
        EXPECT_EQ(reread.get("key"), "changed");
    }
}

TEST_F(PropertyFileTest, LineEndsInValuesCannotPlantKeys)
{
    auto file = loaded("uname=\r\nauto=0\r\n");
    file.set("uname", "evil\r\nauto=1");
    file.add("x\ny", "1\n2");
    ASSERT_TRUE(file.save(false));
    PropertyFile again(path);
    EXPECT_TRUE(again.load());
    EXPECT_EQ(again.get("auto"), "0");
    EXPECT_EQ(again.get("uname"), "evil  auto=1");
    EXPECT_EQ(again.get("x y"), "1 2");
}

TEST_F(PropertyFileTest, SaveKeepsPermissionsAndLeavesNoTemporaryFiles)
{
    auto file = loaded("a=1\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    file.set("a", "2");
    ASSERT_TRUE(file.save(false));
    struct stat st {
    };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(PropertyFileTest, ConcurrentSavesNeverLeaveATornFile)
{
    writeFile(path, "counter=0\r\npad=" + std::string(2000, 'p') + "\r\n");
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::atomic<int> badReads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                PropertyFile file(path);
                if (!file.load() || file.get("pad").size() != 2000)
                    ++badReads;
                file.set("counter", std::to_string(t * 1000 + i));
                file.save(true);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(PropertyFileTest, LookupFirstTakesTheFirstExactKey)
{
    writeFile(path, "#update_server_path=commented\r\n"
                    "update_server_path_old=x\r\n"
                    "\r\n"
                    "update_server_path=first\r\n"
                    "update_server_path=second\r\n");
    EXPECT_EQ(lookupFirst(path, "update_server_path"), "first");
    EXPECT_EQ(lookupFirst(path, "#update_server_path"), "commented");
    EXPECT_EQ(lookupFirst(path, "update_server"), "");
    EXPECT_EQ(lookupFirst(dir.file("missing"), "update_server_path"), "");
}

TEST_F(PropertyFileTest, LookupContainingTakesTheLastMatchBeforeBothAreFound)
{
    writeFile(path, "update_server_path=a\n"
                    "my_update_server_path_2=b\n"
                    "update_ver_file_name=m.xml\n"
                    "update_server_path=too late\n");
    EXPECT_EQ(lookupContaining(path, "update_server_path", "update_ver_file_name"),
              std::make_pair(std::string("b"), std::string("m.xml")));
    EXPECT_EQ(lookupContaining(path, "update_server_path", "never"),
              std::make_pair(std::string("too late"), std::string()));
    EXPECT_EQ(lookupContaining(dir.file("missing"), "a", "b"), std::make_pair(std::string(), std::string()));
}

TEST_F(PropertyFileTest, ToggleFlagRewritesTheValueInPlace)
{
    const std::string before = "#user config\r\nuname=autobot10\r\nauto=1\r\nmanual=0\r\n";
    writeFile(path, before);
    toggleFlagInPlace(path, "auto", '0');
    std::string after = readFile(path);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_NE(after.find("uname=autobot10\r\nauto=0\r\n"), std::string::npos) << after;

    toggleFlagInPlace(path, "auto", '1');
    toggleFlagInPlace(path, "manual", '1');
    EXPECT_EQ(readFile(path), "#user config\r\nuname=autobot10\r\nauto=1\r\nmanual=1\r\n");

    // Absent key, empty value, missing file: nothing changes.
    toggleFlagInPlace(path, "absent", '0');
    toggleFlagInPlace(dir.file("missing"), "auto", '0');
    EXPECT_EQ(readFile(path), "#user config\r\nuname=autobot10\r\nauto=1\r\nmanual=1\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST_F(PropertyFileTest, ToggleFlagWorksOnLfFilesAndTheLastLine)
{
    writeFile(path, "a=1\nauto=0\nmanual=1");
    toggleFlagInPlace(path, "manual", '0');
    toggleFlagInPlace(path, "auto", '1');
    EXPECT_EQ(readFile(path), "a=1\nauto=1\nmanual=0");
}

} // namespace
