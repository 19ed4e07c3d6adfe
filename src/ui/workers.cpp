#include "ui/workers.h"

#include <QMetaObject>

namespace quorvane::ui
{

Workers::~Workers()
{
    waitForAll();
}

void Workers::start(std::function<void()> work, std::function<void()> completion)
{
    const std::uint64_t id = ++m_lastId;
    Job& job = m_jobs[id];
    job.completion = std::move(completion);
    job.thread = std::thread([this, id, work = std::move(work)] {
        try {
            work();
        } catch (...) {
            // A worker that ended the program would take the user's session
            // with it; the caller sees the default result instead.
        }
        // `this` outlives the thread: nobody destroys it without joining.
        QMetaObject::invokeMethod(
            this, [this, id] { finished(id); }, Qt::QueuedConnection);
    });
}

void Workers::finished(std::uint64_t id)
{
    auto it = m_jobs.find(id);
    if (it == m_jobs.end())
        return; // waited for already: its result is dropped
    it->second.thread.join();
    const std::function<void()> completion = std::move(it->second.completion);
    m_jobs.erase(it);
    completion();
}

void Workers::waitForAll()
{
    for (auto& [id, job] : m_jobs) {
        if (job.thread.joinable())
            job.thread.join();
    }
    m_jobs.clear();
}

} // namespace quorvane::ui
