#pragma once
// How the service's listeners answer, whichever project they serve: plain
// texts and pages, the common faults a switch asks for, byte ranges, files
// under a root, and bodies sent at the line's rate with the faults a
// request's query asks for.
#include "behaviour.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace httplib
{
struct Request;
struct Response;
class DataSink;
} // namespace httplib

namespace refsvc
{

class SharedState;

inline constexpr const char* kText = "text/plain; charset=UTF-8";
inline constexpr const char* kHtml = "text/html; charset=UTF-8";
// The upload's own content type is moved here before routing (see takeOver).
inline constexpr const char* kUploadContentType = "X-Refsvc-Upload-Content-Type";
// Set by a handler whose answer must go out without a Date header.
inline constexpr const char* kNoDateMarker = "X-Refsvc-No-Date";

void answerText(httplib::Response& res, const std::string& text, int status = 200);
// A small HTML page with the title as its heading; `body` is markup.
void answerPage(httplib::Response& res, const std::string& title, const std::string& body, int status = 200);

// Applies a common fault of the mode ("garbage", "close", "delay").
// Returns true when the request has been dealt with; "delay" waits and
// returns false so that the normal answer follows.
bool applyFault(SharedState& state, const Mode& mode, const httplib::Request& req, httplib::Response& res);

// The HTTP library would answer ranges, negotiate compression and decode
// multipart bodies on its own; the service does all three itself and takes
// them out of the request before routing.
void takeOver(const httplib::Request& req);

std::string escapeRegex(const std::string& s);
std::string contentTypeOf(const std::string& path);

// The regular file under root that the request path names, or "" when it
// names none or tries to leave root (through "..", links or otherwise).
std::string resolveUnder(const std::string& root, const std::string& relative);

// Faults a streamed body answers with on request, through its query:
// "status=N" (400..599) refuses with that status; "length=none" sends the
// body chunked, without Content-Length; "stall_after=BYTES" stops the body
// there and holds the connection open for "stall_ms" (default 10000) before
// dropping it.
struct BodyFaults {
    int status = 0;
    bool noLength = false;
    long long stallAfter = -1;
    std::chrono::milliseconds stallMs{0};
};
BodyFaults bodyFaults(const httplib::Request& req);

// Yields the body's bytes at `offset` (counted within the slice sent): a
// pointer to at least `n` of them, valid until the next call; null when
// they cannot be had, which ends the answer early.
using PieceSource = std::function<const char*(std::uint64_t offset, std::size_t n)>;

// Answers with `length` bytes from `source` in pieces of at most
// `maxPiece`, throttled by the line's downward rate and cut as `faults`
// ask; counts into `bytes` and, at the last byte, `completed`. `release`
// runs when the answer ends (it may be empty). The status and the range
// headers are set already.
void streamBody(SharedState& state, httplib::Response& res, const std::string& type, std::uint64_t length,
                const BodyFaults& faults, std::size_t maxPiece, PieceSource source, std::atomic<std::uint64_t>& bytes,
                std::atomic<std::uint64_t>& completed, std::function<void()> release = {});

// Serves the file under root that `relative` names, with byte ranges and
// no throttling; counts the bytes sent into `byteCounter` when given.
void serveFile(SharedState& state, const std::string& root, const std::string& relative, const httplib::Request& req,
               httplib::Response& res, std::atomic<std::uint64_t>* byteCounter);

// An open regular file under root, closed with the object unless taken.
struct OpenFile {
    OpenFile(const std::string& root, const std::string& relative);
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    bool ok() const { return fd >= 0; }
    // Hands the descriptor to the caller, who closes it.
    int take();

    std::string path;
    int fd = -1;
    std::uint64_t size = 0;
};

// Sets the status (200, 206 or 416) and Content-Range for a Range header
// and yields the slice to send; false when the range cannot be satisfied
// and the answer is complete.
bool answerRange(const httplib::Request& req, httplib::Response& res, std::uint64_t total, std::uint64_t& first,
                 std::uint64_t& length);

} // namespace refsvc
