#include "update/segmented_download.h"

#include "common/durable_file.h"
#include "common/full_io.h"
#include "net/curl_global.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quorvane::update
{

namespace
{

// --- libcurl plumbing ---------------------------------------------------------

struct CurlDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    void add(const std::string& line)
    {
        if (curl_slist* grown = curl_slist_append(list, line.c_str()))
            list = grown;
    }
};

std::string agentName()
{
    // The low 32 bits of a high-resolution counter, as the service's logs
    // have always seen the downloader's agent.
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return "MW-" + std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks)));
}

// What one request saw of its answer.
struct Answer {
    long status = 0;
    std::int64_t contentLength = -1;
    std::string contentRange;
};

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* answer = static_cast<Answer*>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        *answer = Answer{}; // a redirect or interim answer came first
        const auto space = line.find(' ');
        if (space != std::string_view::npos)
            answer->status = std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
    } else if (line.size() > 14 && strncasecmp(line.data(), "Content-Range:", 14) == 0) {
        std::string_view v = line.substr(14);
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
            v.remove_prefix(1);
        while (!v.empty() && (v.back() == '\r' || v.back() == '\n' || v.back() == ' '))
            v.remove_suffix(1);
        answer->contentRange = v;
    } else if (line.size() > 15 && strncasecmp(line.data(), "Content-Length:", 15) == 0) {
        const std::string v(line.substr(15));
        char* end = nullptr;
        errno = 0;
        const long long n = std::strtoll(v.c_str(), &end, 10);
        if (errno == 0 && end != v.c_str() && n >= 0)
            answer->contentLength = n;
    }
    return size * count;
}

// The first byte a "bytes A-B/T" Content-Range names; -1 when unreadable.
std::int64_t contentRangeStart(const std::string& value)
{
    long long first = -1;
    if (std::sscanf(value.c_str(), "bytes %lld-", &first) != 1)
        return -1;
    return first;
}

// The settings every request of a task shares.
void prepare(CURL* h, const std::string& url, const std::string& agent, Answer& answer, HeaderList& headers)
{
    curl_easy_reset(h);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    // Only http, also after a redirect; the URL's own port is used.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    // A connection that moves nothing for 30 s is broken.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kReadBytes));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &answer);
    headers.add("Accept: */*");
    headers.add("Connection: Keep-Alive");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.list);
}

std::size_t abortAtBody(char*, std::size_t, std::size_t, void*)
{
    return 0;
}

int abortWhenStopped(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* stopped = static_cast<const std::function<bool()>*>(user);
    return (*stopped)() ? 1 : 0;
}

// A request whose answer head is all that is wanted; the body is cut off.
// A stop ends it within the progress callback's period (well under a
// second), also while it connects.
Answer probe(CURL* h, const std::string& url, const std::string& agent, const char* range,
             const std::function<bool()>& stopped)
{
    Answer answer;
    HeaderList headers;
    if (range)
        headers.add(range);
    prepare(h, url, agent, answer, headers);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &abortAtBody);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &abortWhenStopped);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &stopped);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 30000L);
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK && rc != CURLE_WRITE_ERROR)
        answer.status = 0;
    return answer;
}

bool writeAll(int fd, const char* data, std::size_t size, std::int64_t offset)
{
    return transferAll(data, size, [fd, &offset](const char* p, std::size_t n) {
        const ssize_t done = ::pwrite(fd, p, n, offset);
        if (done > 0)
            offset += done;
        return done;
    });
}

std::string describe(const ByteRange& r)
{
    return "start " + std::to_string(r.start) + " done " + std::to_string(r.done) + " length " +
           std::to_string(r.length);
}

} // namespace

// --- pure parts ---------------------------------------------------------------

std::optional<RangeBounds> AdvanceNextStart(std::int64_t& nextStart, std::int64_t segmentSize, std::int64_t totalSize)
{
    if (segmentSize <= 0)
        return std::nullopt;
    const std::int64_t next = nextStart + segmentSize;
    if (next >= totalSize)
        return std::nullopt;
    nextStart = next;
    return RangeBounds{next, next + segmentSize < totalSize ? next + segmentSize - 1 : totalSize - 1};
}

std::size_t InitialCounterSlots(std::int64_t totalSize)
{
    if (totalSize >= 5 * kSegmentSize)
        return static_cast<std::size_t>(
            std::min<std::int64_t>(2 * (totalSize / kSegmentSize), kMaxInitialCounterSlots));
    return 100;
}

std::string StateFilePath(const std::string& localPath)
{
    return localPath + kStateFileSuffix;
}

std::optional<DownloadState> ParseDownloadState(std::string_view text)
{
    std::istringstream in{std::string(text)};
    auto number = [&in](long long& out) {
        std::string line;
        if (!std::getline(in, line))
            return false;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        char* end = nullptr;
        errno = 0;
        out = std::strtoll(line.c_str(), &end, 10);
        return errno == 0 && end != line.c_str() && *end == '\0';
    };
    long long count = 0, base = 0;
    // No real download has anything near a million unfinished ranges.
    if (!number(count) || count < 0 || count > 1000000 || !number(base))
        return std::nullopt;
    DownloadState state;
    state.baseCount = base;
    for (long long i = 0; i < count; ++i) {
        long long start = 0, length = 0, done = 0;
        if (!number(start) || !number(length) || !number(done))
            return std::nullopt;
        state.ranges.push_back({start, done, length});
    }
    std::stable_sort(state.ranges.begin(), state.ranges.end(),
                     [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
    return state;
}

bool StateFits(const DownloadState& state, std::int64_t totalSize)
{
    if (totalSize <= 0 || state.baseCount < 0 || state.baseCount > totalSize)
        return false;
    std::int64_t end = 0, rests = 0;
    for (const ByteRange& r : state.ranges) {
        // A slot counts one connection's bytes in 32 bits.
        if (r.start < end || r.length <= 0 || r.length > INT64_C(0xFFFFFFFF) || r.done < 0 || r.done > r.length ||
            r.start > totalSize - r.length)
            return false;
        end = r.start + r.length;
        rests += r.length - r.done;
    }
    return state.baseCount == end - rests;
}

std::string FormatDownloadState(const DownloadState& state)
{
    std::string text = std::to_string(state.ranges.size()) + "\n" + std::to_string(state.baseCount) + "\n";
    for (const ByteRange& r : state.ranges)
        text += std::to_string(r.start) + "\n" + std::to_string(r.length) + "\n" + std::to_string(r.done) + "\n";
    return text;
}

// --- the task -----------------------------------------------------------------

// Easy handles are reused one request after the other, so their kept-alive
// connections carry the next range; none is ever used by two threads at once.
struct DownloadTask::Shared {
    std::mutex mutex;
    std::vector<CurlHandle> idle;
    std::string agent = agentName();

    CurlHandle take()
    {
        std::lock_guard lock(mutex);
        if (!idle.empty()) {
            CurlHandle h = std::move(idle.back());
            idle.pop_back();
            return h;
        }
        net::EnsureCurl();
        return CurlHandle(curl_easy_init());
    }
    void give(CurlHandle h)
    {
        std::lock_guard lock(mutex);
        idle.push_back(std::move(h));
    }
};

struct DownloadTask::Connection {
    enum Status : int { Running = 0, Ended = 1, Failed = 2, Stopped = 3 };
    ByteRange range; // range.done: bytes of the range already in the file before this connection
    bool openEnded = false;
    int repairs = 0;
    std::atomic<std::int64_t> done{0}; // written by this connection
    std::atomic<std::uint32_t>* slot = nullptr;
    std::atomic<std::int64_t>* counter = nullptr;
    std::atomic<int> status{Running};
    std::atomic<bool> stop{false};
    bool retired = false; // answered with something other than the expected status
    std::thread thread;

    std::int64_t first() const { return range.start + range.done; }
    std::int64_t wanted() const { return range.length - range.done; }
};

namespace
{

struct Receiver {
    int fd = -1;
    std::int64_t position = 0;
    std::int64_t remaining = -1; // -1: to the end of the answer
    long expectStatus = 206;
    std::int64_t expectStart = 0;
    bool checked = false, refused = false, ioFailed = false;
    Answer* answer = nullptr;
    std::atomic<std::int64_t>* done = nullptr;
    std::atomic<std::uint32_t>* slot = nullptr;
    std::atomic<std::int64_t>* counter = nullptr;
    const std::atomic<bool>* stop = nullptr;
    std::function<bool()> taskStopped;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* r = static_cast<Receiver*>(user);
    const std::size_t n = size * count;
    if (!r->checked) {
        r->checked = true;
        // Bytes of another range, or an error page, must never land in the
        // file at this offset.
        if (r->answer->status != r->expectStatus ||
            (r->expectStatus == 206 && contentRangeStart(r->answer->contentRange) != r->expectStart)) {
            r->refused = true;
            return 0;
        }
    }
    std::size_t take = n;
    if (r->remaining >= 0 && static_cast<std::int64_t>(take) > r->remaining)
        take = static_cast<std::size_t>(r->remaining);
    if (take > 0) {
        if (!writeAll(r->fd, data, take, r->position)) {
            r->ioFailed = true;
            return 0;
        }
        r->position += static_cast<std::int64_t>(take);
        if (r->remaining >= 0)
            r->remaining -= static_cast<std::int64_t>(take);
        r->done->fetch_add(static_cast<std::int64_t>(take));
        if (r->slot)
            r->slot->fetch_add(static_cast<std::uint32_t>(take));
        if (r->counter)
            r->counter->fetch_add(static_cast<std::int64_t>(take));
    }
    if (r->stop->load() || r->taskStopped())
        return 0;
    return take; // less than n once the range is complete: the rest is not ours
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* r = static_cast<Receiver*>(user);
    return (r->stop->load() || r->taskStopped()) ? 1 : 0;
}

} // namespace

DownloadTask::DownloadTask() : m_shared(std::make_shared<Shared>()) {}

DownloadTask::~DownloadTask()
{
    Stop();
    if (m_control.joinable())
        m_control.join();
}

bool DownloadTask::stopRequested() const
{
    return m_stopEvent.load() || (cancelled && cancelled());
}

void DownloadTask::Stop()
{
    m_stopEvent = true;
    std::lock_guard lock(m_mutex);
    m_changed.notify_all();
}

bool DownloadTask::waitFinished(std::chrono::milliseconds limit) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [this] { return m_finished; });
}

DownloadTask::Counts DownloadTask::counts() const
{
    std::lock_guard lock(m_mutex);
    return m_counts;
}

void DownloadTask::say(const std::string& message)
{
    if (!debug)
        return;
    std::lock_guard lock(m_debugMutex);
    debug(message);
}

std::int64_t DownloadTask::progressLocked() const
{
    if (!m_rangeMode)
        return m_singleCount.load();
    std::int64_t sum = m_baseCount;
    for (const auto& slot : m_slots)
        sum += slot.load();
    return sum;
}

std::int64_t GetProgress(const DownloadTask& task)
{
    std::lock_guard lock(task.m_mutex);
    return task.progressLocked();
}

void StartDownload(const std::string& url, DownloadTask& task, const std::string& localPath)
{
    task.start(url, localPath);
}

void DownloadTask::finish(bool done)
{
    std::lock_guard lock(m_mutex);
    if (done)
        m_allDone = true;
    else
        m_stopped = true;
    m_finished = true;
    m_changed.notify_all();
}

void DownloadTask::start(const std::string& url, const std::string& localPath)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_started)
            return;
        m_started = true;
    }
    try {
        startChecked(url, localPath);
    } catch (const std::exception& e) {
        // Out of memory or threads: the caller sees a stopped task, never an
        // exception from a download.
        failWith(std::string("start failed: ") + e.what());
    }
}

void DownloadTask::startChecked(const std::string& url, const std::string& localPath)
{
    m_maxSegments = std::max(1, maxSegments);
    const std::function<bool()> stopped = [this] { return stopRequested(); };

    CurlHandle h = m_shared->take();
    Answer size = h ? probe(h.get(), url, m_shared->agent, nullptr, stopped) : Answer{};
    // Only a 200 answer announces the file; the length of an error page is
    // not the size of anything.
    std::int64_t total = size.status == 200 && size.contentLength > 0 ? size.contentLength : 0;
    m_url = url;
    m_localPath = localPath;

    // The server may announce anything; what the caller expects decides
    // before anything is allocated or written.
    const std::int64_t announced = size.status == 200 ? size.contentLength : -1;
    if (announced >= 0 && expectedSize >= 0 && announced != expectedSize) {
        say("announced size " + std::to_string(announced) + " is not the expected " + std::to_string(expectedSize));
        total = 0;
        size.status = 0;
    } else if (announced >= 0 && expectedSize < 0 && maxSize >= 0 && announced > maxSize) {
        say("announced size " + std::to_string(announced) + " is over the limit " + std::to_string(maxSize));
        total = 0;
        size.status = 0;
    }
    m_totalSize = total;

    std::optional<DownloadState> state;
    {
        if (const auto text = readWholeFile(StateFilePath(localPath)))
            state = ParseDownloadState(*text);
        // A task that keeps state leaves it for a later task when it cannot
        // even start; it is consumed below once the file is opened.
        if (!keepState) {
            std::error_code ec;
            std::filesystem::remove(StateFilePath(localPath), ec);
        }
    }

    if (total == 0) {
        // An empty file is complete once it exists; anything else without a
        // size can never complete.
        const bool empty = size.status == 200 && size.contentLength == 0;
        if (empty) {
            const int fd = ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0)
                ::close(fd);
            finish(fd >= 0);
        } else {
            say("size probe failed: status " + std::to_string(size.status));
            finish(false);
        }
        if (h)
            m_shared->give(std::move(h));
        return;
    }

    const Answer ranges = probe(h.get(), url, m_shared->agent, "Range:bytes=0-", stopped);
    m_shared->give(std::move(h));
    if (stopRequested()) {
        say("stopped while probing");
        finish(false);
        return;
    }
    m_rangeMode = ranges.status == 206 && contentRangeStart(ranges.contentRange) == 0;
    if (keepState) {
        std::error_code ec;
        std::filesystem::remove(StateFilePath(localPath), ec);
    }

    const bool resume = m_rangeMode && state && !state->ranges.empty() && StateFits(*state, total) &&
                        std::filesystem::exists(std::filesystem::path(localPath));
    if (state && !resume)
        say("state file ignored: it does not describe this file");
    // Without a resumable state every byte is fetched again, so nothing of
    // an older, longer file may stay behind the new one.
    const int fd = ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (resume ? 0 : O_TRUNC), 0644);
    if (fd < 0) {
        say("cannot open " + localPath);
        finish(false);
        return;
    }
    ::close(fd);

    {
        std::lock_guard lock(m_mutex);
        if (m_rangeMode) {
            m_slots.resize(InitialCounterSlots(total));
            if (resume) {
                m_baseCount = state->baseCount;
                for (const ByteRange& r : state->ranges) {
                    if (r.done < r.length)
                        m_pendingRanges.push_back({r, 0});
                }
                if (!state->ranges.empty())
                    m_nextStart = state->ranges.back().start + state->ranges.back().length - m_segmentSize;
            }
        }
    }
    m_control = std::thread([this] {
        try {
            m_rangeMode ? runRanges() : runSingle();
        } catch (const std::exception& e) {
            failWith(std::string("download failed: ") + e.what());
        }
    });
}

void DownloadTask::startConnection(ByteRange range, int repairs)
{
    auto c = std::make_unique<Connection>();
    c->range = range;
    c->repairs = repairs;
    if (m_rangeMode) {
        c->slot = takeSlotLocked();
    } else {
        c->openEnded = true;
        c->counter = &m_singleCount;
    }
    Connection* conn = c.get();
    std::shared_ptr<Shared> shared = m_shared;
    conn->thread = std::thread([this, conn, shared] {
        int status = Connection::Failed;
        bool refused = false;
        for (;;) {
            status = Connection::Failed;
            try {
                status = transfer(*conn, *shared, refused);
            } catch (const std::exception& e) {
                // Nothing may escape a download thread; the range is repaired.
                say(std::string("range connection failed: ") + e.what());
            }
            std::lock_guard lock(m_mutex);
            if (status != Connection::Ended || !takeNextRangeLocked(*conn))
                break;
        }
        std::lock_guard lock(m_mutex);
        conn->retired = refused;
        if (status == Connection::Stopped && !conn->openEnded) {
            // The unfinished rest waits for a later pass (or for the state
            // file when the task is being stopped).
            ByteRange rest{conn->first() + conn->done.load(), 0, conn->wanted() - conn->done.load()};
            auto at = std::find_if(m_pendingRanges.begin(), m_pendingRanges.end(),
                                   [&](const Pending& p) { return p.range.start > rest.start; });
            try {
                m_pendingRanges.insert(at, {rest, conn->repairs});
            } catch (const std::bad_alloc&) {
                status = Connection::Failed;
            }
        }
        conn->status = status;
        m_changed.notify_all();
    });
    m_active.push_back(std::move(c));
}

std::atomic<std::uint32_t>* DownloadTask::takeSlotLocked()
{
    if (m_nextSlot >= m_slots.size())
        m_slots.resize(m_slots.size() + std::max<std::size_t>(100, m_slots.size()));
    std::atomic<std::uint32_t>* slot = &m_slots[m_nextSlot++];
    slot->store(0);
    ++m_counts.rangeConnections;
    return slot;
}

// A connection that ended its range well goes on with the next fresh one
// itself: on one connection, a thread and a wake-up of the supervisor per
// 200 KiB range cost more than the range's own transfer on a fast line.
// Repairs, rests and any stop stay the supervisor's.
bool DownloadTask::takeNextRangeLocked(Connection& conn)
{
    if (!m_rangeMode || conn.openEnded || conn.stop.load() || stopRequested() || !m_repairRanges.empty() ||
        !m_pendingRanges.empty())
        return false;
    const auto next = AdvanceNextStart(m_nextStart, m_segmentSize, m_totalSize);
    if (!next)
        return false;
    conn.range = {next->first, 0, next->last - next->first + 1};
    conn.repairs = 0;
    conn.done = 0;
    conn.slot = takeSlotLocked();
    return true;
}

int DownloadTask::transfer(Connection& conn, Shared& shared, bool& refused)
{
    Answer answer;
    Receiver r;
    r.answer = &answer;
    r.done = &conn.done;
    r.slot = conn.slot;
    r.counter = conn.counter;
    r.stop = &conn.stop;
    r.taskStopped = [this] { return stopRequested(); };
    r.position = conn.first();
    r.expectStart = conn.first();
    r.expectStatus = conn.openEnded ? 200 : 206;
    r.remaining = conn.openEnded ? m_totalSize.load() : conn.wanted();

    CURLcode rc = CURLE_FAILED_INIT;
    struct Fd {
        int fd;
        ~Fd()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } file{::open(m_localPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)};
    r.fd = file.fd;
    CurlHandle h = shared.take();
    if (r.fd >= 0 && h) {
        HeaderList headers;
        if (!conn.openEnded)
            headers.add("Range:bytes=" + std::to_string(conn.first()) + "-" +
                        std::to_string(conn.first() + conn.wanted() - 1));
        prepare(h.get(), m_url, shared.agent, answer, headers);
        curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, &onBody);
        curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &r);
        curl_easy_setopt(h.get(), CURLOPT_XFERINFOFUNCTION, &onProgress);
        curl_easy_setopt(h.get(), CURLOPT_XFERINFODATA, &r);
        curl_easy_setopt(h.get(), CURLOPT_NOPROGRESS, 0L);
        rc = curl_easy_perform(h.get());
        // A transfer cut short here leaves its connection unusable;
        // libcurl closes it, and the handle is fine for the next range.
        shared.give(std::move(h));
    }

    // Answers without a body never reach the check in onBody.
    if (!r.checked && answer.status != r.expectStatus)
        r.refused = true;
    refused = r.refused;
    const bool complete =
        conn.openEnded ? (rc == CURLE_OK || rc == CURLE_WRITE_ERROR) && !r.refused && !r.ioFailed && r.remaining == 0
                       : r.remaining == 0;
    if (complete)
        return Connection::Ended;
    if (!r.refused && !r.ioFailed && (conn.stop.load() || stopRequested()))
        return Connection::Stopped;
    return Connection::Failed;
}

void DownloadTask::reapLocked(std::vector<ByteRange>& failedOut, bool& givenUp)
{
    for (auto it = m_active.begin(); it != m_active.end();) {
        Connection& c = **it;
        const int status = c.status.load();
        if (status == Connection::Running) {
            ++it;
            continue;
        }
        // The thread has nothing left to do but return.
        c.thread.join();
        if (c.retired)
            ++m_counts.retired;
        if (status == Connection::Failed && !c.openEnded) {
            ByteRange rest{c.first() + c.done.load(), 0, c.wanted() - c.done.load()};
            failedOut.push_back(rest);
            if (c.repairs >= kMaxRangeRepairs) {
                givenUp = true;
                m_givenUp.push_back(rest);
            } else
                m_repairRanges.push_back({rest, c.repairs + 1});
        }
        it = m_active.erase(it);
    }
}

void DownloadTask::runRanges()
{
    std::unique_lock lock(m_mutex);
    bool givenUp = false;
    for (;;) {
        std::vector<ByteRange> failed;
        reapLocked(failed, givenUp);
        lock.unlock();
        for (const ByteRange& r : failed)
            say(std::string(givenUp ? "range given up: " : "range broke, its rest retried: ") + describe(r));
        lock.lock();

        if (stopRequested() || givenUp) {
            for (auto& c : m_active)
                c->stop = true;
            if (m_active.empty())
                break;
        } else {
            if (progressLocked() == m_totalSize) {
                // Every byte is written; the last connections are only
                // returning, and the task must not end before them.
                if (m_active.empty()) {
                    lock.unlock();
                    finish(true);
                    return;
                }
                m_changed.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
            while (static_cast<int>(m_active.size()) < m_maxSegments) {
                if (!m_repairRanges.empty()) {
                    const Pending p = m_repairRanges.front();
                    m_repairRanges.pop_front();
                    ++m_counts.repairs;
                    startConnection(p.range, p.repairs);
                } else if (!m_pendingRanges.empty()) {
                    const Pending p = m_pendingRanges.front();
                    m_pendingRanges.pop_front();
                    startConnection(p.range, p.repairs);
                } else if (const auto next = AdvanceNextStart(m_nextStart, m_segmentSize, m_totalSize)) {
                    startConnection({next->first, 0, next->last - next->first + 1}, 0);
                } else {
                    break;
                }
            }
            if (m_active.empty()) {
                // Every range was fetched, yet the bytes do not add up: no
                // pass can ever complete this file.
                lock.unlock();
                say("no range left, progress " + std::to_string(GetProgress(*this)) + " of " +
                    std::to_string(m_totalSize.load()));
                finish(false);
                return;
            }
        }
        m_changed.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (keepState)
        writeStateLocked();
    lock.unlock();
    say(givenUp ? "download given up" : "download stopped");
    finish(false);
}

void DownloadTask::writeStateLocked()
{
    // Every range started so far lies before `frontier`; what is not in an
    // unfinished rest there is in the file.
    const std::int64_t total = m_totalSize.load();
    const std::int64_t frontier = m_nextStart < 0 ? 0 : std::min(m_nextStart + m_segmentSize, total);
    DownloadState state;
    for (const auto* list : {&m_pendingRanges, &m_repairRanges})
        for (const Pending& p : *list)
            state.ranges.push_back(p.range);
    state.ranges.insert(state.ranges.end(), m_givenUp.begin(), m_givenUp.end());
    std::erase_if(state.ranges, [](const ByteRange& r) { return r.done >= r.length; });
    std::sort(state.ranges.begin(), state.ranges.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
    std::int64_t rests = 0;
    for (const ByteRange& r : state.ranges)
        rests += r.length - r.done;
    state.baseCount = frontier - rests;
    // The next task continues fresh ranges after the last listed one, so the
    // list ends at the frontier, with a finished byte when no rest does.
    if (frontier > 0 && (state.ranges.empty() || state.ranges.back().start + state.ranges.back().length < frontier))
        state.ranges.push_back({frontier - 1, 1, 1});
    if (state.ranges.empty() || state.baseCount != progressLocked() || !StateFits(state, total)) {
        say("no state file: the counts do not add up");
        return;
    }
    std::ofstream out(StateFilePath(m_localPath), std::ios::binary | std::ios::trunc);
    out << FormatDownloadState(state);
}

void DownloadTask::failWith(const std::string& why)
{
    say(why);
    std::unique_lock lock(m_mutex);
    abandonConnectionsLocked();
    lock.unlock();
    finish(false);
}

void DownloadTask::abandonConnectionsLocked()
{
    for (auto& c : m_active)
        c->stop = true;
    for (auto& c : m_active)
        if (c->thread.joinable()) {
            // Their last act takes the lock.
            m_mutex.unlock();
            c->thread.join();
            m_mutex.lock();
        }
    m_active.clear();
}

void DownloadTask::runSingle()
{
    std::unique_lock lock(m_mutex);
    startConnection({0, 0, m_totalSize}, 0);
    Connection& c = *m_active.front();
    while (c.status.load() == Connection::Running) {
        if (stopRequested())
            c.stop = true;
        m_changed.wait_for(lock, std::chrono::milliseconds(100));
    }
    c.thread.join();
    const bool done = c.status.load() == Connection::Ended && m_singleCount.load() == m_totalSize;
    m_active.clear();
    lock.unlock();
    if (!done)
        say("single connection ended after " + std::to_string(m_singleCount.load()) + " bytes");
    finish(done);
}

} // namespace quorvane::update
