#pragma once
// A real OpenSSH server on a loopback port for the upload tests and the
// upload benchmark: throwaway host key, a test user with a password, started
// and stopped by its owner. Needs root (user creation, tmpfs mounts).
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace quorvane::test
{

class SshdServer
{
public:
    static constexpr const char* kUser = "qvupload";
    static constexpr const char* kPassword = "Qv-upload-7";

    SshdServer();
    ~SshdServer(); // stops the server, unmounts, removes every folder it made
    SshdServer(const SshdServer&) = delete;
    SshdServer& operator=(const SshdServer&) = delete;

    // Lets an OpenSSH client log in with the key pair in clientKey().
    void allowClientKey();
    std::filesystem::path clientKey() const { return m_temp / "client_key"; }

    // Starts sshd and waits (bounded) until it listens. False with `error`.
    bool start(std::string& error);
    void stop();
    // A new host key, as if the server had been replaced; takes effect on
    // the next start.
    bool replaceHostKey();
    // Serves with a copy of the given private host key from the next start.
    bool useHostKey(const std::filesystem::path& privateKey);

    int port() const { return m_port; }
    std::string log() const;

    // A folder for this server's tests under the user's home, owned by the
    // user. Returns the `dir` value that reaches it from the login folder
    // ("/<unique>/<name>").
    std::string makeRemoteDir(const std::string& name);
    // The same folder on this machine.
    std::filesystem::path remotePath(const std::string& dirValue) const;
    // Mounts a tmpfs of `bytes` on a remote folder made by makeRemoteDir.
    bool mountSmallDisk(const std::string& dirValue, std::size_t bytes);

    static bool ensureUser(std::string& error);

private:
    bool writeConfig();

    std::filesystem::path m_temp;   // host key, config
    std::filesystem::path m_remote; // /home/<user>/<unique>
    std::vector<std::filesystem::path> m_mounts;
    bool m_clientKey = false;
    int m_port = 0;
    pid_t m_pid = -1;
    int m_stderr = -1;
    std::thread m_drain;
    std::atomic<bool> m_draining{false};
    std::string m_log;
    mutable std::mutex m_logMutex;
};

} // namespace quorvane::test
