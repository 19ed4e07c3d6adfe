#pragma once
// One direction of the emulated access line: every byte that crosses it takes
// its share of time, whichever connection carries it, so five parallel
// connections together see the configured rate, as on a real line.
//
// It behaves as a shaped link with a token bucket of 5 ms of the rate, or
// two pieces (pieceSize) when that is more, as on slow lines:
// the limiter keeps the theoretical arrival time of the next byte (the
// generic cell rate algorithm), a transfer of n bytes moves it on by n / rate
// and waits until it is no more than the bucket ahead of now. In any interval
// the line carries at most rate x interval + max(bucket, the largest single
// acquire), however
// senders were scheduled: a sender that wakes late only loses time, and time
// the line spent idle is never credited beyond the bucket.
#include "common/clock.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace refsvc
{

class RateLimiter
{
public:
    using TimePoint = quorvane::Clock::Steady::time_point;

    // bytesPerSecond 0: unlimited. Time comes from `clock` (the real one
    // unless a test brings its own).
    explicit RateLimiter(std::uint64_t bytesPerSecond = 0,
                         std::shared_ptr<quorvane::Clock> clock = quorvane::systemClock());

    void setRate(std::uint64_t bytesPerSecond);
    std::uint64_t rate() const;

    // Blocks until n more bytes may pass. Thread-safe. Returns false at once
    // (without waiting) after stop(): the caller abandons its transfer.
    bool acquire(std::size_t n);

    // The schedule alone: books n bytes on the line now and returns the
    // moment they may pass (acquire waits until then). Unlimited: now.
    TimePoint reserve(std::size_t n);

    // The piece size a throttled transfer should move per acquire: about
    // 5 ms of the line, so that the line stays smooth. 0 when unlimited.
    std::size_t pieceSize() const;

    // Wakes every waiter; later acquires fail. Used at shut-down.
    void stop();

    // What the line carried, second by second: the bytes granted in each
    // whole second since the limiter was made, for the latest kSeconds
    // seconds that carried any, oldest first. A sender starved of the
    // processor loses line time, so on a busy machine this can be less than
    // the rate. Throttled acquires only.
    static constexpr std::size_t kSeconds = 600;
    std::vector<std::pair<std::int64_t, std::uint64_t>> carriedSeconds() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    const std::shared_ptr<quorvane::Clock> m_clock;
    std::uint64_t m_rate;
    TimePoint m_next; // theoretical arrival time of the next byte
    bool m_stopped = false;
    const TimePoint m_origin;
    std::deque<std::pair<std::int64_t, std::uint64_t>> m_carried;
};

} // namespace refsvc
