#pragma once
// What the shell's windows need from outside, handed to them at construction
// so tests and other front ends can replace any of it: the HTTP function,
// the session values, the browser, process control and the message windows.
#include "app/login/login_service.h"
#include "app/login/session.h"
#include "app/pages/file_download_services.h"
#include "app/pages/network_speed_services.h"
#include "app/pages/video_services.h"
#include "app/pages/webpage_services.h"
#include "common/clock.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorvane
{

class EnvironmentChecks;
class ShellDialogs;
namespace ui
{
class Workers;
}

struct ShellContext {
    HttpFunction http;
    SessionStore* session = nullptr;
    CDataBase* database = nullptr;
    ShellDialogs* dialogs = nullptr;
    // Who owns the windows' request workers; the main window hands its own
    // to the windows it opens. A window without one owns its workers itself.
    ui::Workers* workers = nullptr;

    // Opens a page in the user's browser.
    std::function<void(const std::string& url)> openUrl;
    // Told when the user ends the program, with the exit code; the main
    // window's run then ends and the program returns from main. Optional.
    std::function<void(int code)> endProcess;
    // Starts a program of the installation in the background, hidden.
    std::function<bool(const std::string& program, const std::vector<std::string>& args)> startHidden;
    // Starts a program of the installation in a window of its own (the
    // interactive updater); false when it could not be started.
    std::function<bool(const std::string& program, const std::vector<std::string>& args)> startProgram;
    // Start with the desktop session: is the entry there, and writing or
    // removing it (true when the entry is as asked afterwards).
    std::function<bool()> isAutoStart;
    std::function<bool(bool on)> setAutoStart;
    // Fetches the update manifest to a file; true on a 200 answer written.
    std::function<bool(const std::string& url, const std::filesystem::path& file)> fetchManifest;
    // The installed version shown after the title ("" when unknown).
    std::function<std::string()> installedVersion;
    // The first network adapter's address as "%02X-..." ("" when none).
    std::function<std::string()> firstAdapterMac;
    // Whether the bandwidth hint is suppressed for a user, and storing the
    // user's wish to suppress it.
    std::function<bool(const std::string& userId)> hintSuppressed;
    std::function<void(const std::string& userId)> suppressHint;
    // Whether the user keeps a history; the history file of a user.
    std::function<bool(const std::string& userId)> historySaving;
    std::function<std::string(const std::string& userId)> historyFile;
    // The /metrics endpoint for Prometheus: is it serving, and switching it
    // (the switch is saved in conf/config.properties); true when it is as
    // asked afterwards. Empty: the program has no endpoint.
    std::function<bool()> metricsEndpointOn;
    std::function<bool(bool on)> setMetricsEndpoint;
    // Is there a notification area to put the tray icon in?
    std::function<bool()> trayAvailable;
    // The bandwidth page's engine and results path (empty members: the real
    // ones).
    NetworkSpeedServices bandwidth;
    // The same for the file download page.
    FileDownloadServices download;
    // The web page test's page (empty members: the real ones).
    WebpageServices webpage;
    // The video pages (empty members: the real ones).
    VideoServices video;
    // Whether the machine is fit to measure, asked before every automatic
    // round; without it automatic testing cannot start.
    std::shared_ptr<EnvironmentChecks> environment;
    // The clock of the automatic rounds' waits; null: the system clock.
    std::shared_ptr<Clock> autoClock;

    LoginService loginService() const { return LoginService(http, *session, *database); }
};

} // namespace quorvane
