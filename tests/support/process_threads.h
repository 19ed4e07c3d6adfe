#pragma once
// The number of threads this process runs. Starting a thread is synchronous
// (the thread exists when the start call returns), so comparing the count
// around a call tells at once whether the call started a worker, without
// waiting to see whether something happens later.
#include <fstream>
#include <string>

namespace quorvane::testing
{

inline int processThreads()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

} // namespace quorvane::testing
