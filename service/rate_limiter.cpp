#include "rate_limiter.h"

#include <algorithm>

namespace refsvc
{

namespace
{
// How far the schedule may run ahead of now before a caller waits. Small
// enough that a one-second sample sees the rate within 0.5 %, large enough
// that the scheduler's wake-up latency does not eat into the rate.
constexpr auto kTolerance = std::chrono::milliseconds(5);
// A line in use whose senders fell behind (descheduled on a busy machine)
// may make up at most this much; a line idle for longer starts afresh, so a
// new transfer never begins with a burst.
constexpr auto kCatchUp = std::chrono::milliseconds(250);
} // namespace

RateLimiter::RateLimiter(std::uint64_t bytesPerSecond, std::shared_ptr<quorvane::Clock> clock)
    : m_clock(std::move(clock)), m_rate(bytesPerSecond), m_next(m_clock->now()), m_lastRequest(m_next)
{
}

void RateLimiter::setRate(std::uint64_t bytesPerSecond)
{
    std::lock_guard lock(m_mutex);
    m_rate = bytesPerSecond;
    m_next = m_lastRequest = m_clock->now();
    m_busy = false;
    m_wake.notify_all();
}

std::uint64_t RateLimiter::rate() const
{
    std::lock_guard lock(m_mutex);
    return m_rate;
}

std::size_t RateLimiter::pieceSize() const
{
    const auto r = rate();
    if (r == 0)
        return 0;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(r / 200, 1024, 64 * 1024));
}

namespace
{

// Books n bytes on a line at `rate` (non-zero); the caller holds the lock.
RateLimiter::TimePoint book(std::size_t n, std::uint64_t rate, RateLimiter::TimePoint now, RateLimiter::TimePoint& next,
                            RateLimiter::TimePoint& lastRequest, bool& busy)
{
    // Only a line that has been carrying bytes may catch up; the first
    // transfer after start or a rate change begins on time.
    const bool idle = !busy || now - lastRequest > kCatchUp;
    busy = true;
    lastRequest = now;
    next = std::max(next, idle ? now : now - kCatchUp) + std::chrono::duration_cast<RateLimiter::TimePoint::duration>(
                                                             std::chrono::duration<double>(double(n) / double(rate)));
    return next - kTolerance;
}

} // namespace

RateLimiter::TimePoint RateLimiter::reserve(std::size_t n)
{
    std::lock_guard lock(m_mutex);
    const auto now = m_clock->now();
    return m_rate == 0 ? now : book(n, m_rate, now, m_next, m_lastRequest, m_busy);
}

bool RateLimiter::acquire(std::size_t n)
{
    std::unique_lock lock(m_mutex);
    if (m_stopped)
        return false;
    if (m_rate == 0)
        return true;
    const std::uint64_t rateThen = m_rate;
    const auto due = book(n, m_rate, m_clock->now(), m_next, m_lastRequest, m_busy);
    // A rate change wakes us early; the bytes then simply pass, which is a
    // negligible error next to the change itself.
    m_clock->waitUntil(m_wake, lock, due, [&] { return m_stopped || m_rate != rateThen; });
    return !m_stopped;
}

void RateLimiter::stop()
{
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_wake.notify_all();
}

} // namespace refsvc
