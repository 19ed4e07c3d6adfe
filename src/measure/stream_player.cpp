#include "measure/stream_player.h"

#include "measure/bandwidth_figures.h"
#include "measure/outcome_words.h"
#include "net/curl_global.h"
#include "net/http_url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace quorvane::measure
{

namespace
{

using Ms = std::chrono::milliseconds;

std::uint32_t msBetween(Clock::Steady::time_point from, Clock::Steady::time_point to)
{
    const auto ms = std::chrono::duration_cast<Ms>(to - from).count();
    return ms <= 0 ? 0 : static_cast<std::uint32_t>(std::min<long long>(ms, UINT32_MAX));
}

} // namespace

std::string RequestableUrl(const std::string& url)
{
    // Site answers assemble addresses from ids that may hold backslashes,
    // blanks or other bytes a request line cannot carry; they go out
    // percent-encoded instead of failing the whole measurement.
    return PercentEncode(url, [](unsigned char c) {
        return c <= 0x20 || c >= 0x7F || std::strchr("\\\"<>^`{|}", static_cast<char>(c)) != nullptr;
    });
}

const char* StreamEndName(StreamEnd end)
{
    static constexpr std::pair<StreamEnd, const char*> kWords[] = {
        {StreamEnd::Completed, "completed"},  {StreamEnd::EarlyEnd, "early-end"},
        {StreamEnd::Stalled, "stalled"},      {StreamEnd::Deadline, "deadline"},
        {StreamEnd::HttpError, "http-error"}, {StreamEnd::NoConnection, "no-connection"},
        {StreamEnd::Stopped, "stopped"}};
    return WordOf(kWords, end);
}

std::string VideoInfoPayload(const StreamFigures& f)
{
    return FormatFixed(f.maxSpeedKBps, 2) + "#" + std::to_string(f.firstByteMs) + "#" + std::to_string(f.totalBytes) +
           "#" + FormatFixed(f.averageKBps, 2) + "#" + std::to_string(f.loadedBytes) + "#" + std::to_string(f.totalMs);
}

// ---------------------------------------------------------------- StreamMeter

void StreamMeter::onBytes(TimePoint when, std::uint64_t count)
{
    if (count == 0)
        return;
    if (!m_first)
        m_first = when;
    when = std::max(when, *m_first);
    m_last = when;
    m_loaded += count;
    const auto second = static_cast<std::size_t>(msBetween(*m_first, when) / 1000);
    // A clock that jumps far ahead must not make the table huge: a second
    // beyond a day is counted in the last one.
    const std::size_t slot = std::min<std::size_t>(second, 86400);
    if (m_seconds.size() <= slot)
        m_seconds.resize(slot + 1, 0);
    m_seconds[slot] += count;
}

StreamFigures StreamMeter::finish(TimePoint end, std::optional<std::uint64_t> announced, StreamEnd how) const
{
    StreamFigures f;
    f.end = how;
    f.loadedBytes = m_loaded;
    f.totalMs = msBetween(m_start, std::max(end, m_last.value_or(end)));
    if (announced)
        f.totalBytes = *announced;
    else if (how == StreamEnd::Completed)
        f.totalBytes = m_loaded;
    if (!m_first)
        return f;
    f.firstByteMs = msBetween(m_start, *m_first);
    // The body's own time: from its first byte to its last. A body that came
    // in one piece has none; it then counts against the whole request.
    std::uint32_t bodyMs = msBetween(*m_first, *m_last);
    if (bodyMs == 0)
        bodyMs = std::max<std::uint32_t>(f.totalMs, 1);
    f.averageKBps = static_cast<double>(m_loaded) / 1024.0 / (bodyMs / 1000.0);
    // Whole seconds only, up to the end of the transfer (a stalled stream's
    // empty seconds are seconds too). A transfer shorter than a second after
    // its first byte has none; its peak is its average.
    const std::size_t whole = msBetween(*m_first, std::max(end, *m_last)) / 1000;
    double best = 0;
    for (std::size_t i = 0; i < std::min(whole, m_seconds.size()); ++i)
        best = std::max(best, static_cast<double>(m_seconds[i]) / 1024.0);
    f.maxSpeedKBps = whole == 0 ? f.averageKBps : std::max(best, f.averageKBps);
    return f;
}

// ---------------------------------------------------------------- DownloadStream

namespace
{

struct Transfer {
    Clock* clock = nullptr;
    const std::atomic<bool>* stop = nullptr;
    const StreamSink* sink = nullptr;
    StreamLimits limits;
    StreamMeter meter;
    Clock::Steady::time_point start, lastProgress;
    std::optional<std::uint64_t> announced;
    CURL* handle = nullptr;
    int status = 0;
    bool headSeen = false;
    std::optional<StreamEnd> abortedAs;

    Transfer(Clock& c, Clock::Steady::time_point t0) : clock(&c), meter(t0), start(t0), lastProgress(t0) {}
};

size_t onBody(char* data, size_t size, size_t count, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!t->headSeen) {
        t->headSeen = true;
        long code = 0;
        curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &code);
        t->status = static_cast<int>(code);
        if (code < 200 || code > 299) {
            t->abortedAs = StreamEnd::HttpError;
            return CURL_WRITEFUNC_ERROR;
        }
        curl_off_t length = -1;
        if (curl_easy_getinfo(t->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
            t->announced = static_cast<std::uint64_t>(length);
    }
    const auto now = t->clock->now();
    t->meter.onBytes(now, n);
    t->lastProgress = now;
    if (*t->sink)
        (*t->sink)(data, n);
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* t = static_cast<Transfer*>(user);
    const auto now = t->clock->now();
    if (t->stop->load())
        t->abortedAs = StreamEnd::Stopped;
    else if (now - t->start >= t->limits.deadline)
        t->abortedAs = StreamEnd::Deadline;
    else if (now - t->lastProgress >= t->limits.stall)
        t->abortedAs = StreamEnd::Stalled;
    return t->abortedAs ? 1 : 0;
}

} // namespace

StreamFigures DownloadStream(const std::string& url, const StreamLimits& limits, Clock& clock,
                             const std::atomic<bool>& stop, const StreamSink& sink)
{
    net::EnsureCurl();
    Transfer t(clock, clock.now());
    t.stop = &stop;
    t.sink = &sink;
    t.limits = limits;
    CURL* h = curl_easy_init();
    if (!h)
        return t.meter.finish(clock.now(), std::nullopt, StreamEnd::NoConnection);
    t.handle = h;
    const std::string requestable = RequestableUrl(url);
    curl_easy_setopt(h, CURLOPT_URL, requestable.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // Only web addresses: a page's answer must not make the player read
    // local files or speak other protocols.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    // The measurement is of the bytes as they cross the line.
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    const CURLcode rc = curl_easy_perform(h);
    const auto end = clock.now();
    if (!t.headSeen) {
        long code = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
        t.status = static_cast<int>(code);
        if (rc == CURLE_OK && (code < 200 || code > 299))
            t.abortedAs = StreamEnd::HttpError;
        else if (rc == CURLE_OK) {
            // A 2xx with an empty body: complete, of length 0.
            curl_off_t length = -1;
            if (curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
                t.announced = static_cast<std::uint64_t>(length);
        }
    }
    curl_easy_cleanup(h);

    StreamEnd how;
    if (t.abortedAs)
        how = *t.abortedAs;
    else if (rc == CURLE_OK)
        how = StreamEnd::Completed;
    else if (t.headSeen)
        how = StreamEnd::EarlyEnd; // partial file, a reset, a read error mid-body
    else if (t.status >= 200 && t.status <= 299)
        how = StreamEnd::EarlyEnd; // the head came, the body never did
    else if (t.status != 0)
        how = StreamEnd::HttpError;
    else
        how = StreamEnd::NoConnection;
    StreamFigures f = t.meter.finish(end, t.announced, how);
    f.httpStatus = t.status;
    return f;
}

// ---------------------------------------------------------------- invoke texts

std::string InvokeRequest(const std::string& name, const std::string& argument)
{
    return "<invoke name=\"" + name + "\" returntype=\"xml\"><arguments><string>" + argument +
           "</string></arguments></invoke>";
}

std::optional<InvokeCall> ParseInvoke(const std::string& request)
{
    static const std::string kName = "<invoke name=\"";
    const auto at = request.find(kName);
    if (at == std::string::npos)
        return std::nullopt;
    const auto from = at + kName.size();
    const auto to = request.find('"', from);
    if (to == std::string::npos || to == from)
        return std::nullopt;
    InvokeCall call;
    call.name = request.substr(from, to - from);
    const auto open = request.find("<string>", to);
    if (open != std::string::npos) {
        const auto close = request.find("</string>", open + 8);
        call.argument = request.substr(open + 8, close == std::string::npos ? std::string::npos : close - open - 8);
    }
    return call;
}

// ---------------------------------------------------------------- StreamPlayer

StreamPlayer::StreamPlayer(StreamPlayerSettings settings, FlashCall flashCall, Display display)
    : m_settings(std::move(settings)), m_flashCall(std::move(flashCall)), m_display(std::move(display))
{
    if (!m_settings.clock)
        m_settings.clock = systemClock();
    if (!m_settings.download)
        m_settings.download = DownloadStream;
}

StreamPlayer::~StreamPlayer()
{
    std::unique_lock lock(m_mutex);
    stopRun();
}

std::string StreamPlayer::CallFunction(const std::string& request)
{
    const auto call = ParseInvoke(request);
    if (!call)
        return "<null/>";
    std::unique_lock lock(m_mutex);
    if (call->name == invoke::kPlay || call->name == invoke::kAutoPlay) {
        stopRun();
        startRun(call->argument);
    } else if (call->name == invoke::kStop) {
        stopRun();
    }
    return "<null/>";
}

void StreamPlayer::Quit()
{
    {
        std::unique_lock lock(m_mutex);
        stopRun();
    }
    if (m_flashCall)
        m_flashCall(InvokeRequest(invoke::kQuit, ""));
}

bool StreamPlayer::running() const
{
    std::lock_guard lock(m_mutex);
    return m_running;
}

void StreamPlayer::waitIdle()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_running; });
}

void StreamPlayer::stopRun()
{
    // Holds m_mutex; the run thread takes it only to clear m_running, after
    // its report, so joining here cannot wait on this lock.
    if (m_stop)
        *m_stop = true;
    // Another caller may start a run while the lock is let go for the join.
    while (m_thread.joinable()) {
        if (m_stop)
            *m_stop = true;
        std::thread old = std::move(m_thread);
        m_mutex.unlock();
        old.join();
        m_mutex.lock();
    }
}

void StreamPlayer::startRun(const std::string& url)
{
    auto stop = std::make_shared<std::atomic<bool>>(false);
    m_stop = stop;
    m_running = true;
    m_liveBytes = 0;
    m_thread = std::thread([this, url, stop] {
        if (m_display.started)
            m_display.started(url);
        const StreamSink sink = [this](const char* data, std::size_t n) {
            m_liveBytes += n;
            if (m_display.data)
                m_display.data(data, n);
        };
        const StreamFigures f = m_settings.download(url, m_settings.limits, *m_settings.clock, *stop, sink);
        if (m_display.ended)
            m_display.ended(f);
        // A stopped run was abandoned by its page: it reports nothing.
        if (!stop->load() && f.end != StreamEnd::Stopped && m_flashCall)
            m_flashCall(InvokeRequest(invoke::kInfo, VideoInfoPayload(f)));
        std::lock_guard lock(m_mutex);
        if (m_stop == stop)
            m_running = false;
        m_idle.notify_all();
    });
}

} // namespace quorvane::measure
