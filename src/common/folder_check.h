#pragma once
// Whether the program can write where it must, asked once at start-up so the
// user hears of a read-only mount or a full disk at once rather than one lost
// write at a time.
#include <filesystem>
#include <string>
#include <vector>

namespace quorvane
{

struct FolderProblem {
    std::string folder; // as the user knows it: "." (the program folder), "Data", "Data2", "conf"
    std::string reason; // the system's words: "Read-only file system", "No space left on device", ...
};

// Tries a small write, flushed to the disk, in the program folder, Data,
// Data2 and conf under `programDirectory` (Data and Data2 are created when
// missing) and leaves nothing behind. One entry per folder that failed.
std::vector<FolderProblem> checkWritableFolders(const std::filesystem::path& programDirectory);

// One message for the user naming every folder and its reason; empty when
// there is no problem.
std::string folderProblemsText(const std::vector<FolderProblem>& problems);

} // namespace quorvane
