#pragma once
// The program's real services for the shell: the service's HTTP client, the
// browser, the processes of the installation, the registry store, the
// adapters, the configuration readers and the desktop's tray.
#include "app/shell_context.h"

#include <filesystem>

namespace quorvane
{

ShellContext programContext(const std::filesystem::path& programDirectory, SessionStore& session, CDataBase& database,
                            ShellDialogs& dialogs);

} // namespace quorvane
