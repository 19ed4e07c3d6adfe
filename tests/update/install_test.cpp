#include "update/install.h"

#include "support/temp_dir.h"
#include "support/tree_snapshot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

extern char** environ;

namespace fs = std::filesystem;
using namespace quorvane::update;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

namespace
{

using Tree = quorvane::test::TreeSnapshot;

// The installer's lock file aside.
Tree snapshot(const fs::path& root)
{
    return quorvane::test::snapshotTree(root, {std::string(kInstallLock)});
}

void writeWithMode(const fs::path& path, const std::string& bytes, fs::perms mode)
{
    writeFile(path, bytes);
    fs::permissions(path, mode);
}

constexpr auto kExec = fs::perms(0755);
constexpr auto kPlain = fs::perms(0644);

// An installed release and a newer one waiting in a download folder beside
// it: two files replaced, one program added in a new folder, one file kept.
struct Installation {
    TempDir temp;
    fs::path program = temp / "program";
    fs::path download = temp / "download";
    std::vector<InstallFile> files;

    Installation()
    {
        writeWithMode(program / "Quorvane", "#!/bin/sh\necho old\n", kExec);
        writeWithMode(program / "lib/libcore.so", "old core", fs::perms(0640));
        writeWithMode(program / "conf/config.properties", "kept\r\n", kPlain);
        writeWithMode(program / "help/index.html", "old help", kPlain);
        add("Quorvane", "#!/bin/sh\necho new\n");
        add("lib/libcore.so", "new core");
        add("plugins/video/extra", "\x7f"
                                   "ELF new plugin");
        add("help/index.html", "new help");
    }
    void add(const std::string& localPath, const std::string& bytes)
    {
        writeWithMode(download / localPath, bytes, kPlain);
        files.push_back({download / localPath, localPath});
    }
    // The tree a finished install must leave.
    Tree expectedNew() const
    {
        return {
            {"Quorvane", "#!/bin/sh\necho new\n mode 493"}, // a replaced file keeps its bits
            {"lib/libcore.so", "new core mode 416"},
            {"conf/config.properties", "kept\r\n mode 420"},
            {"help/index.html", "new help mode 420"},
            {"plugins/video/extra", "\x7f"
                                    "ELF new plugin mode 493"}, // a new program is executable
        };
    }
};

int runProbe(const std::vector<std::string>& args)
{
    std::vector<std::string> all{INSTALL_PROBE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, INSTALL_PROBE, nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

std::vector<std::string> installArgs(const Installation& inst, int killAt)
{
    std::vector<std::string> args{inst.program.string(), std::to_string(killAt), "install"};
    for (const auto& f : inst.files) {
        args.push_back(f.source.string());
        args.push_back(f.localPath);
    }
    return args;
}

// Fails a full install at each step in turn and returns, per step, whether
// the failure was undone (true) or came once the new release stood (false);
// either way the folder must hold one whole release, never a mix.
std::vector<bool> undoneWhenFailingAt()
{
    std::vector<bool> undone;
    for (int failAt = 1;; ++failAt) {
        Installation inst;
        const Tree before = snapshot(inst.program);
        int steps = 0;
        InstallOptions options;
        options.stepHook = [&](int step) {
            steps = step;
            return step != failAt;
        };
        const auto outcome = installFiles(inst.program, inst.files, options);
        if (steps < failAt)
            return undone; // the install ran out of steps before failAt
        undone.push_back(outcome.result == InstallResult::RolledBack);
        if (outcome.result == InstallResult::RolledBack) {
            EXPECT_EQ(snapshot(inst.program), before) << "failed at step " << failAt;
            continue;
        }
        EXPECT_EQ(outcome.result, InstallResult::Installed) << "step " << failAt << ": " << outcome.detail;
        // Leftovers of a failed tidy-up are the next recovery's job.
        recoverInterruptedInstall(inst.program);
        EXPECT_EQ(snapshot(inst.program), inst.expectedNew()) << "failed at step " << failAt;
    }
}

} // namespace

TEST(ReleasePaths, RefusesWhatCouldLeaveTheProgramFolder)
{
    TempDir temp;
    const fs::path program = temp / "program";
    writeFile(program / "lib/libcore.so", "x");
    writeFile(program / "conf/config.properties", "x");
    writeFile(temp / "outside/secret", "x");
    fs::create_directory_symlink(temp / "outside", program / "outlink");
    fs::create_directory_symlink(program / "lib", program / "inlink");
    fs::create_directory_symlink(temp / "gone", program / "dangling");
    fs::create_symlink(temp / "outside/secret", program / "secretlink");

    const struct {
        std::string path;
        PathRefusal server, local;
    } cases[] = {
        {"bin/Quorvane", PathRefusal::None, PathRefusal::None},
        {"./lib//libcore.so", PathRefusal::None, PathRefusal::None},
        {"inlink/libnew.so", PathRefusal::None, PathRefusal::None},
        {"v2.0/notes.txt", PathRefusal::None, PathRefusal::None},
        {"", PathRefusal::Empty, PathRefusal::Empty},
        {"./", PathRefusal::Empty, PathRefusal::Empty},
        {"/etc/passwd", PathRefusal::Absolute, PathRefusal::Absolute},
        {"C:/Windows/x.dll", PathRefusal::Absolute, PathRefusal::Absolute},
        {"http://elsewhere/x", PathRefusal::Absolute, PathRefusal::Absolute},
        {"lib/../../x", PathRefusal::ParentStep, PathRefusal::ParentStep},
        {"..", PathRefusal::ParentStep, PathRefusal::ParentStep},
        {"lib\\x.so", PathRefusal::Backslash, PathRefusal::Backslash},
        {std::string("lib/x\0.so", 9), PathRefusal::Nul, PathRefusal::Nul},
        {"lib/x\n.so", PathRefusal::ControlCharacter, PathRefusal::ControlCharacter},
        // Only the program folder on disk can tell these.
        {"outlink/secret", PathRefusal::None, PathRefusal::OutsideThroughLink},
        {"dangling/x", PathRefusal::None, PathRefusal::OutsideThroughLink},
        {"secretlink", PathRefusal::None, PathRefusal::OutsideThroughLink},
        {"lib", PathRefusal::None, PathRefusal::NotAFile},
        {"conf/config.properties/x", PathRefusal::None, PathRefusal::NotAFile},
        {".qvinstall.journal", PathRefusal::None, PathRefusal::Reserved},
        {"lib/.libcore.so.qvold", PathRefusal::None, PathRefusal::Reserved},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(checkServerPath(c.path), c.server) << c.path;
        EXPECT_EQ(checkLocalPath(program, c.path), c.local) << c.path;
    }
}

TEST(ReleasePaths, OneBadPathRefusesTheWholeRelease)
{
    Installation inst;
    struct Entry {
        std::string serpath, localpath;
    };
    const std::vector<Entry> good{{"a/Quorvane", "Quorvane"}, {"a/lib.so", "lib/libcore.so"}};
    EXPECT_FALSE(checkRelease(inst.program, good));
    for (const auto& bad : {Entry{"/abs", "x"}, Entry{"x", "../x"}}) {
        auto release = good;
        release.push_back(bad);
        const auto refusal = checkRelease(inst.program, release);
        ASSERT_TRUE(refusal);
        EXPECT_TRUE(refusal->path == bad.serpath || refusal->path == bad.localpath);
    }

    const Tree before = snapshot(inst.program);
    inst.files.push_back({inst.download / "help/index.html", "help/../../escape"});
    EXPECT_EQ(installFiles(inst.program, inst.files).result, InstallResult::Refused);
    EXPECT_EQ(snapshot(inst.program), before);
}

TEST(Install, PlacesEveryFileAndLeavesNothingBehind)
{
    Installation inst;
    // A later entry for the same target wins.
    inst.add("help/index.html", "newest help");
    const auto outcome = installFiles(inst.program, inst.files);
    ASSERT_TRUE(outcome.ok()) << outcome.detail;
    auto expected = inst.expectedNew();
    expected["help/index.html"] = "newest help mode 420";
    EXPECT_EQ(snapshot(inst.program), expected);
    EXPECT_EQ(recoverInterruptedInstall(inst.program), RecoveryResult::Nothing);
}

TEST(Install, StaleFilesUnderTheInstallersNamesAreNeverRestored)
{
    Installation inst;
    writeFile(inst.program / ".Quorvane.qvold", "planted");
    writeFile(inst.program / "lib/.libcore.so.qvnew", "planted");
    const Tree before = snapshot(inst.program);
    fs::remove(inst.files.back().source); // the install fails while staging
    EXPECT_EQ(installFiles(inst.program, inst.files).result, InstallResult::RolledBack);
    auto expected = before;
    expected.erase(".Quorvane.qvold");
    expected.erase("lib/.libcore.so.qvnew");
    EXPECT_EQ(snapshot(inst.program), expected);
}

TEST(Install, AnotherInstallerHoldingTheFolderTouchesNothing)
{
    Installation inst;
    const Tree before = snapshot(inst.program);
    const int fd = ::open((inst.program / kInstallLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(installFiles(inst.program, inst.files).result, InstallResult::Busy);
    EXPECT_EQ(recoverInterruptedInstall(inst.program), RecoveryResult::Busy);
    ::close(fd);
    EXPECT_EQ(snapshot(inst.program), before);
}

TEST(Install, AMissingDownloadLeavesTheOldRelease)
{
    Installation inst;
    const Tree before = snapshot(inst.program);
    fs::remove(inst.files.back().source);
    EXPECT_EQ(installFiles(inst.program, inst.files).result, InstallResult::RolledBack);
    EXPECT_EQ(snapshot(inst.program), before);
}

// A failure at any step either puts back the old release, file for file, or
// comes once the new one stands.
TEST(Install, FailureAtEveryStepLeavesOneWholeRelease)
{
    const auto undone = undoneWhenFailingAt();
    ASSERT_GT(undone.size(), 10u);
    EXPECT_TRUE(undone.front());
    EXPECT_FALSE(undone.back());
}

// The same matrix with the installer killed (SIGKILL) before each step, and
// the next updater's recovery, itself killed once along the way.
TEST(Install, KillAtEveryStepIsRecoveredToOneWholeRelease)
{
    const auto undone = undoneWhenFailingAt();
    ASSERT_FALSE(undone.empty());
    for (int killAt = 1; killAt <= static_cast<int>(undone.size()); ++killAt) {
        for (const int recoveryKilledAt : {0, 1, 2}) {
            Installation inst;
            const Tree before = snapshot(inst.program);
            ASSERT_EQ(runProbe(installArgs(inst, killAt)), -SIGKILL) << "step " << killAt;
            if (recoveryKilledAt > 0) {
                const int rc = runProbe({inst.program.string(), std::to_string(recoveryKilledAt), "recover"});
                EXPECT_TRUE(rc == -SIGKILL || rc == 0) << rc;
            }
            const auto recovery = recoverInterruptedInstall(inst.program);
            EXPECT_NE(recovery, RecoveryResult::Failed);
            EXPECT_EQ(snapshot(inst.program), undone[killAt - 1] ? before : inst.expectedNew())
                << "killed at step " << killAt << ", recovery killed at " << recoveryKilledAt;
            // A later install over the recovered folder works as usual.
            ASSERT_TRUE(installFiles(inst.program, inst.files).ok());
            EXPECT_EQ(snapshot(inst.program), inst.expectedNew());
        }
    }
}
