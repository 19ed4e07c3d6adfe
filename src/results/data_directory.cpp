#include "results/data_directory.h"

#include "results/durable_file.h"

#include <algorithm>
#include <cctype>
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace quorvane
{

namespace
{

constexpr std::size_t kSentMemory = 256;

bool hasZipSuffix(const std::string& name)
{
    if (name.size() <= 4)
        return false;
    std::string suffix = name.substr(name.size() - 4);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return suffix == ".zip";
}

bool identify(const std::filesystem::path& path, std::uint64_t& device, std::uint64_t& inode, std::int64_t& mtimeNs)
{
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0)
        return false;
    device = st.st_dev;
    inode = st.st_ino;
    mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

} // namespace

DataDirectory::DataDirectory(std::filesystem::path path) : m_path(std::move(path)) {}

bool DataDirectory::ensureExists() const
{
    std::error_code ec;
    std::filesystem::create_directories(m_path, ec);
    return std::filesystem::is_directory(m_path, ec);
}

std::vector<std::string> DataDirectory::waitingArchives() const
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(m_path, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeEc;
        if (!it->is_regular_file(typeEc))
            continue;
        std::string name = it->path().filename().string();
        if (hasZipSuffix(name))
            names.push_back(std::move(name));
    }
    // Name order is time order for archive names, so the oldest result
    // travels first.
    std::sort(names.begin(), names.end());
    return names;
}

bool DataDirectory::nameUsableLocked(const std::string& name) const
{
    return name != m_sending && std::find(m_sent.begin(), m_sent.end(), name) == m_sent.end();
}

bool DataDirectory::publishLocked(const std::filesystem::path& temp, const std::string& name)
{
    std::error_code ec;
    std::filesystem::rename(temp, m_path / name, ec);
    if (ec)
        return false;
    syncDirectory(m_path);
    return true;
}

std::optional<DataDirectory::Sending> DataDirectory::beginSending(const std::string& name)
{
    std::lock_guard guard(m_mutex);
    Sending s;
    s.name = name;
    const std::filesystem::path file = m_path / name;
    if (!identify(file, s.device, s.inode, s.modifiedNs))
        return std::nullopt;
    auto bytes = readWholeFile(file);
    if (!bytes)
        return std::nullopt;
    s.bytes = std::move(*bytes);
    m_sending = name;
    return s;
}

bool DataDirectory::endSending(const Sending& sending, bool confirmed)
{
    std::lock_guard guard(m_mutex);
    m_sending.clear();
    if (!confirmed)
        return false;
    std::uint64_t device = 0, inode = 0;
    std::int64_t mtime = 0;
    const std::filesystem::path file = m_path / sending.name;
    if (!identify(file, device, inode, mtime) || device != sending.device || inode != sending.inode ||
        mtime != sending.modifiedNs)
        return false;
    std::error_code ec;
    if (!std::filesystem::remove(file, ec))
        return false;
    // The removal is not flushed: should a power cut undo it, the archive is
    // sent once more, which costs the server a duplicate and loses nothing,
    // while a flush per archive would make every run several times slower.
    m_sent.push_back(sending.name);
    if (m_sent.size() > kSentMemory)
        m_sent.pop_front();
    return true;
}

} // namespace quorvane
