#pragma once
// Starts the built quorvane-refsvc as a child process and talks raw HTTP to
// it, so that the tests see every byte of an answer.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace refsvc_test
{

struct Address {
    std::string host;
    int port = 0;
};

// One running service. The destructor stops it (SIGTERM, then SIGKILL if it
// does not end in time), so a failing test never leaves a server behind.
class RefService
{
public:
    // Starts the program with the arguments (and --quiet unless withLog);
    // waits for its ready line. ok() tells whether it came.
    explicit RefService(std::vector<std::string> args, bool withLog = false);
    ~RefService();
    RefService(const RefService&) = delete;
    RefService& operator=(const RefService&) = delete;

    bool ok() const { return m_ready; }
    const std::string& readyLine() const { return m_readyLine; }
    Address web() const { return m_web; }
    Address update() const { return m_update; }
    const std::vector<Address>& testServers() const { return m_tests; }

    // Sends the signal and waits up to `limit` for the exit. Returns the exit
    // status as waitpid reports it, or nullopt when it did not end in time.
    std::optional<int> stop(int signal, std::chrono::milliseconds limit);
    // Everything the service wrote to standard error so far.
    std::string log() const;

    // The counters of GET /__control/stats; counter() is UINT64_MAX for one
    // the service does not report.
    std::map<std::string, std::string> stats() const;
    std::uint64_t counter(const std::string& name) const;
    // Waits up to `limit` for a counter the service updates after the client
    // has seen the bytes (it counts a write once the write returned) to be
    // at least `value`; false when it is not by then, or not reported at all.
    // A test that wants an exact value checks counter() for it afterwards.
    bool counterAtLeast(const std::string& name, std::uint64_t value,
                        std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    // POST to a control path ("/__control/login-mode?mode=close"); true on 200.
    bool control(const std::string& pathAndQuery) const;

private:
    pid_t m_pid = -1;
    int m_pidfd = -1;
    bool m_ready = false;
    std::string m_readyLine, m_logPath;
    Address m_web, m_update;
    std::vector<Address> m_tests;
};

struct Reply {
    bool received = false; // a complete head arrived
    std::string raw;       // every byte read
    int status = 0;
    std::string head; // status line and headers, up to the blank line
    std::string body;
    std::multimap<std::string, std::string> headers; // names in lower case

    std::string header(const std::string& lowerName) const;
    bool has(const std::string& lowerName) const { return headers.count(lowerName) > 0; }
};

// Sends the bytes on a new connection and reads the answer: the head, then
// Content-Length bytes (or up to the end of the stream). HEAD answers carry
// no body. Gives up after `timeout`.
Reply roundTrip(const Address& to, const std::string& request,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(10000), bool headRequest = false);

// A GET (or HEAD) with "Connection: close".
Reply get(const Address& to, const std::string& target, const std::string& extraHeaders = {});
Reply head(const Address& to, const std::string& target);

// Reads one answer from an open connection: the head, then Content-Length
// bytes (or up to the end of the stream); stops at the deadline.
std::string readAnswer(int fd, std::chrono::steady_clock::time_point deadline, bool headRequest = false);

// Parses an answer read so far; used by roundTrip().
Reply parseReply(const std::string& raw, bool headRequest);

// A connected TCP socket, or -1.
int connectTo(const Address& to, std::chrono::milliseconds timeout);
bool sendAll(int fd, const std::string& bytes);

std::string outDir();
std::string sourceDir();
// A fresh private directory, removed with its contents by the destructor.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string m_path;
};

} // namespace refsvc_test
