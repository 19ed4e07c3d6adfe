// Velomark: the interactive updater that the settings page starts.
#include "common/number_locale.h"
#include "platform/executable.h"
#include "update/install.h"
#include "update/velomark/velomark_services.h"
#include "update/velomark/velomark_wnd.h"

#include <QApplication>

#include <filesystem>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    quorvane::pinNumericLocale();
    QApplication::setApplicationName(QStringLiteral("Velomark"));

    // Velomark replaces files beside itself, whatever folder it was started
    // from; the relative paths of the installation mean that folder too.
    std::filesystem::path dir = quorvane::platform::currentExecutableDirectory();
    if (dir.empty())
        dir = std::filesystem::current_path();
    std::error_code ec;
    std::filesystem::current_path(dir, ec);
    // An install that a crash or a kill cut short is finished or undone
    // before anything new is decided from the folder.
    quorvane::update::recoverInterruptedInstall(dir);

    quorvane::platform::IniRegistryStore registry(quorvane::platform::IniRegistryStore::defaultPath());
    quorvane::platform::LinuxProcessControl processes;
    quorvane::velomark::CVelomarkWnd window(dir, quorvane::velomark::realServices(dir, registry, processes));
    window.show();
    window.centre();
    window.flow().start();
    window.exec();
    return 0;
}
