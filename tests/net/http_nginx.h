#pragma once
// A real nginx on loopback for the clients' tests: static files, an upload
// sink that reads whole bodies, and optional TLS server blocks. Everything
// (configuration, logs, files, certificates) lives in a temporary directory
// that is removed at the end; the server is stopped by the destructor.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quorvane::testing
{

// A temporary directory, removed with everything in it at scope end.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// A free loopback TCP port at the moment of asking.
std::uint16_t freeLoopbackPort();

// Runs a shell command line; true when it exited with 0.
bool runCommand(const std::string& commandLine);

struct TlsSite {
    std::string certFile; // PEM certificate chain
    std::string keyFile;
};

class NginxServer
{
public:
    // `root`: directory served at "/"; `tlsSites`: one https server block
    // each, on ports of their own; `serverExtra`: more directives (locations)
    // for the plain server block.
    NginxServer(const std::filesystem::path& root, std::vector<TlsSite> tlsSites = {}, std::string serverExtra = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool running() const { return m_pid > 0; }
    std::uint16_t port() const { return m_port; }
    std::uint16_t tlsPort(std::size_t site) const { return m_tlsPorts.at(site); }
    std::string url(const std::string& path) const;
    // Stops nginx (gracefully, then by force) so its logs are complete.
    void stop();
    // Access log lines: "<status> <body bytes sent> <request length> <method> <uri>".
    std::vector<std::string> accessLog() const;

private:
    bool waitUntilListening(std::uint16_t port) const;

    TempDir m_dir;
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
    std::vector<std::uint16_t> m_tlsPorts;
};

// A throwaway certificate authority and certificates it signs, made with the
// openssl command in a temporary directory.
class TestCertificates
{
public:
    TestCertificates();
    bool ok() const { return m_ok; }
    std::string caFile() const { return (m_dir.path() / "ca.pem").string(); }
    // A certificate for `name` (an IP address or a DNS name) signed by the CA.
    TlsSite issue(const std::string& label, const std::string& name);
    // A self-signed certificate for `name`, trusted by nobody.
    TlsSite selfSigned(const std::string& label, const std::string& name);

private:
    TempDir m_dir;
    bool m_ok = false;
};

} // namespace quorvane::testing
