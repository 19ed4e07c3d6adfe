#pragma once
// The program's real services for the shell: the service's HTTP client, the
// browser, the processes of the installation, the registry store, the
// adapters, the configuration readers and the desktop's tray.
#include "app/pages/shell_context.h"

#include <filesystem>

namespace quorvane
{

ShellContext programContext(const std::filesystem::path& programDirectory, SessionStore& session, CDataBase& database,
                            ShellDialogs& dialogs);

// The settings page's services: start with the desktop session (the XDG
// autostart entry of the running executable), the interactive updater, the
// update manifest's fetch. Needs c.startHidden set.
void addPageServices(ShellContext& c);

// The /metrics endpoint: started now when conf/config.properties switches
// it on, switched by the settings page.
void addMetricsEndpoint(ShellContext& c, const std::filesystem::path& programDirectory);

} // namespace quorvane
