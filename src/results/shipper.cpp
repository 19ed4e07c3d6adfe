#include "results/shipper.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace quorvane
{

RecordShipper::RecordShipper(const std::filesystem::path& installDir, const ServiceClock& clock, Targets targets,
                             TransportFactory transport, ResultLog log)
    : m_data(installDir / "Data"), m_regionalData(installDir / "Data2"),
      m_hold(std::make_shared<RecordHold>(m_data.path(), log)), m_packer(m_data, clock, log),
      m_targets(std::move(targets)), m_log(log), m_regionalRuns(m_regionalData, transport, log),
      m_mainRuns(m_data, transport, log)
{
    m_data.ensureExists();
    m_regionalData.ensureExists();
}

bool isGeographyId(std::string_view geographyId)
{
    while (!geographyId.empty() && std::isspace(static_cast<unsigned char>(geographyId.front())))
        geographyId.remove_prefix(1);
    while (!geographyId.empty() && std::isspace(static_cast<unsigned char>(geographyId.back())))
        geographyId.remove_suffix(1);
    if (geographyId.size() == 4) {
        std::string lower(geographyId);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower == "null")
            return false;
    }
    return !geographyId.empty();
}

std::string RecordShipper::shipRecord(const std::string& recordFileName, const std::string& geographyId)
{
    // A region counts only when the configuration names a server for it:
    // copies for nobody would wait in Data2 for ever.
    UploadTarget regionalTarget;
    if (isGeographyId(geographyId) && m_targets.regional)
        regionalTarget = m_targets.regional(geographyId);
    const bool regional = !regionalTarget.host.empty();
    // Written held results wait in Data as records; packing takes every
    // waiting record along with this one.
    const RecordHold::Flushed held = m_hold->flush();
    const std::string record = !recordFileName.empty() ? recordFileName
                               : held.written.empty()  ? std::string()
                                                       : held.written.front();
    const std::string archive = record.empty()
                                    ? std::string()
                                    : m_packer.PackRecord(m_data.path() / record, regional ? &m_regionalData : nullptr);
    // The runs start whatever happened to this record: archives left by
    // earlier failures wait for exactly this. The regional run goes first;
    // the main run follows a second later, so the two never start at once.
    if (regional) {
        m_packer.retryRegionalCopies(m_regionalData);
        m_regionalRuns.StartUpload(regionalTarget);
    }
    if (m_targets.main)
        m_mainRuns.StartUpload(m_targets.main(), regional ? kRegionalHeadStart : std::chrono::milliseconds(0));
    return archive;
}

std::size_t RecordShipper::retryHeld(const std::string& geographyId)
{
    if (m_hold->size() == 0)
        return 0;
    shipRecord({}, geographyId);
    return m_hold->size();
}

void RecordShipper::requestStop()
{
    m_regionalRuns.requestStop();
    m_mainRuns.requestStop();
}

RecordShipper::Targets RecordShipper::configuredTargets()
{
    return {[] {
                UploadTarget target;
                ReadDataStore(target);
                return target;
            },
            [](const std::string& geographyId) {
                UploadTarget target;
                ReadUploadTarget(geographyId, target);
                return target;
            }};
}

bool RecordShipper::waitIdle(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const bool regional = m_regionalRuns.waitIdle(timeout);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return m_mainRuns.waitIdle(std::max(left, std::chrono::milliseconds(0))) && regional;
}

} // namespace quorvane
