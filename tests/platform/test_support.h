#pragma once
// Helpers for tests that start real programs: temporary folders, copies of
// the fake program under chosen names, and a child process that is always
// killed and reaped, also when the test fails half-way.
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quorvane::test
{

namespace fs = std::filesystem;

// Copies an executable under a new name (mode kept).
inline fs::path installProgram(const fs::path& source, const fs::path& target)
{
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
    return target;
}

// A name no other test run uses at the same time (pid-based).
inline std::string uniqueName(const std::string& prefix)
{
    return prefix + std::to_string(::getpid() % 100000);
}

// Kills a process we did not start (a detached program) if it still runs
// under the expected name, so a reused pid is never hit.
inline void killIfNamed(long pid, const std::string& name)
{
    if (pid <= 0)
        return;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string current;
    std::getline(comm, current);
    if (current == name.substr(0, 15))
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

// The pids logged by the fake program in a folder, in start order.
inline std::vector<long> loggedPids(const fs::path& dir)
{
    std::vector<long> pids;
    std::istringstream in(readFile(dir / "fake_program.log"));
    std::string line;
    while (std::getline(in, line))
        pids.push_back(std::atol(line.c_str()));
    return pids;
}

// For what gives no signal to wait on (a detached program's files): checks
// the condition every few milliseconds until it holds or the time is up.
template <typename Pred> bool waitUntil(Pred condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        ::usleep(5000);
    }
    return true;
}

// A started program with stdout and stderr on one pipe.
class Child
{
public:
    Child(const fs::path& program, const std::vector<std::string>& args, const fs::path& cwd,
          const std::map<std::string, std::string>& env = {})
    {
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const auto eq = entry.find('=');
            if (eq != std::string::npos && env.count(entry.substr(0, eq)))
                continue;
            envStrings.push_back(entry);
        }
        for (const auto& [k, v] : env)
            envStrings.push_back(k + "=" + v);
        std::vector<std::string> argStrings{program.string()};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv, envp;
        for (auto& s : argStrings)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        for (auto& s : envStrings)
            envp.push_back(s.data());
        envp.push_back(nullptr);

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = out[0];
        if (rc != 0) {
            m_pid = -1;
            throw std::runtime_error("spawn failed: " + program.string());
        }
    }
    ~Child()
    {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            int status;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }

    // Reads output until `text` has appeared (`times` times) or the time is up.
    bool waitForOutput(const std::string& text, int timeoutMs) { return waitForOutput(text, 1, timeoutMs); }
    bool waitForOutput(const std::string& text, int times, int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (occurrences(text) < times) {
            if (!readSome(deadline))
                return occurrences(text) >= times;
        }
        return true;
    }

    // The exit code once the program ended (nothing when killed by a signal
    // or still running when the time is up).
    std::optional<int> waitForExit(int timeoutMs)
    {
        if (!m_status) {
            const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
            if (pidfd < 0)
                return std::nullopt;
            pollfd pfd{pidfd, POLLIN, 0};
            const int n = ::poll(&pfd, 1, timeoutMs);
            ::close(pidfd);
            if (n != 1)
                return std::nullopt;
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_status = status;
            drain();
        }
        if (!WIFEXITED(*m_status))
            return std::nullopt;
        return WEXITSTATUS(*m_status);
    }

    void kill()
    {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_status = status;
        }
    }

    const std::string& output()
    {
        drain();
        return m_output;
    }

private:
    int occurrences(const std::string& text) const
    {
        int n = 0;
        for (auto at = m_output.find(text); at != std::string::npos; at = m_output.find(text, at + text.size()))
            ++n;
        return n;
    }
    bool readSome(std::chrono::steady_clock::time_point deadline)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        pollfd pfd{m_out, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) != 1)
            return false;
        char buf[4096];
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n <= 0)
            return false;
        m_output.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    void drain()
    {
        pollfd pfd{m_out, POLLIN, 0};
        char buf[4096];
        while (::poll(&pfd, 1, 0) == 1) {
            const ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n <= 0)
                break;
            m_output.append(buf, static_cast<std::size_t>(n));
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::optional<int> m_status;
    std::string m_output;
};

} // namespace quorvane::test
