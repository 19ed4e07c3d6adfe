#pragma once
// What a rejected automatic round leaves behind: the invalid-data history
// line, the error record (packed and shipped like any record) and the latest
// result text naming the reason.
//
// Thread-safety: RecordInvalidRound on the window thread (records and history
// are written there only); SetInvalidRoundSummary on any thread.
#include "results/record.h"
#include "results/service_time.h"
#include "results/session.h"

#include <functional>
#include <string>

namespace quorvane
{

class RecordShipper;

// The thresholds the environment checks compare against, from
// Config/threshold_config.xml (the download limit for the traffic text).
RejectionThresholds ReadRejectionThresholds();

class InvalidRounds
{
public:
    struct Services {
        ResultRecorder* recorder = nullptr;
        RecordShipper* shipper = nullptr; // null: the record is written, not packed
        const ServiceClock* clock = nullptr;
        std::function<UserSession()> session;
        std::function<std::string()> geographyId;
        std::function<RejectionThresholds()> thresholds; // null: ReadRejectionThresholds
        std::function<void(const std::string&)> setLatestResult;
    };

    explicit InvalidRounds(Services services) : m_services(std::move(services)) {}

    // The history line, then the error record and its shipping. False (and
    // nothing written) for a code without a reason text.
    bool RecordInvalidRound(int reasonCode);
    // The latest result text of the rejected round; nothing for code 0.
    void SetInvalidRoundSummary(int reasonCode);

    int recorded() const { return m_recorded; }
    // Why the latest error record could not be written; empty when it was.
    const std::string& lastFailure() const { return m_lastFailure; }

private:
    RejectionThresholds thresholds() const;

    Services m_services;
    int m_recorded = 0;
    std::string m_lastFailure;
};

} // namespace quorvane
