// quorvane (and quorvane-cli, the same program under a second name): makes
// sure the user's program folder holds the packaged release, then runs the
// program of that name from the folder, with the arguments it was given.
#include "launcher/user_folder.h"
#include "platform/executable.h"
#include "platform/processes.h"
#include "platform/registry_store.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>
#include <vector>

namespace
{

using namespace quorvane;
namespace fs = std::filesystem;

// Another launcher filling the same folder (the menu entry and the
// autostart entry at once) is given this long to finish.
constexpr auto kBusyPatience = std::chrono::seconds(60);
constexpr auto kBusyPause = std::chrono::milliseconds(250);

// The packaged release lies at a fixed place relative to the launcher, so a
// package installed under another prefix works as well.
fs::path packagedFolder()
{
    return (platform::currentExecutableDirectory() / QUORVANE_PACKAGED_RELDIR).lexically_normal();
}

} // namespace

int main(int argc, char** argv)
{
    const std::string name = fs::path(argv[0] ? argv[0] : "quorvane").filename().string();
    const bool cli = name == "quorvane-cli";
    const std::string program = cli ? "quorvane-cli" : std::string(launcher::kMainProgram);
    const char* me = cli ? "quorvane-cli" : "quorvane";

    const std::optional<fs::path> folder = launcher::userProgramFolder();
    if (!folder) {
        std::cerr << me << ": neither XDG_DATA_HOME nor HOME names a folder for the program\n";
        return 1;
    }

    platform::IniRegistryStore registry(platform::IniRegistryStore::defaultPath());
    launcher::PrepareOptions options;
    options.registry = &registry;
    const auto giveUp = std::chrono::steady_clock::now() + kBusyPatience;
    launcher::FolderOutcome outcome = launcher::prepareUserFolder(packagedFolder(), *folder, options);
    while (outcome.action == launcher::FolderAction::Busy && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(kBusyPause);
        outcome = launcher::prepareUserFolder(packagedFolder(), *folder, options);
    }
    const fs::path target = *folder / program;
    if (!outcome.runnable()) {
        const std::string why = outcome.action == launcher::FolderAction::Busy
                                    ? "another installer still holds " + folder->string()
                                    : outcome.detail;
        std::cerr << me << ": " << why << "\n";
        // An upgrade that could not be brought in leaves the old release
        // whole: better to run it than nothing.
        if (::access(target.c_str(), X_OK) != 0)
            return 1;
        std::cerr << me << ": running the release already in " << folder->string() << "\n";
    } else if (outcome.action == launcher::FolderAction::Created) {
        std::cerr << me << ": made the program folder " << folder->string() << "\n";
    } else if (outcome.action == launcher::FolderAction::BroughtIn) {
        std::cerr << me << ": brought the packaged release into " << folder->string() << " (" << outcome.detail
                  << ")\n";
    }

    // The background updater starts with the folder's first window, as an
    // installer would have started it; from then on the main program's own
    // check keeps it running. A command line has no display for it.
    if (!cli && launcher::updaterNeverStarted(*folder)) {
        platform::LinuxProcessControl processes;
        if (const auto pid = processes.startDetached(*folder / "Update", {"update"}, *folder))
            launcher::recordUpdaterStarted(*folder, *pid);
    }

    // The autostart entry the settings page writes starts this launcher, so
    // that a package upgrade reaches a program started with the session.
    if (const fs::path self = platform::currentExecutablePath(); !self.empty())
        ::setenv("QUORVANE_LAUNCHER", self.c_str(), 1);
    if (::chdir(folder->c_str()) != 0) {
        std::cerr << me << ": cannot enter " << folder->string() << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::vector<char*> args;
    std::string first = target.string();
    args.push_back(first.data());
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(target.c_str(), args.data());
    std::cerr << me << ": cannot run " << target.string() << ": " << std::strerror(errno) << "\n";
    return 1;
}
