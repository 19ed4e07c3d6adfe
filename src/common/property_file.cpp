#include "common/property_file.h"

#include "common/log_file.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace quorvane {
namespace {

std::mutex g_reporterMutex;
PropertyFile::DuplicateKeyReporter g_reporter;

void reportDuplicate(const std::string& message)
{
    PropertyFile::DuplicateKeyReporter reporter;
    {
        std::lock_guard lock(g_reporterMutex);
        reporter = g_reporter;
    }
    if (reporter) {
        reporter(message);
        return;
    }
    CLogFile log;
    log.open("logfile.txt", true, CLogFile::kDefaultMaxSize);
    log.writeLine(message);
}

// Reads one line without its end (LF or CR LF). False at end of file with
// nothing read.
bool readLine(std::istream& in, std::string& line)
{
    if (!std::getline(in, line))
        return false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

std::string formatNow(const char* format)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, format, &local);
    return std::string(buf, n);
}

} // namespace

PropertyFile::PropertyFile(std::string path) : m_path(std::move(path)) {}

bool PropertyFile::load()
{
    std::ifstream in(m_path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    bool ok = true;
    bool stopped = false;
    while (readLine(in, line)) {
        if (stopped) {
            m_unreadTail.push_back(line);
            continue;
        }
        if (line.empty()) {
            stopped = true;
            m_unreadTail.push_back(line);
            continue;
        }
        if (line[0] == '#')
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            ok = false;
            stopped = true;
            m_unreadTail.push_back(line);
            continue;
        }
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        m_index[key] = value;
        m_entries.emplace_back(std::move(key), std::move(value));
    }
    return ok;
}

std::string PropertyFile::get(const std::string& key) const
{
    const auto it = m_index.find(key);
    return it == m_index.end() ? std::string(kNull) : it->second;
}

void PropertyFile::set(const std::string& key, const std::string& value)
{
    const auto it = m_index.find(key);
    if (it == m_index.end())
        return;
    it->second = value;
    for (auto& entry : m_entries) {
        if (entry.first == key)
            entry.second = value;
    }
    m_dirty = true;
}

void PropertyFile::add(const std::string& key, const std::string& value)
{
    if (m_index.count(key) != 0) {
        char message[512];
        std::snprintf(message, sizeof message, "配置文件中已经有%s键", key.c_str());
        reportDuplicate(message);
        return;
    }
    m_index[key] = value;
    m_entries.emplace_back(key, value);
    m_dirty = true;
}

void PropertyFile::save(bool stampPreDate)
{
    if (!m_dirty)
        return;
    if (stampPreDate)
        set("pre_date", formatNow("%Y-%m-%d %H\\:%M\\:%S"));

    std::string text = "#user config\r\n#" + formatNow("%a %b %d %X %Z %Y") + "\r\n";
    for (const auto& [key, value] : m_entries)
        text += key + "=" + value + "\r\n";
    for (const auto& line : m_unreadTail)
        text += line + "\r\n";

    const std::string temp = m_path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            return;
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            std::error_code ec;
            std::filesystem::remove(temp, ec);
            return;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, m_path, ec);
    if (ec)
        std::filesystem::remove(temp, ec);
}

void PropertyFile::setDuplicateKeyReporter(DuplicateKeyReporter reporter)
{
    std::lock_guard lock(g_reporterMutex);
    g_reporter = std::move(reporter);
}

std::string lookupFirst(const std::string& path, const std::string& key)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in && readLine(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos && line.compare(0, eq, key) == 0 && eq == key.size())
            return line.substr(eq + 1);
    }
    return {};
}

std::pair<std::string, std::string> lookupContaining(const std::string& path, const std::string& name1,
                                                     const std::string& name2)
{
    std::pair<std::string, std::string> found;
    bool have1 = false;
    bool have2 = false;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in && !(have1 && have2) && readLine(in, line)) {
        const auto eq = line.find('=');
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (!name1.empty() && line.find(name1) != std::string::npos) {
            found.first = value;
            have1 = true;
        }
        if (!name2.empty() && line.find(name2) != std::string::npos) {
            found.second = value;
            have2 = true;
        }
    }
    return found;
}

void toggleFlagInPlace(const std::string& path, const std::string& key, char newFlag)
{
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    if (!file)
        return;
    std::string line;
    std::streamoff lineStart = 0;
    while (true) {
        lineStart = file.tellg();
        if (!std::getline(file, line))
            return;
        if (line.find(key) != std::string::npos)
            break;
    }
    std::size_t length = line.size();
    if (length > 0 && line.back() == '\r')
        --length; // leave the CR where it is
    const auto eq = line.find('=');
    const char from = (eq != std::string::npos && eq + 1 < length && line[eq + 1] == '1') ? '1' : '0';
    for (std::size_t i = 0; i < length; ++i) {
        if (line[i] == from)
            line[i] = newFlag;
    }
    file.clear();
    file.seekp(lineStart);
    file.write(line.data(), static_cast<std::streamsize>(length));
    file.flush();
}

} // namespace quorvane
