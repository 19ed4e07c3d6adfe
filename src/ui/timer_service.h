#pragma once
// Numbered window timers (set, kill, fire) behind an interface, so that a
// window's periodic work can be driven by a test in simulated time instead of
// waiting for real seconds.
//
// Thread-safety: GUI thread only.
#include <QObject>

#include <functional>
#include <map>

class QTimer;

namespace quorvane::ui
{

class TimerService
{
public:
    using Handler = std::function<void(int id)>;

    virtual ~TimerService() = default;

    // Starts (or restarts) the periodic timer `id` with `periodMs`.
    virtual void setTimer(int id, int periodMs) = 0;
    virtual void killTimer(int id) = 0;
    virtual bool isActive(int id) const = 0;

    // Called on every expiry with the timer's id.
    void setHandler(Handler handler) { m_handler = std::move(handler); }

protected:
    void fire(int id)
    {
        if (m_handler)
            m_handler(id);
    }

private:
    Handler m_handler;
};

// Real timers on the Qt event loop.
class QtTimerService final : public QObject, public TimerService
{
    Q_OBJECT
public:
    explicit QtTimerService(QObject* parent = nullptr);
    ~QtTimerService() override;

    void setTimer(int id, int periodMs) override;
    void killTimer(int id) override;
    bool isActive(int id) const override;

private:
    std::map<int, QTimer*> m_timers;
};

} // namespace quorvane::ui
