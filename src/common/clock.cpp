#include "common/clock.h"

#include <thread>

namespace quorvane
{

Clock::Steady::time_point SystemClock::now() const
{
    return Steady::now();
}

Clock::System::time_point SystemClock::wallNow() const
{
    return System::now();
}

void SystemClock::sleepFor(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
}

std::shared_ptr<Clock> systemClock()
{
    static const auto clock = std::make_shared<SystemClock>();
    return clock;
}

} // namespace quorvane
