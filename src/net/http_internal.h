#pragma once
// Internals of the measuring transfers: the per-transfer state that late
// threads keep alive, the supervised window, and the plain socket helpers.
// Not for use outside src/net.
#include "common/clock.h"
#include "common/flags.h"
#include "net/http_head_parser.h"
#include "net/http_transfer.h"
#include "net/http_url.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace quorvane::http_detail
{

// The scheduler's request to cut a running automatic test short.
inline bool automaticStopRequested()
{
    return flags::autoAbortArmed.load() == 1 && flags::stopRequested.load() == 1;
}

// The state of one transfer, owned jointly by the call and its threads.
class TransferContext
{
public:
    // The transfer's waits (its window, TimedGet's limit) run on `clock`;
    // socket time-outs stay on real time.
    explicit TransferContext(int slots = 0, std::shared_ptr<Clock> clock = systemClock());

    const std::shared_ptr<Clock> clock;
    const std::shared_ptr<ByteCounter> counter = std::make_shared<ByteCounter>(0);
    std::atomic<std::int64_t> contentLength{0};

    bool stopped() const { return m_stop.load(std::memory_order_relaxed); }
    // Sets the stop state and shuts down every socket still registered, so
    // that threads blocked in a receive or a send wake at once.
    void stopAll();

    // Registers an open socket. False when the transfer is already stopped;
    // the caller then closes the socket itself.
    bool adopt(int fd);
    // Unregisters and closes a socket (closing under the lock keeps stopAll
    // from ever touching a descriptor number that was reused elsewhere).
    void release(int fd);

    // Slot supervision: a worker reports its end and whether it moved any
    // byte; the supervisor waits for such reports.
    struct SlotEnd {
        int slot;
        bool productive;
    };
    void slotEnded(int slot, bool productive);
    // Waits until some slot ended or `until`; returns the ends reported
    // since the last call.
    std::vector<SlotEnd> waitForEndedSlots(Clock::Steady::time_point until);

    // One-shot completion of a single worker (TimedGet's reading thread).
    void markDone();
    bool waitDone(Clock::Steady::time_point until);
    void waitDone();

private:
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<int> m_sockets;
    std::vector<SlotEnd> m_endedSlots;
    bool m_done = false;
};

// Starts `work` on a detached thread that holds what `work` captures (the
// context) until it ends, and is counted by TransferThreadsAlive(). False
// when no thread could be started.
bool startTransferThread(std::function<void()> work);

// The measurement window of ParallelGet and ParallelUpload: starts `work` in
// every slot, starts it again in any slot whose run ended, and stops the
// context once `window` has passed on the context's clock or automatic stop
// was requested (checked at least every `poll`). `work` returns whether it moved any byte: a run
// that did is replaced at once, a failed one no sooner than `poll` after it
// started, so that a refusing server is not hammered. Returns after
// stopping; late threads end on their own.
void superviseWindow(const std::shared_ptr<TransferContext>& context, int slots, std::chrono::milliseconds window,
                     std::chrono::milliseconds poll, const std::function<bool()>& work);

// Resolves (IPv4 first, as the clients always did), connects with a time-out
// and sets the receive and send time-outs. The socket is registered with the
// context. -1 on any failure (the socket is then closed).
int connectTcp(const UrlParts& url, std::chrono::milliseconds connectTimeout, std::chrono::milliseconds ioTimeout,
               TransferContext& context);

// Sends each line with its own send() call. False on any failure.
bool sendLines(int fd, const std::vector<std::string>& lines);

// Reads a response head into `parser`, taking from the socket no byte past
// the head's end. True when it ended within the parser's limit; false on a
// receive error, time-out, end of stream or an oversized head.
bool readHead(int fd, HttpHeadParser& parser);

// The checks both socket clients apply to a head: a 2xx status and a
// positive Content-Length. Returns that length, or 0 when the head fails.
std::int64_t acceptedContentLength(const HttpHeadParser& parser);

} // namespace quorvane::http_detail
