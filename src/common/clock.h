#pragma once
// The one clock that engines and the scheduler wait on, so a test can replace
// real time with a fake and run hours of rounds in milliseconds.
//
// Thread-safety: every member may be called from any thread.
#include <chrono>
#include <memory>

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
};

class SystemClock final : public Clock
{
public:
    Steady::time_point now() const override;
    System::time_point wallNow() const override;
    void sleepFor(std::chrono::milliseconds duration) override;
};

// The process's real clock.
std::shared_ptr<Clock> systemClock();

} // namespace quorvane
