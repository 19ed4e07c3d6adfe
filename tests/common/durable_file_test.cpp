#include "common/durable_file.h"
#include "common/full_io.h"
#include "common/property_file.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

using namespace quorvane;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

namespace
{

mode_t modeOf(const std::filesystem::path& path)
{
    struct stat st {
    };
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

std::set<std::string> namesIn(const std::filesystem::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Sets the umask for one test and restores it.
class UmaskGuard
{
public:
    explicit UmaskGuard(mode_t mask) : m_old(::umask(mask)) {}
    ~UmaskGuard() { ::umask(m_old); }

private:
    mode_t m_old;
};

enum class Save { Whole, Append, Pending, Properties };

bool save(Save how, const std::filesystem::path& path, FileAccess access)
{
    switch (how) {
    case Save::Whole:
        return writeFileDurably(path, "k=v\r\n", access);
    case Save::Append:
        return appendFileDurably(path, "k=v\r\n", access);
    case Save::Pending: {
        PendingFile file(path, access);
        return file.append("k=") && file.append("v\r\n") && file.commit();
    }
    case Save::Properties: {
        PropertyFile file(path.string());
        file.load();
        file.add("k", "v");
        return file.save(false);
    }
    }
    return false;
}

} // namespace

TEST(DurableFile, EverySaveGivesTheModeTheFileCallsFor)
{
    const UmaskGuard umask(022);
    struct Case {
        const char* file;
        mode_t before; // 0: no file yet
        FileAccess access;
        mode_t after;
    };
    const Case cases[] = {
        {"conf/l_c_config_01.properties", 0644, FileAccess::Default, 0600},
        {"conf/l_c_config_01.properties", 0, FileAccess::Default, 0600},
        {"conf/known_hosts", 0666, FileAccess::Default, 0600},
        {"conf/config.xml", 0644, FileAccess::Default, 0600},
        {"Config/upload_config.xml", 0640, FileAccess::Default, 0600},
        {"Config/config.xml", 0640, FileAccess::Default, 0640}, // only conf/config.xml holds an account
        {"conf/config.properties", 0640, FileAccess::Default, 0640},
        {"HistoryRecord/HistoryRecord7.txt", 0, FileAccess::Default, 0644},
        {"conf/user_conf.properties", 0644, FileAccess::OwnerOnly, 0600},
    };
    for (const Save how : {Save::Whole, Save::Append, Save::Pending, Save::Properties}) {
        for (const Case& c : cases) {
            TempDir dir;
            const auto path = dir / c.file;
            std::filesystem::create_directories(path.parent_path());
            if (c.before != 0) {
                writeFile(path, "");
                ::chmod(path.c_str(), c.before);
            }
            if (how == Save::Properties && c.access == FileAccess::OwnerOnly)
                continue; // a property file takes what its name calls for
            const std::string label = std::string(c.file) + " save " + std::to_string(static_cast<int>(how));
            ASSERT_TRUE(save(how, path, c.access)) << label;
            EXPECT_EQ(modeOf(path), c.after) << label;
            EXPECT_NE(readFile(path).find("k=v\r\n"), std::string::npos) << label;
            EXPECT_EQ(namesIn(path.parent_path()), std::set<std::string>{path.filename().string()})
                << label << ": no temporary file stays";
        }
    }
}

TEST(DurableFile, AFailedSaveLeavesTheOldFileAndNoTemporaryFile)
{
    TempDir dir;
    writeFile(dir / "keep.properties", "old");
    std::filesystem::create_directory(dir / "a-folder");

    // Into a folder that does not exist, and over a folder.
    EXPECT_FALSE(writeFileDurably(dir / "missing" / "x.properties", "new"));
    EXPECT_FALSE(writeFileDurably(dir / "a-folder", "new"));
    {
        PendingFile pending(dir / "keep.properties");
        ASSERT_TRUE(pending.append("new"));
        // Dropped without a commit, as when the writer fails half-way.
    }
    EXPECT_EQ(readFile(dir / "keep.properties"), "old");
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"a-folder", "keep.properties"}));

    // A name that is taken refuses the file and keeps it pending for the next.
    {
        PendingFile record(dir / "Pccollect_band_2024010203.dat");
        ASSERT_TRUE(record.append("record"));
        errno = 0;
        EXPECT_FALSE(record.commitNoReplace("keep.properties"));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_TRUE(record.commitNoReplace("Pccollect_band_2024010203.dat.2"));
    }
    EXPECT_EQ(readFile(dir / "keep.properties"), "old");
    EXPECT_EQ(readFile(dir / "Pccollect_band_2024010203.dat.2"), "record");
    EXPECT_EQ(namesIn(dir.path()).size(), 3u);
}

TEST(DurableFile, WritesThatFailAtAnyStepLeaveTheOldFileWhole)
{
    // Each error at each step the writers take: creating the file, writing,
    // flushing.
    for (const int error : {ENOSPC, EACCES, EROFS}) {
        for (int step = 0; step < 3; ++step) {
            SCOPED_TRACE(std::string(std::strerror(error)) + " at step " + std::to_string(step));
            TempDir dir;
            writeFile(dir / "settings.xml", "old");
            writeFile(dir / "history.txt", "line 1\n");
            {
                ScopedWriteFault fault(error, step);
                errno = 0;
                EXPECT_FALSE(writeFileDurably(dir / "settings.xml", "new"));
                EXPECT_EQ(errno, error);
            }
            EXPECT_EQ(readFile(dir / "settings.xml"), "old");
            // An append has two steps only: a fault further on never comes.
            {
                ScopedWriteFault fault(error, step);
                EXPECT_EQ(appendFileDurably(dir / "history.txt", "line 2\n"), step >= 2);
                EXPECT_EQ(fault.failures(), step >= 2 ? 0 : 1);
            }
            EXPECT_EQ(readFile(dir / "history.txt"), step >= 2 ? "line 1\nline 2\n" : "line 1\n");
            EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"history.txt", "settings.xml"}));
        }
    }
}

TEST(DurableFile, SweepRemovesOnlyInterruptedSavesOfThisProgram)
{
    TempDir dir;
    // A save that a crash interrupted: its writer is gone, its file stays.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PendingFile crashed(dir / "config.properties");
        _exit(crashed.isOpen() && crashed.append("half") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Saves still under way (in another program, or another thread here).
    PendingFile live(dir / "settings7.xml");
    ASSERT_TRUE(live.isOpen());
    PendingFile liveArchive(dir / "20240102030405_1024_Pccollect.zip");
    ASSERT_TRUE(liveArchive.isOpen());
    const std::string liveName = live.tempPath().filename().string();
    const std::string libraryBesideLive = liveArchive.tempPath().filename().string() + ".k9J8h7";
    const std::string libraryBesideGone = ".x.zip.qvsave-Q1w2E3.k9J8h7";

    const std::set<std::string> notOurs = {"config.properties.AbC123", // looks like a temporary name, is not ours
                                           "Pccollect_band_2024010203.dat.tmp", ".qvsave-abcdef", "a.qvsave-abcdef",
                                           ".short.qvsave-ab"};
    for (const auto& name : notOurs)
        writeFile(dir / name, "x");
    writeFile(dir / libraryBesideLive, "x");
    writeFile(dir / libraryBesideGone, "x");
    std::filesystem::create_directory(dir / ".folder.qvsave-abcdef");
    std::filesystem::create_symlink(dir / "config.properties.AbC123", dir / ".link.qvsave-abcdef");

    EXPECT_EQ(sweepInterruptedSaves(dir.path()), 2u) << "the crashed save and the library file beside it";
    std::set<std::string> expected = notOurs;
    expected.insert({liveName, liveArchive.tempPath().filename().string(), libraryBesideLive, ".folder.qvsave-abcdef",
                     ".link.qvsave-abcdef"});
    EXPECT_EQ(namesIn(dir.path()), expected);

    // The live saves still complete.
    EXPECT_TRUE(live.append("<settings/>") && live.commit());
    EXPECT_EQ(readFile(dir / "settings7.xml"), "<settings/>");
    EXPECT_EQ(sweepInterruptedSaves(dir / "missing"), 0u);
}

TEST(DurableFile, CredentialFilesOfAnInstallationAreMadeOwnerOnly)
{
    TempDir dir;
    const char* credentials[] = {"conf/l_c_config_01.properties", "conf/known_hosts", "conf/config.xml",
                                 "Config/upload_config.xml"};
    for (const char* file : credentials) {
        writeFile(dir / file, "secret");
        ::chmod((dir / file).c_str(), 0644);
    }
    writeFile(dir / "conf/config.properties", "public");
    ::chmod((dir / "conf/config.properties").c_str(), 0644);

    // Interrupted saves in the installation's folders and in one beside it.
    TempDir elsewhere;
    for (const auto& folder : {dir / "conf", dir / "Data2", dir / "HistoryRecord", elsewhere.path()})
        writeFile(folder / ".x.qvsave-AbC123", "half");

    const TidyReport report = tidyInstallation(dir.path(), {elsewhere.path()});
    EXPECT_EQ(report.filesRestricted, 4u);
    EXPECT_EQ(report.savesSwept, 4u);
    for (const char* file : credentials)
        EXPECT_EQ(modeOf(dir / file), 0600u) << file;
    EXPECT_EQ(modeOf(dir / "conf/config.properties"), 0644u);
    EXPECT_FALSE(std::filesystem::exists(dir / "Data2/.x.qvsave-AbC123"));
    EXPECT_EQ(restrictCredentialFiles(dir.path()), 0u) << "nothing left to change";
    EXPECT_TRUE(restrictToOwner(dir / "conf/absent"));
}

// The limit decides between a whole file and a cut one at exactly its size;
// kernel files, which report a size of 0, are read to their end all the same.
TEST(DurableFile, FileHeadCutsOnlyBeyondTheLimit)
{
    TempDir dir;
    struct Row {
        std::size_t fileBytes;
        std::size_t limit;
        std::size_t keptBytes;
        bool cut;
    };
    const Row rows[] = {
        {0, 10, 0, false},          {10, 10, 10, false},        {11, 10, 10, true},
        {40000, 40000, 40000, false}, {40001, 40000, 40000, true}, {40000, 16384, 16384, true},
        {5, 0, 0, true},
    };
    for (const Row& row : rows) {
        std::string bytes(row.fileBytes, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>('a' + i % 26);
        const auto path = dir.path() / ("f" + std::to_string(row.fileBytes));
        writeFile(path, bytes);
        const auto head = readFileHead(path, row.limit);
        ASSERT_TRUE(head) << row.fileBytes;
        EXPECT_EQ(head->bytes, bytes.substr(0, row.keptBytes)) << row.fileBytes << "/" << row.limit;
        EXPECT_EQ(head->cut, row.cut) << row.fileBytes << "/" << row.limit;
    }
    EXPECT_FALSE(readFileHead(dir.path() / "missing", 10));
    const auto proc = readFileHead("/proc/self/stat", 1u << 20);
    ASSERT_TRUE(proc);
    EXPECT_FALSE(proc->bytes.empty());
    EXPECT_FALSE(proc->cut);
}

// The kernel may move less than asked or be interrupted; only the end of the
// file or a real error stops the transfer.
TEST(FullIo, TransferGoesOnThroughShortMovesAndInterruptions)
{
    struct Row {
        const char* what;
        std::vector<ssize_t> answers; // per call: bytes moved, or -1 with the errno below
        int error;
        bool complete;
        std::string moved;
    };
    const Row rows[] = {
        {"at once", {10}, 0, true, "0123456789"},
        {"in pieces", {3, 3, 4}, 0, true, "0123456789"},
        {"interrupted", {-1, 4, -1, 6}, EINTR, true, "0123456789"},
        {"end of file", {4, 0}, 0, false, "0123"},
        {"error", {4, -1}, EIO, false, "0123"},
    };
    const std::string source = "0123456789";
    for (const Row& row : rows) {
        std::string moved;
        std::size_t call = 0;
        const bool complete = transferAll(source.data(), source.size(), [&](const char* p, std::size_t n) -> ssize_t {
            if (call >= row.answers.size())
                return 0;
            const ssize_t answer = row.answers[call++];
            if (answer < 0) {
                errno = row.error;
                return -1;
            }
            moved.append(p, std::min<std::size_t>(n, static_cast<std::size_t>(answer)));
            return answer;
        });
        EXPECT_EQ(complete, row.complete) << row.what;
        EXPECT_EQ(moved, row.moved) << row.what;
    }
}
