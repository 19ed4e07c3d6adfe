#include "results/http_transfer.h"

#include "results/http_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

TransferContext::TransferContext(int slots)
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

void TransferContext::slotEnded(int slot)
{
    std::lock_guard lock(m_mutex);
    m_endedSlots.push_back(slot);
    m_changed.notify_all();
}

std::vector<int> TransferContext::waitForEndedSlots(std::chrono::steady_clock::time_point until)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_until(lock, until, [this] { return !m_endedSlots.empty(); });
    std::vector<int> ended;
    ended.swap(m_endedSlots);
    return ended;
}

void TransferContext::markDone()
{
    std::lock_guard lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
}

bool TransferContext::waitDone(std::chrono::steady_clock::time_point until)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_until(lock, until, [this] { return m_done; });
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
                     std::chrono::milliseconds poll, const std::function<void()>& work)
{
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + window;
    std::vector<int> toStart;
    for (int slot = 0; slot < slots; ++slot)
        toStart.push_back(slot);

    for (;;) {
        std::vector<int> notStarted;
        for (int slot : toStart) {
            const bool started = startTransferThread([context, slot, work] {
                struct EndReport {
                    TransferContext& context;
                    int slot;
                    ~EndReport() { context.slotEnded(slot); }
                } report{*context, slot};
                work();
            });
            if (!started)
                notStarted.push_back(slot);
        }
        if (Steady::now() >= deadline || automaticStopRequested())
            break;
        // A slot that could not get a thread is tried again after the poll
        // interval rather than at once.
        toStart = context->waitForEndedSlots(std::min(Steady::now() + poll, deadline));
        toStart.insert(toStart.end(), notStarted.begin(), notStarted.end());
    }
    context->stopAll();
}

} // namespace http_detail
} // namespace quorvane
