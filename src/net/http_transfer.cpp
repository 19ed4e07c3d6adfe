#include "net/http_transfer.h"

#include "net/http_internal.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <system_error>
#include <thread>

namespace quorvane
{

std::uint64_t ByteCounterHandle::bytes() const
{
    const auto current = counter();
    return current ? current->load(std::memory_order_relaxed) : 0;
}

std::shared_ptr<const ByteCounter> ByteCounterHandle::counter() const
{
    std::lock_guard lock(m_mutex);
    return m_counter;
}

void ByteCounterHandle::publish(std::shared_ptr<const ByteCounter> counter)
{
    std::lock_guard lock(m_mutex);
    m_counter = std::move(counter);
}

namespace
{

struct ThreadTally {
    std::mutex mutex;
    std::condition_variable changed;
    int alive = 0;
};

// Deliberately never destroyed: detached threads may still report their end
// while static objects are being torn down at exit.
ThreadTally& tally()
{
    static auto* t = new ThreadTally;
    return *t;
}

} // namespace

int TransferThreadsAlive()
{
    std::lock_guard lock(tally().mutex);
    return tally().alive;
}

bool WaitForTransferThreads(std::chrono::milliseconds limit)
{
    std::unique_lock lock(tally().mutex);
    return tally().changed.wait_for(lock, limit, [] { return tally().alive == 0; });
}

namespace http_detail
{

TransferContext::TransferContext(int slots, std::shared_ptr<Clock> transferClock)
    : clock(transferClock ? std::move(transferClock) : systemClock())
{
    m_endedSlots.reserve(static_cast<std::size_t>(std::max(slots, 0)));
}

void TransferContext::stopAll()
{
    std::lock_guard lock(m_mutex);
    m_stop.store(true);
    for (int fd : m_sockets)
        ::shutdown(fd, SHUT_RDWR);
    m_changed.notify_all();
}

bool TransferContext::adopt(int fd)
{
    std::lock_guard lock(m_mutex);
    if (m_stop.load())
        return false;
    m_sockets.insert(fd);
    return true;
}

void TransferContext::release(int fd)
{
    std::lock_guard lock(m_mutex);
    m_sockets.erase(fd);
    ::close(fd);
}

void TransferContext::slotEnded(int slot, bool productive)
{
    std::lock_guard lock(m_mutex);
    m_endedSlots.push_back({slot, productive});
    m_changed.notify_all();
}

std::vector<TransferContext::SlotEnd> TransferContext::waitForEndedSlots(Clock::Steady::time_point until)
{
    std::unique_lock lock(m_mutex);
    clock->waitUntil(m_changed, lock, until, [this] { return !m_endedSlots.empty(); });
    std::vector<SlotEnd> ended;
    ended.swap(m_endedSlots);
    return ended;
}

void TransferContext::markDone()
{
    std::lock_guard lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
}

bool TransferContext::waitDone(Clock::Steady::time_point until)
{
    std::unique_lock lock(m_mutex);
    return clock->waitUntil(m_changed, lock, until, [this] { return m_done; });
}

void TransferContext::waitDone()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_done; });
}

bool startTransferThread(std::function<void()> work)
{
    {
        std::lock_guard lock(tally().mutex);
        ++tally().alive;
    }
    try {
        std::thread([work = std::move(work)]() mutable {
            try {
                work();
            } catch (...) {
                // A transfer thread ends quietly; its call reports through the counter.
            }
            // Drop what the work holds (sockets, the context) before counting
            // the thread as ended, so a waiter sees everything released.
            work = nullptr;
            std::lock_guard lock(tally().mutex);
            --tally().alive;
            tally().changed.notify_all();
        }).detach();
        return true;
    } catch (const std::system_error&) {
        std::lock_guard lock(tally().mutex);
        --tally().alive;
        tally().changed.notify_all();
        return false;
    }
}

void superviseWindow(const std::shared_ptr<TransferContext>& context, int slots, std::chrono::milliseconds window,
                     std::chrono::milliseconds poll, const std::function<bool()>& work)
{
    using TimePoint = Clock::Steady::time_point;
    const Clock& clock = *context->clock;
    const auto start = clock.now();
    const auto deadline = start + window;
    struct Slot {
        TimePoint startedAt;
        std::optional<TimePoint> restartAt;
    };
    std::vector<Slot> slot(static_cast<std::size_t>(slots), Slot{start, start});

    for (;;) {
        auto now = clock.now();
        auto wakeAt = std::min(now + poll, deadline);
        for (std::size_t i = 0; i < slot.size(); ++i) {
            if (slot[i].restartAt && *slot[i].restartAt <= now) {
                const int index = static_cast<int>(i);
                const bool started = startTransferThread([context, index, work] {
                    bool productive = false;
                    struct EndReport {
                        TransferContext& context;
                        int slot;
                        bool& productive;
                        ~EndReport() { context.slotEnded(slot, productive); }
                    } report{*context, index, productive};
                    productive = work();
                });
                slot[i].startedAt = now;
                slot[i].restartAt.reset();
                if (!started)
                    slot[i].restartAt = now + poll;
            }
            if (slot[i].restartAt)
                wakeAt = std::min(wakeAt, *slot[i].restartAt);
        }
        if (now >= deadline || automaticStopRequested())
            break;
        for (const auto& end : context->waitForEndedSlots(wakeAt)) {
            Slot& ended = slot[static_cast<std::size_t>(end.slot)];
            ended.restartAt = end.productive ? clock.now() : ended.startedAt + poll;
        }
    }
    context->stopAll();
}

} // namespace http_detail
} // namespace quorvane
