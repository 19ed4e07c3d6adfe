#pragma once
// Blocking work (a request to the service) off the GUI thread, with an
// owner. A result comes back on the GUI thread to its receiver while the
// receiver lives and is dropped otherwise; the owner's end waits for every
// worker it started, so nothing a worker uses (the session values, the
// caller's objects) goes away under it, and no worker outlives the
// program's normal end.
//
// A worker cannot be cut short: waiting for one lasts as long as its work,
// which for a request is bounded by the request's own time-outs.
//
// Thread-safety: run(), waitForAll() and the destructor on the GUI thread
// only. The work runs on its own thread and must not touch widgets.
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>

namespace quorvane::ui
{

class Workers final : public QObject
{
    Q_OBJECT
public:
    Workers() = default;
    ~Workers() override;
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Runs `work` on a new thread and then `done` with its result on the GUI
    // thread, unless `receiver` is gone by then. Work that throws counts as
    // having returned a default Result.
    template <typename Result>
    void run(QObject* receiver, std::function<Result()> work, std::function<void(const Result&)> done)
    {
        auto result = std::make_shared<Result>();
        start([result, work = std::move(work)] { *result = work(); },
              [result, done = std::move(done), target = QPointer<QObject>(receiver)] {
                  if (target)
                      done(*result);
              });
    }

    // Waits for every worker started so far; their results are dropped.
    void waitForAll();
    // Workers started and not yet handed back.
    std::size_t pending() const { return m_jobs.size(); }

private:
    struct Job {
        std::thread thread;
        std::function<void()> completion; // touched on the GUI thread only
    };
    void start(std::function<void()> work, std::function<void()> completion);
    void finished(std::uint64_t id);

    std::map<std::uint64_t, Job> m_jobs;
    std::uint64_t m_lastId = 0;
};

} // namespace quorvane::ui
