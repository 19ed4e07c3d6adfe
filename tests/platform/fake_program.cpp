// A stand-in program for process tests. It appends "<pid> <args...>" to
// fake_program.log in its working directory, then ends after "exit=<code>"
// at once, or after "sleep=<ms>" (60 s by default), so a test that fails to
// kill it does not leave it behind for long.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv)
{
    std::string line = std::to_string(::getpid());
    for (int i = 1; i < argc; ++i)
        line += std::string(" ") + argv[i];
    if (std::FILE* log = std::fopen("fake_program.log", "a")) {
        std::fprintf(log, "%s\n", line.c_str());
        std::fclose(log);
    }
    // Tells a waiting test that the log line is written.
    std::printf("started %d\n", static_cast<int>(::getpid()));
    std::fflush(stdout);
    long sleepMs = 60000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("exit=", 0) == 0)
            return std::atoi(arg.c_str() + 5);
        if (arg.rfind("sleep=", 0) == 0)
            sleepMs = std::atol(arg.c_str() + 6);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    return 0;
}
