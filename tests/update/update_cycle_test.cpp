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
};

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
                   "\"/>\n";
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
        s.fetch = [this](const std::string& url, const fs::path& file) {
            ++fetches[url];
            return rawGet(url, file) == RawGetResult::Ok;
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
        {"no file selected: only the version is recorded", [&] { publish(release(), "V0"); },
         CycleOutcome::RecordedOnly, "V2"},
        {"a digest that never matches",
         [&] {
             auto files = release();
             files[1].verify = md5Hex("something else");
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
    writeFile(server / "update.xml.sig", key.sign(publish(release())));
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
}

// A main program that notes every start and, unless started by an updater,
// keeps running until it is killed.
constexpr const char* kScriptMain = "#!/bin/sh\necho \"old $*\" >> started.log\n"
                                    "case \"$1\" in update|logoff) exit 0;; esac\n"
                                    "while :; do sleep 1; done\n";

TEST_F(UpdateCycleTest, AnUndoneInstallStillRestartsTheMainProgramItEnded)
{
    writeFile(program / mainName, kScriptMain);
    publish(release());
    startMain("run");
    // Another installer holds the folder, so this one must give up.
    const int lock = ::open((program / ".qvinstall.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const auto report = cycle();
    ::close(lock);
    EXPECT_EQ(report.outcome, CycleOutcome::InstallFailed) << report.detail;
    EXPECT_TRUE(mainKilled());
    EXPECT_TRUE(report.restarted);
    EXPECT_EQ(readFile(program / "started.log"), "old run\nold update\n");
    EXPECT_EQ(readFile(program / "help/notes.txt"), "old notes");
    EXPECT_EQ(ReadNewAppVer(program), "V1");
    EXPECT_FALSE(fs::exists(program / "tmpUpdate"));
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
    s.fetch = [&](const std::string&, const fs::path&) {
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
