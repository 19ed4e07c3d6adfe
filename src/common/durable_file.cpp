#include "common/durable_file.h"

#include "common/full_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace quorvane
{
namespace
{

constexpr std::string_view kTempMarker = ".qvsave-";
constexpr std::size_t kTempUniqueChars = 6;
constexpr mode_t kOwnerOnlyMode = 0600;
constexpr mode_t kNewFileMode = 0644;

// The process's umask, read without changing it (umask() would, for a moment,
// for every thread). 022 when the kernel does not say.
mode_t currentUmask()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    }
    return 022;
}

// The fault a test asked for (see ScopedWriteFault).
std::atomic<int> g_faultError{0};
std::atomic<int> g_faultAfter{0};
std::atomic<int> g_faultTimes{0};
std::atomic<int> g_faultHits{0};

std::filesystem::path folderOf(const std::filesystem::path& path)
{
    const auto parent = path.parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

bool writeAll(int fd, std::string_view bytes)
{
    if (injectedWriteFault() != 0)
        return false;
    return transferAll(bytes.data(), bytes.size(),
                       [fd](const char* p, std::size_t n) { return ::write(fd, p, n); });
}

// Creates a fresh temporary file beside `target` and locks it, so that a
// sweep in another process can tell a save under way from an interrupted
// one. A sweep may catch the name between its creation and the lock and
// remove it; the file is then made again under another name.
int createLockedTemp(const std::filesystem::path& target, std::filesystem::path& tempOut)
{
    const std::string pattern =
        (folderOf(target) / ("." + target.filename().string() + std::string(kTempMarker) + "XXXXXX")).string();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = pattern;
        if (injectedWriteFault() != 0)
            return -1;
        const int fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0)
            return -1;
        struct stat st {
        };
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &st) == 0 && st.st_nlink > 0) {
            tempOut = name;
            return fd;
        }
        ::close(fd);
    }
    errno = EAGAIN;
    return -1;
}

enum class Restrict { Unchanged, Changed, Failed };

Restrict restrict(const std::filesystem::path& path)
{
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? Restrict::Unchanged : Restrict::Failed;
    if (!S_ISREG(st.st_mode) || (st.st_mode & 077) == 0)
        return Restrict::Unchanged;
    return ::chmod(path.c_str(), st.st_mode & 0700) == 0 ? Restrict::Changed : Restrict::Failed;
}

// The temporary file a leftover belongs to: itself, or for a file that a
// library made beside one of ours (".x.qvsave-AbC123.XyZ789"), that file.
std::string ownerName(std::string_view name)
{
    const auto at = name.find(kTempMarker);
    return std::string(name.substr(0, at + kTempMarker.size() + kTempUniqueChars));
}

enum class Owner { Gone, Alive };

// Whether the writer of the temporary file `path` is still at work. When it
// is not, and `removeIfGone`, the file is removed while its lock is held, so
// a writer that starts over under the same name is never hurt.
Owner checkOwner(const std::filesystem::path& path, bool removeIfGone)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Owner::Gone;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return Owner::Alive;
    }
    if (removeIfGone) {
        struct stat held {
        };
        struct stat named {
        };
        if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            ::unlink(path.c_str());
    }
    ::close(fd);
    return Owner::Gone;
}

} // namespace

ScopedWriteFault::ScopedWriteFault(int error, int after, int times)
{
    g_faultHits = 0;
    g_faultAfter = after;
    g_faultTimes = times;
    g_faultError = error;
}

ScopedWriteFault::~ScopedWriteFault()
{
    g_faultError = 0;
}

int ScopedWriteFault::failures() const
{
    return g_faultHits.load();
}

int injectedWriteFault()
{
    const int error = g_faultError.load(std::memory_order_relaxed);
    if (error == 0)
        return 0;
    if (g_faultAfter.fetch_sub(1) > 0)
        return 0;
    if (g_faultTimes.load() == 0)
        return 0;
    if (g_faultTimes.load() > 0)
        --g_faultTimes;
    ++g_faultHits;
    errno = error;
    return error;
}

bool holdsCredentials(const std::filesystem::path& path)
{
    const std::string name = path.filename().string();
    const std::string folder = path.parent_path().filename().string();
    return name == "l_c_config_01.properties" || name == "known_hosts" || name == "upload_config.xml" ||
           (name == "config.xml" && folder == "conf");
}

mode_t modeForSave(const std::filesystem::path& path, FileAccess access)
{
    if (access == FileAccess::OwnerOnly || holdsCredentials(path))
        return kOwnerOnlyMode;
    struct stat st {
    };
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 0777;
    return kNewFileMode & ~currentUmask();
}

bool writeFileDurably(const std::filesystem::path& path, std::string_view bytes, FileAccess access)
{
    PendingFile file(path, access);
    return file.isOpen() && file.append(bytes) && file.commit();
}

bool appendFileDurably(const std::filesystem::path& path, std::string_view bytes, FileAccess access)
{
    const mode_t mode = modeForSave(path, access);
    const bool existed = ::access(path.c_str(), F_OK) == 0;
    if (injectedWriteFault() != 0)
        return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    // A credential file is tightened whatever it was before.
    bool ok = mode != kOwnerOnlyMode || ::fchmod(fd, mode) == 0;
    ok = ok && writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && !existed)
        ok = syncDirectory(folderOf(path));
    return ok;
}

PendingFile::PendingFile(std::filesystem::path target, FileAccess access)
    : m_target(std::move(target)), m_mode(modeForSave(m_target, access))
{
    m_fd = createLockedTemp(m_target, m_temp);
    // Owner-only from the first byte on when that is where it ends.
    if (m_fd >= 0 && m_mode == kOwnerOnlyMode && ::fchmod(m_fd, m_mode) != 0)
        discard();
}

PendingFile::~PendingFile()
{
    discard();
}

bool PendingFile::append(std::string_view bytes)
{
    return m_fd >= 0 && writeAll(m_fd, bytes);
}

bool PendingFile::flushAndSetMode()
{
    if (m_fd < 0)
        return false;
    if (!m_flushed) {
        // Code that wrote to tempPath() by itself may have replaced the file
        // under that name: what is flushed and renamed is what the name holds.
        const int fd = ::open(m_temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool ok = ::fchmod(fd, m_mode) == 0 && injectedWriteFault() == 0 && ::fsync(fd) == 0;
        ::close(fd);
        if (!ok)
            return false;
        m_flushed = true;
    }
    return true;
}

bool PendingFile::commit()
{
    if (!flushAndSetMode() || ::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        discard();
        return false;
    }
    // The lock goes with the descriptor; the name is the target's now.
    ::close(m_fd);
    m_fd = -1;
    return syncDirectory(folderOf(m_target));
}

bool PendingFile::commitNoReplace(const std::filesystem::path& name)
{
    if (!flushAndSetMode()) {
        discard();
        return false;
    }
    const std::filesystem::path to = folderOf(m_target) / name;
    if (!renameNoReplace(m_temp, to)) {
        const int error = errno;
        if (error != EEXIST)
            discard();
        errno = error;
        return false;
    }
    ::close(m_fd);
    m_fd = -1;
    return syncDirectory(folderOf(m_target));
}

void PendingFile::discard()
{
    if (m_fd < 0)
        return;
    ::unlink(m_temp.c_str());
    ::close(m_fd);
    m_fd = -1;
}

bool isInterruptedSaveName(std::string_view name)
{
    const auto at = name.find(kTempMarker);
    return !name.empty() && name.front() == '.' && at != std::string_view::npos && at > 1 &&
           name.size() >= at + kTempMarker.size() + kTempUniqueChars;
}

std::size_t sweepInterruptedSaves(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (isInterruptedSaveName(name) && it->is_regular_file(ec) && !it->is_symlink(ec))
            names.push_back(std::move(name));
    }
    std::size_t removed = 0;
    for (const std::string& name : names) {
        const std::string owner = ownerName(name);
        const std::filesystem::path path = dir / name;
        if (owner == name) {
            if (checkOwner(path, true) == Owner::Gone && ::access(path.c_str(), F_OK) != 0)
                ++removed;
        } else if (checkOwner(dir / owner, false) == Owner::Gone && ::unlink(path.c_str()) == 0) {
            ++removed;
        }
    }
    if (removed > 0)
        syncDirectory(dir);
    return removed;
}

bool restrictToOwner(const std::filesystem::path& path)
{
    return restrict(path) != Restrict::Failed;
}

std::size_t restrictCredentialFiles(const std::filesystem::path& programDirectory)
{
    static constexpr std::array<const char*, 4> kFiles = {"conf/l_c_config_01.properties", "conf/known_hosts",
                                                          "conf/config.xml", "Config/upload_config.xml"};
    std::size_t changed = 0;
    for (const char* file : kFiles) {
        if (restrict(programDirectory / file) == Restrict::Changed)
            ++changed;
    }
    return changed;
}

TidyReport tidyInstallation(const std::filesystem::path& programDirectory,
                            const std::vector<std::filesystem::path>& otherFolders)
{
    TidyReport report;
    for (const char* folder : {"conf", "Config", "HistoryRecord", "Data", "Data2", "tmp"})
        report.savesSwept += sweepInterruptedSaves(programDirectory / folder);
    for (const auto& folder : otherFolders)
        report.savesSwept += sweepInterruptedSaves(folder);
    report.filesRestricted = restrictCredentialFiles(programDirectory);
    return report;
}

bool writeFileSynced(const std::filesystem::path& path, std::string_view bytes)
{
    if (injectedWriteFault() != 0)
        return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, modeForSave(path));
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, bytes);
    const bool synced = written && ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

bool syncFile(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool syncDirectory(const std::filesystem::path& dir)
{
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the flag: a hard link refuses an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return std::nullopt;
    return bytes;
}

std::optional<FileHead> readFileHead(const std::filesystem::path& path, std::size_t limit)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    FileHead head;
    char buf[16384];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        const auto got = static_cast<std::size_t>(in.gcount());
        if (head.bytes.size() + got > limit) {
            head.bytes.append(buf, limit - head.bytes.size());
            head.cut = true;
            break;
        }
        head.bytes.append(buf, got);
    }
    return head;
}

} // namespace quorvane
