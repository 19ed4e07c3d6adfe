// Quorvane's start as the user meets it: the built program in a temporary
// installation, real second starts, a fake updater program.
#include "app/shell/startup.h"
#include "platform/processes.h"
#include "platform/single_instance.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>

using namespace quorvane;
using namespace quorvane::test;

namespace
{

constexpr int kStartMs = 60000; // a sanitizer build starts slowly on a busy machine
constexpr int kExitMs = 30000;
constexpr const char* kAccepting = "accepting activations";

// A program folder with its own session: runtime folder (lock, socket) and
// configuration folder are the test's, so parallel tests never meet.
class Installation
{
public:
    Installation()
    {
        std::filesystem::create_directories(dir() / "conf");
        std::filesystem::create_directories(runtime());
        ::chmod(runtime().c_str(), 0700);
        installProgram(QUORVANE_OUT_DIR "/Quorvane", dir() / "Quorvane");
    }
    ~Installation()
    {
        for (long pid : loggedPids(dir()))
            killIfNamed(pid, "Update");
    }

    std::filesystem::path dir() const { return m_root / "inst"; }
    std::filesystem::path runtime() const { return m_root / "run"; }

    std::unique_ptr<Child> start(const std::string& program = "Quorvane", const std::filesystem::path& cwd = {})
    {
        return std::make_unique<Child>(dir() / program, std::vector<std::string>{}, cwd.empty() ? m_root.path() : cwd,
                                       std::map<std::string, std::string>{
                                           {"XDG_RUNTIME_DIR", runtime().string()},
                                           {"XDG_CONFIG_HOME", (m_root / "cfg").string()},
                                           {"QT_QPA_PLATFORM", "offscreen"},
                                           {"ASAN_OPTIONS", "detect_leaks=0"},
                                       });
    }

    void setLoginWindowShow(const std::string& value)
    {
        writeFile(dir() / "conf" / "config.properties", "#user config\r\nlogin_window_show=" + value + "\r\n");
    }

private:
    TempDir m_root;
};

// Expects a second start to end at once, quietly, with exit code 0.
void expectHandedOver(Child& second)
{
    EXPECT_EQ(second.waitForExit(kExitMs), 0);
    EXPECT_EQ(second.output().find(kAccepting), std::string::npos) << second.output();
}

// Other "Update" programs on this machine (not ours) would make the
// comparison of ids come out differently.
bool foreignUpdaterRunning(const std::vector<long>& ours)
{
    platform::LinuxProcessControl processes;
    for (const auto& p : processes.snapshot()) {
        if (platform::processNameMatches(p, "Update", platform::NameCase::Insensitive) &&
            std::find(ours.begin(), ours.end(), p.pid) == ours.end())
            return true;
    }
    return false;
}

} // namespace

TEST(ProgramStart, ASecondStartActivatesTheFirstAndEnds)
{
    Installation install;
    auto first = install.start();
    ASSERT_TRUE(first->waitForOutput(kAccepting, kStartMs)) << first->output();

    auto second = install.start();
    expectHandedOver(*second);
    EXPECT_TRUE(first->waitForOutput("activation: post 1174 128 515", kExitMs)) << first->output();

    // While the first shows its login window: the foreground request instead.
    install.setLoginWindowShow("true");
    auto third = install.start();
    expectHandedOver(*third);
    EXPECT_TRUE(first->waitForOutput("activation: foreground", kExitMs)) << first->output();

    // Anything but exactly "true" is the tray double-click again.
    install.setLoginWindowShow("TRUE");
    auto fourth = install.start();
    expectHandedOver(*fourth);
    EXPECT_TRUE(first->waitForOutput("activation: post 1174 128 515", 2, kExitMs)) << first->output();
    EXPECT_FALSE(first->waitForExit(0).has_value()) << "the first instance keeps running";
}

TEST(ProgramStart, ACopyUnderAnotherNameIsItsOwnInstance)
{
    Installation install;
    installProgram(install.dir() / "Quorvane", install.dir() / "QuorvaneCopy");
    auto original = install.start("Quorvane");
    ASSERT_TRUE(original->waitForOutput(kAccepting, kStartMs)) << original->output();
    auto copy = install.start("QuorvaneCopy");
    ASSERT_TRUE(copy->waitForOutput(kAccepting, kStartMs)) << copy->output();

    auto secondCopy = install.start("QuorvaneCopy");
    expectHandedOver(*secondCopy);
    EXPECT_TRUE(copy->waitForOutput("activation:", kExitMs)) << copy->output();
    EXPECT_EQ(original->output().find("activation:"), std::string::npos) << original->output();
}

TEST(ProgramStart, NobodyAnsweringEndsTheSecondStartSilently)
{
    // The first instance holds its claim but has no window yet.
    Installation install;
    platform::LocalSingleInstance starting("Quorvane", install.runtime());
    ASSERT_TRUE(starting.claim());
    auto second = install.start();
    expectHandedOver(*second);
    EXPECT_EQ(second->output().find("activation"), std::string::npos) << second->output();
}

TEST(ProgramStart, StartsTheUpdaterFromItsOwnFolderAndRemembersIt)
{
    Installation install;
    installProgram(FAKE_PROGRAM, install.dir() / "Update");
    writeFile(install.dir() / "conf" / "update_process.properties",
              "#user config\r\n#stamp\r\nupdate_process_id=4711\r\nnew_app_ver=V2.0.08\r\n");
    TempDir elsewhere; // the user starts it from another folder

    auto first = install.start("Quorvane", elsewhere.path());
    ASSERT_TRUE(first->waitForOutput("updater: started pid", kStartMs)) << first->output();
    ASSERT_TRUE(waitUntil([&] { return !loggedPids(install.dir()).empty(); }, kExitMs))
        << "the updater runs in the program folder";
    const auto pids = loggedPids(install.dir());
    ASSERT_EQ(pids.size(), 1u);
    const long updater = pids.front();
    EXPECT_EQ(readFile(install.dir() / "fake_program.log"), std::to_string(updater) + " update\n");
    const std::string state = readFile(install.dir() / "conf" / "update_process.properties");
    EXPECT_NE(state.find("update_process_id=" + std::to_string(updater) + "\r\n"), std::string::npos) << state;
    EXPECT_NE(state.find("new_app_ver=V2.0.08\r\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "conf"));

    // The first instance dies without cleaning up; the updater lives on.
    ASSERT_TRUE(first->waitForOutput(kAccepting, kStartMs));
    first->kill();
    auto again = install.start("Quorvane", elsewhere.path());
    ASSERT_TRUE(again->waitForOutput(kAccepting, kStartMs)) << "the updater does not hold the claim\n"
                                                            << again->output();
    ASSERT_TRUE(again->waitForOutput("updater: ", kStartMs)) << again->output();
    if (foreignUpdaterRunning(pids))
        GTEST_SKIP() << "another program named Update runs on this machine";
    EXPECT_NE(again->output().find("updater: nothing to start (running " + std::to_string(updater)), std::string::npos)
        << again->output();
    EXPECT_EQ(loggedPids(install.dir()).size(), 1u);
}

TEST(UpdaterWithRealProcesses, StartsOnlyWhenTheRunningUpdaterIsNotTheStoredOne)
{
    // The updater under a name of this test's own, so other programs named
    // Update on the machine cannot change the outcome.
    TempDir install;
    const std::string name = uniqueName("Update");
    installProgram(FAKE_PROGRAM, install / name);
    const auto stateFile = install / "conf" / "update_process.properties";
    const auto stored = [&] { return readFile(stateFile); };
    struct Cleanup {
        const TempDir& dir;
        std::string name;
        ~Cleanup()
        {
            for (long pid : loggedPids(dir.path()))
                killIfNamed(pid, name);
        }
    } cleanup{install, name};
    platform::LinuxProcessControl processes;
    const long self = ::getpid();

    // None running, id missing, then 0: the ids agree.
    EXPECT_FALSE(EnsureUpdaterRunning(processes, install.path(), name, self).startAttempted);
    writeFile(stateFile, "update_process_id=0\r\n");
    EXPECT_FALSE(EnsureUpdaterRunning(processes, install.path(), name, self).startAttempted);

    // None running, 4711 stored: one starts and its id replaces 4711.
    writeFile(stateFile, "update_process_id=4711\r\n");
    auto check = EnsureUpdaterRunning(processes, install.path(), name, self);
    ASSERT_TRUE(check.startedPid.has_value());
    const long started = *check.startedPid;
    EXPECT_NE(stored().find("update_process_id=" + std::to_string(started) + "\r\n"), std::string::npos) << stored();
    ASSERT_TRUE(waitUntil([&] { return !loggedPids(install.path()).empty(); }, kExitMs));
    EXPECT_EQ(readFile(install / "fake_program.log"), std::to_string(started) + " update\n");

    // Running with the stored id: nothing more.
    check = EnsureUpdaterRunning(processes, install.path(), name, self);
    EXPECT_FALSE(check.startAttempted);
    EXPECT_EQ(check.runningPid, started);

    // Running with another id: a further one starts and its id is stored.
    writeFile(stateFile, "update_process_id=1\r\n");
    check = EnsureUpdaterRunning(processes, install.path(), name, self);
    EXPECT_EQ(check.runningPid, started);
    ASSERT_TRUE(check.startedPid.has_value());
    EXPECT_NE(*check.startedPid, started);
    EXPECT_NE(stored().find("update_process_id=" + std::to_string(*check.startedPid) + "\r\n"), std::string::npos);
    ASSERT_TRUE(waitUntil([&] { return loggedPids(install.path()).size() == 2; }, kExitMs));
    EXPECT_TRUE(platform::isProcessRunning(processes, name, platform::NameCase::Sensitive));

    // Without the program nothing starts and the id stays.
    std::filesystem::remove(install / name);
    writeFile(stateFile, "update_process_id=4711\r\n");
    EXPECT_TRUE(EnsureUpdaterRunning(processes, install.path(), name, self).startAttempted);
    EXPECT_EQ(stored(), "update_process_id=4711\r\n");
}
