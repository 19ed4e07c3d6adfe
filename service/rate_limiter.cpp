#include "rate_limiter.h"

#include <algorithm>

namespace refsvc
{

namespace
{
// How far the schedule may run ahead of now before a caller waits: the
// bucket. Small enough that a one-second sample sees the rate within 1 %,
// large enough that the scheduler's wake-up latency does not eat into the
// rate while senders keep the line busy.
constexpr auto kBucket = std::chrono::milliseconds(5);

std::size_t piece(std::uint64_t rate)
{
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(rate / 200, 1024, 64 * 1024));
}

// Never less than two pieces: a single sender that comes back from writing
// one piece then has the time of a whole piece before the line falls idle.
// On slow lines a piece (at least 1 KiB) outlasts the 5 ms.
RateLimiter::TimePoint::duration bucketOf(std::uint64_t rate)
{
    const auto twoPieces = std::chrono::duration_cast<RateLimiter::TimePoint::duration>(
        std::chrono::duration<double>(2.0 * double(piece(rate)) / double(rate)));
    return std::max<RateLimiter::TimePoint::duration>(kBucket, twoPieces);
}
} // namespace

RateLimiter::RateLimiter(std::uint64_t bytesPerSecond, std::shared_ptr<quorvane::Clock> clock)
    : m_clock(std::move(clock)), m_rate(bytesPerSecond), m_next(m_clock->now()), m_origin(m_next)
{
}

void RateLimiter::setRate(std::uint64_t bytesPerSecond)
{
    std::lock_guard lock(m_mutex);
    m_rate = bytesPerSecond;
    m_next = m_clock->now();
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
    return r == 0 ? 0 : piece(r);
}

namespace
{

// Books n bytes on a line at `rate` (non-zero); the caller holds the lock.
RateLimiter::TimePoint book(std::size_t n, std::uint64_t rate, RateLimiter::TimePoint now, RateLimiter::TimePoint& next)
{
    // A schedule that fell behind now restarts at now: whatever the line
    // did not carry while idle (or while its senders were descheduled) is
    // lost, as on a shaped link, so no transfer ever begins with a burst.
    next = std::max(next, now) + std::chrono::duration_cast<RateLimiter::TimePoint::duration>(
                                     std::chrono::duration<double>(double(n) / double(rate)));
    return next - bucketOf(rate);
}

} // namespace

RateLimiter::TimePoint RateLimiter::reserve(std::size_t n)
{
    std::lock_guard lock(m_mutex);
    const auto now = m_clock->now();
    return m_rate == 0 ? now : book(n, m_rate, now, m_next);
}

bool RateLimiter::acquire(std::size_t n)
{
    std::unique_lock lock(m_mutex);
    if (m_stopped)
        return false;
    if (m_rate == 0)
        return true;
    const std::uint64_t rateThen = m_rate;
    const auto due = book(n, m_rate, m_clock->now(), m_next);
    // A rate change wakes us early; the bytes then simply pass, which is a
    // negligible error next to the change itself.
    m_clock->waitUntil(m_wake, lock, due, [&] { return m_stopped || m_rate != rateThen; });
    if (m_stopped)
        return false;
    const std::int64_t second = std::chrono::duration_cast<std::chrono::seconds>(m_clock->now() - m_origin).count();
    if (m_carried.empty() || m_carried.back().first != second)
        m_carried.emplace_back(second, 0);
    m_carried.back().second += n;
    if (m_carried.size() > kSeconds)
        m_carried.pop_front();
    return true;
}

std::vector<std::pair<std::int64_t, std::uint64_t>> RateLimiter::carriedSeconds() const
{
    std::lock_guard lock(m_mutex);
    return {m_carried.begin(), m_carried.end()};
}

void RateLimiter::stop()
{
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_wake.notify_all();
}

} // namespace refsvc
