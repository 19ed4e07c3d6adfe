#pragma once
// A window thread without a window: posted functions and one one-shot timer,
// run on the thread that calls run(), timed by the injectable clock. The
// command line's automatic rounds and the soak bench drive the scheduler
// with it.
//
// Thread-safety: post, setTimer, killTimer and quit may be called from any
// thread; run from one thread at a time.
#include "common/clock.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace quorvane
{

class ClockLoop
{
public:
    explicit ClockLoop(std::shared_ptr<Clock> clock);

    void post(std::function<void()> f);
    // A one-shot timer `ms` of clock time from now; a later call replaces it.
    void setTimer(int ms);
    void killTimer();
    bool timerArmed() const;
    // Nothing posted and no timer armed: nothing will happen unless some
    // other thread posts.
    bool idle() const;
    // Called on the loop's thread when the timer falls due.
    void setTimerHandler(std::function<void()> handler) { m_onTimer = std::move(handler); }

    // Runs posted functions and the timer until quit() or `done()` holds
    // after a step. The timer fires once however far the clock has moved
    // past its due time (a suspended machine wakes to one round, not many).
    void run(const std::function<bool()>& done = {});
    void quit();
    // Runs what has been posted so far (and what that posts), on the
    // calling thread; the timer is left alone.
    void runPending();

private:
    std::shared_ptr<Clock> m_clock;
    std::function<void()> m_onTimer;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_posted;
    std::optional<Clock::Steady::time_point> m_due;
    unsigned m_timerVersion = 0; // a changed timer ends the wait for the old one
    bool m_quit = false;
};

class AutoScheduler;

// Runs `loop` (on the scheduler's window thread) for a given number of
// automatic rounds: until `rounds` rounds have ended, `stopped()` holds with
// no round under way, or nothing is left to run. Returns the rounds that
// ended. A round's timer requests reach the loop as posts after its worker
// is done, so the loop ends only once those have run.
int RunRounds(ClockLoop& loop, AutoScheduler& scheduler, int rounds, const std::function<bool()>& stopped);

} // namespace quorvane
