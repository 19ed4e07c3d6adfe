#include "app/shell/automatic_testing.h"

#include "app/login/conf_files.h"
#include "app/pages/file_download.h"
#include "app/pages/network_speed.h"
#include "app/pages/shell_dialogs.h"
#include "app/pages/video_speed.h"
#include "app/pages/webpage_performance.h"
#include "app/shell/shell_log.h"
#include "app/shell/shell_messages.h"
#include "app/shell/stop_speed_dlg.h"
#include "common/numbers.h"
#include "common/property_file.h"
#include "config/user_documents.h"
#include "ui/timer_service.h"

#include <QObject>

#include <chrono>
#include <filesystem>

namespace quorvane
{

AutomaticTesting::AutomaticTesting(const ShellContext& context, QObject& window, ui::TimerService& timers,
                                   std::function<void(const std::string&)> setLatestResult,
                                   std::function<std::string()> latestResult)
    : m_context(context), m_window(window), m_timers(timers), m_setLatestResult(std::move(setLatestResult)),
      m_latestResult(std::move(latestResult))
{
}

AutomaticTesting::~AutomaticTesting()
{
    m_scheduler.reset();
}

void AutomaticTesting::readRecheckPeriods()
{
    PropertyFile config(conf::configFile());
    config.load();
    m_cpuMemoryPeriod = parseLeadingInt(config.get("CPUMemoryPeriod"));
    m_wlanPeriod = parseLeadingInt(config.get("WlanPeriod"));
}

void AutomaticTesting::registerTask(TaskKind kind, std::function<int(bool, bool)> run, std::function<void()> release)
{
    m_tasks.push_back(std::make_unique<CallbackTask>(std::move(run), std::move(release)));
    m_scheduler->registerTask(kind, m_tasks.back().get());
}

bool AutomaticTesting::setUp(const Pages& pages)
{
    if (!m_context.environment)
        return false;
    m_invalidRecording =
        MakePageRecording(std::filesystem::current_path(), m_context.database, m_context.bandwidth.head, nullptr,
                          m_context.bandwidth.transport, pages.bandwidth->shipper());
    InvalidRounds::Services records;
    records.recorder = m_invalidRecording.recorder.get();
    records.shipper = m_invalidRecording.shipper;
    records.clock = m_invalidRecording.clock.get();
    records.session = [this] { return m_context.session->get(); };
    records.geographyId = [this] { return m_context.database ? m_context.database->regionSuffix() : std::string(); };
    records.setLatestResult = m_setLatestResult;
    m_invalidRounds = std::make_unique<InvalidRounds>(std::move(records));

    SchedulerHost host;
    host.post = [this](std::function<void()> f) {
        QMetaObject::invokeMethod(&m_window, std::move(f), Qt::QueuedConnection);
    };
    host.setRoundTimer = [this](int ms) { m_timers.setTimer(msg::TIMER_AUTO_ROUND, ms); };
    host.killRoundTimer = [this] { m_timers.killTimer(msg::TIMER_AUTO_ROUND); };
    host.selectedModules = [this] { return ReadSelectedModules(m_context.session->get().userId); };
    host.cpuMemoryPeriod = [this] { return m_cpuMemoryPeriod; };
    host.wlanPeriod = [this] { return m_wlanPeriod; };
    host.recordInvalidRound = [this](int code) { m_invalidRounds->RecordInvalidRound(code); };
    host.setInvalidRoundSummary = [this](int code) { m_invalidRounds->SetInvalidRoundSummary(code); };
    m_scheduler = std::make_unique<AutoScheduler>(std::move(host), *m_context.environment, m_context.autoClock);

    // One line per page.
    registerTask(
        TaskKind::Bandwidth,
        [p = pages.bandwidth](bool stored, bool automatic) { return p->RunAutoTest(stored, automatic); },
        [p = pages.bandwidth] { p->engine().ReleaseCurrentKey(); });
    registerTask(TaskKind::WebPage,
                 [p = pages.web](bool stored, bool automatic) { return p->RunAutoTest(stored, automatic); });
    registerTask(TaskKind::Video,
                 [p = pages.video](bool stored, bool automatic) { return p->RunAutoTest(stored, automatic); });
    registerTask(TaskKind::FileDownload,
                 [p = pages.download](bool stored, bool automatic) { return p->RunAutoTest(stored, automatic); });
    return true;
}

void AutomaticTesting::startAfterLogin(bool arm)
{
    if (m_scheduler) {
        m_scheduler->StartAutoAfterLogin(arm);
        return;
    }
    // A login before the pages exist (the silent login of the start): the
    // flags now, the queue at the start's own call once the pages are made.
    AutoScheduler::startFlags();
}

void AutomaticTesting::onRoundTimer()
{
    if (m_scheduler)
        m_scheduler->OnRoundTimer();
    else
        m_timers.killTimer(msg::TIMER_AUTO_ROUND);
}

bool AutomaticTesting::runStopDialog()
{
    if (m_stopDialogOpen || !m_scheduler)
        return false;
    m_stopDialogOpen = true;
    const std::shared_ptr<Clock> clock = m_context.autoClock ? m_context.autoClock : systemClock();
    CStopSpeedDlg::Status status;
    status.autoStartTime = m_scheduler->autoStartTime();
    status.now = [clock] {
        return std::chrono::duration_cast<std::chrono::seconds>(clock->wallNow().time_since_epoch()).count();
    };
    status.latestResult = m_latestResult;
    status.scores = [this] { return m_context.database ? m_context.database->scores() : ScoreValues{}; };
    CStopSpeedDlg dialog(std::move(status));
    qCInfo(lcShell, "stop dialog shown");
    const int result = m_context.dialogs->runStopSpeed(dialog);
    m_stopDialogOpen = false;
    qCInfo(lcShell, "stop dialog ended with %d", result);
    return result == CStopSpeedDlg::kResultStopped;
}

} // namespace quorvane
