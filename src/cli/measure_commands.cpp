// The measuring commands of quorvane-cli and the login they need. They run
// in an installation folder (the program's own by default, --dir otherwise),
// as Quorvane does, and use its configuration, credentials, Data and
// HistoryRecord folders.
#include "app/login/login_service.h"
#include "cli/cli.h"
#include "cli/command_options.h"
#include "cli/json_text.h"
#include "common/flags.h"
#include "config/readers.h"
#include "measure/bandwidth_test.h"
#include "net/http_request.h"
#include "platform/executable.h"
#include "results/record.h"
#include "results/service_time.h"
#include "results/sftp.h"
#include "results/shipper.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace quorvane::cli
{

namespace
{

using namespace quorvane::measure;

int httpRequest(const std::string& verb, const std::string& url, const std::string& body, std::string& response)
{
    return HttpRequest(verb, url, body, response);
}

// One line from `in`, without echo when it is a terminal (termios belongs to
// the terminal, so it is set here rather than behind the platform layer).
std::string readSecretLine(std::istream& in)
{
    termios saved{};
    const bool terminal = &in == &std::cin && ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(in, line);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string directionJson(const DirectionSummary& d)
{
    std::ostringstream o;
    o << "{\"completed\":" << (d.completed ? "true" : "false") << ",\"samples\":[";
    for (std::size_t i = 0; i < d.samples.size(); ++i)
        o << (i ? "," : "") << d.samples[i];
    o << "],\"averageMBps\":" << FormatFixed(d.averageMBps, 2) << ",\"bandwidthMb\":" << FormatFixed(d.bandwidthMb(), 1)
      << ",\"peakMBps\":" << d.peakText << ",\"jitter\":" << FormatFixed(d.jitter, 6) << "}";
    return o.str();
}

std::string latencyText(std::optional<double> ms)
{
    return ms ? FormatFixed(*ms, 1) + " ms" : "no answer";
}

// Prints the samples as they come.
class PrintingObserver : public BandwidthObserver
{
public:
    explicit PrintingObserver(std::ostream& out) : m_out(out) {}
    void sample(Direction d, int index, std::uint64_t bytes) override
    {
        m_out << (d == Direction::Download ? "download " : "upload ") << index
              << "/15: " << FormatFixed(static_cast<double>(bytes) / 1024.0, 3) << " KB/s ("
              << FormatFixed(bytes * 8 / 1e6, 2) << " Mbit/s)\n"
              << std::flush;
    }
    void serverLatency(const std::string& pingRtt) override { m_out << "server latency: " << pingRtt << " ms\n"; }

private:
    std::ostream& m_out;
};

// "100", "1000", "0.512": a rate as short as it is exact.
std::string mbitText(double mbit)
{
    std::string text = FormatFixed(mbit, 3);
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text;
}

void onInterrupt(int)
{
    // Ends the transfers as a stop of automatic testing does.
    flags::stopRequested = 1;
}

} // namespace

int runLoginFromStdin(const Args& args, std::ostream& out, std::ostream& err)
{
    return runLogin(args, std::cin, out, err);
}

int runLogin(const Args& args, std::istream& in, std::ostream& out, std::ostream& err)
{
    const CommandOptions o = ParseCommandOptions(args, {"--dir"});
    if (!o.error.empty() || o.positional.size() != 1) {
        err << "quorvane-cli: login takes USER (and --dir DIR); the password comes from standard input\n";
        return kUsage;
    }
    if (!enterInstallation(o.dir, err))
        return kFailed;
    if (&in == &std::cin && ::isatty(STDIN_FILENO))
        std::cerr << "Password for " << o.positional[0] << ": " << std::flush;
    const std::string password = readSecretLine(in);
    SessionStore store;
    CDataBase database;
    LoginService login(httpRequest, store, database);
    const LoginService::Result result = login.runLogin(o.positional[0], password);
    if (result.outcome != LoginService::Outcome::LoggedIn) {
        err << "quorvane-cli: login refused or failed: " << result.message << "\n";
        return kFailed;
    }
    out << "logged in as " << result.session.nickname << " (user id " << result.session.userId
        << "); credentials stored for the measuring commands\n";
    return kOk;
}

bool loginWithStoredCredentials(SessionStore& session, CDataBase& database, std::ostream& err)
{
    const StoredCredentials stored = StoredCredentials::read();
    if (stored.userName.empty() || stored.password.empty()) {
        err << "quorvane-cli: no stored credentials; log in first with: quorvane-cli login USER\n";
        return false;
    }
    LoginService login(httpRequest, session, database);
    switch (login.autoLogin()) {
    case LoginService::AutoOutcome::LoggedIn:
        return true;
    case LoginService::AutoOutcome::Rejected:
        err << "quorvane-cli: the service refused the stored credentials of " << stored.userName
            << "; log in again with: quorvane-cli login USER\n";
        return false;
    case LoginService::AutoOutcome::NoAnswer:
        break;
    }
    err << "quorvane-cli: the service did not answer the login\n";
    return false;
}

int runBandwidth(const Args& args, std::ostream& out, std::ostream& err)
{
    const CommandOptions o = ParseCommandOptions(args, {"--dir", "--server", "--json", "--auto"});
    if (!o.error.empty() || !o.positional.empty()) {
        err << "quorvane-cli: " << (o.error.empty() ? "bandwidth takes no positional arguments" : o.error) << "\n";
        return kUsage;
    }
    if (!enterInstallation(o.dir, err))
        return kFailed;
    std::ostream& progress = o.json ? err : out;

    SessionStore store;
    CDataBase database;
    if (!loginWithStoredCredentials(store, database, err))
        return kFailed;
    const UserSession user = store.get();

    // A run asked for at the prompt is a manual result; --auto records it as
    // an automatic round's would be.
    flags::autoMode = o.automatic ? 1 : 0;
    flags::autoAbortArmed = 1;
    flags::stopRequested = 0;
    auto previous = std::signal(SIGINT, onInterrupt);

    PrintingObserver observer(progress);
    BandwidthTestSettings settings;
    settings.pinger = EchoPinger(settings.clock ? settings.clock : systemClock());
    BandwidthTest test(std::move(settings), &observer);
    test.setUser(user);
    test.Initialise();
    const CatalogReport report = test.catalogReport();
    if (!report.addrReadable)
        err << "quorvane-cli: warning: Config/addr_server.xml is missing or unreadable\n";
    if (!report.destReadable)
        err << "quorvane-cli: warning: Config/dest_config.xml is missing or unreadable\n";
    if (!o.server.empty()) {
        if (!FindServer(test.catalog(), o.server)) {
            err << "quorvane-cli: no test server named \"" << o.server << "\" in the catalogue\n";
            std::signal(SIGINT, previous);
            return kFailed;
        }
        test.setServerOverride(o.server);
    } else if (test.recommendedServer().empty()) {
        err << "quorvane-cli: no test server matches the location \"" << user.location1 << " " << user.location2
            << "\"\n";
        std::signal(SIGINT, previous);
        return kFailed;
    } else if (!o.automatic) {
        // A manual run measures against the server the page would offer.
        test.setServerOverride(test.recommendedServer());
    }

    int result = test.RunAutoTest(false, o.automatic);
    for (int retry = 0; result == 1 && retry < 3 && !flags::stopRequested; ++retry) {
        progress << "the test server asks to come back later; retrying in 20 s\n";
        for (int s = 0; s < 20 && !flags::stopRequested; ++s)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        if (!flags::stopRequested)
            result = test.RunAutoTest(true, o.automatic);
    }
    const BandwidthRun run = test.lastRun();

    // The record, history line, packing and upload, as the page does on 1138.
    ResultLog log = fileResultLog("logfile.txt");
    const std::string region = database.regionSuffix() == "null" ? std::string() : database.regionSuffix();
    ServiceClock clock(serviceClockUrl(".", region), headDate, systemClock());
    RecordShipper shipper(".", clock, RecordShipper::configuredTargets(),
                          sftpTransportFactory(installationSftpOptions(".", log)), log);
    ResultRecorder recorder(".", clock, log, gbkRecordEncoder(), shipper.hold());
    BandwidthTest::RecordResult record;
    if (result == 2) {
        const std::string geography = ReadGeographyId();
        record = test.OnRecordReady(recorder, &shipper, geography == "null" ? std::string() : geography);
        shipper.waitIdle(std::chrono::seconds(120));
    }
    const UploadReport upload = shipper.mainRuns().lastReport();
    std::signal(SIGINT, previous);
    // Judged only when there is a result to judge.
    const auto share = run.download.completed ? test.contractShare(run.download.bandwidthMb()) : std::nullopt;

    if (o.json) {
        out << "{\"outcome\":" << jsonString(OutcomeName(run.outcome)) << ",\"server\":" << jsonString(run.serverName)
            << ",\"ip\":" << jsonString(run.ip) << ",\"monitorId\":" << jsonString(run.monitorId)
            << ",\"validation\":{\"result\":" << run.validation.result
            << ",\"status\":" << jsonString(run.validation.status)
            << ",\"keyReleased\":" << (run.keyReleased ? "true" : "false") << "},\"pingRttMs\":" << run.pingRtt
            << ",\"download\":" << directionJson(run.download) << ",\"upload\":" << directionJson(run.upload)
            << ",\"bandwidthMb\":" << FormatFixed(run.download.bandwidthMb(), 1)
            << ",\"contracted_mbit\":" << (share ? mbitText(share->contract.mbit) : "null")
            << ",\"share\":" << (share ? std::to_string(share->percent) : "null")
            << ",\"latency\":{\"idleMs\":" << jsonNumber(run.latency.idleMs, 2)
            << ",\"downloadLoadedMs\":" << jsonNumber(run.latency.downloadMs, 2)
            << ",\"uploadLoadedMs\":" << jsonNumber(run.latency.uploadMs, 2)
            << "},\"record\":{\"file\":" << jsonString(record.record.fileName)
            << ",\"history\":" << (record.record.historyWritten ? "true" : "false")
            << ",\"archive\":" << jsonString(record.archive)
            << ",\"uploaded\":" << (upload.sent > 0 && !upload.failed ? "true" : "false")
            << ",\"uploadFailure\":" << jsonString(upload.failure)
            << ",\"recordFailure\":" << jsonString(record.record.failure)
            << ",\"held\":" << (record.record.held ? "true" : "false") << "}}\n";
    } else {
        out << "server: " << run.serverName << " (" << run.ip << ", monitor " << run.monitorId << ")\n";
        out << "outcome: " << OutcomeName(run.outcome) << "\n";
        if (run.download.completed)
            out << "download: " << FormatFixed(run.download.averageMBps, 2) << " MB/s average, "
                << FormatFixed(run.download.bandwidthMb(), 1) << " Mb bandwidth, peak " << run.download.peakText
                << " MB/s, jitter " << run.download.jitterText << "\n";
        if (run.upload.completed)
            out << "upload: " << FormatFixed(run.upload.averageMBps, 2) << " MB/s average, "
                << FormatFixed(run.upload.bandwidthMb(), 1) << " Mb bandwidth, peak " << run.upload.peakText
                << " MB/s, jitter " << run.upload.jitterText << "\n";
        if (share)
            out << "contract: " << share->contract.label << ", " << ContractShareText(share->percent) << " ("
                << share->percent << "% of " << mbitText(share->contract.mbit) << " Mbit/s)\n";
        out << "latency: " << run.pingRtt << " ms before the run; idle " << latencyText(run.latency.idleMs)
            << ", under download load " << latencyText(run.latency.downloadMs) << ", under upload load "
            << latencyText(run.latency.uploadMs) << "\n";
        if (!record.record.fileName.empty())
            out << "record: Data/" << record.record.fileName << (record.archive.empty() ? "" : " in " + record.archive)
                << (upload.sent > 0 && !upload.failed ? ", uploaded" : ", upload failed: " + upload.failure) << "\n";
    }
    if (run.outcome != RunOutcome::Completed) {
        err << "quorvane-cli: the bandwidth test did not complete (" << OutcomeName(run.outcome) << ")\n";
        return kFailed;
    }
    // A result that exists nowhere is no success.
    if (!record.record.failure.empty()) {
        err << "quorvane-cli: the result was not saved: " << record.record.failure << "\n";
        return kFailed;
    }
    return kOk;
}

} // namespace quorvane::cli
