#include "update/update_cycle.h"

#include "common/durable_file.h"
#include "common/property_file.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/raw_get.h"
#include "update/signature.h"
#include "update/version_records.h"

#include <system_error>

namespace fs = std::filesystem;

namespace quorvane::update
{
namespace
{

constexpr const char* kDownloadFolder = "tmpUpdate";
constexpr const char* kManifestFile = "tmp/update.xml";

void note(const UpdateServices& s, const std::string& line)
{
    if (s.log)
        s.log(line);
}

bool fetch(const UpdateServices& s, const std::string& url, const fs::path& file, const FetchLimits& limits)
{
    if (s.fetch)
        return s.fetch(url, file, limits);
    RawGetOptions options;
    options.limits = limits;
    const RawGetResult result = rawGet(url, file, options);
    if (result != RawGetResult::Ok)
        note(s, "fetch " + url + ": " + std::string(describe(result)));
    return result == RawGetResult::Ok;
}

void removeFolder(const fs::path& dir)
{
    std::error_code ec;
    fs::remove_all(dir, ec);
}

struct ServerRelease {
    std::optional<Manifest> manifest;
    SignatureVerdict signature = SignatureVerdict::NotRequired;
    std::string serverPath;
};

// Fetches the manifest (and its signature when a release key is set) and
// parses exactly the bytes that were checked.
ServerRelease fetchRelease(const UpdateServices& s)
{
    ServerRelease release;
    PropertyFile config((s.programDir / "conf/config.properties").string());
    if (!config.load())
        return release;
    release.serverPath = config.get("update_server_path");
    const std::string url = release.serverPath + config.get("update_ver_file_name");
    const fs::path file = s.programDir / kManifestFile;
    const fs::path sigFile = fs::path(file.string() + std::string(kSignatureSuffix));
    std::error_code ec;
    fs::remove(file, ec);
    fs::remove(sigFile, ec);
    if (!fetch(s, url, file, ManifestLimits()))
        return release;
    const auto bytes = readWholeFile(file);
    if (!bytes || bytes->size() > kMaxManifestBytes)
        return release;
    const std::string key = config.get(kPublicKeyKey);
    if (signatureRequired(key)) {
        std::optional<std::string> signature;
        if (fetch(s, url + std::string(kSignatureSuffix), sigFile, ManifestLimits()))
            signature = readWholeFile(sigFile);
        release.signature = checkManifestSignature(key, *bytes, signature);
        if (!allowsInstall(release.signature))
            return release;
    }
    release.manifest = ParseManifest(*bytes);
    return release;
}

bool isMainProgram(const UpdateServices& s, const std::string& localpath)
{
    return fs::path(localpath).lexically_normal() == fs::path(s.mainProgram);
}

void restartMainProgram(UpdateServices& s, CycleReport& report)
{
    note(s, "restarting " + s.mainProgram);
    report.restarted = true;
    s.processes->startAndWait(s.programDir / s.mainProgram, {"update"}, s.programDir, -1);
}

} // namespace

std::string_view describe(CycleOutcome outcome)
{
    switch (outcome) {
    case CycleOutcome::NoServerVersion:
        return "no server version";
    case CycleOutcome::SignatureRefused:
        return "release signature refused";
    case CycleOutcome::OlderRelease:
        return "manifest older than the installed release";
    case CycleOutcome::NoInstalled:
        return "no installed version";
    case CycleOutcome::Current:
        return "current";
    case CycleOutcome::NotInHistory:
        return "installed version not in the release history";
    case CycleOutcome::PathRefused:
        return "release path refused";
    case CycleOutcome::DownloadFailed:
        return "download failed";
    case CycleOutcome::NotTerminated:
        return "main program could not be ended";
    case CycleOutcome::FolderNotWritable:
        return "program folder not writable";
    case CycleOutcome::InstallerBusy:
        return "another installer is running";
    case CycleOutcome::InstallFailed:
        return "install undone";
    case CycleOutcome::VersionNotStored:
        return "version not recorded";
    case CycleOutcome::RecordedOnly:
        return "no files; version recorded";
    case CycleOutcome::Installed:
        return "installed";
    }
    return "?";
}

CycleReport runUpdateCycle(UpdateServices& s)
{
    CycleReport report;
    auto finish = [&](CycleOutcome outcome, std::string detail = {}) {
        report.outcome = outcome;
        report.detail = std::move(detail);
        note(s, "update cycle: " + std::string(describe(outcome)) +
                    (report.detail.empty() ? std::string() : ": " + report.detail));
        return report;
    };

    // A cycle that died during an install is finished or undone first.
    recoverInterruptedInstall(s.programDir);

    const ServerRelease release = fetchRelease(s);
    if (!allowsInstall(release.signature))
        return finish(CycleOutcome::SignatureRefused, std::string(describe(release.signature)));
    const InstalledRelease installed = ReadInstalledRelease(s.programDir);
    if (release.signature == SignatureVerdict::Valid && release.manifest) {
        // A signature proves who made a manifest, not that it is the
        // latest: an old signed one must not take the installation back.
        std::vector<std::string> others;
        if (const auto display = ReadDisplayVersion(*s.registry))
            others.push_back(*display);
        if (IsOlderRelease(*release.manifest, installed, others))
            return finish(CycleOutcome::OlderRelease, release.manifest->version);
    }
    const UpdateCyclePlan plan = DecideUpdateCycle(release.manifest, installed.version);
    switch (plan.outcome) {
    case UpdateCyclePlan::Outcome::NoServerVersion:
        return finish(CycleOutcome::NoServerVersion);
    case UpdateCyclePlan::Outcome::NoInstalled:
        return finish(CycleOutcome::NoInstalled);
    case UpdateCyclePlan::Outcome::Current:
        return finish(CycleOutcome::Current);
    case UpdateCyclePlan::Outcome::NotInHistory:
        return finish(CycleOutcome::NotInHistory, installed.version + " (server " + plan.serverVersion + ")");
    case UpdateCyclePlan::Outcome::Install:
        break;
    }
    const InstalledRelease next{plan.serverVersion, ReleaseSequence(*release.manifest)};

    const auto& files = plan.selection.files;
    const fs::path downloads = s.programDir / kDownloadFolder;
    removeFolder(downloads);

    auto lockRefusal = [&](LockedRun run) -> std::optional<CycleReport> {
        if (run == LockedRun::Unwritable)
            return finish(CycleOutcome::FolderNotWritable, s.programDir.string());
        if (run == LockedRun::Busy)
            return finish(CycleOutcome::InstallerBusy);
        return std::nullopt;
    };
    if (files.empty()) {
        // Nothing was replaced, so a running main program (perhaps in the
        // middle of a measurement) is left alone.
        const LockedRun run =
            runUnderInstallLock(s.programDir, [&] { return WriteInstalledRelease(s.programDir, next); });
        if (auto refused = lockRefusal(run))
            return *refused;
        if (run != LockedRun::Done)
            return finish(CycleOutcome::VersionNotStored, "new_app_ver");
        return finish(CycleOutcome::RecordedOnly, plan.serverVersion);
    }
    if (const auto refusal = checkRelease(s.programDir, files))
        return finish(CycleOutcome::PathRefused, refusal->path + ": " + std::string(describe(refusal->reason)));
    // A folder that cannot take the release is found out before anything is
    // fetched or the main program is ended for nothing.
    if (auto refused = lockRefusal(runUnderInstallLock(s.programDir, [] { return true; })))
        return *refused;

    std::vector<InstallFile> install;
    for (const auto& f : files) {
        const fs::path local = downloads / f.localpath;
        bool matched = false;
        for (int attempt = 1; attempt <= kDigestAttempts && !matched; ++attempt)
            matched = fetch(s, release.serverPath + f.serpath, local, FileLimits(f)) && FileMatches(local, f);
        if (!matched) {
            removeFolder(downloads);
            return finish(CycleOutcome::DownloadFailed, f.serpath);
        }
        install.push_back({local, f.localpath});
        report.mainProgramReplaced = report.mainProgramReplaced || isMainProgram(s, f.localpath);
    }

    // Only the main program of this installation, run by this user: a name
    // alone would reach other users' programs and copies elsewhere.
    const fs::path mainProgram = s.programDir / s.mainProgram;
    if (s.processes->isProgramRunning(mainProgram, platform::NameCase::Insensitive) && s.showEndTip)
        s.showEndTip();
    const auto ended = s.processes->terminateProgram(mainProgram, platform::NameCase::Insensitive);
    if (ended == platform::TerminateResult::Failed) {
        removeFolder(downloads);
        return finish(CycleOutcome::NotTerminated);
    }
    const bool wasRunning = ended == platform::TerminateResult::Terminated;
    s.clock->sleepFor(kAfterTerminate);

    std::string notStored;
    InstallOptions options = s.installOptions;
    options.afterInstall = [&] {
        if (report.mainProgramReplaced && !WriteDisplayVersion(*s.registry, plan.serverVersion))
            notStored = "DisplayVersion";
        else if (!WriteInstalledRelease(s.programDir, next))
            notStored = "new_app_ver";
        return notStored.empty();
    };
    const InstallOutcome outcome = installFiles(s.programDir, install, options);
    removeFolder(downloads);
    if (outcome.result == InstallResult::Broken) {
        // The undo stopped half-way; the main program must not be started
        // on a folder that is neither release.
        const RecoveryResult recovered = recoverInterruptedInstall(s.programDir);
        note(s, "recovery after a failed undo: " + std::to_string(static_cast<int>(recovered)));
    }
    // The main program was ended for this install; whatever became of it,
    // the release in the folder now is whole, so the user gets it back.
    CycleOutcome result = CycleOutcome::Installed;
    std::string detail = plan.serverVersion;
    if (outcome.result == InstallResult::Unwritable) {
        result = CycleOutcome::FolderNotWritable;
        detail = outcome.detail;
    } else if (outcome.result == InstallResult::Busy) {
        result = CycleOutcome::InstallerBusy;
    } else if (!outcome.ok()) {
        result = CycleOutcome::InstallFailed;
        detail = outcome.detail;
    } else if (!outcome.recorded) {
        result = CycleOutcome::VersionNotStored;
        detail = notStored;
    }
    finish(result, detail);
    if (wasRunning)
        restartMainProgram(s, report);
    return report;
}

void runUpdateLoop(UpdateServices& s, const std::function<bool()>& keepGoing)
{
    while (keepGoing()) {
        s.clock->sleepFor(kFirstCycleDelay);
        runUpdateCycle(s);
        if (!keepGoing())
            break;
        s.clock->sleepFor(kBetweenCycles);
    }
}

void runLogoff(UpdateServices& s)
{
    s.processes->terminateProgram(s.programDir / s.mainProgram, platform::NameCase::Insensitive);
    s.processes->startAndWait(s.programDir / s.mainProgram, {"logoff"}, s.programDir, -1);
}

UpdateCommand parseUpdateCommand(int argc, const char* const* argv)
{
    if (argc < 2 || !argv[1])
        return UpdateCommand::None;
    const std::string_view first = std::string_view(argv[1]).substr(0, 6);
    if (first == "logoff")
        return UpdateCommand::Logoff;
    if (first == "update")
        return UpdateCommand::Update;
    return UpdateCommand::None;
}

} // namespace quorvane::update
