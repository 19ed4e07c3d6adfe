#pragma once
// The two socket download clients, which count bytes and milliseconds while
// the body flows: CHttpGet (one file, timed) for the file download test and
// CHttpDownloadGet (parallel connections over a fixed window) for the
// bandwidth test.
//
// Both speak plain HTTP/1.1 to the host and port of the URL. A response
// counts only with a 2xx status line and a positive Content-Length.
//
// Thread-safety: each call blocks its calling thread for the whole transfer;
// run it on a worker thread. Separate objects may run at the same time.
#include "common/clock.h"
#include "net/http_transfer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace quorvane
{

class CHttpGet
{
public:
    struct Options {
        // Socket time-outs: real time, always.
        std::chrono::milliseconds connectTimeout{5000};
        std::chrono::milliseconds receiveTimeout{3000};
        // The clock of the times reported and of the call's time limit.
        std::shared_ptr<Clock> clock = systemClock();
    };

    CHttpGet() = default;
    explicit CHttpGet(Options options) : m_options(options) {}
    virtual ~CHttpGet() = default;

    // Downloads `url` (an absolute "http://" URL) on a second connection after
    // reading the head on a first one.
    //  - byteCounterOut: receives this transfer's live counter before any
    //    network work.
    //  - contentLengthOut: the Content-Length of the answer, in bytes.
    //  - connectMsOut: name resolution plus TCP connect of the first connection.
    //  - loadMsOut: from closing the first connection to the end of the body
    //    (the second connection's set-up, request and body), cut off after
    //    `timeoutSeconds` (negative: no limit).
    // The outputs are atomics so that a timer on another thread may read them
    // during the call; each is set to 0 first.
    // True when the first head was a 2xx with a positive Content-Length; the
    // load then counts as done whatever the body did (a body cut short ends
    // the load at that moment).
    bool TimedGet(const std::string& url, ByteCounterHandle& byteCounterOut,
                  std::atomic<std::int64_t>& contentLengthOut, std::atomic<std::uint32_t>& connectMsOut,
                  std::atomic<std::uint32_t>& loadMsOut, int timeoutSeconds);

private:
    Options m_options;
};

class CHttpDownloadGet
{
public:
    struct Options {
        // The window and the checks run on `clock`; socket time-outs on real time.
        std::chrono::milliseconds window{18000};
        std::chrono::milliseconds poll{100}; // longest wait between checks of the window and the stop flags
        std::chrono::milliseconds connectTimeout{15000};
        std::chrono::milliseconds receiveTimeout{15000};
        std::shared_ptr<Clock> clock = systemClock();
    };

    CHttpDownloadGet() = default;
    explicit CHttpDownloadGet(Options options) : m_options(options) {}
    virtual ~CHttpDownloadGet() = default;

    // Downloads `url` over `threadCount` connections (callers pass 5) for the
    // window, opening a new connection whenever one ends, and counts every
    // body byte into the live counter handed out through `byteCounterOut`
    // before any network work. Blocks for the window, or until the
    // scheduler's automatic stop (autoAbortArmed and stopRequested both 1).
    // False only when the URL cannot be split.
    bool ParallelGet(const std::string& url, ByteCounterHandle& byteCounterOut, int threadCount);

private:
    Options m_options;
};

} // namespace quorvane
