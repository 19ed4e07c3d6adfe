#pragma once
// Window timers in simulated time: advance() fires every timer that falls
// due, in order, as often as it falls due.
#include "ui/timer_service.h"

#include <map>

namespace quorvane::testing
{

class ManualTimers final : public ui::TimerService
{
public:
    void setTimer(int id, int periodMs) override { m_timers[id] = {periodMs, m_now + periodMs}; }
    void killTimer(int id) override { m_timers.erase(id); }
    bool isActive(int id) const override { return m_timers.count(id) != 0; }
    int period(int id) const { return isActive(id) ? m_timers.at(id).period : -1; }
    long long now() const { return m_now; }

    void advance(long long ms)
    {
        const long long target = m_now + ms;
        for (;;) {
            auto next = m_timers.end();
            for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
                if (it->second.due <= target && (next == m_timers.end() || it->second.due < next->second.due))
                    next = it;
            }
            if (next == m_timers.end())
                break;
            m_now = next->second.due;
            next->second.due += next->second.period > 0 ? next->second.period : 1;
            fire(next->first); // may set or kill timers, so look again
        }
        m_now = target;
    }

private:
    struct Entry {
        int period;
        long long due;
    };
    std::map<int, Entry> m_timers;
    long long m_now = 0;
};

} // namespace quorvane::testing
