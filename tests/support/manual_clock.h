#pragma once
// A steady clock that moves only when the test moves it, safe to read and
// wait on from any thread. Engines that wait on it through Clock::waitUntil
// or sleepFor are seen waiting (waiters(), nextDeadline()), so a test can
// advance time exactly when the engine waits for it, never by guessing.
#include "common/clock.h"

#include <gtest/gtest.h>

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

// Runs `call` on its own thread, and moves the clock from one deadline that
// somebody waits for to the next until the call has returned. Before each
// move `ready(moves so far)` must hold (looked at in real time, for at most
// `limit`), so a test lets the work it expects happen first. Returns how far
// the clock moved in all.
inline std::chrono::milliseconds driveUntilReturn(ManualClock& clock, const std::function<void()>& call,
                                                  const std::function<bool(int moves)>& ready = {},
                                                  std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    using Real = std::chrono::steady_clock;
    const auto start = clock.now();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        call();
        done = true;
    });
    int moves = 0;
    auto readyBy = Real::now() + limit;
    bool gaveUp = false;
    while (!done) {
        if (!gaveUp && ready && !ready(moves)) {
            if (Real::now() > readyBy) {
                ADD_FAILURE() << "the work expected before clock move " << moves << " did not happen";
                gaveUp = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const auto next = clock.nextDeadline();
        if (next && *next > clock.now()) {
            clock.advance(*next - clock.now());
            ++moves;
            readyBy = Real::now() + limit;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    worker.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - start);
}

} // namespace quorvane::testing
