#pragma once
// An HTTP server on a loopback port chosen by the kernel, whose answers are
// scripted per test. Each accepted connection runs the handler on its own
// thread. stop() (also run by the destructor) wakes every connection and
// joins every thread, so a test never leaves a server behind.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorvane::testing
{

class CannedServer;

class ServerConnection
{
public:
    ServerConnection(CannedServer& server, int fd, int index) : m_server(server), m_fd(fd), m_index(index) {}

    int index() const { return m_index; } // 0 for the first accepted connection

    // Reads one request head (up to the empty line) and records it. False at
    // the end of the stream or on an error.
    bool readRequestHead(std::string& head);
    // Reads exactly `count` bytes (appended to `out` when given).
    bool readExactly(std::size_t count, std::string* out);
    // Reads until the peer closes; returns the bytes read.
    std::uint64_t drain();

    bool send(std::string_view bytes);
    // Sends `count` body bytes of a fixed pattern, counted as body bytes sent.
    bool sendBody(std::uint64_t count);
    // Sends a 200 head with the given Content-Length and extra lines.
    bool sendOkHead(std::uint64_t contentLength, std::string_view extraLines = {});

    // Blocks until the server stops (a peer that never answers).
    void holdUntilStopped();
    // Waits up to `limit` for the server to stop; true when it did.
    bool waitStopped(std::chrono::milliseconds limit);

private:
    CannedServer& m_server;
    int m_fd;
    int m_index;
};

class CannedServer
{
public:
    using Handler = std::function<void(ServerConnection&)>;

    struct Options {
        // After this many accepted connections the listening socket is
        // closed, so later connects are refused (< 0: never).
        int acceptLimit = -1;
        // Listen backlog (a tiny backlog that is not accepted from lets
        // later connects time out).
        int backlog = 64;
        bool accept = true; // false: listen without ever accepting
    };

    explicit CannedServer(Handler handler) : CannedServer(std::move(handler), Options{}) {}
    CannedServer(Handler handler, Options options);
    ~CannedServer();
    CannedServer(const CannedServer&) = delete;
    CannedServer& operator=(const CannedServer&) = delete;

    std::uint16_t port() const { return m_port; }
    std::string url(std::string_view path) const;
    void stop();

    int connections() const { return m_accepted.load(); }
    bool waitForConnections(int count, std::chrono::milliseconds limit);
    std::uint64_t bodyBytesSent() const { return m_bodySent.load(); }
    std::vector<std::string> requestHeads() const;

private:
    friend class ServerConnection;
    void acceptLoop();
    void closeListener();

    Handler m_handler;
    Options m_options;
    int m_listenFd = -1;
    std::uint16_t m_port = 0;
    std::thread m_acceptThread;
    std::atomic<int> m_accepted{0};
    std::atomic<std::uint64_t> m_bodySent{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopped = false;
    std::vector<int> m_fds;
    std::vector<std::thread> m_threads;
    std::vector<std::string> m_heads;
};

// Runs `work` on a thread and joins it at scope end.
class ScopedThread
{
public:
    explicit ScopedThread(std::function<void()> work) : m_thread(std::move(work)) {}
    ~ScopedThread()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
};

} // namespace quorvane::testing
