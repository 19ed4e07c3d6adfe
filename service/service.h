#pragma once
// The reference measurement service: one HTTP listener per end point (web
// project with the clock, each test server, the update server), all sharing
// one state in memory. Each project answers its own paths (web_project.h,
// test_server.h, update_server.h); this class owns the listeners and the
// control end point. Construct, load(), bind(), start(), then stop() from
// any thread and join().
#include "options.h"
#include "state.h"
#include "test_server.h"
#include "update_server.h"
#include "web_project.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib
{
class Server;
} // namespace httplib

namespace refsvc
{

class Service
{
public:
    explicit Service(Options options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Reads the user file. Returns an error text, empty on success.
    std::string load();
    // Creates and binds every listener. Returns an error text, empty on success.
    std::string bind();
    // Starts accepting on every listener; waits (at most a few seconds) until
    // all of them run. Returns an error text, empty on success.
    std::string start();
    // "quorvane-refsvc ready web=... update=... test=..." with the bound ports.
    std::string readyLine() const;
    // Thread-safe and idempotent; wakes every waiting request.
    void stop();
    // Waits for the listeners to end after stop().
    void join();

private:
    struct Listener;
    enum class Role { Web, Test, Update, Dispatch };

    Listener& addListener(Role role, const Endpoint& endpoint);
    // The settings every listener shares: threads, socket options, body
    // limits, the Date header, the request log; then its project's routes.
    void configure(Listener& l);
    // The control end point, on every listener, for loopback peers only.
    void addControl(httplib::Server& s);

    Options m_options;
    std::string m_usersPath;
    SharedState m_state;
    WebProject m_web;
    TestServer m_test;
    UpdateServer m_update;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::mutex m_logMutex;
};

} // namespace refsvc
