#include "results/sshd_fixture.h"
#include "support/loopback_port.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane::test
{

namespace
{

std::atomic<int> g_serial{0};

bool run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

// Waits for a child to end, at most `timeout`.
bool waitChild(pid_t pid, std::chrono::milliseconds timeout)
{
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(timeout.count()));
        ::close(pidfd);
    }
    return ::waitpid(pid, nullptr, pidfd >= 0 ? WNOHANG : 0) == pid;
}

} // namespace

bool SshdServer::ensureUser(std::string& error)
{
    // Test processes run side by side: one at a time edits the user files.
    const int lock = ::open("/tmp/quorvane-sshd-user.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        error = "cannot lock the user set-up";
        if (lock >= 0)
            ::close(lock);
        return false;
    }
    bool ok = true;
    if (!::getpwnam(kUser))
        ok = run(std::string("useradd -m -s /bin/sh ") + kUser + " >/dev/null 2>&1");
    ok = ok && run(std::string("echo '") + kUser + ":" + kPassword + "' | chpasswd");
    ::close(lock);
    if (!ok)
        error = "cannot create the test user";
    return ok;
}

SshdServer::SshdServer()
{
    char pattern[] = "/tmp/qv-sshd-XXXXXX";
    if (const char* made = ::mkdtemp(pattern))
        m_temp = made;
    run("ssh-keygen -q -t ed25519 -N '' -f " + (m_temp / "hostkey").string());
}

SshdServer::~SshdServer()
{
    stop();
    for (auto it = m_mounts.rbegin(); it != m_mounts.rend(); ++it)
        ::umount2(it->c_str(), MNT_DETACH);
    std::error_code ec;
    if (!m_remote.empty())
        std::filesystem::remove_all(m_remote, ec);
    if (!m_temp.empty())
        std::filesystem::remove_all(m_temp, ec);
}

void SshdServer::allowClientKey()
{
    run("ssh-keygen -q -t ed25519 -N '' -f " + clientKey().string());
    std::filesystem::copy_file(clientKey().string() + ".pub", m_temp / "authorized_keys",
                               std::filesystem::copy_options::overwrite_existing);
    // sshd reads the keys as the user it logs in.
    ::chmod(m_temp.c_str(), 0755);
    ::chmod((m_temp / "authorized_keys").c_str(), 0644);
    m_clientKey = true;
}

bool SshdServer::replaceHostKey()
{
    std::error_code ec;
    std::filesystem::remove(m_temp / "hostkey", ec);
    std::filesystem::remove(m_temp / "hostkey.pub", ec);
    return run("ssh-keygen -q -t ed25519 -N '' -f " + (m_temp / "hostkey").string());
}

bool SshdServer::useHostKey(const std::filesystem::path& privateKey)
{
    std::error_code ec;
    std::filesystem::remove(m_temp / "hostkey.pub", ec);
    if (!std::filesystem::copy_file(privateKey, m_temp / "hostkey", std::filesystem::copy_options::overwrite_existing,
                                    ec))
        return false;
    // sshd ignores a private key that others may read.
    return ::chmod((m_temp / "hostkey").c_str(), 0600) == 0;
}

bool SshdServer::writeConfig()
{
    std::ofstream out(m_temp / "sshd_config");
    out << "Port " << m_port << "\n"
        << "ListenAddress 127.0.0.1\n"
        << "HostKey " << (m_temp / "hostkey").string() << "\n"
        << "PidFile none\n"
        << "PasswordAuthentication yes\n"
        << "KbdInteractiveAuthentication no\n"
        << "UsePAM no\n"
        << "PermitRootLogin no\n"
        << "AllowUsers " << kUser << "\n"
        << "Subsystem sftp internal-sftp\n";
    if (m_clientKey) {
        out << "PubkeyAuthentication yes\n"
            << "StrictModes no\n"
            << "AuthorizedKeysFile " << (m_temp / "authorized_keys").string() << "\n";
    } else {
        out << "PubkeyAuthentication no\n";
    }
    return static_cast<bool>(out);
}

bool SshdServer::start(std::string& error)
{
    if (m_temp.empty() || !std::filesystem::exists(m_temp / "hostkey")) {
        error = "no temporary folder or host key";
        return false;
    }
    if (!ensureUser(error))
        return false;
    ::mkdir("/run/sshd", 0755);
    ::chmod("/run/sshd", 0755);

    const bool keepPort = m_port != 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!keepPort || attempt > 0)
            m_port = quorvane::testing::freeLoopbackPort();
        if (m_port == 0 || !writeConfig()) {
            error = "no port or config";
            return false;
        }
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            error = "no pipe";
            return false;
        }
        const std::string config = (m_temp / "sshd_config").string();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(pipeFds[1], 2);
            const int devnull = ::open("/dev/null", O_RDWR);
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        if (pid < 0) {
            ::close(pipeFds[0]);
            error = "fork failed";
            return false;
        }

        // Read its messages until it says it listens, it ends, or 10 s pass.
        std::string seen;
        bool listening = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!listening) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{pipeFds[0], POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buf[512];
            const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            seen.append(buf, static_cast<std::size_t>(n));
            listening = seen.find("Server listening on") != std::string::npos;
        }
        if (!listening) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::close(pipeFds[0]);
            error = "sshd did not start: " + seen;
            if (seen.find("Address already in use") != std::string::npos)
                continue;
            return false;
        }
        m_pid = pid;
        m_stderr = pipeFds[0];
        {
            std::lock_guard guard(m_logMutex);
            m_log = seen;
        }
        // Keep draining its messages, or a full pipe would stall it.
        // Session processes inherit the pipe and may outlive the listener,
        // so the reader also ends when asked to.
        m_draining = true;
        m_drain = std::thread([this, fd = m_stderr] {
            char buf[4096];
            while (m_draining) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 200) <= 0)
                    continue;
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0)
                    break;
                std::lock_guard guard(m_logMutex);
                m_log.append(buf, static_cast<std::size_t>(n));
            }
        });
        return true;
    }
    return false;
}

void SshdServer::stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        if (!waitChild(m_pid, std::chrono::seconds(5))) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }
    m_draining = false;
    if (m_drain.joinable())
        m_drain.join();
    if (m_stderr >= 0) {
        ::close(m_stderr);
        m_stderr = -1;
    }
}

std::string SshdServer::log() const
{
    std::lock_guard guard(m_logMutex);
    return m_log;
}

std::string SshdServer::makeRemoteDir(const std::string& name)
{
    const passwd* user = ::getpwnam(kUser);
    if (!user)
        return {};
    if (m_remote.empty()) {
        m_remote = std::filesystem::path(user->pw_dir) /
                   ("qvtest-" + std::to_string(::getpid()) + "-" + std::to_string(g_serial++));
        std::filesystem::create_directories(m_remote);
        ::chown(m_remote.c_str(), user->pw_uid, user->pw_gid);
    }
    const std::filesystem::path dir = m_remote / name;
    std::filesystem::create_directories(dir);
    ::chown(dir.c_str(), user->pw_uid, user->pw_gid);
    std::string value = "/";
    value += m_remote.filename().string();
    value += '/';
    value += name;
    return value;
}

std::filesystem::path SshdServer::remotePath(const std::string& dirValue) const
{
    const passwd* user = ::getpwnam(kUser);
    return std::filesystem::path(user ? user->pw_dir : "/nonexistent") / dirValue.substr(1);
}

bool SshdServer::mountSmallDisk(const std::string& dirValue, std::size_t bytes)
{
    const passwd* user = ::getpwnam(kUser);
    if (!user)
        return false;
    const std::filesystem::path dir = remotePath(dirValue);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755,uid=" + std::to_string(user->pw_uid) +
                                ",gid=" + std::to_string(user->pw_gid);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0)
        return false;
    m_mounts.push_back(dir);
    return true;
}

} // namespace quorvane::test
