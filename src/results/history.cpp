#include "results/history.h"

#include "common/codepage.h"
#include "config/readers.h"

#include <fstream>
#include <system_error>

namespace quorvane
{

namespace
{

constexpr std::size_t kShortLineBytes = 20;

std::vector<std::string> readLines(const std::filesystem::path& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        // Files carried over from a CR LF platform read the same.
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
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

std::filesystem::path historyFilePath(const std::filesystem::path& installDir, const std::string& userId)
{
    // The user id comes from the service: it must stay one file name.
    return installDir / "HistoryRecord" / ("HistoryRecord" + userFileSuffix(userId) + ".txt");
}

bool AppendHistoryLine(const std::filesystem::path& path, const std::string& line)
{
    std::vector<std::string> lines = readLines(path);
    if (lines.size() + 1 <= kHistoryMaxLines) {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        if (!out)
            return false;
        out << line << '\n';
        out.flush();
        return static_cast<bool>(out);
    }

    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(lines.size() + 1 - kHistoryMaxLines));
    lines.push_back(line);
    std::filesystem::path temp = path;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        for (const auto& l : lines)
            out << l << '\n';
        out.flush();
        if (!out) {
            out.close();
            std::error_code ec;
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

std::vector<std::vector<std::string>> ReadHistoryFile(const std::filesystem::path& path)
{
    std::vector<std::vector<std::string>> entries;
    std::ifstream probe(path, std::ios::binary);
    if (!probe)
        return entries;
    probe.close();

    std::string joined;
    for (const auto& line : readLines(path)) {
        if (line.size() > kShortLineBytes)
            joined += line;
    }
    joined = sanitizeUtf8(joined);
    for (const auto& entry : cutTerminated(joined, ';'))
        entries.push_back(cutTerminated(entry + ",", ','));
    return entries;
}

} // namespace quorvane
