#pragma once
// What the background updater Update does, without its window: the hourly
// update cycle, the loop around it and the log-off hand-over. Everything it
// touches of the world (processes, the registry store, the clock, the
// network, the countdown notice) comes in through UpdateServices, so tests
// drive a whole cycle against a local update server and stand-in programs.
//
// Single-threaded: one cycle at a time, on the caller's thread.
#include "common/clock.h"
#include "platform/processes.h"
#include "platform/registry_store.h"
#include "update/install.h"
#include "update/manifest.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace quorvane::update
{

struct UpdateServices {
    std::filesystem::path programDir;
    platform::ProcessControl* processes = nullptr;
    platform::RegistryStore* registry = nullptr;
    std::shared_ptr<Clock> clock;
    // Shows the countdown notice and returns once it has closed.
    std::function<void()> showEndTip;
    // Fetches a URL into a file within the limits; true on success.
    // Defaults to rawGet().
    std::function<bool(const std::string& url, const std::filesystem::path& file, const FetchLimits& limits)> fetch;
    // Where a cycle reports what it did (one line each); may be empty.
    std::function<void(const std::string& line)> log;
    // The main program's executable name, below the program folder.
    std::string mainProgram = "Quorvane";
    // Passed to the installer (tests fail it, or its undo, at a chosen step).
    InstallOptions installOptions;
};

enum class CycleOutcome {
    NoServerVersion,   // configuration, manifest or its fetch unusable
    SignatureRefused,  // a release key is configured and the signature does not hold
    OlderRelease,      // a signed manifest of a release older than the installed one (replayed)
    NoInstalled,       // no installed version recorded
    Current,           // nothing to do
    NotInHistory,      // the installed version is not in the release history; tried again next cycle
    PathRefused,       // a path of the release was refused; nothing installed
    DownloadFailed,    // a file never matched its digest in five attempts
    NotTerminated,     // the main program could not be ended
    FolderNotWritable, // the program folder cannot be written; nothing was touched
    InstallerBusy,     // another installer holds the program folder; tried again next cycle
    InstallFailed,     // the install was undone; the old release stands
    VersionNotStored,  // files installed, but a version record could not be written
    RecordedOnly,      // no file selected: only the version was recorded
    Installed,         // files installed and the version recorded
};

std::string_view describe(CycleOutcome outcome);

struct CycleReport {
    CycleOutcome outcome = CycleOutcome::NoServerVersion;
    std::string detail;
    bool mainProgramReplaced = false;
    bool restarted = false;
};

// How many times a file is fetched before the cycle gives up on it.
inline constexpr int kDigestAttempts = 5;
// The pause after ending the main program, so its files are let go.
inline constexpr std::chrono::milliseconds kAfterTerminate{2000};
// The first cycle comes this long after the start, the next ones an hour apart.
inline constexpr std::chrono::milliseconds kFirstCycleDelay{300000};
inline constexpr std::chrono::milliseconds kBetweenCycles{3300000};

// One update cycle: version decision, downloads with digest checks, the
// countdown notice and the end of the main program when it runs, the
// install, the version records, the main program's restart with "update"
// (waiting for it to end, as the updater always has). A version is recorded
// only together with the files it names, under the installer's lock.
CycleReport runUpdateCycle(UpdateServices& services);

// Sleeps five minutes, runs a cycle, sleeps 55 minutes, and again, for as
// long as `keepGoing()` holds before each sleep.
void runUpdateLoop(UpdateServices& services, const std::function<bool()>& keepGoing);

// Log-off: ends the running main program, starts it with "logoff" and
// waits for it to end.
void runLogoff(UpdateServices& services);

// What the command line asks for: only the first six characters of the
// first argument count.
enum class UpdateCommand { Logoff, Update, None };
UpdateCommand parseUpdateCommand(int argc, const char* const* argv);

} // namespace quorvane::update
