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

bool Clock::waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Steady::time_point deadline,
                      const std::function<bool()>& ready)
{
    while (!ready()) {
        if (now() >= deadline)
            return false;
        cv.wait_for(lock, std::chrono::milliseconds(2));
    }
    return true;
}

bool SystemClock::waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            Steady::time_point deadline, const std::function<bool()>& ready)
{
    return cv.wait_until(lock, deadline, ready);
}

std::shared_ptr<Clock> systemClock()
{
    static const auto clock = std::make_shared<SystemClock>();
    return clock;
}

} // namespace quorvane
