// The one place that names the main window's class.
#include "app/main_window_host.h"
#include "app/placeholder_main_window.h"

namespace quorvane
{

std::unique_ptr<MainWindowHost> createMainWindow(const StartupContext& context)
{
    return std::make_unique<PlaceholderMainWindow>(context);
}

} // namespace quorvane
