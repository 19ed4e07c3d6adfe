#pragma once
// What a program started from a folder would find there: every file below
// it with its bytes and permission bits, every link with its target.
#include "support/temp_dir.h"

#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace quorvane::test
{

// Path relative to the root ('/' between folders) -> "BYTES mode N" for a
// file (N the permission bits in decimal), "link:TARGET" for a link, which
// is not followed.
using TreeSnapshot = std::map<std::string, std::string>;

inline std::string fileEntry(const std::string& bytes, std::filesystem::perms mode)
{
    return bytes + " mode " + std::to_string(static_cast<int>(mode & std::filesystem::perms::mask));
}

// `ignored`: relative paths left out (a lock file the program keeps).
inline TreeSnapshot snapshotTree(const std::filesystem::path& root, const std::set<std::string>& ignored = {})
{
    namespace fs = std::filesystem;
    TreeSnapshot tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().lexically_relative(root).generic_string();
        if (ignored.contains(rel))
            continue;
        if (it->is_symlink())
            tree[rel] = "link:" + fs::read_symlink(it->path()).string();
        else if (it->is_regular_file())
            tree[rel] = fileEntry(readFile(it->path()), fs::symlink_status(it->path()).permissions());
    }
    return tree;
}

} // namespace quorvane::test
