#include "test_server.h"

#include "answers.h"
#include "connection.h"
#include "replies.h"
#include "state.h"
#include "upload_counter.h"

#include <httplib.h>

#include <algorithm>

namespace refsvc
{

using httplib::Request;
using httplib::Response;

namespace
{

constexpr std::size_t kPatternPeriod = 1024 * 1024;
constexpr std::size_t kFastPiece = 256 * 1024;
// Forgotten test keys (clients that never release) are dropped beyond this.
constexpr std::size_t kMaxTestKeys = 100000;

} // namespace

TestServer::TestServer(SharedState& state)
    : m_state(state), m_keyMode(SwitchKind::Key, *parseMode(SwitchKind::Key, "1"))
{
    m_keyMode.set(state.options.keyMode);
    // Incompressible, deterministic content; one period plus one piece so
    // that every piece is a contiguous slice.
    m_pattern.resize(kPatternPeriod + kFastPiece);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < kPatternPeriod; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        m_pattern[i] = static_cast<char>(x >> 56);
    }
    std::copy_n(m_pattern.begin(), kFastPiece, m_pattern.begin() + kPatternPeriod);
}

void TestServer::addRoutes(httplib::Server& s)
{
    s.Get("/speed/dovalid", [this](const Request& req, Response& res) { handleKey(req, res); });
    s.Post("/speed/dovalid", [this](const Request& req, Response& res) { handleKeyRelease(req, res); });
    s.Post("/speed/doload.do", [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
        handleUpload(req, res, reader);
    });
    s.Get("/speed/([^/]+)", [this](const Request& req, Response& res) { handleDownload(req, res); });
    s.Get("/download/([^/]+)", [this](const Request& req, Response& res) { handleDownload(req, res); });
}

std::pair<std::size_t, std::size_t> TestServer::keyCounts()
{
    std::size_t active = 0, deferred = 0;
    std::lock_guard lock(m_keysMutex);
    for (const auto& [key, isActive] : m_testKeys)
        (isActive ? active : deferred)++;
    return {active, deferred};
}

void TestServer::forgetKeys()
{
    std::lock_guard lock(m_keysMutex);
    m_testKeys.clear();
}

void TestServer::handleKey(const Request& req, Response& res)
{
    Stats& stats = m_state.stats;
    ++stats.keyRequests;
    const Mode mode = m_keyMode.get();
    if (applyFault(m_state, mode, req, res))
        return;
    if (mode.name == "0") {
        answerText(res, keyAnswer('0', ""));
        return;
    }
    const std::string given = req.get_param_value("key");
    std::lock_guard lock(m_keysMutex);
    if (m_testKeys.size() >= kMaxTestKeys)
        m_testKeys.clear();
    // A client that was told to come back later brings its key back.
    if (auto it = m_testKeys.find(given); it != m_testKeys.end() && !it->second) {
        it->second = true;
        ++stats.keysIssued;
        answerText(res, keyAnswer('1', given));
        return;
    }
    const std::string key = m_state.newKey();
    if (mode.name == "2") {
        m_testKeys[key] = false;
        ++stats.keysDeferred;
        answerText(res, keyAnswer('2', key));
        return;
    }
    m_testKeys[key] = true;
    ++stats.keysIssued;
    answerText(res, keyAnswer('1', key));
}

void TestServer::handleKeyRelease(const Request& req, Response& res)
{
    std::string key = formValue(req.body, "key").value_or(req.get_param_value("key"));
    std::lock_guard lock(m_keysMutex);
    const auto it = m_testKeys.find(key);
    if (it == m_testKeys.end() || !it->second) {
        ++m_state.stats.releasesUnknown;
        answerText(res, "0");
        return;
    }
    m_testKeys.erase(it);
    ++m_state.stats.keysReleased;
    answerText(res, "1");
}

void TestServer::handleDownload(const Request& req, Response& res)
{
    const std::string name = req.matches[1];
    const auto& downloads = m_state.options.downloads;
    const auto file =
        std::find_if(downloads.begin(), downloads.end(), [&](const DownloadFile& d) { return d.name == name; });
    if (file == downloads.end()) {
        res.status = 404;
        return;
    }
    ++m_state.stats.downloadRequests;
    const BodyFaults faults = bodyFaults(req);
    if (faults.status) {
        answerText(res, "refused on request\n", faults.status);
        return;
    }
    res.set_header("Accept-Ranges", "bytes");
    std::uint64_t first = 0, length = 0;
    if (!answerRange(req, res, file->size, first, length))
        return;
    if (length == 0) {
        res.set_content("", "application/octet-stream");
        return;
    }
    // A piece never exceeds kFastPiece, and the pattern holds one piece past
    // its period.
    streamBody(
        m_state, res, "application/octet-stream", length, faults, kFastPiece,
        [this, first](std::uint64_t offset, std::size_t) {
            return m_pattern.data() + static_cast<std::size_t>((first + offset) % kPatternPeriod);
        },
        m_state.stats.downloadBytes, m_state.stats.downloadsCompleted);
}

void TestServer::handleUpload(const Request& req, Response& res, const httplib::ContentReader& reader)
{
    Stats& stats = m_state.stats;
    ++stats.uploadRequests;
    const std::string boundary = multipartBoundary(req.get_header_value(kUploadContentType));
    ++(boundary.empty() ? stats.uploadOther : stats.uploadMultipart);
    UploadCounter counter(boundary);
    // The measuring clients count a byte when their socket takes it. On a
    // throttled line a receive buffer grown to megabytes would let them
    // count far ahead of the line (and then stall); a buffer of about 10 ms
    // of the line keeps their one-second samples true.
    if (const auto rate = m_state.up.rate();
        rate > 0 && limitReceiveBuffer({req.local_addr, req.local_port, req.remote_addr, req.remote_port},
                                       static_cast<int>(std::clamp<std::uint64_t>(rate / 100, 16 * 1024, 1024 * 1024))))
        ++stats.uploadBuffersLimited;
    bool tooLarge = false;
    const std::uint64_t limit = m_state.options.maxUploadBody;
    const bool complete = reader([this, &counter, &tooLarge, &stats, limit](const char* data, std::size_t n) {
        // Only a chunked body gets here unchecked; its length is counted.
        if (counter.bodyBytes() + n > limit) {
            tooLarge = true;
            return false;
        }
        if (m_state.stopping() || !m_state.up.acquire(n))
            return false;
        counter.feed(data, n);
        stats.uploadBodyBytes += n;
        return true;
    });
    if (complete)
        counter.finish();
    stats.uploadPayloadBytes += counter.payloadBytes();
    ++(complete ? stats.uploadsCompleted : stats.uploadsBroken);
    if (tooLarge) {
        ++stats.bodiesRefused;
        res.set_header("Connection", "close");
        answerText(res, "request body too large\n", 413);
        return;
    }
    answerText(res, complete ? "ok" : "incomplete", complete ? 200 : 400);
}

} // namespace refsvc
