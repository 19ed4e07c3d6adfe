#include "common/log_file.h"

#include "common/codepage.h"
#include "common/paths.h"

#include <cstdarg>
#include <ctime>

namespace quorvane {

CLogFile::~CLogFile()
{
    close();
}

void CLogFile::open(const std::string& name, bool append, long maxSize)
{
    if (name.size() < 4)
        return;
    std::lock_guard lock(m_mutex);
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_path = name.front() == '/' ? name : programPath(name).string();
    m_file = std::fopen(m_path.c_str(), append ? "a" : "w");
    m_maxSize = maxSize;
}

void CLogFile::writeLine(std::string_view message)
{
    std::lock_guard lock(m_mutex);
    if (!m_file)
        return;
    message = truncateUtf8(message, kMaxMessageBytes);
    std::fseek(m_file, 0, SEEK_END);
    if (std::ftell(m_file) > m_maxSize) {
        std::fclose(m_file);
        m_file = std::fopen(m_path.c_str(), "w");
        if (!m_file)
            return;
    }
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    std::fprintf(m_file, "%04d-%02d-%02d %02d:%02d:%02d,%.*s\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(message.size()), message.data());
    std::fflush(m_file);
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
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

bool CLogFile::isOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_file != nullptr;
}

void CLogFile::append(const std::string& name, std::string_view message)
{
    CLogFile log;
    log.open(name, true, kDefaultMaxSize);
    log.writeLine(message);
}

} // namespace quorvane
