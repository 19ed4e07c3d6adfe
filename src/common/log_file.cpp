#include "common/log_file.h"

#include "common/codepage.h"
#include "common/durable_file.h"
#include "common/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

namespace quorvane
{
namespace
{

// Lines lost per log file since the last line that went in, and why.
struct Lost {
    long long lines = 0;
    int error = 0;
    // A write that stopped part-way left a line without its end.
    bool torn = false;
};

struct Losses {
    std::mutex mutex;
    std::map<std::string, Lost> byPath;
    std::atomic<long long> total{0};
};

Losses& losses()
{
    static Losses l;
    return l;
}

void noteLost(const std::string& path, int error, bool torn = false)
{
    Losses& l = losses();
    ++l.total;
    std::lock_guard lock(l.mutex);
    Lost& entry = l.byPath[path];
    ++entry.lines;
    entry.error = error;
    entry.torn = entry.torn || torn;
}

// The lines lost in `path` since its last line, forgotten as they are told.
Lost takeLost(const std::string& path)
{
    Losses& l = losses();
    if (l.total.load() == 0)
        return {};
    std::lock_guard lock(l.mutex);
    const auto found = l.byPath.find(path);
    if (found == l.byPath.end())
        return {};
    const Lost lost = found->second;
    l.byPath.erase(found);
    return lost;
}

void giveBackLost(const std::string& path, const Lost& lost)
{
    if (lost.lines == 0)
        return;
    Losses& l = losses();
    std::lock_guard lock(l.mutex);
    Lost& entry = l.byPath[path];
    entry.lines += lost.lines;
    entry.error = lost.error;
    entry.torn = entry.torn || lost.torn;
}

// False with errno set when the line did not go in whole; `partial` then
// says whether some of it did.
bool writeWhole(int fd, const char* data, std::size_t length, bool& partial)
{
    partial = false;
    if (injectedWriteFault() != 0)
        return false;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            partial = done > 0;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string stampedLine(std::string_view message)
{
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char head[32];
    const int n = std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d,", t.tm_year + 1900, t.tm_mon + 1,
                                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    std::string line(head, n > 0 ? static_cast<std::size_t>(n) : 0);
    line += message;
    line += '\n';
    return line;
}

} // namespace

long long CLogFile::linesLost()
{
    return losses().total.load();
}

CLogFile::~CLogFile()
{
    close();
}

void CLogFile::open(const std::string& name, bool append, long maxSize)
{
    if (name.size() < 4)
        return;
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_path = name.front() == '/' ? name : programPath(name).string();
    // Readable too, so a line that a full disk cut short can be seen.
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    m_fd = injectedWriteFault() != 0 ? -1 : ::open(m_path.c_str(), flags, 0644);
    m_openError = m_fd < 0 ? errno : 0;
    m_maxSize = maxSize;
}

void CLogFile::writeLine(std::string_view message)
{
    std::lock_guard lock(m_mutex);
    if (m_fd < 0) {
        // A file that could not be opened (not an object never opened).
        if (m_openError != 0)
            noteLost(m_path, m_openError);
        return;
    }
    message = truncateUtf8(message, kMaxMessageBytes);

    const off_t size = ::lseek(m_fd, 0, SEEK_END);
    if (size > m_maxSize) {
        // Emptied in place rather than reopened with "w": the descriptor keeps
        // its append mode, so other writers of the same file cannot have their
        // lines overwritten by ours afterwards.
        if (::ftruncate(m_fd, 0) != 0) {
            noteLost(m_path, errno);
            return;
        }
        ::lseek(m_fd, 0, SEEK_SET);
    }

    // A disk that filled up in the middle of a line left it without its end;
    // ours starts on a line of its own. The file's last byte is looked at only
    // after lines were lost: at other times it races with the other writers,
    // who may be emptying the file or appending to it right now.
    const Lost lost = takeLost(m_path);
    bool torn = lost.torn;
    if (!torn && lost.lines > 0 && size > 0 && size <= m_maxSize) {
        char last = '\n';
        torn = ::pread(m_fd, &last, 1, size - 1) == 1 && last != '\n';
    }
    std::string text = torn ? "\n" : "";
    if (lost.lines > 0)
        text += stampedLine(std::to_string(lost.lines) + " log lines could not be written (" +
                            std::strerror(lost.error) + ")");
    text += stampedLine(message);
    // One write per line keeps lines of concurrent writers whole.
    bool partial = false;
    if (!writeWhole(m_fd, text.data(), text.size(), partial)) {
        const int error = errno;
        giveBackLost(m_path, lost);
        noteLost(m_path, error, partial);
    }
}

void CLogFile::write(const char* format, ...)
{
    char buf[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0)
        return;
    const std::size_t len = static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1;
    writeLine(std::string_view(buf, len));
}

void CLogFile::close()
{
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool CLogFile::isOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_fd >= 0;
}

std::string CLogFile::path() const
{
    std::lock_guard lock(m_mutex);
    return m_path;
}

void CLogFile::append(const std::string& name, std::string_view message)
{
    CLogFile log;
    log.open(name, true, kDefaultMaxSize);
    log.writeLine(message);
}

std::string OneLogLine(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    }
    return text;
}

} // namespace quorvane
