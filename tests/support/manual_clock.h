#pragma once
// A steady clock that moves only when the test moves it, safe to read and
// wait on from any thread. Engines that wait on it through Clock::waitUntil
// or sleepFor are seen waiting (waiters(), nextDeadline()), so a test can
// advance time exactly when the engine waits for it, never by guessing.
#include "common/clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace quorvane::testing
{

class ManualClock final : public Clock
{
public:
    Steady::time_point now() const override { return Steady::time_point(Steady::duration(m_ticks.load())); }
    System::time_point wallNow() const override
    {
        return System::time_point(std::chrono::duration_cast<System::duration>(now().time_since_epoch()));
    }
    void sleepFor(std::chrono::milliseconds duration) override
    {
        std::mutex mutex;
        std::condition_variable never;
        std::unique_lock lock(mutex);
        waitUntil(never, lock, now() + duration, [] { return false; });
    }
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Steady::time_point deadline,
                   const std::function<bool()>& ready) override
    {
        const long long id = enter(deadline);
        const bool result = Clock::waitUntil(cv, lock, deadline, ready);
        leave(id);
        return result;
    }

    void advance(Steady::duration by) { m_ticks += by.count(); }
    // Moves the clock to the earliest deadline anyone waits for (when later
    // than now); false when nobody waits.
    bool advanceToNextDeadline()
    {
        const auto next = nextDeadline();
        if (!next)
            return false;
        if (*next > now())
            m_ticks = next->time_since_epoch().count();
        return true;
    }
    int waiters() const
    {
        std::lock_guard guard(m_mutex);
        return static_cast<int>(m_deadlines.size());
    }
    std::optional<Steady::time_point> nextDeadline() const
    {
        std::lock_guard guard(m_mutex);
        std::optional<Steady::time_point> next;
        for (const auto& [id, deadline] : m_deadlines)
            if (!next || deadline < *next)
                next = deadline;
        return next;
    }
    // Waits (in real time, bounded) until at least `count` threads wait on
    // this clock. False when that did not happen within `limit`.
    bool awaitWaiters(int count, std::chrono::milliseconds limit = std::chrono::seconds(20)) const
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (waiters() < count) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

private:
    long long enter(Steady::time_point deadline)
    {
        std::lock_guard guard(m_mutex);
        m_deadlines[++m_nextId] = deadline;
        return m_nextId;
    }
    void leave(long long id)
    {
        std::lock_guard guard(m_mutex);
        m_deadlines.erase(id);
    }

    std::atomic<Steady::rep> m_ticks{0};
    mutable std::mutex m_mutex;
    std::map<long long, Steady::time_point> m_deadlines;
    long long m_nextId = 0;
};

} // namespace quorvane::testing
