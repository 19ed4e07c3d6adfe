#pragma once
// The seam between start-up and the main window. Start-up builds the window
// through createMainWindow(), hands it the activations that later starts of
// the program send, and runs it until it ends. Only main_window_factory.cpp
// names the concrete window class.
#include "app/shell/shell_messages.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quorvane
{

// The main window's tray notification message and what a second start posts
// with it: a left double-click on tray icon 128.
using msg::kTrayIconId;
using msg::WM_TRAY_NOTIFY;
inline constexpr int WM_LBUTTONDBLCLK = 515;

struct StartupContext {
    std::filesystem::path programDirectory; // also the working directory
    std::string instanceName;
    std::vector<std::string> arguments; // command-line arguments after the program name
};

// Called on the GUI thread only.
class MainWindowHost
{
public:
    virtual ~MainWindowHost() = default;

    // Whether the window is on screen; false while it lives in the tray.
    // A minimised window counts as shown.
    virtual bool isWindowShown() const = 0;

    // A tray notification, exactly as if the tray icon had sent it
    // (wParam: icon id, lParam: mouse message). Must not block: it is called
    // from a posted event, and may open modal windows only by posting again
    // or through its own event loop.
    virtual void onTrayNotify(long long wParam, long long lParam) = 0;

    // Restores a minimised window, raises and activates it, then raises its
    // last active pop-up (a login window, say). Does nothing while hidden.
    virtual void bringToFront() = 0;

    // Shows whatever the window shows at start and runs it until it ends;
    // returns when the window has closed.
    virtual int exec() = 0;
};

// Builds the main window; the program's QApplication exists already.
std::unique_ptr<MainWindowHost> createMainWindow(const StartupContext& context);

} // namespace quorvane
