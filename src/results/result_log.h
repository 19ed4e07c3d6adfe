#pragma once
// Where the results path reports what went wrong: records that could not be
// written or packed, uploads that stopped, host keys that changed.
#include <filesystem>
#include <functional>
#include <string>

namespace quorvane
{

// Receives one log message (without time stamp or line end). May be called
// from upload threads as well as the window thread.
using ResultLog = std::function<void(const std::string& message)>;

// Appends each message as a line of `logFile` (logfile.txt of the
// installation), through CLogFile.
ResultLog fileResultLog(const std::filesystem::path& logFile);

} // namespace quorvane
