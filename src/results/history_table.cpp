#include "results/history_table.h"

#include "results/contract_share.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quorvane
{
namespace
{

// The leading decimal number of a value ("94.3Mb/s", "812.5 KB/s", "2.31 s")
// when what follows it is the expected unit.
std::optional<double> numberWithUnit(const std::string& value, const char* unit)
{
    const std::string u(unit);
    if (value.size() <= u.size() || value.compare(value.size() - u.size(), u.size(), u) != 0)
        return std::nullopt;
    std::string number = value.substr(0, value.size() - u.size());
    while (!number.empty() && number.back() == ' ')
        number.pop_back();
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(number.begin(), number.end(), '.') > 1 || number == ".")
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(number.c_str(), &end);
    if (errno != 0 || end != number.c_str() + number.size())
        return std::nullopt;
    return v;
}

std::string csvField(std::string field)
{
    // A spreadsheet program takes a cell that begins like this for a formula
    // and runs it; names and addresses come from outside. A leading quote
    // makes it text.
    if (!field.empty() && std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos)
        field.insert(0, 1, '\'');
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string out = "\"";
    for (char c : field) {
        if (c == '"')
            out.push_back('"');
        out.push_back(c);
    }
    return out + "\"";
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}

// A terminal must not take a name from the service for a control sequence.
std::string printable(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return text;
}

} // namespace

std::vector<HistoryRow> historyRows(const std::vector<std::vector<std::string>>& entries)
{
    std::vector<HistoryRow> rows;
    rows.reserve(entries.size());
    for (const auto& fields : entries) {
        HistoryRow row;
        if (fields.size() <= 5) {
            std::copy(fields.begin(), fields.end(), row.cells.begin());
            row.cellCount = static_cast<int>(fields.size());
        } else {
            std::copy(fields.begin(), fields.begin() + 3, row.cells.begin());
            std::string name = fields[3];
            for (std::size_t i = 4; i + 1 < fields.size(); ++i) {
                name += ',';
                name += fields[i];
            }
            row.cells[3] = std::move(name);
            row.cells[4] = fields.back();
            row.cellCount = 5;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<HistoryRow> filterHistory(const std::vector<HistoryRow>& rows, const std::string& text)
{
    if (text.empty())
        return rows;
    std::vector<HistoryRow> out;
    for (const HistoryRow& row : rows) {
        // UTF-8 is self-synchronising: a byte-wise find only ever matches on
        // character boundaries, so this is the character-wise search.
        if (std::any_of(row.cells.begin(), row.cells.end(),
                        [&](const std::string& cell) { return cell.find(text) != std::string::npos; }))
            out.push_back(row);
    }
    return out;
}

std::optional<long long> parseHistoryTime(const std::string& text)
{
    int y, mo, d, h, mi, s;
    char tail;
    if (text.size() != 19 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
        return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || y < 1970)
        return std::nullopt;
    // Days from the civil date (proleptic Gregorian), so no time zone and no
    // library state take part.
    const int yy = y - (mo <= 2 ? 1 : 0);
    const int era = yy / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = static_cast<long long>(era) * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60 + s;
}

std::optional<HistoryPoint> historyPoint(const HistoryRow& row)
{
    if (row.cellCount < 5)
        return std::nullopt;
    const auto time = parseHistoryTime(row.cells[0]);
    if (!time)
        return std::nullopt;
    struct Kind {
        HistorySeries series;
        const char* unit;
    };
    const std::string& test = row.cells[2];
    std::optional<Kind> kind;
    if (test == "带宽测速")
        kind = Kind{HistorySeries::Bandwidth, "Mb/s"};
    else if (test == "文件下载")
        kind = Kind{HistorySeries::FileDownload, "KB/s"};
    else if (test == "网页性能")
        kind = Kind{HistorySeries::WebPage, "s"};
    else if (test == "视频测速")
        kind = Kind{HistorySeries::Video, "KB/s"};
    if (!kind)
        return std::nullopt;
    const auto value = numberWithUnit(row.cells[4], kind->unit);
    if (!value)
        return std::nullopt;
    return HistoryPoint{kind->series, *time, *value};
}

std::string historyCsv(const std::vector<HistoryRow>& rows)
{
    std::string out = "\xEF\xBB\xBF";
    for (std::size_t i = 0; i < kHistoryColumnTitles.size(); ++i) {
        out += i ? "," : "";
        out += kHistoryColumnTitles[i];
    }
    out += "\r\n";
    for (const HistoryRow& row : rows) {
        for (std::size_t i = 0; i < row.cells.size(); ++i) {
            out += i ? "," : "";
            out += csvField(row.cells[i]);
        }
        out += "\r\n";
    }
    return out;
}

std::string historyJson(const std::vector<HistoryRow>& rows, std::optional<double> contractMbit)
{
    static const char* const keys[] = {"time", "mode", "test", "name", "value"};
    std::string out = "[";
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out += r ? ",\n  {" : "\n  {";
        for (std::size_t i = 0; i < 5; ++i) {
            out += i ? ", " : "";
            out += jsonString(keys[i]) + ": " + jsonString(rows[r].cells[i]);
        }
        if (contractMbit && rows[r].cells[2] == "带宽测速") {
            const auto point = historyPoint(rows[r]);
            out += ", \"share\": ";
            out += point ? std::to_string(ContractSharePercent(point->value, *contractMbit)) : "null";
        }
        out += "}";
    }
    out += rows.empty() ? "]\n" : "\n]\n";
    return out;
}

std::string historyText(const std::vector<HistoryRow>& rows)
{
    std::string out;
    for (std::size_t i = 0; i < kHistoryColumnTitles.size(); ++i) {
        out += i ? "  " : "";
        out += kHistoryColumnTitles[i];
    }
    out += "\n";
    for (const HistoryRow& row : rows) {
        for (int i = 0; i < row.cellCount; ++i) {
            out += i ? "  " : "";
            out += printable(row.cells[static_cast<std::size_t>(i)]);
        }
        out += "\n";
    }
    return out;
}

std::vector<HistoryRow> newestFirst(std::vector<HistoryRow> rows)
{
    std::reverse(rows.begin(), rows.end());
    return rows;
}

} // namespace quorvane
