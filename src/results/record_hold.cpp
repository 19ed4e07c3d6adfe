#include "results/record_hold.h"

#include "common/durable_file.h"
#include "results/history.h"
#include "results/record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace quorvane
{

std::string writeRecordBytes(const std::filesystem::path& dataDir, const std::string& baseName,
                             const std::string& bytes, std::string& why)
{
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    // Written whole under a temporary name of its own first: a crash leaves
    // no torn record for packing to send, and the next record of the same
    // kind and hour cannot overwrite a whole one that a crash left unnamed
    // (packing gives such a record its name).
    std::string pattern = (dataDir / ("." + baseName + ".XXXXXX" + kRecordTempSuffix)).string();
    const int fd = injectedWriteFault() != 0
                       ? -1
                       : ::mkostemps(pattern.data(), static_cast<int>(std::strlen(kRecordTempSuffix)), O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return {};
    }
    ::close(fd);
    const std::filesystem::path temp = pattern;
    if (!writeFileSynced(temp, bytes)) {
        why = std::strerror(errno);
        std::filesystem::remove(temp, ec);
        return {};
    }
    for (int n = 1; n < 100; ++n) {
        const std::string name = n == 1 ? baseName : baseName + "." + std::to_string(n);
        if (renameNoReplace(temp, dataDir / name)) {
            syncDirectory(dataDir);
            return name;
        }
        if (errno != EEXIST)
            break;
    }
    why = errno == EEXIST ? "99 records of that name wait already" : std::strerror(errno);
    std::filesystem::remove(temp, ec);
    return {};
}

RecordHold::RecordHold(std::filesystem::path dataDir, ResultLog log)
    : m_dataDir(std::move(dataDir)), m_log(std::move(log))
{
}

RecordHold::~RecordHold()
{
    const Flushed left = flush();
    std::lock_guard lock(m_mutex);
    for (const HeldRecord& record : m_held) {
        ++m_lost;
        if (m_log)
            m_log("result lost at the program's end: " + record.fileName +
                  (record.recordWritten ? " (its history line)" : "") + " (" + left.failure + ")");
    }
}

void RecordHold::hold(HeldRecord record)
{
    std::lock_guard lock(m_mutex);
    if (m_held.size() >= kCapacity) {
        ++m_lost;
        if (m_log)
            m_log("result lost, " + std::to_string(kCapacity) + " results wait already: " + m_held.front().fileName);
        m_held.pop_front();
    }
    m_held.push_back(std::move(record));
}

bool RecordHold::writeOne(HeldRecord& record, std::string& why, std::string& fileName)
{
    if (!record.recordWritten) {
        fileName = writeRecordBytes(m_dataDir, record.fileName, record.bytes, why);
        if (fileName.empty())
            return false;
        record.recordWritten = true;
    }
    if (!record.historyFile.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(record.historyFile.parent_path(), ec);
        if (!AppendHistoryLine(record.historyFile, record.historyLine)) {
            why = std::string("history: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

RecordHold::Flushed RecordHold::flush()
{
    Flushed out;
    std::lock_guard lock(m_mutex);
    while (!m_held.empty()) {
        std::string fileName;
        const bool done = writeOne(m_held.front(), out.failure, fileName);
        if (!fileName.empty()) {
            out.written.push_back(fileName);
            if (m_log)
                m_log("held result written: " + fileName);
        }
        if (!done)
            break;
        m_held.pop_front();
    }
    out.waiting = m_held.size();
    return out;
}

std::size_t RecordHold::size() const
{
    std::lock_guard lock(m_mutex);
    return m_held.size();
}

std::size_t RecordHold::lost() const
{
    std::lock_guard lock(m_mutex);
    return m_lost;
}

} // namespace quorvane
