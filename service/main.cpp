// quorvane-refsvc: the reference measurement service on loopback.
#include "common/number_locale.h"
#include "options.h"
#include "service.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

std::string programDirectory()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

int main(int argc, char** argv)
{
    quorvane::pinNumericLocale();
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto parsed = refsvc::parseOptions(args);
    if (!parsed.error.empty()) {
        std::cerr << "quorvane-refsvc: " << parsed.error << "\nTry \"quorvane-refsvc --help\".\n";
        return 2;
    }
    if (parsed.showHelp) {
        std::cout << refsvc::helpText("quorvane-refsvc");
        return 0;
    }
    auto& options = parsed.options;
    if (options.dataDir.empty())
        options.dataDir = programDirectory() + "/refsvc";

    // A client that goes away mid-answer must cost one connection, not the
    // process.
    signal(SIGPIPE, SIG_IGN);
    // Termination signals are taken by one thread with sigwait, so every
    // other thread (the library's workers included) runs with them blocked.
    // SIGUSR2 is the main thread's own call to that thread to end.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    refsvc::Service service(options);
    if (auto error = service.load(); !error.empty()) {
        std::cerr << "quorvane-refsvc: " << error << "\n";
        return 2;
    }
    if (auto error = service.bind(); !error.empty()) {
        std::cerr << "quorvane-refsvc: " << error << "\n";
        return 1;
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false;
    std::thread signalThread([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) != 0 || sig == SIGUSR2)
                return;
            std::unique_lock lock(mutex);
            if (stopRequested) {
                // A second signal while stopping: the user wants out now.
                static const char msg[] = "quorvane-refsvc: stopping at once\n";
                [[maybe_unused]] auto ignored = write(STDERR_FILENO, msg, sizeof msg - 1);
                _exit(1);
            }
            stopRequested = true;
            wake.notify_all();
        }
    });
    auto endSignalThread = [&] {
        pthread_kill(signalThread.native_handle(), SIGUSR2);
        signalThread.join();
    };

    if (auto error = service.start(); !error.empty()) {
        std::cerr << "quorvane-refsvc: " << error << "\n";
        service.stop();
        service.join();
        endSignalThread();
        return 1;
    }
    std::cout << service.readyLine() << std::endl;

    {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return stopRequested; });
    }
    if (!options.quiet)
        std::cerr << "quorvane-refsvc: stopping\n";
    service.stop();
    service.join();
    endSignalThread();
    if (!options.quiet)
        std::cerr << "quorvane-refsvc: stopped\n";
    return 0;
}
