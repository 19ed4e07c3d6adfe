#include "common/property_file.h"

#include "common/durable_file.h"
#include "common/log_file.h"
#include "common/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
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

// Calls visit(line, offset) for each line of the text, without its end (LF or
// CR LF), as reading the file line by line would: a last line without an end
// counts, nothing after the last end does. Stops when visit returns false.
template <typename Visit> void forEachLine(std::string_view text, Visit visit)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t newline = text.find('\n', pos);
        const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!visit(line, pos))
            return;
        pos = newline == std::string_view::npos ? text.size() : newline + 1;
    }
}

std::optional<std::string> readWhole(std::istream& in)
{
    if (!in)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
    const auto text = readWhole(in);
    return text && loadText(*text);
}

bool PropertyFile::loadText(std::string_view text)
{
    m_entries.clear();
    m_index.clear();
    m_unreadTail.clear();
    bool ok = true;
    bool stopped = false;
    forEachLine(text, [&](std::string_view line, std::size_t) {
        if (!stopped) {
            if (line.empty()) {
                stopped = true;
            } else if (line[0] == '#') {
                return true;
            } else if (const auto eq = line.find('='); eq == std::string_view::npos) {
                ok = false;
                stopped = true;
            } else {
                std::string key(line.substr(0, eq));
                std::string value(line.substr(eq + 1));
                m_index[key] = value;
                m_entries.emplace_back(std::move(key), std::move(value));
                return true;
            }
        }
        m_unreadTail.emplace_back(line);
        return true;
    });
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
    // Saved durably, and owner-only when the file holds the user's password.
    return writeFileDurably(m_path, savedText(stampPreDate));
}

std::string PropertyFile::savedText(bool stampPreDate)
{
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
    return text;
}

void PropertyFile::setDuplicateKeyReporter(DuplicateKeyReporter reporter)
{
    std::lock_guard lock(g_reporterMutex);
    g_reporter = std::move(reporter);
}

std::string lookupFirst(const std::string& path, const std::string& key)
{
    std::ifstream in(path, std::ios::binary);
    const auto text = readWhole(in);
    return text ? lookupFirstIn(*text, key) : std::string();
}

std::string lookupFirstIn(std::string_view text, const std::string& key)
{
    std::string found;
    forEachLine(text, [&](std::string_view line, std::size_t) {
        const auto eq = line.find('=');
        if (eq != key.size() || line.compare(0, eq, key) != 0)
            return true;
        found = line.substr(eq + 1);
        return false;
    });
    return found;
}

std::pair<std::string, std::string> lookupContaining(const std::string& path, const std::string& name1,
                                                     const std::string& name2)
{
    std::ifstream in(path, std::ios::binary);
    const auto text = readWhole(in);
    return text ? lookupContainingIn(*text, name1, name2) : std::pair<std::string, std::string>();
}

std::pair<std::string, std::string> lookupContainingIn(std::string_view text, const std::string& name1,
                                                       const std::string& name2)
{
    std::pair<std::string, std::string> found;
    bool have1 = false;
    bool have2 = false;
    forEachLine(text, [&](std::string_view line, std::size_t) {
        const auto eq = line.find('=');
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
        if (!name1.empty() && line.find(name1) != std::string_view::npos) {
            found.first = value;
            have1 = true;
        }
        if (!name2.empty() && line.find(name2) != std::string_view::npos) {
            found.second = value;
            have2 = true;
        }
        return !(have1 && have2);
    });
    return found;
}

std::optional<FlagEdit> flagEditIn(std::string_view text, const std::string& key, char newFlag)
{
    // The line is found by its key, not by the key text appearing anywhere:
    // a nickname such as "autobot" in an earlier line must neither be
    // rewritten nor hide the real flag.
    std::optional<FlagEdit> edit;
    forEachLine(text, [&](std::string_view line, std::size_t lineStart) {
        const auto eq = line.find('=');
        if (eq != key.size() || line.compare(0, eq, key) != 0)
            return true;
        if (eq + 1 < line.size()) {
            std::string value(line.substr(eq + 1));
            const char from = value[0] == '1' ? '1' : '0';
            std::replace(value.begin(), value.end(), from, newFlag);
            edit = FlagEdit{lineStart + eq + 1, std::move(value)};
        }
        return false;
    });
    return edit;
}

void toggleFlagInPlace(const std::string& path, const std::string& key, char newFlag)
{
    std::optional<FlagEdit> edit;
    {
        // Opened for writing too: a file we may not write is left alone.
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        const auto text = readWhole(file);
        if (text)
            edit = flagEditIn(*text, key, newFlag);
    }
    if (!edit)
        return;
    // Same length, same place: nothing else in the file moves, and the
    // change is on the disk before the settings page reports it done.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    const auto size = static_cast<ssize_t>(edit->bytes.size());
    if (::pwrite(fd, edit->bytes.data(), edit->bytes.size(), static_cast<off_t>(edit->offset)) == size)
        ::fsync(fd);
    ::close(fd);
}

} // namespace quorvane
