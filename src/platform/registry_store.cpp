#include "platform/registry_store.h"
#include "platform/escape.h"

#include "common/durable_file.h"
#include "common/text.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace quorvane::platform
{
namespace
{

struct Line {
    std::string text;        // the line as stored
    std::string section;     // for section lines: the key path
    std::string name, value; // for value lines: unescaped
    enum class Kind { Other, Section, Value } kind = Kind::Other;
};

// The blanks around a key, a name or a value.
std::string_view trim(std::string_view s)
{
    return trimmed(s, kBlanks);
}

std::string escapeValue(std::string_view value)
{
    return backslashEscape(value, "\n\r");
}

std::string unescapeValue(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char next = text[++i];
        out.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next);
    }
    return out;
}

bool hasLineBreak(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos;
}

bool validKeyPath(std::string_view keyPath)
{
    return !trim(keyPath).empty() && keyPath == trim(keyPath) && !hasLineBreak(keyPath) &&
           keyPath.find(']') == std::string_view::npos;
}

bool validName(std::string_view name)
{
    return !trim(name).empty() && name == trim(name) && !hasLineBreak(name) &&
           name.find('=') == std::string_view::npos && name.front() != '[' && name.front() != ';' &&
           name.front() != '#';
}

std::vector<Line> parse(const std::string& text)
{
    std::vector<Line> lines;
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        Line line;
        line.text = raw;
        const std::string_view t = trim(raw);
        if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
            line.kind = Line::Kind::Section;
            line.section = std::string(trim(t.substr(1, t.size() - 2)));
        } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
            if (const auto eq = raw.find('='); eq != std::string::npos) {
                line.kind = Line::Kind::Value;
                line.name = std::string(trim(std::string_view(raw).substr(0, eq)));
                line.value = unescapeValue(std::string_view(raw).substr(eq + 1));
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// Index of the value line of `name` in section `keyPath`, or npos; `sectionEnd`
// receives the index after the section's last line (npos when no section).
std::size_t findValue(const std::vector<Line>& lines, std::string_view keyPath, std::string_view name,
                      std::size_t* sectionEnd)
{
    std::size_t found = std::string::npos;
    bool inSection = false;
    if (sectionEnd)
        *sectionEnd = std::string::npos;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.kind == Line::Kind::Section) {
            inSection = equalsIgnoreCase(line.section, keyPath);
            if (inSection && sectionEnd)
                *sectionEnd = i + 1;
            continue;
        }
        if (!inSection)
            continue;
        if (sectionEnd && line.kind != Line::Kind::Other)
            *sectionEnd = i + 1;
        // Within a section the last occurrence wins, as for any INI reader.
        if (line.kind == Line::Kind::Value && equalsIgnoreCase(line.name, name))
            found = i;
    }
    return found;
}

// Runs a read-modify-write of the store under its lock file and replaces the
// store atomically. `change` returns false to leave the file untouched.
template <typename Change> bool rewrite(const std::filesystem::path& file, Change change)
{
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const std::string lockPath = file.string() + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0)
        return false;
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(lockFd);
            return false;
        }
    }
    bool ok = false;
    std::vector<Line> lines = parse(readWholeFile(file).value_or(""));
    const auto outcome = change(lines);
    if (!outcome.has_value()) {
        ok = false;
    } else if (!*outcome) {
        ok = true; // nothing to change
    } else {
        std::string text;
        for (const auto& line : lines)
            text += line.text + "\n";
        ok = writeFileDurably(file, text);
    }
    ::close(lockFd);
    return ok;
}

} // namespace

std::filesystem::path userConfigDirectory()
{
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : "/tmp";
    }
    return std::filesystem::path(home) / ".config";
}

IniRegistryStore::IniRegistryStore(std::filesystem::path file) : m_file(std::move(file)) {}

std::filesystem::path IniRegistryStore::defaultPath()
{
    return userConfigDirectory() / "Quorvane" / "registry.ini";
}

std::optional<std::string> IniRegistryStore::readString(std::string_view keyPath, std::string_view name) const
{
    const auto text = readWholeFile(m_file);
    if (!text)
        return std::nullopt;
    const auto lines = parse(*text);
    const auto at = findValue(lines, keyPath, name, nullptr);
    if (at == std::string::npos)
        return std::nullopt;
    return lines[at].value;
}

bool IniRegistryStore::writeString(std::string_view keyPath, std::string_view name, std::string_view value)
{
    if (!validKeyPath(keyPath) || !validName(name))
        return false;
    return rewrite(m_file, [&](std::vector<Line>& lines) -> std::optional<bool> {
        Line line;
        line.kind = Line::Kind::Value;
        line.name = std::string(name);
        line.value = std::string(value);
        line.text = line.name + "=" + escapeValue(value);
        std::size_t sectionEnd;
        const auto at = findValue(lines, keyPath, name, &sectionEnd);
        if (at != std::string::npos) {
            if (lines[at].value == value)
                return false;
            lines[at] = std::move(line);
        } else if (sectionEnd != std::string::npos) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), std::move(line));
        } else {
            Line header;
            header.kind = Line::Kind::Section;
            header.section = std::string(keyPath);
            header.text = "[" + header.section + "]";
            lines.push_back(std::move(header));
            lines.push_back(std::move(line));
        }
        return true;
    });
}

bool IniRegistryStore::deleteValue(std::string_view keyPath, std::string_view name)
{
    if (!readString(keyPath, name))
        return true;
    return rewrite(m_file, [&](std::vector<Line>& lines) -> std::optional<bool> {
        bool changed = false;
        std::size_t at;
        // Every occurrence goes, or an older one would surface again.
        while ((at = findValue(lines, keyPath, name, nullptr)) != std::string::npos) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
            changed = true;
        }
        return changed;
    });
}

} // namespace quorvane::platform
