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

RateLimiter::RateLimiter(std::uint64_t bytesPerSecond)
    : m_rate(bytesPerSecond), m_next(Clock::now()), m_lastRequest(Clock::now())
{
}

void RateLimiter::setRate(std::uint64_t bytesPerSecond)
{
    std::lock_guard lock(m_mutex);
    m_rate = bytesPerSecond;
    m_next = m_lastRequest = Clock::now();
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

bool RateLimiter::acquire(std::size_t n)
{
    std::unique_lock lock(m_mutex);
    if (m_stopped)
        return false;
    if (m_rate == 0)
        return true;
    const auto now = Clock::now();
    const std::uint64_t rateThen = m_rate;
    // Only a line that has been carrying bytes may catch up; the first
    // transfer after start or a rate change begins on time.
    const bool idle = !m_busy || now - m_lastRequest > kCatchUp;
    m_busy = true;
    m_lastRequest = now;
    m_next = std::max(m_next, idle ? now : now - kCatchUp) +
             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(n) / double(m_rate)));
    const auto due = m_next - kTolerance;
    // A rate change wakes us early; the bytes then simply pass, which is a
    // negligible error next to the change itself.
    m_wake.wait_until(lock, due, [&] { return m_stopped || m_rate != rateThen; });
    return !m_stopped;
}

void RateLimiter::stop()
{
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_wake.notify_all();
}

} // namespace refsvc
