#pragma once
// The user's own program folder, made from the packaged release.
//
// The programs keep their configuration, data and history beside
// themselves, and the updaters replace their files there, so a package
// installed read-only under /usr cannot be run in place. The launcher gives
// each user a program folder (userProgramFolder()) and prepares it before
// every start (prepareUserFolder()):
//   - a missing or empty folder receives every file of the packaged release;
//   - when the packaged release is newer than the one the folder last
//     received (a package upgrade), its program files are brought in, while
//     the user's own files — conf/, Config/, Data*, HistoryRecord/ and the
//     logs — are never replaced (a file of those the folder lacks is added);
//   - otherwise nothing is touched: the folder may hold a newer release that
//     an updater installed, and the package must not take it back.
// Files go in through the updaters' installer, so either all of them are in
// place or none is, whatever moment the launcher dies; the folder's stamp
// (which packaged release it holds) is written only with the files.
//
// All functions may be called from any thread; two launchers preparing one
// folder at the same time are kept apart by the installer's lock.
#include "platform/registry_store.h"
#include "update/install.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::launcher
{

// In the packaged release's folder: its package version, one line ("0.1.0").
inline constexpr std::string_view kReleaseStamp = "packaged-release";
// In a user's folder: the package version of the release it last received.
inline constexpr std::string_view kFolderStamp = ".packaged-release";
// The main program a folder must hold to be runnable.
inline constexpr std::string_view kMainProgram = "Quorvane";

// $XDG_DATA_HOME/quorvane, or $HOME/.local/share/quorvane when XDG_DATA_HOME
// is unset or not absolute (as the XDG base directory rules say). Nothing
// when neither gives an absolute folder. `env` reads a variable (nullptr
// when unset); it defaults to getenv.
std::optional<std::filesystem::path> userProgramFolder(const std::function<const char*(const char*)>& env = {});

// Orders two package versions: dot-separated numbers compared as numbers,
// anything after the numbers compared as text; "1.10" > "1.9", "1.0" ==
// "1", "" is older than everything. Negative, zero or positive.
int compareReleaseVersions(std::string_view a, std::string_view b);

// Whether a "/"-separated path below the program folder is the user's own
// file, which a newer packaged release never replaces: conf/, Config/,
// Data*/ (Data, Data2, ...), HistoryRecord/ and the logs ("*.txt" at the
// top).
bool isUserFile(std::string_view relativePath);

enum class FolderAction {
    Created,   // the folder received the whole packaged release
    BroughtIn, // a newer packaged release's program files replaced the old ones
    Current,   // nothing to do
    Busy,      // another installer holds the folder; nothing was touched
    Failed,    // see detail; the folder is as it was (or is made whole at the next start)
};

struct FolderOutcome {
    FolderAction action = FolderAction::Failed;
    std::string detail; // for the user: what failed, or the versions involved
    bool runnable() const
    {
        return action == FolderAction::Created || action == FolderAction::BroughtIn || action == FolderAction::Current;
    }
};

struct PrepareOptions {
    // Where DisplayVersion is recorded, as the updaters do; none: not recorded.
    platform::RegistryStore* registry = nullptr;
    // Passed to the installer (tests fail or kill it at a chosen step).
    update::InstallOptions install;
};

// Makes `userFolder` hold the release of `packagedFolder` as described
// above. The folder is created (owner-only) when missing.
FolderOutcome prepareUserFolder(const std::filesystem::path& packagedFolder, const std::filesystem::path& userFolder,
                                const PrepareOptions& options = {});

// Whether the background updater has never been started from `userFolder`:
// update_process_id in conf/update_process.properties is absent, "null" or
// 0. A fresh folder is in this state; an installer would start the updater
// once, and the main program's own check keeps it running from then on.
bool updaterNeverStarted(const std::filesystem::path& userFolder);

// Records the updater started from `userFolder` as the main program's
// start-up check does, keeping every other line. False when not saved.
bool recordUpdaterStarted(const std::filesystem::path& userFolder, long pid);

} // namespace quorvane::launcher
