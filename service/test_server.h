#pragma once
// A test server of the service: the test key handshake, the generated
// downloads the bandwidth and file download tests read, and the upload sink
// that counts what the clients send.
#include "behaviour.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace httplib
{
class Server;
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

namespace refsvc
{

class SharedState;

// Thread-safe: one object serves every test server listener.
class TestServer
{
public:
    explicit TestServer(SharedState& state);

    void addRoutes(httplib::Server& s);

    ModeSwitch& keyMode() { return m_keyMode; }
    // Keys handed out and in use, and keys waiting to be redeemed.
    std::pair<std::size_t, std::size_t> keyCounts();
    void forgetKeys();

private:
    void handleKey(const httplib::Request& req, httplib::Response& res);
    void handleKeyRelease(const httplib::Request& req, httplib::Response& res);
    void handleDownload(const httplib::Request& req, httplib::Response& res);
    void handleUpload(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);

    SharedState& m_state;
    ModeSwitch m_keyMode;
    std::string m_pattern; // content of the generated downloads, repeated
    std::mutex m_keysMutex;
    std::map<std::string, bool> m_testKeys; // key -> active (false: deferred, to be redeemed)
};

} // namespace refsvc
