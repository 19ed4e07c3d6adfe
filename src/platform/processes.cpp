#include "platform/processes.h"

#include "common/full_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvane::platform
{
namespace
{

constexpr std::size_t kCommLength = 15;
constexpr int kTerminateWaitMs = 5000;

// Through syscall(): this C library's header declares the wrappers without C
// linkage.
int pidfdOpen(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfdKill(int pidfd)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

bool equalNames(std::string_view a, std::string_view b, NameCase nameCase)
{
    if (a.size() != b.size())
        return false;
    if (nameCase == NameCase::Sensitive)
        return a == b;
    return std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::string readSmallFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buf[1024];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 8192)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

// Nothing when the process is gone or has ended (a zombie).
std::optional<ProcessInfo> readProcess(const std::filesystem::path& procRoot, long pid)
{
    const std::string dir = (procRoot / std::to_string(pid)).string();
    const char state = procStatState(readSmallFile(dir + "/stat"));
    if (state == 0 || state == 'Z' || state == 'X' || state == 'x')
        return std::nullopt;
    ProcessInfo info;
    info.pid = pid;
    info.comm = readSmallFile(dir + "/comm");
    if (!info.comm.empty() && info.comm.back() == '\n')
        info.comm.pop_back();
    char target[4096];
    const ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target - 1);
    if (n > 0) {
        std::string path(target, static_cast<std::size_t>(n));
        static constexpr std::string_view kDeleted = " (deleted)";
        if (path.ends_with(kDeleted))
            path.resize(path.size() - kDeleted.size());
        info.exeName = std::filesystem::path(path).filename().string();
    }
    return info;
}

bool parsePid(const char* text, long& pid)
{
    if (!*text)
        return false;
    long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || value > 100000000)
            return false;
        value = value * 10 + (*p - '0');
    }
    pid = value;
    return value > 0;
}

struct Argv {
    std::string program;
    std::vector<std::string> storage;
    std::vector<char*> pointers;

    Argv(const std::filesystem::path& path, const std::vector<std::string>& args) : program(path.string())
    {
        storage.push_back(program);
        storage.insert(storage.end(), args.begin(), args.end());
        for (auto& s : storage)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
};

bool writeAll(int fd, const void* data, std::size_t size)
{
    return transferAll(static_cast<const char*>(data), size,
                       [fd](const char* p, std::size_t n) { return ::write(fd, p, n); });
}

bool readAll(int fd, void* data, std::size_t size)
{
    return transferAll(static_cast<char*>(data), size, [fd](char* p, std::size_t n) { return ::read(fd, p, n); });
}

void reap(pid_t pid, int* status)
{
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

bool processNameMatches(const ProcessInfo& process, std::string_view name, NameCase nameCase)
{
    if (name.empty())
        return false;
    if (!process.exeName.empty() && equalNames(process.exeName, name, nameCase))
        return true;
    // The kernel name of a program with a long file name is only that name
    // cut short; it does not name a program of its own.
    const bool commIsCut = !process.exeName.empty() && process.comm.size() == kCommLength &&
                           process.exeName.size() > kCommLength && process.exeName.starts_with(process.comm);
    if (!commIsCut && equalNames(process.comm, name, nameCase))
        return true;
    return process.exeName.empty() && process.comm.size() == kCommLength && name.size() > kCommLength &&
           equalNames(process.comm, name.substr(0, kCommLength), nameCase);
}

std::optional<long> findProcess(const std::vector<ProcessInfo>& processes, std::string_view name, NameCase nameCase,
                                long skipPid)
{
    for (const auto& p : processes) {
        if (p.pid != skipPid && processNameMatches(p, name, nameCase))
            return p.pid;
    }
    return std::nullopt;
}

char procStatState(std::string_view statLine)
{
    const auto close = statLine.rfind(')');
    if (close == std::string_view::npos || close + 2 >= statLine.size() || statLine[close + 1] != ' ')
        return 0;
    return statLine[close + 2];
}

std::vector<ProcessInfo> LinuxProcessControl::snapshot() const
{
    return processSnapshot("/proc");
}

std::vector<ProcessInfo> processSnapshot(const std::filesystem::path& procRoot)
{
    std::vector<long> pids;
    if (DIR* dir = ::opendir(procRoot.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            long pid;
            if (parsePid(entry->d_name, pid))
                pids.push_back(pid);
        }
        ::closedir(dir);
    }
    std::sort(pids.begin(), pids.end());
    std::vector<ProcessInfo> out;
    out.reserve(pids.size());
    for (long pid : pids) {
        if (auto info = readProcess(procRoot, pid))
            out.push_back(std::move(*info));
    }
    return out;
}

std::optional<long> LinuxProcessControl::startDetached(const std::filesystem::path& program,
                                                       const std::vector<std::string>& args,
                                                       const std::filesystem::path& workingDirectory)
{
    // Everything the children touch is prepared here: between fork and exec
    // only async-signal-safe calls are allowed, since other threads may hold
    // locks (malloc's among them) at the moment of the fork.
    Argv argv(program, args);
    const std::string cwd = workingDirectory.string();
    int pidPipe[2];
    int execPipe[2];
    if (::pipe2(pidPipe, O_CLOEXEC) != 0)
        return std::nullopt;
    if (::pipe2(execPipe, O_CLOEXEC) != 0) {
        ::close(pidPipe[0]);
        ::close(pidPipe[1]);
        return std::nullopt;
    }

    const pid_t middle = ::fork();
    if (middle == 0) {
        // The middle child starts a new session and leaves at once, so the
        // program is adopted by the system and never becomes our zombie.
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, 0);
                ::dup2(null, 1);
                ::dup2(null, 2);
                if (null > 2)
                    ::close(null);
            }
            int err = 0;
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
                err = errno;
            if (err == 0) {
                ::execve(argv.program.c_str(), argv.pointers.data(), environ);
                err = errno;
            }
            writeAll(execPipe[1], &err, sizeof err);
            ::_exit(127);
        }
        const long reported = grandchild > 0 ? grandchild : -1;
        writeAll(pidPipe[1], &reported, sizeof reported);
        ::_exit(0);
    }
    ::close(pidPipe[1]);
    ::close(execPipe[1]);
    std::optional<long> result;
    if (middle > 0) {
        int status = 0;
        reap(middle, &status);
        long grandchild = -1;
        int err = 0;
        // The exec pipe closes without a word when exec succeeded.
        if (readAll(pidPipe[0], &grandchild, sizeof grandchild) && grandchild > 0 &&
            !readAll(execPipe[0], &err, sizeof err))
            result = grandchild;
    }
    ::close(pidPipe[0]);
    ::close(execPipe[0]);
    return result;
}

std::optional<int> LinuxProcessControl::startAndWait(const std::filesystem::path& program,
                                                     const std::vector<std::string>& args,
                                                     const std::filesystem::path& workingDirectory, int timeoutMs)
{
    Argv argv(program, args);
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return std::nullopt;
    for (int fd = 0; fd <= 2; ++fd)
        ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    if (!workingDirectory.empty())
        ::posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv.program.c_str(), &actions, nullptr, argv.pointers.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return std::nullopt;

    int status = 0;
    if (timeoutMs >= 0) {
        const int pidfd = pidfdOpen(pid);
        bool ended = true;
        if (pidfd >= 0) {
            pollfd pfd{pidfd, POLLIN, 0};
            int n;
            while ((n = ::poll(&pfd, 1, timeoutMs)) < 0 && errno == EINTR) {
            }
            ended = n == 1;
            ::close(pidfd);
        }
        if (!ended) {
            ::kill(pid, SIGKILL);
            reap(pid, &status);
            return std::nullopt;
        }
    }
    reap(pid, &status);
    // posix_spawn reports a failed exec as exit status 127.
    if (!WIFEXITED(status))
        return std::nullopt;
    return WEXITSTATUS(status);
}

bool processRunsProgram(const std::filesystem::path& procRoot, long pid, unsigned uid,
                        const std::filesystem::path& executable)
{
    namespace fs = std::filesystem;
    const fs::path dir = procRoot / std::to_string(pid);
    struct stat st {
    };
    if (::stat(dir.c_str(), &st) != 0 || st.st_uid != uid)
        return false;
    std::error_code ec;
    if (fs::equivalent(dir / "exe", executable, ec))
        return true;
    // A program whose file was replaced while it ran still runs the old,
    // deleted file at the same path.
    std::string exe = fs::read_symlink(dir / "exe", ec).string();
    static constexpr std::string_view kDeleted = " (deleted)";
    if (!ec && exe.ends_with(kDeleted) && fs::path(exe.substr(0, exe.size() - kDeleted.size())) == executable)
        return true;
    // A script runs as its interpreter; its path is among the first
    // arguments ("sh -e script").
    const std::string cmdline = readSmallFile((dir / "cmdline").string());
    const fs::path cwd = fs::read_symlink(dir / "cwd", ec);
    std::size_t at = cmdline.find('\0');
    for (int arg = 1; arg <= 3 && at != std::string::npos && at + 1 < cmdline.size(); ++arg) {
        const std::size_t end = cmdline.find('\0', at + 1);
        const fs::path script = cmdline.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        if (!script.empty() && fs::equivalent(script.is_absolute() ? script : cwd / script, executable, ec))
            return true;
        at = end;
    }
    return false;
}

bool ProcessControl::isProgramRunning(const std::filesystem::path& executable, NameCase nameCase) const
{
    return isProcessRunning(*this, executable.filename().string(), nameCase);
}

bool LinuxProcessControl::isProgramRunning(const std::filesystem::path& executable, NameCase nameCase) const
{
    std::error_code ec;
    const auto exe = std::filesystem::canonical(executable, ec);
    if (ec)
        return false;
    const long self = ::getpid();
    for (const auto& p : snapshot()) {
        if (p.pid != self && processNameMatches(p, executable.filename().string(), nameCase) &&
            processRunsProgram("/proc", p.pid, ::getuid(), exe))
            return true;
    }
    return false;
}

TerminateResult LinuxProcessControl::terminateByName(std::string_view name, NameCase nameCase)
{
    return terminateFirst(name, nameCase, {});
}

TerminateResult LinuxProcessControl::terminateProgram(const std::filesystem::path& executable, NameCase nameCase)
{
    std::error_code ec;
    const auto exe = std::filesystem::canonical(executable, ec);
    if (ec)
        return TerminateResult::NotFound; // nothing can run a program that is not there
    return terminateFirst(executable.filename().string(), nameCase, exe);
}

TerminateResult LinuxProcessControl::terminateFirst(std::string_view name, NameCase nameCase,
                                                    const std::filesystem::path& executable)
{
    const long self = ::getpid();
    const unsigned uid = ::getuid();
    const auto ours = [&](long pid) { return executable.empty() || processRunsProgram("/proc", pid, uid, executable); };
    for (const auto& candidate : snapshot()) {
        if (candidate.pid == self || !processNameMatches(candidate, name, nameCase) || !ours(candidate.pid))
            continue;
        // Hold the process by a descriptor, then look again: the pid could
        // have been reused by another program since the snapshot.
        const int pidfd = pidfdOpen(static_cast<pid_t>(candidate.pid));
        if (pidfd < 0) {
            if (errno == ESRCH)
                continue;
            return ::kill(static_cast<pid_t>(candidate.pid), SIGKILL) == 0 ? TerminateResult::Terminated
                                                                           : TerminateResult::Failed;
        }
        const auto now = readProcess("/proc", candidate.pid);
        if (!now || !processNameMatches(*now, name, nameCase) || !ours(candidate.pid)) {
            ::close(pidfd);
            continue;
        }
        if (pidfdKill(pidfd) != 0) {
            const bool gone = errno == ESRCH;
            ::close(pidfd);
            if (gone)
                continue;
            return TerminateResult::Failed;
        }
        pollfd pfd{pidfd, POLLIN, 0};
        while (::poll(&pfd, 1, kTerminateWaitMs) < 0 && errno == EINTR) {
        }
        ::close(pidfd);
        return TerminateResult::Terminated;
    }
    return TerminateResult::NotFound;
}

bool isProcessRunning(const ProcessControl& processes, std::string_view name, NameCase nameCase)
{
    return findProcess(processes.snapshot(), name, nameCase, ::getpid()).has_value();
}

} // namespace quorvane::platform
