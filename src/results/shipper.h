#pragma once
// What a record-ready handler does after the record is written: pack it,
// copy the archive for the regional server when the user has a geography id,
// and start the upload runs (regional first, then main). The application
// owns one shipper; it owns the two data folders, the packer and the two
// upload runners.
#include "config/readers.h"
#include "results/data_directory.h"
#include "results/pack.h"
#include "results/record_hold.h"
#include "results/result_log.h"
#include "results/service_time.h"
#include "results/upload.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quorvane
{

// False for a geography id that names no region: empty, blank, or "null"
// (what an absent key reads as).
bool isGeographyId(std::string_view geographyId);

class RecordShipper
{
public:
    // How long the main run waits after the regional run was started.
    static constexpr std::chrono::milliseconds kRegionalHeadStart{1000};

    // Where the runs go; read afresh for every record, so a changed
    // configuration counts from the next result on.
    struct Targets {
        std::function<UploadTarget()> main;                                   // ReadDataStore
        std::function<UploadTarget(const std::string& geographyId)> regional; // ReadUploadTarget
    };

    // The targets of the installation's configuration: conf/config.xml for
    // the main server, Config/upload_config.xml for the regions (both read
    // from the working directory, the program directory).
    static Targets configuredTargets();

    // Data folders are <installDir>/Data and <installDir>/Data2, created when
    // missing.
    RecordShipper(const std::filesystem::path& installDir, const ServiceClock& clock, Targets targets,
                  TransportFactory transport, ResultLog log);

    // The tail of OnRecordReady for the record `recordFileName` in Data.
    // Without a regional server — `geographyId` empty or "null" (see
    // isGeographyId), or no server configured for it — there is no regional
    // copy and no regional run, and the main run starts at once; otherwise
    // regional copies that failed earlier are tried again, and the main run
    // starts kRegionalHeadStart after the regional one (without holding up
    // the caller). A failing regional copy never holds back the main
    // archive. Returns the archive name; empty when the record could not be
    // packed (it then waits in Data and the runs still send what waits).
    // Results held back by a full disk are written first, so that this
    // packing takes them along. Window thread only.
    std::string shipRecord(const std::string& recordFileName, const std::string& geographyId);

    // The retry of the held results: writes what it can, then packs and
    // ships like shipRecord. Returns how many results still wait. Window
    // thread only.
    std::size_t retryHeld(const std::string& geographyId);

    // The hold of this installation's results; recorders share it.
    const std::shared_ptr<RecordHold>& hold() const { return m_hold; }

    // Lets both runs end after their current transfer (program exit).
    void requestStop();

    // Waits for both runs. False on time-out.
    bool waitIdle(std::chrono::milliseconds timeout);

    DataDirectory& data() { return m_data; }
    Packer& packer() { return m_packer; }
    DataDirectory& regionalData() { return m_regionalData; }
    UploadRunner& mainRuns() { return m_mainRuns; }
    UploadRunner& regionalRuns() { return m_regionalRuns; }

private:
    DataDirectory m_data;
    DataDirectory m_regionalData;
    std::shared_ptr<RecordHold> m_hold;
    Packer m_packer;
    Targets m_targets;
    ResultLog m_log;
    UploadRunner m_regionalRuns;
    UploadRunner m_mainRuns;
};

} // namespace quorvane
