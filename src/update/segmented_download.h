#pragma once
// The segmented downloader: one task fetches one http URL into one local
// file in byte ranges of 200 KiB over up to `maxSegments` connections at
// once, retries the rest of a range whose connection broke on a new
// connection, and falls back to one plain connection when the server does
// not answer range requests with 206.
//
//   DownloadTask task;
//   task.maxSegments = 1;                         // optional, before the start
//   StartDownload(url, task, "TmpUpdate/Quorvane");
//   while (!task.allDone() && !task.stopped())    // or task.waitFinished(...)
//       show(GetProgress(task), task.totalSize());
//
// A task runs once: it ends either all-done (the file holds every byte the
// server announced) or stopped (Stop() was called, or the server cannot give
// the file: no size, a size other than the caller expects, a refused
// request, a range that keeps breaking). Every ended task also sets the
// finished event that waitFinished() waits for.
//
// The server's word on the size is never trusted further than the caller
// allows: with `expectedSize` set, any other announced size ends the task
// before a byte is allocated for or written to the file; without it,
// `maxSize` bounds what may be announced. No write ever goes past the size.
//
// Resuming: a state file "<localPath>.MarrowindDownloadFile" left beside the
// file by an earlier run is read and deleted at the start (see
// ParseDownloadState); its unfinished ranges are fetched first and the bytes
// it counts as downloaded are not fetched again. Only a task with
// `keepState` writes one, when it ends stopped in range mode, so that the
// next task for the same file continues where this one broke off.
//
// Thread-safety: StartDownload, Stop, GetProgress and the polled fields may
// be called from any thread. The task owns its threads; its destructor stops
// the download and joins them. The debug hook is called from the task's
// threads, one call at a time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorvane::update
{

inline constexpr std::int64_t kSegmentSize = 204800; // 200 KiB
inline constexpr int kDefaultMaxSegments = 10;
// Bytes taken from the network per read. Reads of 2 KiB cost three system
// calls per 2 KiB (wait, read, write) and made one connection take twice
// as long as a plain fetch of the same file; no server sees the difference.
inline constexpr std::size_t kReadBytes = 65536;
inline constexpr const char* kStateFileSuffix = ".MarrowindDownloadFile";
// How often the rest of one range is tried on a new connection before the
// task gives up and reports stopped.
inline constexpr int kMaxRangeRepairs = 5;
// The most counter slots a task allocates up front; more are added as
// ranges start, so a huge size costs nothing until its bytes arrive.
inline constexpr std::size_t kMaxInitialCounterSlots = 4096;

// A byte range of the file: its first byte, how many of its bytes are
// already in the file, and its length.
struct ByteRange {
    std::int64_t start = 0;
    std::int64_t done = 0;
    std::int64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

// --- range planning (pure) ----------------------------------------------------

// The next fresh range after `nextStart` (which starts at -segmentSize): the
// ranges are consecutive from offset 0, `segmentSize` bytes each, the last
// ending at the file's last byte. Returns the range's first and last byte
// (inclusive) and advances `nextStart`; nothing when the file is covered.
struct RangeBounds {
    std::int64_t first = 0, last = 0;
    bool operator==(const RangeBounds&) const = default;
};
std::optional<RangeBounds> AdvanceNextStart(std::int64_t& nextStart, std::int64_t segmentSize, std::int64_t totalSize);

// How many counter slots a task starts with: two per whole segment for a
// file of five segments or more (at most kMaxInitialCounterSlots), else 100.
// More are added when needed.
std::size_t InitialCounterSlots(std::int64_t totalSize);

// --- the state file -----------------------------------------------------------

std::string StateFilePath(const std::string& localPath);

struct DownloadState {
    std::int64_t baseCount = 0;    // bytes already downloaded
    std::vector<ByteRange> ranges; // unfinished ranges, sorted by start
};

// Reads the text of a state file: N ("%u"), the bytes downloaded ("%lld"),
// then N groups of start offset, range length and bytes done of that range
// (each "%lld"), every number on a line of its own. Nothing when a number is
// missing or malformed or a count is absurd; text after the last group is
// ignored.
std::optional<DownloadState> ParseDownloadState(std::string_view text);

// Whether a state fits a file of `totalSize` bytes so that resuming can end
// with every byte present exactly once: ranges inside the file, not
// overlapping, none done beyond its length, and the bytes counted as
// downloaded equal to what lies before the end of the last range outside
// the ranges' unfinished rests. Fresh ranges then continue after the last
// one. A state that does not fit is ignored and the file fetched whole.
bool StateFits(const DownloadState& state, std::int64_t totalSize);

// The text of a state file, as ParseDownloadState reads it.
std::string FormatDownloadState(const DownloadState& state);

// --- the task -----------------------------------------------------------------

class DownloadTask
{
public:
    DownloadTask();
    ~DownloadTask();
    DownloadTask(const DownloadTask&) = delete;
    DownloadTask& operator=(const DownloadTask&) = delete;

    // The most range connections at once; read by StartDownload (values
    // below 1 count as 1).
    int maxSegments = kDefaultMaxSegments;
    // Where the debug messages go (none by default); set before the start.
    std::function<void(const std::string&)> debug;
    // The size the caller knows the file has (the manifest's), or -1. An
    // announced size that differs ends the task stopped at once.
    std::int64_t expectedSize = -1;
    // Without an expected size: the largest announced size accepted (-1: any).
    std::int64_t maxSize = -1;
    // Asked often from the task's threads, also while the start probes the
    // server; true counts as Stop(). Must be cheap and thread-safe.
    std::function<bool()> cancelled;
    // Leave a state file when the task ends stopped in range mode.
    bool keepState = false;

    // The size the server announced; 0 until the start has probed it, and
    // for ever when the probe failed.
    std::int64_t totalSize() const { return m_totalSize.load(); }
    bool stopped() const { return m_stopped.load(); }
    bool allDone() const { return m_allDone.load(); }
    // Whether the server answered the range probe with 206 (known once
    // StartDownload has returned).
    bool rangeMode() const { return m_rangeMode.load(); }
    // Sets the stop event: running connections hand their unfinished rests
    // back, then the task ends stopped. Any thread.
    void Stop();
    // Waits for the finished event; true when the task has ended.
    bool waitFinished(std::chrono::milliseconds limit) const;

    // What happened so far (for callers' logs and the tests).
    struct Counts {
        int rangeConnections = 0; // range connections started, repairs included
        int repairs = 0;          // of them, retries of a broken range's rest
        int retired = 0;          // answered with something other than 206
    };
    Counts counts() const;

private:
    friend void StartDownload(const std::string& url, DownloadTask& task, const std::string& localPath);
    friend std::int64_t GetProgress(const DownloadTask& task);
    struct Connection;
    struct Shared;

    void start(const std::string& url, const std::string& localPath);
    void startChecked(const std::string& url, const std::string& localPath);
    bool stopRequested() const;
    void runRanges();
    void abandonConnectionsLocked();
    // Says why, drops every connection and ends the task as failed.
    void failWith(const std::string& why);
    void writeStateLocked();
    void runSingle();
    std::int64_t progressLocked() const;
    void startConnection(ByteRange range, int repairs);
    std::atomic<std::uint32_t>* takeSlotLocked();
    bool takeNextRangeLocked(Connection& conn);
    int transfer(Connection& conn, Shared& shared, bool& refused);
    void reapLocked(std::vector<ByteRange>& failedOut, bool& givenUp);
    void finish(bool allDone);
    void say(const std::string& message);

    std::string m_url, m_localPath;
    std::atomic<std::int64_t> m_totalSize{0};
    std::atomic<bool> m_stopped{false}, m_allDone{false}, m_rangeMode{false};
    std::atomic<bool> m_stopEvent{false};
    bool m_started = false;

    // The task's lock: lists, counter slots, connections, finished event.
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_finished = false;
    std::int64_t m_segmentSize = kSegmentSize;
    std::int64_t m_nextStart = -kSegmentSize;
    int m_maxSegments = kDefaultMaxSegments;
    std::int64_t m_baseCount = 0;
    std::deque<std::atomic<std::uint32_t>> m_slots; // grows at the back, never moves
    std::size_t m_nextSlot = 0;
    std::atomic<std::int64_t> m_singleCount{0};
    struct Pending {
        ByteRange range;
        int repairs = 0;
    };
    std::list<Pending> m_pendingRanges; // sorted by start
    std::list<Pending> m_repairRanges;
    std::vector<ByteRange> m_givenUp; // rests of ranges that broke too often
    std::list<std::unique_ptr<Connection>> m_active;
    Counts m_counts;
    std::mutex m_debugMutex;
    std::shared_ptr<Shared> m_shared; // the connection cache the connections share
    std::thread m_control;
};

// Probes the size, reads and deletes the state file, probes range support,
// then starts the task's threads and returns; the probes block (each at most
// a connect time-out). A task starts once; a second call does nothing.
void StartDownload(const std::string& url, DownloadTask& task, const std::string& localPath);

// Bytes of the file present so far: those an earlier run left (the state
// file's count) plus what every connection wrote. Takes the task's lock.
std::int64_t GetProgress(const DownloadTask& task);

} // namespace quorvane::update
