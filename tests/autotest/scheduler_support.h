#pragma once
// Stand-ins for driving the scheduler in clock time: a clock that jumps to
// whatever a wait waits for, environment checks that answer from a script,
// and tests that answer from a script (or throw, or hang until let go).
#include "autotest/environment.h"
#include "autotest/scheduler.h"
#include "common/clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace quorvane::test
{

// Time passes only in waits: a wait that is not over at once jumps the
// clock to its deadline (after `grace` of real time, for work on other
// threads to finish first). `onTick` runs after every jump, so a test can
// act at an exact moment of clock time.
class JumpingClock final : public Clock
{
public:
    explicit JumpingClock(std::chrono::milliseconds grace = std::chrono::milliseconds(1)) : m_grace(grace) {}
    Steady::time_point now() const override { return Steady::time_point(std::chrono::milliseconds(m_ms.load())); }
    System::time_point wallNow() const override
    {
        return System::time_point(std::chrono::milliseconds(m_ms.load() + 1'700'000'000'000LL));
    }
    void sleepFor(std::chrono::milliseconds d) override { jump(d.count()); }
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Steady::time_point deadline,
                   const std::function<bool()>& ready) override
    {
        if (cv.wait_for(lock, m_grace, ready))
            return true;
        const long long target =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline.time_since_epoch()).count();
        if (target > m_ms.load()) {
            lock.unlock();
            jump(target - m_ms.load());
            lock.lock();
        }
        return ready();
    }
    void jump(long long ms)
    {
        m_ms += ms;
        if (onTick)
            onTick(m_ms.load());
    }
    long long ms() const { return m_ms.load(); }
    std::function<void(long long nowMs)> onTick; // set before use

private:
    std::chrono::milliseconds m_grace;
    std::atomic<long long> m_ms{0};
};

// Answers CheckEnvironment from `environment` (then 0), CheckLanMachines
// with `lan`.
class ScriptedChecks final : public EnvironmentChecks
{
public:
    void CollectLoad() override { ++collections; }
    int CheckEnvironment() override
    {
        std::lock_guard lock(m_mutex);
        ++environmentChecks;
        if (environment.empty())
            return 0;
        const int code = environment.front();
        environment.pop_front();
        return code;
    }
    int CheckLanMachines() override { return lan.load(); }

    std::deque<int> environment;
    std::atomic<int> lan{0};
    std::atomic<int> collections{0};
    std::atomic<int> environmentChecks{0};

private:
    std::mutex m_mutex;
};

// Results from `script` in turn (the last one repeats); kThrow throws,
// kHang waits until release().
class ScriptedTask final : public AutoTask
{
public:
    static constexpr int kThrow = -100;
    static constexpr int kHang = -200;

    explicit ScriptedTask(std::vector<int> script, std::vector<std::string>* calls = nullptr, std::string name = {})
        : m_script(std::move(script)), m_calls(calls), m_name(std::move(name))
    {
    }
    int RunAutoTest(bool useStoredKey, bool isAutomatic) override
    {
        int result;
        {
            std::unique_lock lock(m_mutex);
            storedKeys.push_back(useStoredKey);
            automatic = automatic && isAutomatic;
            result = m_script[std::min(runs, m_script.size() - 1)];
            ++runs;
            if (m_calls)
                m_calls->push_back(m_name);
            if (result == kHang) {
                hanging = true;
                m_cv.notify_all();
                m_cv.wait(lock, [this] { return m_released; });
                hanging = false;
                return hangResult;
            }
        }
        if (result == kThrow)
            throw std::runtime_error("stand-in failure");
        return result;
    }
    void ReleaseKey() override { ++releases; }

    void release()
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_cv.notify_all();
    }
    bool waitHanging()
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(30), [this] { return hanging.load(); });
    }

    std::size_t runs = 0;
    std::vector<bool> storedKeys;
    bool automatic = true;
    std::atomic<int> releases{0};
    std::atomic<bool> hanging{false};
    int hangResult = 0; // what a hung run returns once let go

private:
    std::vector<int> m_script;
    std::vector<std::string>* m_calls;
    std::string m_name;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_released = false;
};

} // namespace quorvane::test
