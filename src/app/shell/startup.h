#pragma once
// Quorvane's start: working directory, one instance per session, the
// background updater, then the main window for the rest of the process.
#include "app/shell/main_window_host.h"
#include "common/numbers.h"
#include "platform/processes.h"
#include "platform/single_instance.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane
{

// The background updater's program name in the program directory.
inline constexpr std::string_view kUpdaterProgram = "Update";

// The application object. InitInstance() is the whole life of the program:
// it returns false once the main window has ended (or at once in a second
// start), and the process then ends with exitCode().
class CQuorvaneApp
{
public:
    CQuorvaneApp(int argc, char** argv) : m_argc(argc), m_argv(argv) {}
    bool InitInstance();
    int exitCode() const { return m_exitCode; }

private:
    int m_argc;
    char** m_argv;
    int m_exitCode = 0;
};

// Whether "login_window_show" in conf/config.properties under the program
// directory is exactly "true" (the running instance shows its login window).
bool loginWindowShown(const std::filesystem::path& programDirectory);

// What a second start sends to the running instance: bring it to the front
// while it shows its login window, otherwise a tray double-click.
platform::ActivationMessage activationFor(bool loginWindowShown);

struct UpdaterCheck {
    long runningPid = 0;            // first running updater, 0 when none
    long storedPid = 0;             // update_process_id as read
    bool startAttempted = false;    // the two differed
    std::optional<long> startedPid; // the new updater, when it started
};

// Makes sure the updater started last by Quorvane is the one that runs:
// compares the first running process named `updaterName` (any case, `ownPid`
// skipped) with "update_process_id" of conf/update_process.properties; when
// they differ, starts "<updaterName> update" from the program directory,
// detached and hidden, and stores its pid (only when the start succeeded).
UpdaterCheck EnsureUpdaterRunning(platform::ProcessControl& processes, const std::filesystem::path& programDirectory,
                                  std::string_view updaterName, long ownPid);

enum class ActivationOutcome { TrayDoubleClick, BroughtToFront, Ignored };

// Applies an activation from a second start to the main window: a tray
// double-click is posted (through `post`) only while the window sits in the
// tray, and the window is brought to the front in either case. Anything but
// the tray double-click and the foreground request is ignored.
ActivationOutcome deliverActivation(const platform::ActivationMessage& message, MainWindowHost& window,
                                    const std::function<void(std::function<void()>)>& post);

} // namespace quorvane
