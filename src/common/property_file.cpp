#include "common/property_file.h"

#include "common/durable_file.h"
#include "common/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <mutex>

namespace quorvane
{
namespace
{

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
    CLogFile::append("logfile.txt", message);
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

// A line end inside a key or value would split it into lines of its own on
// disk, so a value that came from outside (a nickname from the service)
// could plant keys such as auto=1. Such characters become blanks.
std::string oneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return text;
}

std::string format(const std::tm& when, const char* pattern)
{
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, pattern, &when);
    return std::string(buf, n);
}

} // namespace

PropertyFile::PropertyFile(std::string path) : m_path(std::move(path)) {}

bool PropertyFile::load()
{
    m_entries.clear();
    m_index.clear();
    m_unreadTail.clear();
    // A directory opens for reading too, and would read as an empty file.
    struct stat st {
    };
    if (::stat(m_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::ifstream in(m_path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    bool ok = true;
    bool stopped = false;
    while (readLine(in, line)) {
        if (!stopped) {
            if (line.empty()) {
                stopped = true;
            } else if (line[0] == '#') {
                continue;
            } else if (const auto eq = line.find('='); eq == std::string::npos) {
                ok = false;
                stopped = true;
            } else {
                std::string key = line.substr(0, eq);
                std::string value = line.substr(eq + 1);
                m_index[key] = value;
                m_entries.emplace_back(std::move(key), std::move(value));
                continue;
            }
        }
        m_unreadTail.push_back(line);
    }
    // Empty lines at the very end carry nothing; writing them back would only
    // make the next load stop there.
    while (!m_unreadTail.empty() && m_unreadTail.back().empty())
        m_unreadTail.pop_back();
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
    it->second = oneLine(value);
    for (auto& entry : m_entries) {
        if (entry.first == key)
            entry.second = it->second;
    }
    m_dirty = true;
}

void PropertyFile::add(const std::string& key, const std::string& value)
{
    const std::string cleanKey = oneLine(key);
    if (m_index.count(cleanKey) != 0) {
        reportDuplicate("配置文件中已经有" + cleanKey + "键");
        return;
    }
    m_index[cleanKey] = oneLine(value);
    m_entries.emplace_back(cleanKey, m_index[cleanKey]);
    m_dirty = true;
}

bool PropertyFile::save(bool stampPreDate)
{
    if (!m_dirty)
        return false;
    // One clock reading for both texts, so the header and pre_date agree.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    if (stampPreDate)
        set("pre_date", format(local, "%Y-%m-%d %H\\:%M\\:%S"));

    std::string text = "#user config\r\n#" + format(local, "%a %b %d %X %Z %Y") + "\r\n";
    for (const auto& [key, value] : m_entries)
        text += key + "=" + value + "\r\n";
    for (const auto& line : m_unreadTail)
        text += line + "\r\n";
    // Saved durably, and owner-only when the file holds the user's password.
    return writeFileDurably(m_path, text);
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
        if (eq == key.size() && line.compare(0, eq, key) == 0)
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
    // The line is found by its key, not by the key text appearing anywhere:
    // a nickname such as "autobot" in an earlier line must neither be
    // rewritten nor hide the real flag. The position is taken from the
    // stream, so files with LF line ends are rewritten at the right place too.
    std::string line;
    std::streamoff lineStart = 0;
    std::size_t eq = std::string::npos;
    while (true) {
        lineStart = file.tellg();
        if (!std::getline(file, line))
            return;
        eq = line.find('=');
        if (eq == key.size() && line.compare(0, eq, key) == 0)
            break;
    }
    std::size_t end = line.size();
    if (end > 0 && line.back() == '\r')
        --end;
    const std::size_t valueStart = eq + 1;
    if (valueStart >= end)
        return;
    const char from = line[valueStart] == '1' ? '1' : '0';
    for (std::size_t i = valueStart; i < end; ++i) {
        if (line[i] == from)
            line[i] = newFlag;
    }
    file.close();
    // Same length, same place: nothing else in the file moves, and the
    // change is on the disk before the settings page reports it done.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    const auto offset = static_cast<off_t>(lineStart + static_cast<std::streamoff>(valueStart));
    if (::pwrite(fd, line.data() + valueStart, end - valueStart, offset) == static_cast<ssize_t>(end - valueStart))
        ::fsync(fd);
    ::close(fd);
}

} // namespace quorvane
