#pragma once
// Processes by name: a snapshot of what runs, starting programs detached or
// waited for, and terminating a program by its name.
//
// A process's name is the file name of its executable. The kernel keeps a
// second, shorter name (comm, at most 15 bytes, the file name the program was
// started from); both are consulted, since the executable cannot be read for
// other users' processes and a script's executable is its interpreter.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform
{

struct ProcessInfo {
    long pid = 0;
    std::string exeName; // file name of the executable; empty when unreadable
    std::string comm;    // the kernel's name, cut to 15 bytes
};

enum class NameCase { Sensitive, Insensitive };

// Whether the process is the program `name`: its executable's file name or
// its kernel name equals `name` (a kernel name that is merely the cut
// executable name excepted); when the executable is unknown, a kernel name of
// the full 15 bytes also stands for every longer name it begins.
bool processNameMatches(const ProcessInfo& process, std::string_view name, NameCase nameCase);

// The first process in the list that matches, skipping `skipPid`.
std::optional<long> findProcess(const std::vector<ProcessInfo>& processes, std::string_view name, NameCase nameCase,
                                long skipPid);

// The state letter of a /proc/<pid>/stat line ('R', 'S', 'Z', ...); 0 when
// the line is malformed. The name field may itself contain ") ".
char procStatState(std::string_view statLine);

enum class TerminateResult { NotFound = 0, Terminated = 1, Failed = 2 };

class ProcessControl
{
public:
    virtual ~ProcessControl() = default;

    // The running processes in ascending pid order. Processes that have
    // ended but not been reaped yet are not running and not listed.
    virtual std::vector<ProcessInfo> snapshot() const = 0;

    // Starts a program that outlives us and is not our child: its own
    // session, no terminal, standard streams on /dev/null. The pid, or
    // nothing when the program could not be started.
    virtual std::optional<long> startDetached(const std::filesystem::path& program,
                                              const std::vector<std::string>& args,
                                              const std::filesystem::path& workingDirectory) = 0;

    // Starts a program with its standard streams on /dev/null and waits for
    // it to end. Its exit code, or nothing when it could not be started, was
    // killed by a signal, or outlived timeoutMs (it is then killed; a
    // negative timeout waits for ever).
    virtual std::optional<int> startAndWait(const std::filesystem::path& program, const std::vector<std::string>& args,
                                            const std::filesystem::path& workingDirectory, int timeoutMs) = 0;

    // Kills the first process with the name (ascending pid; never this
    // process) and waits a few seconds for it to be gone, so its files can be
    // replaced. NotFound when none runs, Failed when it could not be killed.
    virtual TerminateResult terminateByName(std::string_view name, NameCase nameCase) = 0;

    // Like terminateByName, but only a process of this user that runs
    // `executable` itself (or the script at that path): the same program
    // installed elsewhere or run by another user is left alone. By default
    // terminateByName of the file name.
    virtual TerminateResult terminateProgram(const std::filesystem::path& executable, NameCase nameCase)
    {
        return terminateByName(executable.filename().string(), nameCase);
    }
    // Whether such a process runs. By default any process of that name.
    virtual bool isProgramRunning(const std::filesystem::path& executable, NameCase nameCase) const;
};

class LinuxProcessControl final : public ProcessControl
{
public:
    std::vector<ProcessInfo> snapshot() const override;
    std::optional<long> startDetached(const std::filesystem::path& program, const std::vector<std::string>& args,
                                      const std::filesystem::path& workingDirectory) override;
    std::optional<int> startAndWait(const std::filesystem::path& program, const std::vector<std::string>& args,
                                    const std::filesystem::path& workingDirectory, int timeoutMs) override;
    TerminateResult terminateByName(std::string_view name, NameCase nameCase) override;
    TerminateResult terminateProgram(const std::filesystem::path& executable, NameCase nameCase) override;
    bool isProgramRunning(const std::filesystem::path& executable, NameCase nameCase) const override;

private:
    TerminateResult terminateFirst(std::string_view name, NameCase nameCase, const std::filesystem::path& executable);
};

// Whether process `pid` under `procRoot` belongs to user `uid` and runs
// `executable` (canonical): its executable, or for an interpreter, the
// script named by its first arguments (relative ones from its working
// directory).
bool processRunsProgram(const std::filesystem::path& procRoot, long pid, unsigned uid,
                        const std::filesystem::path& executable);

// The running processes below a /proc tree (the real one, or a test's fake),
// in ascending pid order, as ProcessControl::snapshot lists them.
std::vector<ProcessInfo> processSnapshot(const std::filesystem::path& procRoot);

// Whether a program of that name runs, this process aside.
bool isProcessRunning(const ProcessControl& processes, std::string_view name, NameCase nameCase);

} // namespace quorvane::platform
