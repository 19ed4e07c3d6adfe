#include "autotest/invalid_round.h"

#include "config/readers.h"
#include "results/shipper.h"

namespace quorvane
{

RejectionThresholds ReadRejectionThresholds()
{
    RejectionThresholds t;
    t.cpuPercent = ReadCpuThreshold();
    t.memoryPercent = ReadMemoryThreshold();
    int down = 0, up = 0;
    ReadFlowThreshold(down, up);
    t.downloadKBps = down;
    return t;
}

RejectionThresholds InvalidRounds::thresholds() const
{
    return m_services.thresholds ? m_services.thresholds() : ReadRejectionThresholds();
}

bool InvalidRounds::RecordInvalidRound(int reasonCode)
{
    if (rejectionReasonText(reasonCode, {}).empty() || !m_services.recorder)
        return false;
    const UserSession who = m_services.session ? m_services.session() : UserSession{};
    // The history line goes in only with its record (or waits with it).
    const WrittenRecord record = m_services.recorder->writeRejectedRound(reasonCode, thresholds(), who);
    m_lastFailure = record.failure;
    if (!record.fileName.empty()) {
        ++m_recorded;
        if (m_services.shipper)
            m_services.shipper->shipRecord(record.fileName,
                                           m_services.geographyId ? m_services.geographyId() : std::string());
    }
    return record.historyWritten;
}

void InvalidRounds::SetInvalidRoundSummary(int reasonCode)
{
    const std::string reason = rejectionReasonText(reasonCode, thresholds());
    if (reason.empty() || !m_services.setLatestResult)
        return;
    const RecordTime time = m_services.clock ? m_services.clock->now() : localTimeOf(std::chrono::system_clock::now());
    m_services.setLatestResult(invalidRoundSummary(reason, time));
}

} // namespace quorvane
