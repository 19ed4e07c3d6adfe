#include "autotest/perf_query.h"

namespace quorvane
{

CPerfQuery::CPerfQuery(std::filesystem::path procRoot) : m_procRoot(std::move(procRoot)) {}

bool CPerfQuery::Open()
{
    std::lock_guard lock(m_mutex);
    if (!m_open)
        m_open = platform::readCpuTimes(m_procRoot).has_value();
    return m_open;
}

int CPerfQuery::AddCounter(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    if (!m_open)
        return -1;
    Kind kind;
    if (path == kProcessorCounter)
        kind = Kind::Processor;
    else if (path == kMemoryCounter)
        kind = Kind::Memory;
    else
        return -1;
    m_counters.push_back(Counter{m_nextId, kind, kUnreadable, std::nullopt});
    return m_nextId++;
}

void CPerfQuery::Collect()
{
    std::lock_guard lock(m_mutex);
    if (!m_open)
        return;
    // One reading per kind, so two counters of a kind agree.
    std::optional<platform::CpuTimes> times;
    std::optional<long> memory;
    bool timesRead = false, memoryRead = false;
    for (auto& counter : m_counters) {
        if (counter.kind == Kind::Processor) {
            if (!timesRead) {
                times = platform::readCpuTimes(m_procRoot);
                timesRead = true;
            }
            std::optional<long> busy;
            if (counter.lastTimes && times)
                busy = platform::busyPercent(*counter.lastTimes, *times);
            counter.value = busy.value_or(kUnreadable);
            counter.lastTimes = times;
        } else {
            if (!memoryRead) {
                memory = platform::readMemoryLoad(m_procRoot);
                memoryRead = true;
            }
            counter.value = memory.value_or(kUnreadable);
        }
    }
}

long CPerfQuery::GetValue(int id) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& counter : m_counters) {
        if (counter.id == id)
            return counter.value;
    }
    return kUnreadable;
}

} // namespace quorvane
