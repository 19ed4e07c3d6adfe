#include "update/update_cycle.h"

#include "common/durable_file.h"
#include "common/md5.h"
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

bool fetch(const UpdateServices& s, const std::string& url, const fs::path& file)
{
    if (s.fetch)
        return s.fetch(url, file);
    return rawGet(url, file) == RawGetResult::Ok;
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
    if (!fetch(s, url, file))
        return release;
    const auto bytes = readWholeFile(file);
    if (!bytes || bytes->size() > kMaxManifestBytes)
        return release;
    const std::string key = config.get(kPublicKeyKey);
    if (signatureRequired(key)) {
        std::optional<std::string> signature;
        if (fetch(s, url + std::string(kSignatureSuffix), sigFile))
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
    case CycleOutcome::NoInstalled:
        return "no installed version";
    case CycleOutcome::Current:
        return "current";
    case CycleOutcome::PathRefused:
        return "release path refused";
    case CycleOutcome::DownloadFailed:
        return "download failed";
    case CycleOutcome::NotTerminated:
        return "main program could not be ended";
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
    const UpdateCyclePlan plan = DecideUpdateCycle(release.manifest, ReadNewAppVer(s.programDir));
    switch (plan.outcome) {
    case UpdateCyclePlan::Outcome::NoServerVersion:
        return finish(CycleOutcome::NoServerVersion);
    case UpdateCyclePlan::Outcome::NoInstalled:
        return finish(CycleOutcome::NoInstalled);
    case UpdateCyclePlan::Outcome::Current:
        return finish(CycleOutcome::Current);
    case UpdateCyclePlan::Outcome::Install:
        break;
    }

    const auto& files = plan.selection.files;
    const fs::path downloads = s.programDir / kDownloadFolder;
    removeFolder(downloads);

    if (files.empty()) {
        // Nothing was replaced, so a running main program (perhaps in the
        // middle of a measurement) is left alone.
        if (!WriteNewAppVer(s.programDir, plan.serverVersion))
            return finish(CycleOutcome::VersionNotStored, "new_app_ver");
        return finish(CycleOutcome::RecordedOnly, plan.serverVersion);
    }
    if (const auto refusal = checkRelease(s.programDir, files))
        return finish(CycleOutcome::PathRefused, refusal->path + ": " + std::string(describe(refusal->reason)));

    std::vector<InstallFile> install;
    for (const auto& f : files) {
        const fs::path local = downloads / f.localpath;
        bool matched = false;
        for (int attempt = 1; attempt <= kDigestAttempts && !matched; ++attempt)
            matched = fetch(s, release.serverPath + f.serpath, local) && md5HexOfFile(local.string()) == f.verify;
        if (!matched) {
            removeFolder(downloads);
            return finish(CycleOutcome::DownloadFailed, f.serpath);
        }
        install.push_back({local, f.localpath});
        report.mainProgramReplaced = report.mainProgramReplaced || isMainProgram(s, f.localpath);
    }

    if (platform::isProcessRunning(*s.processes, s.mainProgram, platform::NameCase::Insensitive) && s.showEndTip)
        s.showEndTip();
    const auto ended = s.processes->terminateByName(s.mainProgram, platform::NameCase::Insensitive);
    if (ended == platform::TerminateResult::Failed) {
        removeFolder(downloads);
        return finish(CycleOutcome::NotTerminated);
    }
    const bool wasRunning = ended == platform::TerminateResult::Terminated;
    s.clock->sleepFor(kAfterTerminate);

    const InstallOutcome outcome = installFiles(s.programDir, install);
    removeFolder(downloads);
    // The main program was ended for this install; whatever became of it,
    // the release in the folder now is whole, so the user gets it back.
    CycleOutcome result = CycleOutcome::Installed;
    std::string detail = plan.serverVersion;
    if (!outcome.ok()) {
        result = CycleOutcome::InstallFailed;
        detail = outcome.detail;
    } else if (report.mainProgramReplaced && !WriteDisplayVersion(*s.registry, plan.serverVersion)) {
        result = CycleOutcome::VersionNotStored;
        detail = "DisplayVersion";
    } else if (!WriteNewAppVer(s.programDir, plan.serverVersion)) {
        result = CycleOutcome::VersionNotStored;
        detail = "new_app_ver";
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
    s.processes->terminateByName(s.mainProgram, platform::NameCase::Insensitive);
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
