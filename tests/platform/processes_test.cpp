// Process snapshot, start and terminate against real programs: copies of the
// fake program under names no other test uses.
#include "platform/processes.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

using namespace quorvane::platform;
using namespace quorvane::test;

namespace
{

std::optional<ProcessInfo> entryFor(const std::vector<ProcessInfo>& snapshot, long pid)
{
    for (const auto& p : snapshot)
        if (p.pid == pid)
            return p;
    return std::nullopt;
}

std::string procField(long pid, const std::string& what)
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/" + what, ec).string();
}

} // namespace

TEST(ProcessSnapshot, FindsRunningProgramsByNameInAnyCase)
{
    TempDir dir;
    const std::string shortName = uniqueName("QvSnap");            // fits the kernel name
    const std::string longName = uniqueName("QvSnapshotLongName"); // cut to 15 in the kernel name
    Child a(installProgram(FAKE_PROGRAM, dir / shortName), {"sleep=30000"}, dir.path());
    Child b(installProgram(FAKE_PROGRAM, dir / longName), {"sleep=30000"}, dir.path());
    ASSERT_TRUE(a.waitForOutput("started", 10000));
    ASSERT_TRUE(b.waitForOutput("started", 10000));

    LinuxProcessControl processes;
    const auto snapshot = processes.snapshot();
    EXPECT_TRUE(std::is_sorted(snapshot.begin(), snapshot.end(),
                               [](const ProcessInfo& x, const ProcessInfo& y) { return x.pid < y.pid; }));
    const auto entry = entryFor(snapshot, a.pid());
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->exeName, shortName);
    EXPECT_EQ(entry->comm, shortName);

    std::string upper = longName;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(findProcess(snapshot, upper, NameCase::Insensitive, 0), b.pid());
    EXPECT_EQ(findProcess(snapshot, upper, NameCase::Sensitive, 0), std::nullopt);
    EXPECT_EQ(findProcess(snapshot, longName.substr(0, 15), NameCase::Sensitive, 0), std::nullopt)
        << "a readable executable name is the full name";
    EXPECT_TRUE(isProcessRunning(processes, shortName, NameCase::Sensitive));
    EXPECT_FALSE(isProcessRunning(processes, shortName + "x", NameCase::Sensitive));
}

TEST(ProcessSnapshot, AnEndedButUnreapedProcessIsNotRunning)
{
    TempDir dir;
    const std::string name = uniqueName("QvZombie");
    Child child(installProgram(FAKE_PROGRAM, dir / name), {"exit=0"}, dir.path());
    // Wait for the end without reaping: the child stays a zombie.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child.pid()), &info, WEXITED | WNOWAIT), 0);
    LinuxProcessControl processes;
    EXPECT_FALSE(isProcessRunning(processes, name, NameCase::Sensitive));
    EXPECT_FALSE(entryFor(processes.snapshot(), child.pid()).has_value());
}

TEST(ProcessTerminate, KillsTheFirstOfTheNameAndWaitsForIt)
{
    TempDir dir;
    const std::string name = uniqueName("QvTerm");
    const auto program = installProgram(FAKE_PROGRAM, dir / name);
    Child first(program, {"sleep=30000"}, dir.path());
    Child second(program, {"sleep=30000"}, dir.path());
    ASSERT_TRUE(first.waitForOutput("started", 10000));
    ASSERT_TRUE(second.waitForOutput("started", 10000));

    LinuxProcessControl processes;
    const pid_t lower = std::min(first.pid(), second.pid());
    const pid_t higher = std::max(first.pid(), second.pid());
    EXPECT_EQ(processes.terminateByName(name, NameCase::Insensitive), TerminateResult::Terminated);
    // It has ended by the time the call returns (a zombie until we reap it).
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(lower), &info, WEXITED | WNOHANG | WNOWAIT), 0);
    EXPECT_EQ(info.si_pid, lower);
    EXPECT_EQ(info.si_status, SIGKILL);
    EXPECT_EQ(findProcess(processes.snapshot(), name, NameCase::Sensitive, 0), higher);

    EXPECT_EQ(processes.terminateByName(name, NameCase::Sensitive), TerminateResult::Terminated);
    EXPECT_EQ(processes.terminateByName(name, NameCase::Sensitive), TerminateResult::NotFound);
    EXPECT_FALSE(first.waitForExit(5000).has_value()) << "killed, not exited";
    EXPECT_FALSE(second.waitForExit(5000).has_value());
}

TEST(ProcessStart, DetachedProgramsRunOnTheirOwn)
{
    TempDir dir;
    TempDir work;
    const std::string name = uniqueName("QvDetach");
    const auto program = installProgram(FAKE_PROGRAM, dir / name);
    LinuxProcessControl processes;
    const auto pid = processes.startDetached(program, {"update", "two words"}, work.path());
    ASSERT_TRUE(pid.has_value());
    struct Reap {
        long pid;
        std::string name;
        ~Reap() { killIfNamed(pid, name); }
    } guard{*pid, name};

    // A detached program tells nobody; its log is all there is to watch.
    ASSERT_TRUE(waitUntil([&] { return !loggedPids(work.path()).empty(); }, 10000));
    EXPECT_EQ(readFile(work / "fake_program.log"), std::to_string(*pid) + " update two words\n")
        << "the pid is the program's own, it runs in the given folder with the arguments";
    EXPECT_NE(::getsid(static_cast<pid_t>(*pid)), ::getsid(0)) << "a session of its own";
    EXPECT_EQ(procField(*pid, "fd/0"), "/dev/null");
    EXPECT_EQ(procField(*pid, "fd/1"), "/dev/null");
    EXPECT_EQ(procField(*pid, "fd/2"), "/dev/null");
    siginfo_t info{};
    EXPECT_NE(::waitid(P_PID, static_cast<id_t>(*pid), &info, WEXITED | WNOHANG | WNOWAIT), 0)
        << "not our child, so never our zombie";
    EXPECT_TRUE(isProcessRunning(processes, name, NameCase::Sensitive));

    EXPECT_EQ(processes.startDetached(dir / "missing", {}, work.path()), std::nullopt);
    writeFile(dir / "not-executable", "#!/bin/sh\n");
    EXPECT_EQ(processes.startDetached(dir / "not-executable", {}, work.path()), std::nullopt);
    EXPECT_EQ(processes.startDetached(program, {}, dir / "no-such-folder"), std::nullopt);
}

TEST(ProcessStart, StartAndWaitReturnsTheExitCode)
{
    TempDir dir;
    LinuxProcessControl processes;
    EXPECT_EQ(processes.startAndWait(FAKE_PROGRAM, {"exit=7"}, dir.path(), 10000), 7);
    EXPECT_EQ(processes.startAndWait(FAKE_PROGRAM, {"exit=0"}, dir.path(), -1), 0);
    EXPECT_EQ(readFile(dir / "fake_program.log").size() > 0, true) << "ran in the given folder";
    EXPECT_EQ(processes.startAndWait(dir / "missing", {}, dir.path(), 10000), std::nullopt);

    // Waiting out the 30 s program instead would give its exit code.
    EXPECT_EQ(processes.startAndWait(FAKE_PROGRAM, {"sleep=30000"}, dir.path(), 300), std::nullopt);
    const auto pids = loggedPids(dir.path());
    ASSERT_EQ(pids.size(), 3u);
    EXPECT_NE(::kill(static_cast<pid_t>(pids.back()), 0), 0) << "a program that overstays is killed and reaped";
}
