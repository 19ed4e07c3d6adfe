#include "results/shipper.h"

#include <utility>

namespace quorvane
{

RecordShipper::RecordShipper(const std::filesystem::path& installDir, const ServiceClock& clock, Targets targets,
                             TransportFactory transport, ResultLog log)
    : m_data(installDir / "Data"), m_regionalData(installDir / "Data2"), m_packer(m_data, clock, log),
      m_targets(std::move(targets)), m_log(log), m_regionalRuns(m_regionalData, transport, log),
      m_mainRuns(m_data, transport, log)
{
    m_data.ensureExists();
    m_regionalData.ensureExists();
}

std::string RecordShipper::shipRecord(const std::string& recordFileName, const std::string& geographyId)
{
    const bool regional = !geographyId.empty();
    const std::string archive = recordFileName.empty() ? std::string()
                                                       : m_packer.PackRecord(m_data.path() / recordFileName,
                                                                             regional ? &m_regionalData : nullptr);
    // The runs start whatever happened to this record: archives left by
    // earlier failures wait for exactly this.
    if (regional && m_targets.regional)
        m_regionalRuns.StartUpload(m_targets.regional(geographyId));
    if (m_targets.main)
        m_mainRuns.StartUpload(m_targets.main());
    return archive;
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
