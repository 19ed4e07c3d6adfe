// "quorvane-cli auto": automatic rounds without a display, with the tests
// that need none (bandwidth, file download), through the same scheduler,
// environment checks, log and records as the program's tray.
#include "app/login/login_service.h"
#include "autotest/clock_loop.h"
#include "autotest/invalid_round.h"
#include "autotest/scheduler.h"
#include "autotest/system_environment.h"
#include "cli/cli.h"
#include "cli/json_text.h"
#include "common/flags.h"
#include "common/property_file.h"
#include "config/readers.h"
#include "config/user_documents.h"
#include "measure/bandwidth_test.h"
#include "measure/file_download.h"
#include "measure/latency.h"
#include "platform/executable.h"
#include "results/record.h"
#include "results/service_time.h"
#include "results/sftp.h"
#include "results/shipper.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace quorvane::cli
{

namespace
{

using namespace quorvane::measure;

// How long the end waits for a test still running (one given up on after
// its 15 minutes) once asked to stop.
constexpr std::chrono::seconds kStopLimit{30};

void onInterrupt(int)
{
    // The round ends at its next step; running transfers abort.
    flags::stopRequested = 1;
}

int periodOf(const std::string& key)
{
    PropertyFile config("conf/config.properties");
    config.load();
    return std::atoi(config.get(key).c_str());
}

// Hands each finished run's record to the loop's thread, as the pages hand
// theirs to the window.
template <typename Run, typename Observer> class RecordsToLoop final : public Observer
{
public:
    explicit RecordsToLoop(std::function<void()> ready) : m_ready(std::move(ready)) {}
    void recordReady(const Run&) override { m_ready(); }

private:
    std::function<void()> m_ready;
};

} // namespace

int runAuto(const Args& args, std::ostream& out, std::ostream& err)
{
    int rounds = 1;
    bool json = false;
    std::string dir;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            json = true;
        } else if ((a == "--rounds" || a == "--dir") && i + 1 < args.size()) {
            const std::string& value = args[++i];
            if (a == "--dir") {
                dir = value;
                continue;
            }
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > 100000) {
                err << "quorvane-cli: --rounds needs a number from 1 to 100000\n";
                return kUsage;
            }
            rounds = static_cast<int>(n);
        } else {
            err << "quorvane-cli: auto takes --rounds N, --json and --dir DIR\n";
            return kUsage;
        }
    }
    if (!enterInstallation(dir, err))
        return kFailed;

    SessionStore store;
    CDataBase database;
    if (!loginWithStoredCredentials(store, database, err))
        return kFailed;
    const UserSession user = store.get();
    EnsureUserSettings(user.userId);
    auto region = [&database] {
        const std::string r = database.regionSuffix();
        return r == "null" ? std::string() : r;
    };

    std::shared_ptr<Clock> clock = systemClock();
    ClockLoop loop(clock);
    ResultLog log = fileResultLog("logfile.txt");
    ServiceClock serviceClock(serviceClockUrl(".", region()), headDate, clock);
    RecordShipper shipper(".", serviceClock, RecordShipper::configuredTargets(),
                          sftpTransportFactory(installationSftpOptions(".", log)), log);
    ResultRecorder recorder(".", serviceClock, log, gbkRecordEncoder(), shipper.hold());
    std::vector<std::string> records;
    std::vector<std::string> recordFailures;
    std::string latest;

    BandwidthTest* bandwidthRef = nullptr;
    FileDownloadTest* downloadRef = nullptr;
    const auto handOver = [&](auto& engine) {
        const auto r = engine.OnRecordReady(recorder, &shipper, region());
        if (r.written)
            records.push_back(r.record.fileName);
        if (!r.record.failure.empty())
            recordFailures.push_back(r.record.failure);
        if (!r.record.latestResultText.empty())
            latest = r.record.latestResultText;
    };
    RecordsToLoop<BandwidthRun, BandwidthObserver> bandwidthRecords(
        [&] { loop.post([&] { handOver(*bandwidthRef); }); });
    RecordsToLoop<DownloadRun, FileDownloadObserver> downloadRecords(
        [&] { loop.post([&] { handOver(*downloadRef); }); });
    BandwidthTestSettings bandwidthSettings;
    bandwidthSettings.pinger = EchoPinger(clock);
    BandwidthTest bandwidth(std::move(bandwidthSettings), &bandwidthRecords);
    bandwidth.setUser(user);
    bandwidth.Initialise();
    bandwidthRef = &bandwidth;
    FileDownloadTest download(FileDownloadSettings{}, &downloadRecords);
    download.setUser(user);
    download.LoadPresets(); // a preset target names its file and fills `website`, as on the page
    downloadRef = &download;

    std::vector<int> invalid;
    InvalidRounds::Services services;
    services.recorder = &recorder;
    services.shipper = &shipper;
    services.clock = &serviceClock;
    services.session = [user] { return user; };
    services.geographyId = region;
    services.setLatestResult = [&](const std::string& text) { loop.post([&latest, text] { latest = text; }); };
    InvalidRounds invalidRounds(std::move(services));

    SystemEnvironmentChecks checks;
    SchedulerHost host;
    host.post = [&loop](std::function<void()> f) { loop.post(std::move(f)); };
    host.setRoundTimer = [&loop](int ms) { loop.setTimer(ms); };
    host.killRoundTimer = [&loop] { loop.killTimer(); };
    host.selectedModules = [user] { return ReadSelectedModules(user.userId); };
    host.cpuMemoryPeriod = [] { return periodOf("CPUMemoryPeriod"); };
    host.wlanPeriod = [] { return periodOf("WlanPeriod"); };
    host.recordInvalidRound = [&](int code) {
        if (invalidRounds.RecordInvalidRound(code))
            invalid.push_back(code);
        if (!invalidRounds.lastFailure().empty())
            recordFailures.push_back(invalidRounds.lastFailure());
    };
    host.setInvalidRoundSummary = [&](int code) { invalidRounds.SetInvalidRoundSummary(code); };
    host.roundEnded = [&loop] { loop.post([] {}); };

    auto previous = std::signal(SIGINT, onInterrupt);
    // What the command prints and returns once the rounds are over.
    const auto report = [&](int finished) {
        shipper.waitIdle(std::chrono::seconds(120));
        std::signal(SIGINT, previous);
        flags::autoMode = 0;

        const UploadReport upload = shipper.mainRuns().lastReport();
        if (json) {
            out << "{\"rounds\":" << finished << ",\"requested\":" << flags::scheduledTaskCount.load()
                << ",\"completed\":" << flags::completedTaskCount.load() << ",\"records\":[";
            for (std::size_t i = 0; i < records.size(); ++i)
                out << (i ? "," : "") << jsonString(records[i]);
            out << "],\"invalidRounds\":[";
            for (std::size_t i = 0; i < invalid.size(); ++i)
                out << (i ? "," : "") << "{\"code\":" << invalid[i]
                    << ",\"reason\":" << jsonString(rejectionReasonText(invalid[i], ReadRejectionThresholds())) << "}";
            out << "],\"latestResult\":" << jsonString(latest) << ",\"uploadFailure\":" << jsonString(upload.failure)
                << ",\"recordFailures\":[";
            for (std::size_t i = 0; i < recordFailures.size(); ++i)
                out << (i ? "," : "") << jsonString(recordFailures[i]);
            out << "],\"held\":" << shipper.hold()->size() << ",\"log\":\"auto.txt\"}\n";
        } else {
            out << "rounds: " << finished << "\n";
            out << "tasks requested: " << flags::scheduledTaskCount.load()
                << ", completed: " << flags::completedTaskCount.load() << "\n";
            for (const std::string& r : records)
                out << "record: Data/" << r << "\n";
            for (int code : invalid)
                out << "rejected round: " << code << " (" << rejectionReasonText(code, ReadRejectionThresholds())
                    << ")\n";
            if (!latest.empty())
                out << "latest result:\n" << latest << "\n";
            if (!upload.failure.empty())
                out << "upload failed: " << upload.failure << "\n";
            out << "every step: auto.txt\n";
        }
        for (const std::string& failure : recordFailures)
            err << "quorvane-cli: a result was not saved: " << failure << "\n";
        return finished > 0 && recordFailures.empty() ? kOk : kFailed;
    };
    int finished = 0;
    {
        // Declared before the scheduler, so that they outlive the test runs
        // it waits for at its end.
        CallbackTask bandwidthTask(
            [&](bool stored, bool automatic) { return bandwidth.RunAutoTest(stored, automatic); },
            [&] { bandwidth.ReleaseCurrentKey(); });
        CallbackTask downloadTask([&](bool stored, bool automatic) { return download.RunAutoTest(stored, automatic); });
        AutoScheduler scheduler(std::move(host), checks, clock);
        scheduler.registerTask(TaskKind::Bandwidth, &bandwidthTask);
        scheduler.registerTask(TaskKind::FileDownload, &downloadTask);
        loop.setTimerHandler([&] { scheduler.OnRoundTimer(); });
        scheduler.StartAutoByUser();
        if (scheduler.queueEmpty())
            err << "quorvane-cli: no bandwidth or file download test is selected in Config/settings" << user.userId
                << ".xml\n";
        finished = RunRounds(loop, scheduler, rounds, [] { return flags::stopRequested.load() != 0; });
        scheduler.KillRoundTimer();
        const bool stuck = !scheduler.Shutdown(kStopLimit);
        loop.runPending(); // the last records
        if (stuck) {
            // A test given up on still runs and uses the engines; they must
            // not be destroyed under it, and it must not hold the end.
            err << "quorvane-cli: a test did not stop within " << kStopLimit.count() / 1000
                << " s; ending without it\n";
            const int code = report(finished);
            out.flush();
            err.flush();
            std::fflush(nullptr);
            std::_Exit(code);
        }
    }
    return report(finished);
}

} // namespace quorvane::cli
