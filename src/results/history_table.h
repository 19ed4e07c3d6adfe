#pragma once
// The user's history as a table of five columns, and the forms it leaves
// the program in: the rows the history page and `quorvane-cli history` show,
// the search over them, the headline numbers the chart plots, and the CSV and
// JSON texts of the shown rows. No window and no file here: both front ends
// read the file with ReadHistoryFile and pass the entries in.
//
// Thread-safety: pure functions.
#include <array>
#include <optional>
#include <string>
#include <vector>

namespace quorvane
{

// Column titles, in order: time, mode, test kind, name, indicator.
inline constexpr std::array<const char*, 5> kHistoryColumnTitles = {"测速时间", "类型", "测速类型", "名称", "指标"};

struct HistoryRow {
    std::array<std::string, 5> cells;
    int cellCount = 0; // cells the entry had (a malformed entry has fewer than five)
};

// One row per entry, in file order. An entry of five or fewer fields fills
// the cells it has. An entry of more fields came from a name holding ","
// (a page address, a server name): the first three fields and the last one
// keep their columns and the fields between them are joined back into the
// name, so the time, kind and result never shift out of their columns.
std::vector<HistoryRow> historyRows(const std::vector<std::vector<std::string>>& entries);

// The rows (in the given order) of which any cell contains `text` as a
// case-sensitive substring, each once. An empty text keeps every row.
std::vector<HistoryRow> filterHistory(const std::vector<HistoryRow>& rows, const std::string& text);

// What the chart plots: the headline number of a row and the series it
// belongs to. Rows without a number (a rejected round, a malformed entry)
// have none.
enum class HistorySeries { Bandwidth = 0, FileDownload = 1, WebPage = 2, Video = 3 };
inline constexpr std::array<const char*, 4> kHistorySeriesNames = {"带宽测速", "文件下载", "网页性能", "视频测速"};
inline constexpr std::array<const char*, 4> kHistorySeriesUnits = {"Mb/s", "KB/s", "s", "KB/s"};

struct HistoryPoint {
    HistorySeries series;
    long long time; // the row's time stamp as seconds since 1970, read as if it were UTC
    double value;   // in the series' unit
};
std::optional<HistoryPoint> historyPoint(const HistoryRow& row);

// Seconds since 1970 of "YYYY-MM-DD HH:MM:SS" taken as UTC; nothing for any
// other text.
std::optional<long long> parseHistoryTime(const std::string& text);

// The rows as CSV (RFC 4180): a UTF-8 byte-order mark, so that spreadsheet
// programs read the Chinese right, the title line, one line per row, CR LF
// after every line. Fields holding a comma, a quote, CR or LF are quoted,
// quotes doubled. A field that begins with "=", "+", "-", "@", a tab or CR
// gets a leading "'", so that no spreadsheet runs it as a formula.
std::string historyCsv(const std::vector<HistoryRow>& rows);

// The rows as a JSON array of objects with the keys "time", "mode", "test",
// "name" and "value" (missing cells are empty strings), one object a line.
// With a contracted bandwidth (Mbit/s), bandwidth rows also have "share": the
// whole percent of the contract they reached, null when their value is no
// figure.
std::string historyJson(const std::vector<HistoryRow>& rows, std::optional<double> contractMbit = std::nullopt);

// The rows as plain text for a terminal: the title line, then one line per
// row with the cells separated by two blanks; control characters become "?".
std::string historyText(const std::vector<HistoryRow>& rows);

// Newest first: the order both front ends show.
std::vector<HistoryRow> newestFirst(std::vector<HistoryRow> rows);

} // namespace quorvane
