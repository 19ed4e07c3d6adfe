#include "replies.h"

#include "answers.h"
#include "connection.h"
#include "state.h"

#include <httplib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

namespace refsvc
{

using httplib::Request;
using httplib::Response;

void answerText(Response& res, const std::string& text, int status)
{
    res.status = status;
    res.set_content(text, kText);
}

void answerPage(Response& res, const std::string& title, const std::string& body, int status)
{
    res.status = status;
    res.set_content("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
                        "</title></head>\n<body>\n<h1>" + htmlEscape(title) + "</h1>\n" + body + "\n</body></html>\n",
                    kHtml);
}

bool applyFault(SharedState& state, const Mode& mode, const Request& req, Response& res)
{
    if (mode.name == "garbage") {
        answerText(res, kGarbageAnswer);
        return true;
    }
    if (mode.name == "close") {
        dropConnection({req.local_addr, req.local_port, req.remote_addr, req.remote_port});
        res.status = 500;
        res.set_header("Connection", "close");
        return true;
    }
    if (mode.name == "delay" && !state.pause(std::chrono::milliseconds(mode.delayMs))) {
        answerText(res, "stopping\n", 503);
        return true;
    }
    return false;
}

// The clients read this service's answers byte for byte and count upload
// bytes themselves. The request is the library's own non-const object,
// handed to the handlers as const.
void takeOver(const Request& constReq)
{
    auto& req = const_cast<Request&>(constReq);
    req.ranges.clear();
    // The clients announce gzip but read the body as it comes, as the
    // platform HTTP service they were written for did.
    req.headers.erase("Accept-Encoding");
    if (req.path == "/speed/doload.do" && req.has_header("Content-Type")) {
        const std::string type = req.get_header_value("Content-Type");
        req.headers.erase("Content-Type");
        req.headers.emplace(kUploadContentType, type);
    }
}

std::string escapeRegex(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (std::strchr(".^$|()[]{}*+?\\", c))
            out += '\\';
        out += c;
    }
    return out;
}

std::string contentTypeOf(const std::string& path)
{
    static const std::map<std::string, std::string> types = {
        {".xml", "application/xml"},
        {".html", kHtml},
        {".htm", kHtml},
        {".txt", kText},
        {".css", "text/css"},
        {".js", "application/javascript"},
        {".json", "application/json"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".svg", "image/svg+xml"},
        {".mp4", "video/mp4"},
        {".flv", "video/x-flv"},
        {".ico", "image/x-icon"},
    };
    const auto dot = path.rfind('.');
    const auto slash = path.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        std::string ext = path.substr(dot);
        for (auto& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (auto it = types.find(ext); it != types.end())
            return it->second;
    }
    return "application/octet-stream";
}

std::string resolveUnder(const std::string& root, const std::string& relative)
{
    if (relative.empty() || relative.find('\0') != std::string::npos || relative.find('\\') != std::string::npos)
        return {};
    std::size_t start = 0;
    while (start <= relative.size()) {
        auto slash = relative.find('/', start);
        if (slash == std::string::npos)
            slash = relative.size();
        if (relative.compare(start, slash - start, "..") == 0 && slash - start == 2)
            return {};
        start = slash + 1;
    }
    char rootReal[PATH_MAX], fileReal[PATH_MAX];
    if (!realpath(root.c_str(), rootReal))
        return {};
    const std::string candidate = root + "/" + relative;
    if (!realpath(candidate.c_str(), fileReal))
        return {};
    const std::string prefix = std::string(rootReal) + "/";
    if (std::string(fileReal).rfind(prefix, 0) != 0)
        return {};
    struct stat st {
    };
    if (stat(fileReal, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return fileReal;
}

OpenFile::OpenFile(const std::string& root, const std::string& relative) : path(resolveUnder(root, relative))
{
    fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {
    };
    // The name was checked before the open; the file opened is checked again.
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    size = fd >= 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

OpenFile::~OpenFile()
{
    if (fd >= 0)
        ::close(fd);
}

int OpenFile::take()
{
    return std::exchange(fd, -1);
}

bool answerRange(const Request& req, Response& res, std::uint64_t total, std::uint64_t& first, std::uint64_t& length)
{
    const ByteRange range = parseRange(req.get_header_value("Range"), total);
    if (range.kind == ByteRange::Unsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", contentRange(range, total));
        return false;
    }
    first = 0;
    length = total;
    res.status = 200;
    if (range.kind == ByteRange::Partial) {
        first = range.first;
        length = range.last - range.first + 1;
        res.status = 206;
        res.set_header("Content-Range", contentRange(range, total));
    }
    return true;
}

namespace
{

constexpr long long kDefaultStallMs = 10000;
constexpr long long kMaxStallMs = 120000;

bool queryNumber(const std::string& text, long long low, long long high, long long& out)
{
    if (text.empty() || text.size() > 15 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const long long v = std::stoll(text);
    if (v < low || v > high)
        return false;
    out = v;
    return true;
}

} // namespace

BodyFaults bodyFaults(const Request& req)
{
    BodyFaults f;
    auto number = [&](const char* name, long long low, long long high, long long& into) {
        if (!req.has_param(name))
            return;
        long long v = 0;
        if (queryNumber(req.get_param_value(name), low, high, v))
            into = v;
    };
    long long status = 0;
    number("status", 400, 599, status);
    f.status = static_cast<int>(status);
    f.noLength = req.get_param_value("length") == "none";
    long long stallAfter = -1;
    number("stall_after", 0, 1ll << 40, stallAfter);
    f.stallAfter = stallAfter;
    long long stallMs = kDefaultStallMs;
    number("stall_ms", 0, kMaxStallMs, stallMs);
    f.stallMs = std::chrono::milliseconds(stallMs);
    return f;
}

void streamBody(SharedState& state, Response& res, const std::string& type, std::uint64_t length,
                const BodyFaults& faults, std::size_t maxPiece, PieceSource source, std::atomic<std::uint64_t>& bytes,
                std::atomic<std::uint64_t>& completed, std::function<void()> release)
{
    // Sends the next piece from `offset` on; returns its size, 0 when the
    // answer is to end (service stopping, client gone, a stall that ran out).
    auto carried = std::make_shared<CarriedBody>();
    carried->type = type;
    carried->length = length;
    carried->requestMs = state.steadyMs();
    auto sendPiece = [&state, length, faults, maxPiece, source = std::move(source), &bytes, &completed,
                      carried](std::uint64_t offset, httplib::DataSink& sink) -> std::size_t {
        if (state.stopping())
            return 0;
        const auto stallAt = faults.stallAfter >= 0 ? static_cast<std::uint64_t>(faults.stallAfter) : length;
        if (offset >= stallAt) {
            // Holds the connection open without a byte, as a server that
            // hangs mid-body does, then drops it.
            state.pause(faults.stallMs);
            return 0;
        }
        const std::size_t throttled = state.down.pieceSize();
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(
            {throttled ? std::min(throttled, maxPiece) : maxPiece, length - offset, stallAt - offset}));
        const char* data = source(offset, n);
        if (!data || !state.down.acquire(n) || !sink.write(data, n))
            return 0;
        const double now = state.steadyMs();
        if (carried->bytes == 0) {
            carried->firstMs = now;
            carried->firstPiece = n;
        }
        carried->bytes += n;
        carried->lastMs = now;
        bytes += n;
        if (offset + n == length)
            ++completed;
        return n;
    };
    httplib::ContentProviderResourceReleaser releaser = [&state, carried, release = std::move(release)](bool) {
        if (carried->bytes > 0)
            state.noteCarried(*carried);
        if (release)
            release();
    };
    if (faults.noLength) {
        // Chunked: the answer names no length anywhere. The provider's
        // offset would count the chunk framing too, so the body offset is
        // kept here.
        auto sent = std::make_shared<std::uint64_t>(0);
        res.set_chunked_content_provider(
            type,
            [sendPiece, length, sent](std::size_t, httplib::DataSink& sink) {
                if (*sent >= length) {
                    sink.done();
                    return true;
                }
                const std::size_t n = sendPiece(*sent, sink);
                *sent += n;
                return n > 0;
            },
            std::move(releaser));
        return;
    }
    res.set_content_provider(
        static_cast<std::size_t>(length), type,
        [sendPiece](std::size_t offset, std::size_t, httplib::DataSink& sink) { return sendPiece(offset, sink) > 0; },
        std::move(releaser));
}

void serveFile(SharedState& state, const std::string& root, const std::string& relative, const Request& req,
               Response& res, std::atomic<std::uint64_t>* byteCounter)
{
    OpenFile file(root, relative);
    if (!file.ok()) {
        res.status = 404;
        return;
    }
    std::uint64_t first = 0, length = 0;
    if (!answerRange(req, res, file.size, first, length))
        return;
    res.set_header("Accept-Ranges", "bytes");
    const std::string type = contentTypeOf(file.path);
    if (length == 0) {
        res.set_content("", type);
        return;
    }
    const int fd = file.take();
    res.set_content_provider(
        static_cast<std::size_t>(length), type,
        [&state, fd, first, length, byteCounter](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (state.stopping())
                return false;
            char buf[64 * 1024];
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buf, length - offset));
            const ssize_t got = ::pread(fd, buf, want, static_cast<off_t>(first + offset));
            // A file that shrank under us ends the answer early, which the
            // client sees as a short body rather than as invented bytes.
            if (got <= 0 || !sink.write(buf, static_cast<std::size_t>(got)))
                return false;
            if (byteCounter)
                *byteCounter += static_cast<std::uint64_t>(got);
            return true;
        },
        [fd](bool) { ::close(fd); });
}

} // namespace refsvc
