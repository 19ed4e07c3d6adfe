#pragma once
// File steps that survive a crash or a power cut: whatever moment the
// machine stops, a file is either absent or whole, never torn.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane
{

// Writes `bytes` to `path` (created or truncated) and flushes them to the
// disk. False on any failure; a partial file may then remain at `path`.
bool writeFileSynced(const std::filesystem::path& path, std::string_view bytes);

// Flushes a file that is already written (contents and size) to the disk.
bool syncFile(const std::filesystem::path& path);

// Flushes a directory's entries (names created, renamed or removed).
bool syncDirectory(const std::filesystem::path& dir);

// Renames `from` to `to` unless `to` exists. False when `to` exists or the
// rename failed; `from` is then still there.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

} // namespace quorvane
