#pragma once
// The web project of the service: login, score, portal pages, registration
// and the clock under the project's path; the page-load test's pages and
// files; the video sites' stand-ins and their streams.
#include "behaviour.h"
#include "users.h"
#include "video_sites.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace httplib
{
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace refsvc
{

class SharedState;

// Thread-safe once the stream base is set, which happens before any
// listener starts.
class WebProject
{
public:
    explicit WebProject(SharedState& state);

    // The stream addresses name the web project's listener, known once it
    // is bound; the sohu stand-in's dispatch listener is `dispatchHost`.
    void setStreamBase(const std::string& base, const std::string& dispatchHost);

    void addRoutes(httplib::Server& s);
    // The sohu stand-in's dispatch listener.
    void addDispatchRoutes(httplib::Server& s);

    UserDirectory& users() { return m_users; }
    ModeSwitch& loginMode() { return m_loginMode; }
    ModeSwitch& portalKeyMode() { return m_portalKeyMode; }
    ModeSwitch& clockMode() { return m_clockMode; }
    void forgetKeys();

private:
    void addVideoSites(httplib::Server& s);
    void handleLogin(const httplib::Request& req, httplib::Response& res);
    void handleScore(const httplib::Request& req, httplib::Response& res);
    void handlePortalKey(const httplib::Request& req, httplib::Response& res);
    void handlePortalPage(const httplib::Request& req, httplib::Response& res);
    void handleRegister(const httplib::Request& req, httplib::Response& res);
    void handleForgotPassword(const httplib::Request& req, httplib::Response& res);
    void handleClock(const httplib::Request& req, httplib::Response& res);
    // The video sites' stream files: served from the data folder, throttled
    // and faulted like the test servers' downloads.
    void handleVideo(const httplib::Request& req, httplib::Response& res);

    SharedState& m_state;
    std::string m_wwwDir, m_videoDir;
    UserDirectory m_users;
    ModeSwitch m_loginMode, m_portalKeyMode, m_clockMode;
    std::unique_ptr<VideoSiteStubs> m_videoSites;
    std::mutex m_portalKeysMutex;
    std::map<std::string, std::chrono::steady_clock::time_point> m_portalKeys; // key -> expiry
};

} // namespace refsvc
