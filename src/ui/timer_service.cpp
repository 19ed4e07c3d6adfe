#include "ui/timer_service.h"

#include <QTimer>

namespace quorvane::ui
{

QtTimerService::QtTimerService(QObject* parent) : QObject(parent) {}

QtTimerService::~QtTimerService() = default; // the timers are our children

void QtTimerService::setTimer(int id, int periodMs)
{
    QTimer*& timer = m_timers[id];
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] { fire(id); });
    }
    timer->start(periodMs);
}

void QtTimerService::killTimer(int id)
{
    auto it = m_timers.find(id);
    if (it != m_timers.end())
        it->second->stop();
}

bool QtTimerService::isActive(int id) const
{
    auto it = m_timers.find(id);
    return it != m_timers.end() && it->second->isActive();
}

} // namespace quorvane::ui
