#pragma once
// The run lifecycle every engine shares: the user the runs are for, one run
// at a time, the thread of a manual run, the last run kept for its record,
// and that record handed out once however often the record-ready message
// arrives. `Run` is the engine's run (DownloadRun, BandwidthRun, ...); it
// says itself whether it is recordable().
//
// Threads: every member may be called from any thread. The manual thread is
// started and joined by the engine's owner thread.
#include "common/clock.h"
#include "common/flags.h"
#include "measure/random_source.h"
#include "measure/record_steps.h"
#include "platform/network_alive.h"
#include "results/session.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace quorvane::measure
{

// The user stopped automatic testing while a run it armed was going: the
// run's transfers and its record give way.
inline bool AutomaticStopRequested()
{
    return flags::autoAbortArmed.load() != 0 && flags::stopRequested.load() != 0;
}

// An automatic run that completed counts as a completed task and hands its
// record over, unless the user stopped automatic testing meanwhile. A run
// on request (the command line's) does neither.
inline bool CountCompletedRun(bool isAutomatic)
{
    if (!isAutomatic || flags::stopRequested.load() != 0)
        return false;
    ++flags::completedTaskCount;
    return true;
}

// The services every engine's settings leave null for the real ones: the
// system clock (where the engine keeps one), the adapters' network check and
// a seeded random source.
template <typename Settings> void TakeRealServices(Settings& settings)
{
    if constexpr (requires { settings.clock; }) {
        if (!settings.clock)
            settings.clock = systemClock();
    }
    if (!settings.networkAlive)
        settings.networkAlive = [] { return platform::IsNetworkAlive(); };
    if (!settings.random)
        settings.random = seededRandomSource();
}

// What every engine tells its page (or the command line) about a run. Each
// function has an empty default. Called on the run's thread unless stated; a
// page re-posts them to its window thread.
template <typename Run> class RunObserver
{
public:
    virtual ~RunObserver() = default;

    // Inside a manual start, on its caller's thread: a start check's modal
    // warning.
    virtual void showWarning(const std::string& text) { (void)text; }
    // A manual run began: the page clears its figures and disables its start
    // button.
    virtual void manualRunStarted() {}
    // A warning from the run's thread.
    virtual void message(const std::string& text) { (void)text; }
    // The run's record-ready message: the page calls the engine's
    // OnRecordReady on its window thread.
    virtual void recordReady(const Run& run) { (void)run; }
    // Every run's very end, after recordReady if any: the start button again.
    virtual void runEnded(const Run& run) { (void)run; }
};

template <typename Run> class RunLifecycle
{
public:
    RunLifecycle() = default;
    // A manual run still going is waited for; an engine waits before its
    // own members go, so this only guards against forgetting it.
    ~RunLifecycle() { waitForManualRun(); }
    RunLifecycle(const RunLifecycle&) = delete;
    RunLifecycle& operator=(const RunLifecycle&) = delete;

    void setUser(const UserSession& user)
    {
        std::lock_guard lock(m_mutex);
        m_user = user;
    }
    UserSession user() const
    {
        std::lock_guard lock(m_mutex);
        return m_user;
    }

    // Claims the engine for a run; false while another run goes.
    bool begin() { return !m_running.exchange(true); }
    bool running() const { return m_running.load(); }
    // Keeps `run` as the last one, its record not handed out yet.
    void keep(const Run& run)
    {
        std::lock_guard lock(m_mutex);
        m_last = run;
        m_hasRun = true;
        m_recorded = false;
    }
    // Frees the engine for the next run.
    void release() { m_running = false; }

    // Starts `body` on the manual run's thread (after a finished one is
    // joined); the run must have been claimed with begin().
    void startManual(std::function<void()> body)
    {
        waitForManualRun();
        m_manualThread = std::thread(std::move(body));
    }
    bool manualRunActive() const { return m_running.load() && m_manualThread.joinable(); }
    void waitForManualRun()
    {
        if (m_manualThread.joinable())
            m_manualThread.join();
    }

    Run lastRun() const
    {
        std::lock_guard lock(m_mutex);
        return m_last;
    }
    // The last run and its user for the record, once per run: nothing when
    // no run was kept, its record was handed out already, or it is not
    // recordable.
    std::optional<std::pair<Run, UserSession>> takeForRecord()
    {
        std::lock_guard lock(m_mutex);
        if (!m_hasRun || m_recorded || !m_last.recordable())
            return std::nullopt;
        m_recorded = true;
        return std::make_pair(m_last, m_user);
    }
    // The last run's record written for its user and shipped, once per run
    // (see takeForRecord()). `build(run)` returns the record and whether the
    // run was automatic. Nothing is written when there is nothing to record.
    template <typename Build>
    RecordResult recordOnce(ResultRecorder& recorder, RecordShipper* shipper, const std::string& geographyId,
                            Build build)
    {
        const auto taken = takeForRecord();
        if (!taken)
            return {};
        const auto& [run, who] = *taken;
        const auto [record, automatic] = build(run);
        return WriteAndShipRecord(record, who, automatic, recorder, shipper, geographyId);
    }

private:
    mutable std::mutex m_mutex; // guards the members below
    UserSession m_user;
    Run m_last;
    bool m_hasRun = false;
    bool m_recorded = false;

    std::atomic<bool> m_running{false};
    std::thread m_manualThread;
};

} // namespace quorvane::measure
