#include "autotest/clock_loop.h"

#include "autotest/scheduler.h"

namespace quorvane
{

ClockLoop::ClockLoop(std::shared_ptr<Clock> clock) : m_clock(clock ? std::move(clock) : systemClock()) {}

void ClockLoop::post(std::function<void()> f)
{
    {
        std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(f));
    }
    m_cv.notify_all();
}

void ClockLoop::setTimer(int ms)
{
    {
        std::lock_guard lock(m_mutex);
        m_due = m_clock->now() + std::chrono::milliseconds(ms);
        ++m_timerVersion;
    }
    m_cv.notify_all();
}

void ClockLoop::killTimer()
{
    {
        std::lock_guard lock(m_mutex);
        m_due.reset();
        ++m_timerVersion;
    }
    m_cv.notify_all();
}

bool ClockLoop::timerArmed() const
{
    std::lock_guard lock(m_mutex);
    return m_due.has_value();
}

bool ClockLoop::idle() const
{
    std::lock_guard lock(m_mutex);
    return m_posted.empty() && !m_due.has_value();
}

void ClockLoop::quit()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_cv.notify_all();
}

void ClockLoop::runPending()
{
    for (;;) {
        std::function<void()> f;
        {
            std::lock_guard lock(m_mutex);
            if (m_posted.empty())
                return;
            f = std::move(m_posted.front());
            m_posted.pop_front();
        }
        f();
    }
}

void ClockLoop::run(const std::function<bool()>& done)
{
    std::unique_lock lock(m_mutex);
    m_quit = false;
    while (!m_quit) {
        if (!m_posted.empty()) {
            auto f = std::move(m_posted.front());
            m_posted.pop_front();
            lock.unlock();
            f();
            lock.lock();
        } else if (m_due && m_clock->now() >= *m_due) {
            // One-shot, like the window's round timer once it is killed.
            m_due.reset();
            lock.unlock();
            if (m_onTimer)
                m_onTimer();
            lock.lock();
        } else {
            // Wake at least every second to look at `done` (a stop from a
            // signal handler cannot notify).
            const auto second = m_clock->now() + std::chrono::seconds(1);
            const auto deadline = m_due && *m_due < second ? *m_due : second;
            const auto version = m_timerVersion;
            m_clock->waitUntil(m_cv, lock, deadline,
                               [&] { return !m_posted.empty() || m_quit || m_timerVersion != version; });
        }
        if (done) {
            lock.unlock();
            const bool finished = done();
            lock.lock();
            if (finished)
                break;
        }
    }
}

int RunRounds(ClockLoop& loop, AutoScheduler& scheduler, int rounds, const std::function<bool()>& stopped)
{
    loop.run([&] {
        if (scheduler.roundRunning())
            return false;
        // A round that has just ended may still have its "kill timer" and
        // "arm timer" requests queued: judged between the two, the loop
        // would look as if nothing were left to run.
        return scheduler.roundsStarted() >= rounds || (stopped && stopped()) || loop.idle();
    });
    return scheduler.roundsStarted() - (scheduler.roundRunning() ? 1 : 0);
}

} // namespace quorvane
