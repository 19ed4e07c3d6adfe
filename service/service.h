#pragma once
// The reference measurement service: one HTTP listener per end point (web
// project with the clock, each test server, the update server), all sharing
// one state in memory. Construct, load(), bind(), start(), then stop() from
// any thread and join().
#include "behaviour.h"
#include "options.h"
#include "rate_limiter.h"
#include "users.h"
#include "video_sites.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib
{
class Server;
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

namespace refsvc
{

// Counters for the control end point; every one only grows until a reset.
struct Stats {
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> loginRequests{0}, loginAccepted{0}, loginRefused{0};
    std::atomic<std::uint64_t> scoreRequests{0};
    std::atomic<std::uint64_t> portalKeysIssued{0}, portalPagesShown{0}, portalPagesRefused{0};
    std::atomic<std::uint64_t> registrations{0}, passwordResets{0};
    std::atomic<std::uint64_t> clockRequests{0};
    std::atomic<std::uint64_t> keyRequests{0}, keysIssued{0}, keysDeferred{0}, keysReleased{0}, releasesUnknown{0};
    std::atomic<std::uint64_t> downloadRequests{0}, downloadBytes{0}, downloadsCompleted{0};
    std::atomic<std::uint64_t> uploadRequests{0}, uploadMultipart{0}, uploadOther{0};
    std::atomic<std::uint64_t> uploadBodyBytes{0}, uploadPayloadBytes{0}, uploadsCompleted{0}, uploadsBroken{0};
    std::atomic<std::uint64_t> uploadBuffersLimited{0};
    std::atomic<std::uint64_t> bodiesRefused{0};
    std::atomic<std::uint64_t> updateRequests{0}, updateBytes{0};
    std::atomic<std::uint64_t> videoRequests{0}, videoBytes{0}, videosCompleted{0};

    std::string render();
    void reset();

private:
    std::vector<std::pair<const char*, std::atomic<std::uint64_t>*>> rows();
};

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
    void configure(Listener& l);
    void addControl(httplib::Server& s);
    void addWebProject(httplib::Server& s);
    void addTestServer(httplib::Server& s);
    void addUpdateServer(httplib::Server& s);
    void addVideoSites(httplib::Server& s);
    void addVideoDispatch(httplib::Server& s);

    void handleLogin(const httplib::Request& req, httplib::Response& res);
    void handleScore(const httplib::Request& req, httplib::Response& res);
    void handlePortalKey(const httplib::Request& req, httplib::Response& res);
    void handlePortalPage(const httplib::Request& req, httplib::Response& res);
    void handleRegister(const httplib::Request& req, httplib::Response& res);
    void handleForgotPassword(const httplib::Request& req, httplib::Response& res);
    void handleClock(const httplib::Request& req, httplib::Response& res);
    void handleKey(const httplib::Request& req, httplib::Response& res);
    void handleKeyRelease(const httplib::Request& req, httplib::Response& res);
    void handleDownload(const httplib::Request& req, httplib::Response& res);
    void handleUpload(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
    // The video sites' stream files: served from the data folder, throttled
    // and faulted like the test servers' downloads.
    void handleVideo(const httplib::Request& req, httplib::Response& res);
    void serveFile(const std::string& root, const std::string& relative, const httplib::Request& req,
                   httplib::Response& res, std::atomic<std::uint64_t>* byteCounter);

    // Applies a common fault of the mode ("garbage", "close", "delay").
    // Returns true when the request has been dealt with; "delay" waits and
    // returns false so that the normal answer follows.
    bool applyFault(const Mode& mode, const httplib::Request& req, httplib::Response& res);
    // Waits the time or until stop(); false when stopped.
    bool pause(std::chrono::milliseconds ms);
    std::string newKey();
    std::time_t serviceNow() const;

    Options m_options;
    std::string m_usersPath, m_updateDir, m_wwwDir, m_videoDir;
    std::vector<std::unique_ptr<Listener>> m_listeners;

    UserDirectory m_users;
    Stats m_stats;
    ModeSwitch m_loginMode, m_keyMode, m_portalKeyMode, m_clockMode;
    std::atomic<long long> m_clockOffset;
    RateLimiter m_down, m_up;
    std::string m_pattern; // content of the generated downloads, repeated
    // Made once the listeners are bound: the stream addresses name the web
    // project's port.
    std::unique_ptr<VideoSiteStubs> m_videoSites;

    std::mutex m_keysMutex;
    std::map<std::string, bool> m_testKeys; // key -> active (false: deferred, to be redeemed)
    std::map<std::string, std::chrono::steady_clock::time_point> m_portalKeys; // key -> expiry
    std::mt19937_64 m_random;

    std::mutex m_stopMutex;
    std::condition_variable m_stopCv;
    std::atomic<bool> m_stopping{false};
    std::mutex m_logMutex;
};

} // namespace refsvc
