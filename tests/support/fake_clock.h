#pragma once
// A clock that stands still until a sleep or the test moves it, and that
// remembers every sleep, so engine waits cost no real time and can be
// counted.
#include "common/clock.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace quorvane::test
{

class FakeClock final : public Clock
{
public:
    Steady::time_point now() const override { return Steady::time_point(std::chrono::milliseconds(m_ms.load())); }
    System::time_point wallNow() const override { return System::time_point(std::chrono::milliseconds(m_ms.load())); }
    void sleepFor(std::chrono::milliseconds duration) override
    {
        std::function<void()> hook;
        {
            std::lock_guard lock(m_mutex);
            m_sleeps.push_back(duration);
            hook = onSleep;
        }
        advance(duration);
        if (hook)
            hook();
    }

    void advance(std::chrono::milliseconds by) { m_ms += by.count(); }
    std::vector<std::chrono::milliseconds> sleeps() const
    {
        std::lock_guard lock(m_mutex);
        return m_sleeps;
    }

    std::function<void()> onSleep; // set before use; called after each sleep

private:
    std::atomic<long long> m_ms{1'000'000};
    mutable std::mutex m_mutex;
    std::vector<std::chrono::milliseconds> m_sleeps;
};

} // namespace quorvane::test
