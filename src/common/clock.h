#pragma once
// The one clock that engines and the scheduler wait on, so a test can replace
// real time with a fake and run hours of rounds in milliseconds.
//
// Thread-safety: every member may be called from any thread.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace quorvane
{

class Clock
{
public:
    using Steady = std::chrono::steady_clock;
    using System = std::chrono::system_clock;

    virtual ~Clock() = default;
    virtual Steady::time_point now() const = 0;     // for intervals
    virtual System::time_point wallNow() const = 0; // for time stamps
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;

    // Waits on `cv`, whose mutex `lock` holds, until `ready()` is true or this
    // clock reaches `deadline`; returns ready(). Whoever makes ready() true
    // notifies `cv` as usual. This default serves clocks whose time is not
    // the real one: it looks at now() at least every few milliseconds of real
    // time, so a test that moves its clock is seen at once.
    virtual bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Steady::time_point deadline,
                           const std::function<bool()>& ready);
};

class SystemClock final : public Clock
{
public:
    Steady::time_point now() const override;
    System::time_point wallNow() const override;
    void sleepFor(std::chrono::milliseconds duration) override;
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Steady::time_point deadline,
                   const std::function<bool()>& ready) override;
};

// The process's real clock.
std::shared_ptr<Clock> systemClock();

} // namespace quorvane
