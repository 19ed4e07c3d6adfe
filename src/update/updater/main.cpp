// Update: the silent background updater. "update" checks for a new release
// five minutes after the start and then every hour; "logoff" restarts the
// main program for a log-off; anything else ends at once.
#include "common/clock.h"
#include "common/log_file.h"
#include "common/number_locale.h"
#include "platform/executable.h"
#include "platform/processes.h"
#include "platform/registry_store.h"
#include "ui/timer_service.h"
#include "update/install.h"
#include "update/update_cycle.h"
#include "update/updater/end_tip_dlg.h"

#include <QApplication>

#include <filesystem>

int main(int argc, char** argv)
{
    using namespace quorvane;
    const auto command = update::parseUpdateCommand(argc, argv);
    if (command == update::UpdateCommand::None)
        return 0;

    QApplication app(argc, argv);
    pinNumericLocale();
    QApplication::setApplicationName(QStringLiteral("Update"));
    QApplication::setQuitOnLastWindowClosed(false);

    // The updater replaces files beside itself, whatever folder it was
    // started from; the installation's relative paths mean that folder too.
    std::filesystem::path dir = platform::currentExecutableDirectory();
    if (dir.empty())
        dir = std::filesystem::current_path();
    std::error_code ec;
    std::filesystem::current_path(dir, ec);
    // An install that a crash or a kill cut short is finished or undone
    // before anything else looks at the folder.
    update::recoverInterruptedInstall(dir);

    platform::IniRegistryStore registry(platform::IniRegistryStore::defaultPath());
    platform::LinuxProcessControl processes;
    CLogFile log;
    log.open("update.txt", true, CLogFile::kDefaultMaxSize);

    update::UpdateServices services;
    services.programDir = dir;
    services.processes = &processes;
    services.registry = &registry;
    services.clock = systemClock();
    services.log = [&log](const std::string& line) { log.writeLine(line); };
    services.showEndTip = [] {
        ui::QtTimerService timers;
        update::CEndTipDlg tip(timers);
        tip.exec();
    };

    if (command == update::UpdateCommand::Logoff) {
        update::runLogoff(services);
        return 0;
    }
    update::runUpdateLoop(services, [] { return true; });
    return 0;
}
