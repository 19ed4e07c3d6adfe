#include "results/upload.h"

#include "results/figures.h"

#include <ctime>
#include <map>
#include <set>
#include <utility>

namespace quorvane
{

namespace
{

// A run stops looking for more after this many passes over the folder, so a
// folder that is refilled without end cannot hold a thread for ever.
constexpr int kMaxPasses = 1000;
// An archive replaced while it was being sent goes again, but not forever.
constexpr int kMaxAttemptsPerArchive = 3;

} // namespace

UploadRunner::UploadRunner(DataDirectory& dir, TransportFactory transport, ResultLog log)
    : m_dir(dir), m_transport(std::move(transport)), m_log(std::move(log))
{
}

UploadRunner::~UploadRunner()
{
    requestStop();
    std::lock_guard start(m_startMutex);
    if (m_thread.joinable())
        m_thread.join();
}

void UploadRunner::requestStop()
{
    {
        std::lock_guard guard(m_mutex);
        m_stopping = true;
    }
    m_stopAsked.notify_all();
}

bool UploadRunner::tryBegin()
{
    std::lock_guard guard(m_mutex);
    if (m_active || m_stopping) {
        m_asked = true;
        return false;
    }
    m_active = true;
    m_asked = false;
    return true;
}

bool UploadRunner::finish(const UploadReport& report, bool force)
{
    std::lock_guard guard(m_mutex);
    if (m_asked && !force) {
        m_asked = false;
        return false;
    }
    m_active = false;
    m_asked = false;
    m_last = report;
    m_idle.notify_all();
    return true;
}

bool UploadRunner::StartUpload(UploadTarget target, std::chrono::milliseconds delay)
{
    std::lock_guard start(m_startMutex);
    if (!tryBegin())
        return false;
    // The previous run has ended (the flag said so); its thread is done or
    // about to be.
    if (m_thread.joinable())
        m_thread.join();
    m_thread = std::thread([this, delay, target = std::move(target)] {
        if (delay.count() > 0) {
            std::unique_lock guard(m_mutex);
            if (m_stopAsked.wait_for(guard, delay, [this] { return m_stopping.load(); })) {
                guard.unlock();
                finish({0, true, "the program is ending"}, true);
                return;
            }
        }
        SftpUploadRun(target);
    });
    return true;
}

std::optional<UploadReport> UploadRunner::runNow(const UploadTarget& target)
{
    if (!tryBegin())
        return std::nullopt;
    return SftpUploadRun(target);
}

bool UploadRunner::waitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock guard(m_mutex);
    return m_idle.wait_for(guard, timeout, [this] { return !m_active; });
}

UploadReport UploadRunner::lastReport() const
{
    std::lock_guard guard(m_mutex);
    return m_last;
}

UploadReport UploadRunner::SftpUploadRun(const UploadTarget& target)
{
    UploadReport report;
    std::unique_ptr<ArchiveTransport> connection;
    std::set<std::string> done;
    std::map<std::string, int> attempts;

    auto fail = [&](const std::string& why) {
        report.failed = true;
        report.failure = why;
        const std::size_t waiting = m_dir.waitingArchives().size();
        if (m_log)
            m_log("upload to " + target.host + " stopped: " + why + "; " + std::to_string(waiting) +
                  " archive(s) wait in " + m_dir.path().filename().string());
        finish(report, true);
        return report;
    };

    for (int pass = 0; pass < kMaxPasses; ++pass) {
        std::vector<std::string> names;
        for (auto& name : m_dir.waitingArchives()) {
            if (!done.count(name))
                names.push_back(std::move(name));
        }
        if (names.empty()) {
            if (finish(report, false))
                return report;
            continue;
        }
        if (!connection) {
            connection = m_transport ? m_transport() : nullptr;
            std::string error = "no transport";
            if (!connection || !connection->open(target, error))
                return fail(error);
        }
        for (const auto& name : names) {
            if (m_stopping)
                return fail("the program is ending");
            auto sending = m_dir.beginSending(name);
            if (!sending)
                continue; // gone meanwhile
            std::string error;
            const bool confirmed = connection->put(name, sending->bytes, error);
            const bool deleted = m_dir.endSending(*sending, confirmed);
            if (!confirmed)
                return fail(name + ": " + error);
            if (deleted) {
                ++report.sent;
                // The data folders sit in the installation folder.
                setCounterValue(m_dir.path().parent_path(), kLastUploadField, static_cast<double>(std::time(nullptr)));
            }
            if (deleted || ++attempts[name] >= kMaxAttemptsPerArchive)
                done.insert(name);
        }
    }
    finish(report, true);
    return report;
}

} // namespace quorvane
