#pragma once
// Upload runs: everything waiting in one data folder goes to one collection
// server, one archive at a time in name order; an archive is deleted once the
// server holds all of it; the first failure ends the run and leaves the rest
// (and the failed archive) for the next run.
#include "config/readers.h"
#include "results/data_directory.h"
#include "results/result_log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quorvane
{

// One connection to a collection server, used by one run on one thread.
class ArchiveTransport
{
public:
    virtual ~ArchiveTransport() = default;
    // Connects, checks the server's identity, logs in and changes into the
    // target's directory. False with `error` set on any failure.
    virtual bool open(const UploadTarget& target, std::string& error) = 0;
    // Stores `bytes` as `name` in that directory. True only when the server
    // confirmed that it holds the whole file.
    virtual bool put(const std::string& name, const std::string& bytes, std::string& error) = 0;
};

using TransportFactory = std::function<std::unique_ptr<ArchiveTransport>()>;

struct UploadReport {
    std::size_t sent = 0; // archives the server confirmed and that were deleted
    bool failed = false;  // the run stopped on a failure
    std::string failure;  // why
};

// The upload runs of one data folder: at most one at a time.
//
// Thread-safety: every member may be called from any thread. The destructor
// lets the transfer under way finish (each network step is bounded by the
// transport's time-out), then ends the run; what is left waits on disk.
class UploadRunner
{
public:
    UploadRunner(DataDirectory& dir, TransportFactory transport, ResultLog log);
    ~UploadRunner();
    UploadRunner(const UploadRunner&) = delete;
    UploadRunner& operator=(const UploadRunner&) = delete;

    // StartUpload: begins a run towards `target` on a thread of its own and
    // returns at once. While a run is active the request is dropped (false):
    // the active run looks at the folder again before it ends, so what the
    // request was for still goes.
    bool StartUpload(UploadTarget target);

    // The same run on the calling thread; nothing when a run is active.
    std::optional<UploadReport> runNow(const UploadTarget& target);

    // Waits until no run is active. False on time-out.
    bool waitIdle(std::chrono::milliseconds timeout);

    // Asks the active run to end after the transfer under way; later
    // requests are dropped. Returns at once. The destructor asks the same.
    void requestStop();

    // The report of the latest run that ended.
    UploadReport lastReport() const;

private:
    bool tryBegin();
    UploadReport SftpUploadRun(const UploadTarget& target);
    // Ends the run unless a request came meanwhile (then false: look again).
    bool finish(const UploadReport& report, bool force);

    DataDirectory& m_dir;
    TransportFactory m_transport;
    ResultLog m_log;

    std::mutex m_startMutex; // one StartUpload at a time, so threads are never lost
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_idle;
    bool m_active = false;
    bool m_asked = false;
    UploadReport m_last;
    std::thread m_thread;
};

} // namespace quorvane
