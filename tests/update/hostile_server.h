#pragma once
// A file server on loopback whose answers a test bends the way a broken or
// hostile update server (or anything on the path) would: a false
// Content-Length, bytes after the body, ranges cut short, a trickle.
// One request per connection; the server stops with the object.
#include "net/http_test_server.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace quorvane::testing
{

struct HostileFile {
    std::string content = {};
    std::int64_t announce = -1; // Content-Length of a whole-file answer; -1: the true size
    std::size_t extra = 0;      // bytes sent after every body
    bool announceExtra = false; // whether a range answer's Content-Length counts them
    bool ranges = true;         // answer "Range:" requests with 206
    // Body bytes of a range from `first` sent before the connection is cut;
    // -1 sends it whole.
    std::function<std::int64_t(std::int64_t first)> cutAfter = {};
    std::chrono::milliseconds trickle{0}; // pause before every byte of the answer, head included
    bool silent = false;                  // read the request, never answer
};

class HostileServer
{
public:
    explicit HostileServer(std::map<std::string, HostileFile> files)
        : m_files(std::move(files)), m_server([this](ServerConnection& c) { serve(c); })
    {
    }
    std::string url(const std::string& path) const { return m_server.url(path); }
    std::vector<std::string> heads() const { return m_server.requestHeads(); }
    // Requests for `path` with exactly that range ("first-last").
    int requests(const std::string& path, const std::string& range) const
    {
        int n = 0;
        for (const std::string& head : heads())
            n += head.starts_with("GET " + path + " ") &&
                 head.find("Range:bytes=" + range + "\r\n") != std::string::npos;
        return n;
    }
    int requests(const std::string& path) const
    {
        int n = 0;
        for (const std::string& head : heads())
            n += head.starts_with("GET " + path + " ");
        return n;
    }

private:
    void serve(ServerConnection& c)
    {
        std::string head;
        if (!c.readRequestHead(head))
            return;
        const auto pathStart = head.find(' ') + 1;
        const std::string path = head.substr(pathStart, head.find(' ', pathStart) - pathStart);
        const auto found = m_files.find(path);
        if (found == m_files.end()) {
            c.send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        const HostileFile& f = found->second;
        if (f.silent) {
            c.holdUntilStopped();
            return;
        }
        const auto size = static_cast<std::int64_t>(f.content.size());
        std::int64_t first = 0, last = size - 1;
        std::string answer;
        const auto range = head.find("Range:bytes=");
        if (range != std::string::npos && f.ranges) {
            first = static_cast<std::int64_t>(std::stoll(head.substr(range + 12)));
            const std::string rest = head.substr(head.find('-', range) + 1);
            if (!rest.empty() && rest[0] >= '0' && rest[0] <= '9')
                last = std::min<std::int64_t>(last, std::stoll(rest));
            answer = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                     std::to_string(last) + "/" + std::to_string(size) + "\r\nContent-Length: " +
                     std::to_string(last - first + 1 + (f.announceExtra ? static_cast<std::int64_t>(f.extra) : 0));
        } else {
            answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(f.announce >= 0 ? f.announce : size);
        }
        answer += "\r\nConnection: close\r\n\r\n";
        std::string body =
            f.content.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first + 1));
        if (f.cutAfter) {
            const std::int64_t cut = f.cutAfter(first);
            if (cut >= 0 && cut < static_cast<std::int64_t>(body.size())) {
                c.send(answer + body.substr(0, static_cast<std::size_t>(cut)));
                return;
            }
        }
        answer += body + std::string(f.extra, 'X');
        if (f.trickle.count() == 0) {
            c.send(answer);
            return;
        }
        for (const char byte : answer) {
            if (c.waitStopped(f.trickle) || !c.send(std::string_view(&byte, 1)))
                return;
        }
    }

    std::map<std::string, HostileFile> m_files;
    CannedServer m_server;
};

// Bytes that differ at every offset of a few segments, so a misplaced range
// shows.
inline std::string patternBytes(std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
    return s;
}

} // namespace quorvane::testing
