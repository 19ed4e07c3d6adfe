#pragma once
// Installing a release into the program folder: either every file of the
// release is in place, or none is, whatever moment the installer dies.
//
// A release names its files by paths that came from the update server, so
// every path is checked before anything is touched (checkServerPath,
// checkLocalPath, checkRelease): one bad path refuses the whole release.
//
// installFiles() then works in three phases under a journal kept in the
// program folder (".qvinstall.journal", replaced atomically at each phase):
//   prepare: each new file is copied beside its target under a temporary
//            name (".<name>.qvnew") and flushed to the disk;
//   swap:    each existing target is renamed aside (".<name>.qvold") and the
//            new file renamed into its place;
//   commit:  the files kept aside are removed, then the journal.
// A failure in prepare or swap puts every old file back. A process killed
// in prepare or swap is rolled back, one killed in commit is completed, by
// recoverInterruptedInstall(), which both updaters call at their start.
// Renames within one folder are atomic, so the folder always holds either
// the old release or the new one once recovery has run.
//
// One installer at a time per program folder: installFiles() and recovery
// hold a lock file (".qvinstall.lock") for their whole run; a second one
// finds it taken and reports Busy without touching anything. All functions
// may be called from any thread.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::update
{

// ---- Paths a manifest names ----

enum class PathRefusal {
    None,               // the path may be used
    Empty,              // nothing, or only separators
    Absolute,           // leading "/", a drive letter ("C:") or a URL scheme
    ParentStep,         // contains ".."
    Backslash,          // contains "\"
    Nul,                // contains a NUL byte
    ControlCharacter,   // a line break or another control character
    OutsideThroughLink, // a symbolic link on the way leads out of the program folder
    NotAFile,           // the target (or a folder on its way) exists and is something else
    Reserved,           // a name the installer uses for its own files
};

// A short English text for logs ("contains \"..\"").
std::string_view describe(PathRefusal refusal);

// Whether `serpath` may be appended to the update server's base URL.
PathRefusal checkServerPath(std::string_view serpath);

// Whether `localpath` ("/"-separated, below the program folder) may be
// written: the text alone, then the folder as it is now on disk (links
// followed as far as they exist). `programDir` must exist.
PathRefusal checkLocalPath(const std::filesystem::path& programDir, std::string_view localpath);

struct ReleaseRefusal {
    std::string path; // the offending serpath or localpath
    PathRefusal reason = PathRefusal::None;
};

// The first refused path of a release whose entries have the text members
// `serpath` and `localpath`; nothing when the whole release may be installed.
template <class Entries>
std::optional<ReleaseRefusal> checkRelease(const std::filesystem::path& programDir, const Entries& entries)
{
    for (const auto& entry : entries) {
        if (const auto why = checkServerPath(entry.serpath); why != PathRefusal::None)
            return ReleaseRefusal{std::string(entry.serpath), why};
        if (const auto why = checkLocalPath(programDir, entry.localpath); why != PathRefusal::None)
            return ReleaseRefusal{std::string(entry.localpath), why};
    }
    return std::nullopt;
}

// ---- Installing ----

struct InstallFile {
    std::filesystem::path source; // the downloaded, verified file; only read
    std::string localPath;        // its target below the program folder, "/"-separated
};

struct InstallOptions {
    // Called before every step that changes the disk, numbered from 1 in
    // the order they happen. Returning false makes that step fail (the
    // install is then undone). Tests use it to fail or kill the installer
    // at a chosen step; leave it empty otherwise.
    std::function<bool(int step)> stepHook;
    // Runs once every file is in place, still holding the folder's lock:
    // what the updater records about the release (its version). Its result
    // becomes InstallOutcome::recorded.
    std::function<bool()> afterInstall;
    // Like stepHook, for the steps that undo a failed install (tests make
    // the undo itself fail half-way).
    std::function<bool(int step)> undoStepHook;
};

enum class InstallResult {
    Installed,  // every file is in place
    Refused,    // a path was refused; nothing was touched
    Busy,       // another installer holds the program folder; nothing was touched
    Unwritable, // the program folder cannot be written (not even the lock); nothing was touched
    RolledBack, // a step failed; every old file is back in place
    Broken,     // a step failed and undoing it failed too; the journal stays
                // for recoverInterruptedInstall() to finish
};

struct InstallOutcome {
    InstallResult result = InstallResult::RolledBack;
    std::string detail; // the refused path, or the failed step and file, for the log
    bool recorded = true; // what afterInstall returned (true without one)
    bool ok() const { return result == InstallResult::Installed; }
};

// Installs `files` (in that order; a later file with the same target as an
// earlier one wins) into `programDir`. A target that exists keeps its
// permission bits; a new target is 0755 when its bytes start like a program
// ("\x7fELF" or "#!"), else 0644. Folders a target needs are created (and
// stay, empty, when the install is undone). An interrupted earlier install
// is recovered first.
InstallOutcome installFiles(const std::filesystem::path& programDir, const std::vector<InstallFile>& files,
                            const InstallOptions& options = {});

// Runs `work` holding the folder's install lock (for records written without
// an install).
enum class LockedRun { Done, Failed, Busy, Unwritable };
LockedRun runUnderInstallLock(const std::filesystem::path& programDir, const std::function<bool()>& work);

enum class RecoveryResult {
    Nothing,    // no interrupted install
    RolledBack, // the old release is back
    Completed,  // the new release was already in place; its leftovers are gone
    Busy,       // an installer is running now; left alone
    Failed,     // the journal is unreadable or a step failed; left for the next start
};

// Finishes or undoes an install that was interrupted (a crash, kill -9, a
// power cut). Cheap when there is nothing to do. `options.stepHook` as above
// (for tests that interrupt the recovery itself).
RecoveryResult recoverInterruptedInstall(const std::filesystem::path& programDir, const InstallOptions& options = {});

// The journal and lock names, for tests and for tools that list the folder.
inline constexpr std::string_view kInstallJournal = ".qvinstall.journal";
inline constexpr std::string_view kInstallLock = ".qvinstall.lock";

} // namespace quorvane::update
