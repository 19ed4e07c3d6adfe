#include "results/result_log.h"

#include "common/log_file.h"

namespace quorvane
{

ResultLog fileResultLog(const std::filesystem::path& logFile)
{
    const std::string path = std::filesystem::absolute(logFile).string();
    return [path](const std::string& message) { CLogFile::append(path, message); };
}

} // namespace quorvane
