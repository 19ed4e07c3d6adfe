// Whole update cycles of the background updater against the reference
// service's update server, with a stand-in main program that the test
// starts and watches.
#include "update/update_cycle.h"

#include "common/md5.h"
#include "service/harness.h"
#include "support/temp_dir.h"
#include "update/raw_get.h"
#include "update/release_key.h"
#include "update/version_records.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cstdio>
#include <map>

extern char** environ;

namespace fs = std::filesystem;
using namespace quorvane;
using namespace quorvane::update;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;
using quorvane::testing::ReleaseKey;

namespace
{

// Time that passes only in sleeps, all of which it keeps.
class SleepLog final : public Clock
{
public:
    Steady::time_point now() const override { return Steady::time_point(m_slept); }
    System::time_point wallNow() const override { return System::time_point(m_slept); }
    void sleepFor(std::chrono::milliseconds d) override
    {
        m_slept += d;
        sleeps.push_back(d);
    }
    std::vector<std::chrono::milliseconds> sleeps;

private:
    std::chrono::milliseconds m_slept{0};
};

struct ServerFile {
    std::string serpath, localpath, bytes;
    std::string verify = {}; // the bytes' digest when empty
    std::string sha256 = {}; // no attribute when empty
};

std::string sha256Hex(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// An installation at V1 with its stand-in main program, an update server
// folder holding V2, and the reference service serving it.
class UpdateCycleTest : public ::testing::Test
{
protected:
    TempDir temp;
    fs::path program = temp / "program";
    fs::path server = temp / "server";
    // A name of our own, so no other program on the machine is ended.
    std::string mainName = "qvmain" + std::to_string(::getpid() % 100000);
    std::optional<refsvc_test::RefService> service;
    platform::LinuxProcessControl processes;
    platform::IniRegistryStore registry{temp / "registry.ini"};
    std::shared_ptr<SleepLog> clock = std::make_shared<SleepLog>();
    std::map<std::string, int> fetches; // URL -> count
    int endTips = 0;
    bool mainRanAtEndTip = false;
    pid_t mainPid = -1;

    void SetUp() override
    {
        fs::create_directories(server);
        service.emplace(std::vector<std::string>{"--web", "none", "--update", "127.0.0.1:0", "--test-server", "none",
                                                 "--update-dir", server.string()});
        ASSERT_TRUE(service->ok()) << service->log();
        writeConfig("");
        writeFile(program / "conf/update_process.properties", "new_app_ver=V1\r\n");
        writeFile(program / "help/notes.txt", "old notes");
        fs::copy_file(FAKE_PROGRAM, program / mainName);
        fs::permissions(program / mainName, fs::perms(0755));
    }
    void TearDown() override
    {
        if (mainPid > 0) {
            ::kill(mainPid, SIGKILL);
            ::waitpid(mainPid, nullptr, 0);
        }
    }

    std::string serverUrl() const { return "http://127.0.0.1:" + std::to_string(service->update().port) + "/update/"; }
    void writeConfig(const std::string& keyLine)
    {
        writeFile(program / "conf/config.properties",
                  "update_server_path=" + serverUrl() + "\r\nupdate_ver_file_name=update.xml\r\n" + keyLine);
    }
    // The new release: a main program that notes how it was started, and
    // new notes.
    std::vector<ServerFile> release() const
    {
        return {{"v2/" + mainName, mainName, "#!/bin/sh\necho \"new $*\" >> started.log\n"},
                {"v2/help/notes.txt", "help/notes.txt", "new notes"}};
    }
    std::string publish(const std::vector<ServerFile>& files, const std::string& installedId = "V1")
    {
        std::string xml = "<?xml version=\"1.0\"?>\n<update><Version>V2</Version><versions>"
                          "<versionid seq=\"1\">" +
                          installedId + "</versionid><versionid seq=\"2\">V2</versionid>\n";
        for (const auto& f : files) {
            writeFile(server / f.serpath, f.bytes);
            xml += "<File seq=\"2\" serpath=\"" + f.serpath + "\" localpath=\"" + f.localpath + "\" verify=\"" +
                   (f.verify.empty() ? md5Hex(f.bytes) : f.verify) + "\" size=\"" + std::to_string(f.bytes.size()) +
                   (f.sha256.empty() ? "" : "\" sha256=\"" + f.sha256) + "\"/>\n";
        }
        xml += "</versions></update>\n";
        writeFile(server / "update.xml", xml);
        return xml;
    }

    void startMain(std::string arg = "sleep=60000")
    {
        std::string exe = (program / mainName).string();
        char* argv[] = {exe.data(), arg.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, program.c_str());
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        ASSERT_EQ(::posix_spawn(&mainPid, exe.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Running once its log line is there.
        const auto log = program / (arg == "run" ? "started.log" : "fake_program.log");
        for (int i = 0; i < 500 && !fs::exists(log); ++i)
            ::usleep(10000);
        ASSERT_TRUE(fs::exists(log));
    }
    // Whether the stand-in was killed (reaped then); false while it runs.
    bool mainKilled()
    {
        int status = 0;
        if (::waitpid(mainPid, &status, WNOHANG) != mainPid)
            return false;
        mainPid = -1;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

    UpdateServices services()
    {
        UpdateServices s;
        s.programDir = program;
        s.processes = &processes;
        s.registry = &registry;
        s.clock = clock;
        s.mainProgram = mainName;
        s.showEndTip = [this] {
            ++endTips;
            mainRanAtEndTip = platform::isProcessRunning(processes, mainName, platform::NameCase::Insensitive);
        };
        s.fetch = [this](const std::string& url, const fs::path& file, const FetchLimits& limits) {
            ++fetches[url];
            RawGetOptions options;
            options.limits = limits;
            return rawGet(url, file, options) == RawGetResult::Ok;
        };
        return s;
    }
    CycleReport cycle()
    {
        auto s = services();
        return runUpdateCycle(s);
    }
};

TEST_F(UpdateCycleTest, InstallsARunningMainProgramsReleaseAndRestartsIt)
{
    publish(release());
    startMain();
    const auto report = cycle();
    EXPECT_EQ(report.outcome, CycleOutcome::Installed) << report.detail;
    EXPECT_TRUE(report.mainProgramReplaced);
    EXPECT_EQ(endTips, 1);
    EXPECT_TRUE(mainRanAtEndTip);
    EXPECT_TRUE(mainKilled());
    EXPECT_EQ(clock->sleeps, std::vector<std::chrono::milliseconds>{kAfterTerminate});
    // The new main program, started with "update", ran to its end.
    EXPECT_TRUE(report.restarted);
    EXPECT_EQ(readFile(program / "started.log"), "new update\n");
    EXPECT_EQ(readFile(program / "help/notes.txt"), "new notes");
    EXPECT_EQ(fs::status(program / mainName).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(ReadDisplayVersion(registry), "V2");
    EXPECT_EQ(ReadNewAppVer(program), "V2");
    EXPECT_EQ(ReadInstalledRelease(program).sequence, 2);
    EXPECT_FALSE(fs::exists(program / "tmpUpdate"));

    // The next cycle finds nothing to do.
    EXPECT_EQ(cycle().outcome, CycleOutcome::Current);
}

TEST_F(UpdateCycleTest, WithoutARunningMainProgramInstallsQuietly)
{
    auto files = release();
    files.erase(files.begin()); // the main program stays as it is
    publish(files);
    const auto report = cycle();
    EXPECT_EQ(report.outcome, CycleOutcome::Installed) << report.detail;
    EXPECT_EQ(endTips, 0);
    EXPECT_FALSE(report.restarted);
    EXPECT_FALSE(fs::exists(program / "started.log"));
    EXPECT_EQ(readFile(program / "help/notes.txt"), "new notes");
    EXPECT_FALSE(ReadDisplayVersion(registry)); // only a new main program records it
    EXPECT_EQ(ReadNewAppVer(program), "V2");
}

// Releases that must leave the installation as it is: the running main
// program is neither warned, nor ended, nor restarted.
TEST_F(UpdateCycleTest, ReleasesThatInstallNothingLeaveTheMainProgramRunning)
{
    const ReleaseKey key, stranger;
    const struct {
        const char* what;
        std::function<void()> arrange;
        CycleOutcome outcome;
        std::string newAppVer;
    } cases[] = {
        {"no newer file: only the version is recorded", [&] { publish({}); }, CycleOutcome::RecordedOnly, "V2"},
        // Nothing tells which files the installation lacks; recording V2
        // would make every later cycle (and the main program) say current.
        {"installed version not in the history: nothing recorded", [&] { publish(release(), "V0"); },
         CycleOutcome::NotInHistory, "V1"},
        {"a digest that never matches",
         [&] {
             auto files = release();
             files[1].verify = md5Hex("something else");
             publish(files);
         },
         CycleOutcome::DownloadFailed, "V1"},
        {"a sha256 that never matches, though the MD5 does",
         [&] {
             auto files = release();
             files[1].sha256 = sha256Hex("something else");
             publish(files);
         },
         CycleOutcome::DownloadFailed, "V1"},
        {"a path leading out of the program folder",
         [&] {
             auto files = release();
             files[1].localpath = "help/../../outside.txt";
             publish(files);
         },
         CycleOutcome::PathRefused, "V1"},
        {"the server's version is installed",
         [&] {
             publish(release());
             writeFile(program / "conf/update_process.properties", "new_app_ver=V2\r\n");
         },
         CycleOutcome::Current, "V2"},
        {"no manifest", [&] { fs::remove(server / "update.xml"); }, CycleOutcome::NoServerVersion, "V1"},
        {"signature missing",
         [&] {
             publish(release());
             writeConfig("update_public_key=" + key.rawPublic() + "\r\n");
         },
         CycleOutcome::SignatureRefused, "V1"},
        {"signed by another key",
         [&] {
             writeFile(server / "update.xml.sig", stranger.sign(publish(release())));
             writeConfig("update_public_key=" + key.rawPublic() + "\r\n");
         },
         CycleOutcome::SignatureRefused, "V1"},
        {"signature of another manifest",
         [&] {
             writeFile(server / "update.xml.sig", key.sign(publish(release(), "V0")));
             publish(release());
             writeConfig("update_public_key=" + key.pemBody() + "\r\n");
         },
         CycleOutcome::SignatureRefused, "V1"},
        {"a replayed older signed manifest",
         [&] {
             writeFile(server / "update.xml.sig", key.sign(publish(release())));
             writeConfig("update_public_key=" + key.rawPublic() + "\r\n");
             writeFile(program / "conf/update_process.properties", "new_app_ver=V3\r\nnew_app_seq=3\r\n");
         },
         CycleOutcome::OlderRelease, "V3"},
    };
    startMain();
    for (const auto& c : cases) {
        fs::remove_all(server);
        fs::create_directories(server);
        writeConfig("");
        writeFile(program / "conf/update_process.properties", "new_app_ver=V1\r\n");
        fetches.clear();
        c.arrange();
        const std::string mainBefore = md5HexOfFile((program / mainName).string());
        const auto report = cycle();
        EXPECT_EQ(report.outcome, c.outcome) << c.what << ": " << report.detail;
        EXPECT_EQ(ReadNewAppVer(program), c.newAppVer) << c.what;
        EXPECT_EQ(readFile(program / "help/notes.txt"), "old notes") << c.what;
        EXPECT_EQ(md5HexOfFile((program / mainName).string()), mainBefore) << c.what;
        EXPECT_FALSE(fs::exists(temp / "outside.txt")) << c.what;
        EXPECT_EQ(endTips, 0) << c.what;
        EXPECT_FALSE(mainKilled()) << c.what;
        EXPECT_FALSE(fs::exists(program / "started.log")) << c.what;
        if (c.outcome == CycleOutcome::DownloadFailed) {
            EXPECT_EQ(fetches[serverUrl() + "v2/help/notes.txt"], kDigestAttempts);
        }
    }
}

TEST_F(UpdateCycleTest, ASignedReleaseIsInstalled)
{
    const ReleaseKey key;
    auto files = release();
    files[0].sha256 = sha256Hex(files[0].bytes);
    for (char& c : files[0].sha256)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    files[1].sha256 = sha256Hex(files[1].bytes);
    writeFile(server / "update.xml.sig", key.sign(publish(files)));
    writeConfig("update_public_key=" + key.pemBody() + "\r\n");
    const auto report = cycle();
    EXPECT_EQ(report.outcome, CycleOutcome::Installed) << report.detail;
    EXPECT_EQ(fetches[serverUrl() + "update.xml.sig"], 1);
    EXPECT_EQ(readFile(program / "help/notes.txt"), "new notes");
}

TEST_F(UpdateCycleTest, TheSigningScriptSignsAReleaseFolder)
{
    publish(release());
    const std::string script = std::string(QUORVANE_SOURCE_DIR) + "/scripts/sign-release.sh";
    const fs::path keyFile = temp / "release.pem";
    const std::string out = (temp / "keyline").string();
    ASSERT_EQ(std::system((script + " keygen " + keyFile.string() + " > /dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(
        std::system(
            (script + " sign " + keyFile.string() + " " + server.string() + " > " + out + " 2>/dev/null").c_str()),
        0);
    EXPECT_EQ(fs::status(keyFile).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    writeConfig(readFile(out));
    EXPECT_EQ(cycle().outcome, CycleOutcome::Installed);

    // A folder whose files do not match the manifest is not signed.
    writeFile(server / "v2/help/notes.txt", "changed after publishing");
    fs::remove(server / "update.xml.sig");
    EXPECT_NE(std::system((script + " sign " + keyFile.string() + " " + server.string() + " >/dev/null 2>&1").c_str()),
              0);
    EXPECT_FALSE(fs::exists(server / "update.xml.sig"));

    // Nor one whose sha256 attributes do not match, while a matching one signs.
    for (const bool matching : {false, true}) {
        auto files = release();
        files[1].sha256 = sha256Hex(matching ? files[1].bytes : "other bytes");
        publish(files);
        const std::string sign = script + " sign " + keyFile.string() + " " + server.string() + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(sign.c_str()) == 0, matching);
    }
}

// A main program that notes every start and, unless started by an updater,
// keeps running until it is killed.
constexpr const char* kScriptMain = "#!/bin/sh\necho \"old $*\" >> started.log\n"
                                    "case \"$1\" in update|logoff) exit 0;; esac\n"
                                    "while :; do sleep 1; done\n";

// Installs that cannot happen or are undone: the old release stays whole,
// and a main program ended for the install is started again.
TEST_F(UpdateCycleTest, InstallsThatDoNotHappenLeaveTheOldReleaseRunning)
{
    int heldLock = -1;
    const struct {
        const char* what;
        std::function<void(UpdateServices&)> arrange;
        CycleOutcome outcome;
        bool mainEnded;
    } cases[] = {
        {"another installer holds the folder",
         [&](UpdateServices&) {
             heldLock = ::open((program / ".qvinstall.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
             ASSERT_EQ(::flock(heldLock, LOCK_EX), 0);
         },
         CycleOutcome::InstallerBusy, false},
        {"the lock cannot be created", [&](UpdateServices&) { fs::create_directory(program / ".qvinstall.lock"); },
         CycleOutcome::FolderNotWritable, false},
        {"a step fails and is undone",
         [](UpdateServices& s) { s.installOptions.stepHook = [](int step) { return step != 9; }; },
         CycleOutcome::InstallFailed, true},
        // The second file cannot be moved aside, and putting the first one
        // back fails too: without recovery the new main program would start.
        {"the undo fails half-way",
         [](UpdateServices& s) {
             s.installOptions.stepHook = [](int step) { return step != 9; };
             s.installOptions.undoStepHook = [](int step) { return step != 2; };
         },
         CycleOutcome::InstallFailed, true},
    };
    publish(release());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(program / ".qvinstall.lock");
        writeFile(program / mainName, kScriptMain);
        fs::remove(program / "started.log");
        startMain("run");
        auto s = services();
        c.arrange(s);
        const auto report = runUpdateCycle(s);
        if (heldLock >= 0)
            ::close(std::exchange(heldLock, -1));
        EXPECT_EQ(report.outcome, c.outcome) << report.detail;
        EXPECT_EQ(mainKilled(), c.mainEnded);
        EXPECT_EQ(report.restarted, c.mainEnded);
        EXPECT_EQ(readFile(program / "started.log"), c.mainEnded ? "old run\nold update\n" : "old run\n");
        EXPECT_EQ(readFile(program / mainName), kScriptMain);
        EXPECT_EQ(readFile(program / "help/notes.txt"), "old notes");
        EXPECT_FALSE(fs::exists(program / std::string(kInstallJournal)));
        EXPECT_EQ(ReadNewAppVer(program), "V1");
        EXPECT_FALSE(fs::exists(program / "tmpUpdate"));
        if (mainPid > 0) {
            ::kill(mainPid, SIGKILL);
            ::waitpid(mainPid, nullptr, 0);
            mainPid = -1;
        }
    }
}

// The same program started from another folder is not this installation's.
TEST_F(UpdateCycleTest, AMainProgramOfAnotherFolderIsLeftRunning)
{
    const fs::path elsewhere = temp / "elsewhere";
    fs::create_directories(elsewhere);
    fs::copy_file(FAKE_PROGRAM, elsewhere / mainName);
    std::string exe = (elsewhere / mainName).string(), arg = "sleep=60000";
    char* argv[] = {exe.data(), arg.data(), nullptr};
    pid_t other = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, elsewhere.c_str());
    ASSERT_EQ(::posix_spawn(&other, exe.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 500 && !fs::exists(elsewhere / "fake_program.log"); ++i)
        ::usleep(10000);

    publish(release());
    const auto report = cycle();
    EXPECT_EQ(report.outcome, CycleOutcome::Installed) << report.detail;
    EXPECT_EQ(endTips, 0);
    EXPECT_FALSE(report.restarted);
    EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0) << "the other folder's program was ended";
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
}

TEST(MainProgramProcess, OnlyThisUsersProcessOfThisFileCounts)
{
    TempDir temp;
    const fs::path target = temp / "inst/Quorvane", other = temp / "other/Quorvane";
    writeFile(target, "x");
    writeFile(other, "x");
    const unsigned me = ::getuid();
    const struct {
        const char* what;
        fs::path exe;
        std::string cmdline;
        unsigned uid;
        bool ours;
    } cases[] = {
        {"its executable", target, std::string("Quorvane\0", 9), me, true},
        {"its executable, replaced while it ran", fs::canonical(target).string() + " (deleted)",
         std::string("Quorvane\0", 9), me, true},
        {"a copy in another folder", other, std::string("Quorvane\0", 9), me, false},
        {"another user's", target, std::string("Quorvane\0", 9), me + 1, false},
        {"a script, by absolute path", "/bin/sh", std::string("sh\0", 3) + target.string() + std::string("\0run\0", 5),
         me, true},
        {"a script, relative to its folder", "/bin/sh", std::string("sh\0./Quorvane\0", 15), me, true},
        {"another script", "/bin/sh", std::string("sh\0", 3) + other.string() + std::string("\0", 1), me, false},
    };
    for (const auto& c : cases) {
        const fs::path proc = temp / "proc", dir = proc / "100";
        fs::remove_all(proc);
        fs::create_directories(dir);
        fs::create_symlink(c.exe, dir / "exe");
        fs::create_symlink(target.parent_path(), dir / "cwd");
        writeFile(dir / "cmdline", c.cmdline);
        EXPECT_EQ(platform::processRunsProgram(proc, 100, c.uid, fs::canonical(target)), c.ours) << c.what;
    }
}

TEST_F(UpdateCycleTest, LogoffEndsTheMainProgramAndStartsItWithLogoff)
{
    writeFile(program / mainName, kScriptMain);
    startMain("run");
    auto s = services();
    runLogoff(s);
    EXPECT_TRUE(mainKilled());
    EXPECT_EQ(readFile(program / "started.log"), "old run\nold logoff\n");
}

TEST(UpdateProgram, WithoutACommandEndsAtOnce)
{
    for (const char* arg : {"", "help", "upd"}) {
        const std::string command = std::string(UPDATE_PROGRAM) + " '" + arg + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << arg;
    }
    EXPECT_EQ(std::system(UPDATE_PROGRAM), 0);
}

// The release the reference service ships, under the key that signed it,
// brings an installation of the release before it up to date.
TEST_F(UpdateCycleTest, TheShippedDemoReleaseIsSignedAndInstalls)
{
    const fs::path shipped = fs::path(QUORVANE_SOURCE_DIR) / "service/data/update";
    service.emplace(std::vector<std::string>{"--web", "none", "--update", "127.0.0.1:0", "--test-server", "none",
                                             "--update-dir", shipped.string()});
    ASSERT_TRUE(service->ok()) << service->log();
    writeConfig(readFile(shipped / "release-key.txt") + "\r\n");
    writeFile(program / "conf/update_process.properties", "new_app_ver=V2.0.06\r\n");
    const auto report = cycle();
    EXPECT_EQ(report.outcome, CycleOutcome::Installed) << report.detail;
    EXPECT_EQ(readFile(program / "help/release-notes.txt"),
              readFile(shipped / "files/V2.0.07-beta/help/release-notes.txt"));
    EXPECT_EQ(ReadNewAppVer(program), "V2.0.07-beta");
    EXPECT_EQ(cycle().outcome, CycleOutcome::Current);
}

TEST_F(UpdateCycleTest, LoopRunsFiveMinutesAfterStartThenHourly)
{
    int cycles = 0;
    std::vector<std::chrono::milliseconds> cycleTimes;
    auto s = services();
    s.fetch = [&](const std::string&, const fs::path&, const FetchLimits&) {
        cycleTimes.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(clock->now().time_since_epoch()));
        ++cycles;
        return false;
    };
    runUpdateLoop(s, [&] { return cycles < 3; });
    using std::chrono::minutes;
    EXPECT_EQ(cycleTimes, (std::vector<std::chrono::milliseconds>{minutes(5), minutes(65), minutes(125)}));
}

} // namespace

TEST(UpdateCommand, OnlyTheFirstSixCharactersOfTheFirstArgumentCount)
{
    const struct {
        std::vector<const char*> args;
        UpdateCommand command;
    } cases[] = {
        {{"Update"}, UpdateCommand::None},
        {{"Update", "update"}, UpdateCommand::Update},
        {{"Update", "updates", "logoff"}, UpdateCommand::Update},
        {{"Update", "logoff"}, UpdateCommand::Logoff},
        {{"Update", "logoffnow"}, UpdateCommand::Logoff},
        {{"Update", "Update"}, UpdateCommand::None},
        {{"Update", "upd"}, UpdateCommand::None},
        {{"Update", ""}, UpdateCommand::None},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseUpdateCommand(static_cast<int>(c.args.size()), c.args.data()), c.command) << c.args.size();
}
