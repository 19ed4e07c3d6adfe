#pragma once
// Packing: each record file leaves Data inside a zip archive named
// "%04d%02d%02d%02d%02d%02d_1024_Pccollect.zip" after the packing time,
// holding the record at its top level. Records packed within the same second
// share one archive.
#include "results/data_directory.h"
#include "results/result_log.h"
#include "results/service_time.h"

#include <cstddef>
#include <filesystem>
#include <string>

namespace quorvane
{

// The archive name of a packing time.
std::string archiveName(const RecordTime& time);

// True for the names of records waiting to be packed:
// "Pccollect_<kind>_<10 digits>.dat", optionally followed by ".<n>" when a
// record had to wait beside an older one of the same name.
bool isWaitingRecordName(const std::string& fileName);

// Thread-safety: one packer per thread; the window thread owns it.
//
// Exactly once: packing writes a journal ("packing.journal" in the data
// folder) naming the archive and the records it holds before it gives the
// archive its name, and removes it once the records are gone. After a crash
// the journal tells whether the archive was published: if so its records
// are deleted, otherwise the half-built archive is, and the records are
// packed again. The constructor does this, so construct the packer before
// any upload run of the folder starts.
class Packer
{
public:
    Packer(DataDirectory& data, const ServiceClock& clock, ResultLog log);

    // Packs the record at `recordPath` together with every record that an
    // earlier packing left waiting in the data folder, into the archive of
    // the current time (or of the next free second, when that archive is
    // being sent or already went). The archive is written under a temporary
    // name, read back and checked, flushed, and only then given its name;
    // only after that are the records deleted.
    //
    // When `regionalCopy` is given, the published archive is copied into
    // that folder. A copy that fails (the folder cannot be created, the disk
    // is full) never holds back the main archive: it is logged and waits in
    // pendingRegionalDir() for retryRegionalCopies().
    //
    // Returns the archive name holding the record; empty when it could not
    // be packed — the record then waits in the data folder for the next
    // packing, and the failure is logged.
    std::string PackRecord(const std::filesystem::path& recordPath, DataDirectory* regionalCopy = nullptr);

    // Moves the regional copies that could not be made earlier into
    // `regional`, under their own names (or the next free second when that
    // name is being sent or already went from there). Returns how many still
    // wait; the first failure is logged and ends the attempt.
    std::size_t retryRegionalCopies(DataDirectory& regional);

    // Where regional copies wait while the regional folder cannot take them:
    // a folder inside the data folder, so that the main upload run never
    // sees them.
    std::filesystem::path pendingRegionalDir() const { return m_data.path() / "Data2-pending"; }

private:
    void log(const std::string& message) const;
    // Sorts out what a crash left behind. Data folder lock held.
    void recoverLocked();
    // Copies the published archive `name` for the region, or leaves it in
    // pendingRegionalDir(). Both folder locks held.
    void copyForRegionLocked(const std::string& name, DataDirectory* regional);
    bool stashLocked(const std::filesystem::path& source, const std::string& name, std::string& why);

    DataDirectory& m_data;
    const ServiceClock& m_clock;
    ResultLog m_log;
};

} // namespace quorvane
