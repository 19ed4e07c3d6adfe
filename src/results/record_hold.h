#pragma once
// Finished results that could not be stored yet (a full disk, a data folder
// that cannot be written): kept in memory, in the order they were measured,
// and written at the next chance, each under its own hour's file name, with
// its history line. A result whose record went in but whose history line did
// not waits for the line alone.
//
// Thread-safety: every member may be called from any thread.
#include "results/result_log.h"

#include <cstddef>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace quorvane
{

struct HeldRecord {
    std::string fileName; // "Pccollect_<kind>_<hour>.dat" of the result's own time
    std::string bytes;    // the record as it goes on disk
    bool recordWritten = false;
    std::filesystem::path historyFile; // empty: no history line belongs to it
    std::string historyLine;           // without its line end
};

class RecordHold
{
public:
    static constexpr std::size_t kCapacity = 100;

    RecordHold(std::filesystem::path dataDir, ResultLog log);
    // The program's end: writes what it can and logs every result it could
    // not.
    ~RecordHold();
    RecordHold(const RecordHold&) = delete;
    RecordHold& operator=(const RecordHold&) = delete;

    // Keeps a result. When kCapacity results wait already, the oldest is
    // given up and logged as lost.
    void hold(HeldRecord record);

    struct Flushed {
        std::vector<std::string> written; // record files now in the data folder
        std::size_t waiting = 0;          // results still held
        std::string failure;              // why the first one that failed did
    };
    // Writes the held results in order and stops at the first that still
    // fails (the disk is still full: the rest would fail too).
    Flushed flush();

    std::size_t size() const;
    // Results given up since the start (capacity or end of the program).
    std::size_t lost() const;

private:
    // Writes one; false with `why` set when it still cannot.
    bool writeOne(HeldRecord& record, std::string& why, std::string& fileName);

    std::filesystem::path m_dataDir;
    ResultLog m_log;
    mutable std::mutex m_mutex;
    std::deque<HeldRecord> m_held;
    std::size_t m_lost = 0;
};

// Writes a record's bytes into `dataDir` as `baseName`, durably: under a
// temporary name first, then renamed. A name still taken by a record that
// waits for packing makes it "<baseName>.<n>", so neither is lost. Returns
// the name used; empty with `why` (the system's reason) on failure, and then
// nothing is left behind.
std::string writeRecordBytes(const std::filesystem::path& dataDir, const std::string& baseName,
                             const std::string& bytes, std::string& why);

} // namespace quorvane
