#include "common/log_file.h"

#include "common/codepage.h"
#include "common/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace quorvane
{

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
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    m_fd = ::open(m_path.c_str(), flags, 0644);
    m_maxSize = maxSize;
}

void CLogFile::writeLine(std::string_view message)
{
    std::lock_guard lock(m_mutex);
    if (m_fd < 0)
        return;
    message = truncateUtf8(message, kMaxMessageBytes);

    const off_t size = ::lseek(m_fd, 0, SEEK_END);
    if (size > m_maxSize) {
        // Emptied in place rather than reopened with "w": the descriptor keeps
        // its append mode, so other writers of the same file cannot have their
        // lines overwritten by ours afterwards.
        if (::ftruncate(m_fd, 0) != 0)
            return;
        ::lseek(m_fd, 0, SEEK_SET);
    }

    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char line[32 + kMaxMessageBytes];
    const int head = std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d,", t.tm_year + 1900, t.tm_mon + 1,
                                   t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    if (head < 0 || static_cast<std::size_t>(head) + message.size() + 1 > sizeof line)
        return;
    std::size_t length = static_cast<std::size_t>(head);
    message.copy(line + length, message.size());
    length += message.size();
    line[length++] = '\n';

    // One write per line keeps lines of concurrent writers whole.
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(m_fd, line + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
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
