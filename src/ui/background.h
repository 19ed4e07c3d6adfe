#pragma once
// Runs blocking work (a request to the service) off the GUI thread and hands
// its result back to a window on the GUI thread. When the window is gone by
// then, the result is dropped; the work itself is never cut short.
#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

namespace quorvane::ui
{

template <typename Result>
void runInBackground(QObject* context, std::function<Result()> work, std::function<void(const Result&)> done)
{
    auto result = std::make_shared<Result>();
    // The thread has no parent: it must outlive a window that closes while
    // the request is still under way, and deletes itself when it ends.
    QThread* thread = QThread::create([result, work = std::move(work)] { *result = work(); });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, context, [result, done = std::move(done)] { done(*result); });
    thread->start();
}

} // namespace quorvane::ui
