// Runs the installer (or its recovery) in a process of its own and kills
// itself with SIGKILL just before the given step, so a test can look at
// what an installer dying at that moment leaves behind.
//
//   qv_install_probe <program folder> <kill step> install <source> <target> ...
//   qv_install_probe <program folder> <kill step> recover
#include "update/install.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    using namespace quorvane::update;
    if (argc < 4)
        return 2;
    const std::filesystem::path dir = argv[1];
    const int killAt = std::atoi(argv[2]);
    const std::string mode = argv[3];
    InstallOptions options;
    options.stepHook = [killAt](int step) {
        if (step == killAt)
            std::raise(SIGKILL);
        return true;
    };
    if (mode == "recover")
        return recoverInterruptedInstall(dir, options) == RecoveryResult::Failed ? 1 : 0;
    std::vector<InstallFile> files;
    for (int i = 4; i + 1 < argc; i += 2)
        files.push_back({argv[i], argv[i + 1]});
    return installFiles(dir, files, options).ok() ? 0 : 1;
}
