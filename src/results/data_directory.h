#pragma once
// A folder of archives waiting for one collection server: "Data" for the
// main server, "Data2" for the regional one. Packing puts archives in, an
// upload run takes them out; this object keeps the two from stepping on each
// other:
//   - packing never rewrites an archive while a run is sending it, nor
//     reuses the name of one already sent (the server would get the name
//     twice and keep only the later file);
//   - a run deletes an archive only when the file is still the one it sent.
//
// Thread-safety: every member may be called from any thread.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvane
{

class DataDirectory
{
public:
    explicit DataDirectory(std::filesystem::path path);
    DataDirectory(const DataDirectory&) = delete;
    DataDirectory& operator=(const DataDirectory&) = delete;

    const std::filesystem::path& path() const { return m_path; }

    // Creates the folder when it is missing. False when it cannot.
    bool ensureExists() const;

    // Names of the archives ("*.zip") waiting in the folder, sorted.
    std::vector<std::string> waitingArchives() const;

    // --- packing side. Hold lock() across the checks and the publish.
    std::unique_lock<std::mutex> lock() const { return std::unique_lock(m_mutex); }
    // A name packing may create or add to: not being sent, not sent lately.
    bool nameUsableLocked(const std::string& name) const;
    // Moves the finished archive `temp` to `name` (replacing an older file
    // of that name) and flushes the folder.
    bool publishLocked(const std::filesystem::path& temp, const std::string& name);

    // --- upload side.
    struct Sending {
        std::string name;
        std::string bytes; // the archive as it was read
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t modifiedNs = 0;
    };
    // Reads the archive and marks it as being sent. Nothing when the file is
    // gone or unreadable.
    std::optional<Sending> beginSending(const std::string& name);
    // Ends the sending. When `confirmed` and the file is still the one that
    // was read, it is deleted and true returned; a file replaced meanwhile
    // stays for the next transfer.
    bool endSending(const Sending& sending, bool confirmed);

private:
    std::filesystem::path m_path;
    mutable std::mutex m_mutex;
    std::string m_sending;
    std::deque<std::string> m_sent; // the latest names sent and deleted
};

} // namespace quorvane
