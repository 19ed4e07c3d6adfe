#pragma once
// The user's history file: one line per finished measurement,
// "<time>,<mode>,<test>,<name>,<value>;", read back by the history view.
// UTF-8 text with LF line ends.
//
// Thread-safety: the functions keep no state; the window thread is the only
// writer of a history file.
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace quorvane
{

inline constexpr std::size_t kHistoryMaxLines = 100;

// "HistoryRecord/HistoryRecord<userId>.txt" under `installDir`, the id
// escaped as every per-user file name is (userFileSuffix).
std::filesystem::path historyFilePath(const std::filesystem::path& installDir, const std::string& userId);

// Appends `line` and a line end. A file that would grow past 100 lines loses
// its oldest lines so that it holds the newest 100. Returns true when the
// line was written. The file is created when missing; its directory is not.
// Every write is flushed to the disk; a rewrite goes through a temporary
// file, so a crash keeps the old history. A last line that a crash left
// without its end is dropped by the next append.
bool AppendHistoryLine(const std::filesystem::path& path, const std::string& line);

// `name` as the name field of a history line. A ";" would end the entry in
// the middle and a line break would split the line, so the one becomes the
// full-width "；" and line breaks and other control characters become
// blanks. A "," stays: the table joins the fields around the name back
// (historyRows).
std::string HistoryNameField(const std::string& name);

// The entries of a history file in file order, each a list of fields. Lines
// of 20 bytes or less are skipped; the rest are joined, cut at ";" into
// entries (text after the last ";" is dropped) and each entry at "," into
// fields. No file: no entries.
std::vector<std::vector<std::string>> ReadHistoryFile(const std::filesystem::path& path);

} // namespace quorvane
