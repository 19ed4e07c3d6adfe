#include "results/figures.h"

#include "common/durable_file.h"
#include "common/text.h"

#include <cmath>
#include <mutex>
#include <sstream>

namespace quorvane
{

namespace
{

// One writer at a time inside the process: the window thread saves results
// while round and upload threads count.
std::mutex& figuresMutex()
{
    static std::mutex m;
    return m;
}

std::string numberText(double value)
{
    std::ostringstream s;
    s.precision(17);
    s << value;
    return s.str();
}

} // namespace

namespace
{

bool ensureDir(const std::filesystem::path& installDir)
{
    std::error_code ec;
    std::filesystem::create_directories(figuresDir(installDir), ec);
    return !ec;
}

bool writeLines(const std::filesystem::path& file, const std::vector<std::pair<std::string, std::string>>& values)
{
    std::string text;
    for (const auto& [name, value] : values)
        text += oneLine(name) + "=" + oneLine(value) + "\n";
    return writeFileDurably(file, text);
}

template <typename Change>
bool changeCounters(const std::filesystem::path& installDir, const std::string& name, Change change)
{
    std::lock_guard lock(figuresMutex());
    if (!ensureDir(installDir))
        return false;
    const std::filesystem::path file = countersFile(installDir);
    FigureLines lines = readFigureLines(file);
    auto it = lines.values.begin();
    while (it != lines.values.end() && it->first != name)
        ++it;
    if (it == lines.values.end())
        it = lines.values.insert(it, {name, "0"});
    double old = 0;
    try {
        old = std::stod(it->second);
    } catch (const std::exception&) {
        old = 0; // a damaged value starts again rather than stop counting
    }
    if (!std::isfinite(old))
        old = 0;
    it->second = numberText(change(old));
    return writeLines(file, lines.values);
}

} // namespace

std::filesystem::path figuresDir(const std::filesystem::path& installDir)
{
    return installDir / "Metrics";
}

const char* figureKindName(RecordKind kind)
{
    switch (kind) {
    case RecordKind::Band:
        return "band";
    case RecordKind::FileDown:
        return "filedown";
    case RecordKind::Screen:
        return "screen";
    case RecordKind::VideoSpeed:
        return "videospeed";
    case RecordKind::Error:
        break;
    }
    return "";
}

std::filesystem::path latestFiguresFile(const std::filesystem::path& installDir, RecordKind kind)
{
    return figuresDir(installDir) / (std::string("latest-") + figureKindName(kind) + ".txt");
}

std::filesystem::path countersFile(const std::filesystem::path& installDir)
{
    return figuresDir(installDir) / "counters.txt";
}

bool saveLatestFigures(const std::filesystem::path& installDir, const TestRecord& record, const RecordTime& time,
                       bool automatic)
{
    if (*figureKindName(record.kind) == '\0')
        return false;
    std::vector<std::pair<std::string, std::string>> values = {{"time", std::to_string(localEpochSeconds(time))},
                                                               {"name", record.historyName},
                                                               {"automatic", automatic ? "1" : "0"}};
    for (const auto* part : {&record.fields, &record.tail, &record.figures}) {
        for (const RecordField& f : *part)
            values.emplace_back(f.name, f.value);
    }
    std::lock_guard lock(figuresMutex());
    return ensureDir(installDir) && writeLines(latestFiguresFile(installDir, record.kind), values);
}

bool addToCounter(const std::filesystem::path& installDir, const std::string& name, double by)
{
    return changeCounters(installDir, name, [by](double old) { return old + by; });
}

bool setCounterValue(const std::filesystem::path& installDir, const std::string& name, double value)
{
    return changeCounters(installDir, name, [value](double) { return value; });
}

FigureLines readFigureLines(const std::filesystem::path& file)
{
    FigureLines out;
    const auto text = readWholeFile(file);
    if (!text)
        return out;
    out.present = true;
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) {
            ++out.skipped;
            continue;
        }
        out.values.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return out;
}

std::optional<std::string> FigureLines::get(const std::string& name) const
{
    for (const auto& [n, v] : values) {
        if (n == name)
            return v;
    }
    return std::nullopt;
}

} // namespace quorvane
