#include "common/folder_check.h"

#include "common/durable_file.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quorvane
{
namespace
{

// Empty when a byte can be written and flushed in `dir`.
std::string probe(const std::filesystem::path& dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec))
        return ec ? ec.message() : "not a folder";
    // A save's temporary file: a crash in between leaves nothing that the
    // next start does not sweep.
    PendingFile file(dir / ".write-check");
    if (!file.isOpen())
        return std::strerror(errno);
    // A file system with delayed allocation only says "full" when flushing.
    if (!file.append("x") || injectedWriteFault() != 0 || ::fsync(file.fd()) != 0)
        return std::strerror(errno);
    file.discard();
    // A few free blocks still take the probe but not a record.
    struct statvfs fs {
    };
    if (::statvfs(dir.c_str(), &fs) == 0 && fs.f_bavail == 0)
        return std::strerror(ENOSPC);
    return {};
}

} // namespace

std::vector<FolderProblem> checkWritableFolders(const std::filesystem::path& programDirectory)
{
    std::vector<FolderProblem> problems;
    for (const char* folder : {".", "Data", "Data2", "conf"}) {
        const std::filesystem::path dir =
            std::string_view(folder) == "." ? programDirectory : programDirectory / folder;
        if (std::string why = probe(dir.empty() ? std::filesystem::path(".") : dir); !why.empty())
            problems.push_back({folder, std::move(why)});
    }
    return problems;
}

std::string folderProblemsText(const std::vector<FolderProblem>& problems)
{
    if (problems.empty())
        return {};
    std::string text = "以下文件夹无法写入，测速结果、日志或设置可能无法保存：";
    for (const auto& p : problems)
        text += "\n" + std::string(p.folder == "." ? "程序文件夹" : p.folder) + "：" + p.reason;
    return text;
}

} // namespace quorvane
