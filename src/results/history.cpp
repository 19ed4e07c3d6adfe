#include "results/history.h"

#include "common/codepage.h"
#include "common/durable_file.h"
#include "config/readers.h"

#include <system_error>

namespace quorvane
{

namespace
{

constexpr std::size_t kShortLineBytes = 20;

// The lines of a file's text without their ends; a last line without an end
// counts too.
std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        // Files carried over from a CR LF platform read the same.
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// Cuts `text` at every `separator`; what follows the last one is dropped.
std::vector<std::string> cutTerminated(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t pos = text.find(separator); pos != std::string::npos; pos = text.find(separator, start)) {
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    return parts;
}

} // namespace

std::string HistoryNameField(const std::string& name)
{
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        if (c == ';')
            out += "\xEF\xBC\x9B"; // U+FF1B
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            out += ' ';
        else
            out += c;
    }
    return out;
}

std::filesystem::path historyFilePath(const std::filesystem::path& installDir, const std::string& userId)
{
    // The user id comes from the service: it must stay one file name.
    return installDir / "HistoryRecord" / ("HistoryRecord" + userFileSuffix(userId) + ".txt");
}

bool AppendHistoryLine(const std::filesystem::path& path, const std::string& line)
{
    const std::string text = readWholeFile(path).value_or("");
    std::vector<std::string> lines = splitLines(text);
    // A crash in the middle of an append can leave a line without its end;
    // joined with the next line it would spoil that entry too, so it goes.
    const bool torn = !text.empty() && text.back() != '\n';
    if (torn)
        lines.pop_back();
    if (!torn && lines.size() + 1 <= kHistoryMaxLines)
        return appendFileDurably(path, line + '\n');

    if (lines.size() + 1 > kHistoryMaxLines)
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(lines.size() + 1 - kHistoryMaxLines));
    lines.push_back(line);
    std::string rewritten;
    for (const auto& l : lines)
        rewritten += l + '\n';
    return writeFileDurably(path, rewritten);
}

std::vector<std::vector<std::string>> ReadHistoryFile(const std::filesystem::path& path)
{
    std::vector<std::vector<std::string>> entries;
    const auto text = readWholeFile(path);
    if (!text)
        return entries;

    std::string joined;
    for (const auto& line : splitLines(*text)) {
        if (line.size() > kShortLineBytes)
            joined += line;
    }
    joined = sanitizeUtf8(joined);
    for (const auto& entry : cutTerminated(joined, ';'))
        entries.push_back(cutTerminated(entry + ",", ','));
    return entries;
}

} // namespace quorvane
