#include "common/durable_file.h"
#include "common/folder_check.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

using namespace quorvane;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

TEST(FolderCheck, NamesEveryFolderThatCannotBeWrittenAndWhy)
{
    // Each folder's probe takes three write steps: create, write, flush.
    struct Case {
        const char* what;
        int error;
        int after;
        int times;
        const char* fileInTheWay;
        std::map<std::string, std::string> expected;
    } cases[] = {
        {"all can be written", 0, 0, 0, nullptr, {}},
        {"a read-only mount",
         EROFS,
         0,
         -1,
         nullptr,
         {{".", "Read-only file system"},
          {"Data", "Read-only file system"},
          {"Data2", "Read-only file system"},
          {"conf", "Read-only file system"}}},
        {"Data full when flushing", ENOSPC, 5, 1, nullptr, {{"Data", "No space left on device"}}},
        {"conf belongs to another user", EACCES, 9, 1, nullptr, {{"conf", "Permission denied"}}},
        {"a file named Data2", 0, 0, 0, "Data2", {{"Data2", "not a folder"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.fileInTheWay)
            writeFile(dir / c.fileInTheWay, "x");
        std::vector<FolderProblem> problems;
        {
            std::optional<ScopedWriteFault> fault;
            if (c.error)
                fault.emplace(c.error, c.after, c.times);
            problems = checkWritableFolders(dir.path());
        }
        std::map<std::string, std::string> found;
        for (const auto& p : problems)
            found[p.folder] = p.reason;
        EXPECT_EQ(found, c.expected);
        const std::string text = folderProblemsText(problems);
        EXPECT_EQ(text.empty(), c.expected.empty());
        for (const auto& [folder, reason] : c.expected)
            EXPECT_NE(text.find(reason), std::string::npos) << text;
        // The probes leave nothing behind.
        for (const char* folder : {"Data", "Data2", "conf"}) {
            const bool empty = !std::filesystem::is_directory(dir / folder) || std::filesystem::is_empty(dir / folder);
            EXPECT_TRUE(empty) << folder;
        }
    }
}
