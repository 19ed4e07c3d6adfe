#pragma once
// Packing: each record file leaves Data inside a zip archive named
// "%04d%02d%02d%02d%02d%02d_1024_Pccollect.zip" after the packing time,
// holding the record at its top level. Records packed within the same second
// share one archive.
#include "results/data_directory.h"
#include "results/result_log.h"
#include "results/service_time.h"

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
class Packer
{
public:
    Packer(DataDirectory& data, const ServiceClock& clock, ResultLog log);

    // Packs the record at `recordPath` together with every record that an
    // earlier packing left waiting in the data folder, into the archive of
    // the current time (or of the next free second, when that archive is
    // being sent or already went). The archive is written under a temporary
    // name, read back and checked, flushed, and only then given its name;
    // only after that are the records deleted. When `regionalCopy` is given,
    // the same archive is put into that folder first.
    //
    // Returns the archive name holding the record; empty when it could not
    // be packed — the record then waits in the data folder for the next
    // packing, and the failure is logged.
    std::string PackRecord(const std::filesystem::path& recordPath, DataDirectory* regionalCopy = nullptr);

private:
    DataDirectory& m_data;
    const ServiceClock& m_clock;
    ResultLog m_log;
};

} // namespace quorvane
