#include "update/install.h"

#include "common/durable_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace quorvane::update
{
namespace
{

constexpr std::string_view kJournalHead = "quorvane install journal 1";
constexpr std::string_view kStagedSuffix = ".qvnew";
constexpr std::string_view kAsideSuffix = ".qvold";
constexpr std::size_t kNameMax = 255;

bool hasControlCharacter(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

// What both kinds of path must never carry, in the order a log line should
// name the worst fault first.
PathRefusal checkText(std::string_view path)
{
    if (path.find('\0') != std::string_view::npos)
        return PathRefusal::Nul;
    if (path.find('\\') != std::string_view::npos)
        return PathRefusal::Backslash;
    if (path.find("..") != std::string_view::npos)
        return PathRefusal::ParentStep;
    if (hasControlCharacter(path))
        return PathRefusal::ControlCharacter;
    if (path.starts_with('/') || path.find("://") != std::string_view::npos)
        return PathRefusal::Absolute;
    // "C:x" names another drive where the release was made; a scheme such as
    // "file:" would turn a server path into another kind of address.
    const auto colon = path.find(':');
    if (colon != std::string_view::npos && path.find('/') > colon)
        return PathRefusal::Absolute;
    if (path.find_first_not_of("/.") == std::string_view::npos)
        return PathRefusal::Empty;
    return PathRefusal::None;
}

bool isWithin(const fs::path& root, const fs::path& path)
{
    const fs::path rel = path.lexically_relative(root);
    return !rel.empty() && *rel.begin() != "..";
}

// The target's absolute path with every link on the way resolved, or the
// reason it cannot be written. `root` is the canonical program folder.
PathRefusal resolveTarget(const fs::path& root, std::string_view localpath, fs::path& out)
{
    std::vector<std::string> parts;
    for (std::size_t from = 0; from <= localpath.size();) {
        const auto slash = std::min(localpath.find('/', from), localpath.size());
        const auto part = localpath.substr(from, slash - from);
        if (!part.empty() && part != ".")
            parts.emplace_back(part);
        from = slash + 1;
    }
    if (parts.empty())
        return PathRefusal::Empty;
    fs::path dir = root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        std::error_code ec;
        const fs::path next = dir / parts[i];
        const auto st = fs::symlink_status(next, ec);
        if (ec || st.type() == fs::file_type::not_found) {
            // Not there yet: everything below is created by us, inside.
            dir = next;
            continue;
        }
        if (st.type() == fs::file_type::symlink) {
            const fs::path real = fs::canonical(next, ec);
            if (ec || !isWithin(root, real))
                return PathRefusal::OutsideThroughLink;
            if (!fs::is_directory(real, ec))
                return PathRefusal::NotAFile;
            dir = real;
            continue;
        }
        if (st.type() != fs::file_type::directory)
            return PathRefusal::NotAFile;
        dir = next;
    }
    const std::string& name = parts.back();
    if (name == kInstallJournal || name == kInstallLock ||
        (name.starts_with('.') && (name.ends_with(kStagedSuffix) || name.ends_with(kAsideSuffix))))
        return PathRefusal::Reserved;
    out = dir / name;
    std::error_code ec;
    const auto st = fs::symlink_status(out, ec);
    if (st.type() == fs::file_type::symlink) {
        // Renaming over a link replaces the link, not what it points to; a
        // link that leads out is still a sign of a folder someone tampered
        // with, and is refused like the others.
        const fs::path real = fs::weakly_canonical(out, ec);
        if (ec || !isWithin(root, real))
            return PathRefusal::OutsideThroughLink;
    } else if (!ec && st.type() != fs::file_type::not_found && st.type() != fs::file_type::regular) {
        return PathRefusal::NotAFile;
    }
    return PathRefusal::None;
}

fs::path besideTarget(const fs::path& target, std::string_view suffix)
{
    return target.parent_path() / ("." + target.filename().string() + std::string(suffix));
}

struct Entry {
    fs::path target; // absolute
    fs::path source;
    bool hadOld = false;
    fs::path staged() const { return besideTarget(target, kStagedSuffix); }
    fs::path aside() const { return besideTarget(target, kAsideSuffix); }
};

enum class Phase { Prepare, Swap, Commit };

std::string_view phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Prepare:
        return "prepare";
    case Phase::Swap:
        return "swap";
    case Phase::Commit:
        return "commit";
    }
    return "";
}

// Targets are kept relative to the program folder, each with its length in
// front, so that any byte a file name may hold reads back unchanged.
std::string journalText(const fs::path& root, Phase phase, const std::vector<Entry>& entries)
{
    std::string text(kJournalHead);
    text += "\nstate ";
    text += phaseName(phase);
    text += '\n';
    for (const auto& e : entries) {
        const std::string rel = e.target.lexically_relative(root).string();
        text += e.hadOld ? "1 " : "0 ";
        text += std::to_string(rel.size());
        text += ':';
        text += rel;
        text += '\n';
    }
    return text;
}

bool parseJournal(const fs::path& root, std::string_view text, Phase& phase, std::vector<Entry>& entries)
{
    auto line = [&text]() -> std::optional<std::string_view> {
        const auto end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt;
        const auto l = text.substr(0, end);
        text.remove_prefix(end + 1);
        return l;
    };
    if (line() != kJournalHead)
        return false;
    const auto state = line();
    if (!state)
        return false;
    if (*state == "state prepare")
        phase = Phase::Prepare;
    else if (*state == "state swap")
        phase = Phase::Swap;
    else if (*state == "state commit")
        phase = Phase::Commit;
    else
        return false;
    while (!text.empty()) {
        if (text.size() < 3 || (text[0] != '0' && text[0] != '1') || text[1] != ' ')
            return false;
        Entry e;
        e.hadOld = text[0] == '1';
        text.remove_prefix(2);
        std::size_t len = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), len);
        if (ec != std::errc() || end == text.data() + text.size() || *end != ':')
            return false;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
        if (text.size() < len + 1 || text[len] != '\n')
            return false;
        const fs::path rel(std::string(text.substr(0, len)));
        text.remove_prefix(len + 1);
        // A journal is ours, but a damaged one must not send us elsewhere.
        if (rel.empty() || rel.is_absolute() || !isWithin(root, (root / rel).lexically_normal()))
            return false;
        e.target = root / rel;
        entries.push_back(std::move(e));
    }
    return true;
}

class FolderLock
{
public:
    explicit FolderLock(const fs::path& root)
    {
        m_fd = ::open((root / kInstallLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            // Only a lock that someone holds means another installer; a
            // folder we may not write is a different story for the log.
            m_unwritable = true;
            return;
        }
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return m_fd >= 0; }
    bool unwritable() const { return m_unwritable; }

private:
    int m_fd = -1;
    bool m_unwritable = false;
};

class Steps
{
public:
    explicit Steps(const InstallOptions& options) : m_hook(options.stepHook) {}
    bool next() { return !m_hook || m_hook(++m_count); }

private:
    std::function<bool(int)> m_hook;
    int m_count = 0;
};

bool present(const fs::path& path)
{
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

bool removeIfThere(const fs::path& path)
{
    std::error_code ec;
    fs::remove(path, ec);
    return !ec;
}

bool syncFolders(const std::vector<Entry>& entries)
{
    std::set<fs::path> folders;
    for (const auto& e : entries)
        folders.insert(e.target.parent_path());
    bool ok = true;
    for (const auto& f : folders)
        ok = syncDirectory(f) && ok;
    return ok;
}

bool looksLikeProgram(int fd)
{
    char head[4] = {};
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    return (n >= 4 && std::string_view(head, 4) == "\x7f"
                                                   "ELF") ||
           (n >= 2 && head[0] == '#' && head[1] == '!');
}

// Copies the new file beside its target and flushes it, with the bits the
// target has (or a new file's bits), so the rename is the only change left.
bool stage(const Entry& e)
{
    const int in = ::open(e.source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    mode_t mode = 0644;
    struct stat st {
    };
    if (e.hadOld && ::stat(e.target.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    else if (looksLikeProgram(in))
        mode = 0755;
    const int out = ::open(e.staged().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    ok = ok && ::fchmod(out, mode) == 0 && ::fsync(out) == 0;
    ok = ::close(out) == 0 && ok;
    ::close(in);
    return ok;
}

bool writeJournal(const fs::path& root, Phase phase, const std::vector<Entry>& entries)
{
    return writeFileDurably(root / kInstallJournal, journalText(root, phase, entries));
}

bool removeJournal(const fs::path& root)
{
    return removeIfThere(root / kInstallJournal) && syncDirectory(root);
}

// Puts every old file back. Safe to run again after it was itself
// interrupted: each file's state tells which of its renames happened.
bool rollBack(const fs::path& root, Phase phase, const std::vector<Entry>& entries, Steps& steps)
{
    bool ok = true;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const Entry& e = *it;
        // Nothing is moved aside before the swap, so an aside file seen in
        // the prepare phase is not ours to restore.
        if (phase == Phase::Swap && present(e.aside())) {
            if (!steps.next() || ::rename(e.aside().c_str(), e.target.c_str()) != 0)
                ok = false;
        } else if (phase == Phase::Swap && !e.hadOld && !present(e.staged()) && present(e.target)) {
            // Every file was staged before the swap began, so a missing
            // staged file of a new target means it was renamed into place.
            if (!steps.next() || !removeIfThere(e.target))
                ok = false;
        }
        if (present(e.staged()) && (!steps.next() || !removeIfThere(e.staged())))
            ok = false;
    }
    if (!ok)
        return false;
    syncFolders(entries);
    return steps.next() && removeJournal(root);
}

bool complete(const fs::path& root, const std::vector<Entry>& entries, Steps& steps)
{
    for (const auto& e : entries) {
        for (const auto& leftover : {e.aside(), e.staged()}) {
            if (present(leftover) && (!steps.next() || !removeIfThere(leftover)))
                return false;
        }
    }
    syncFolders(entries);
    return steps.next() && removeJournal(root);
}

RecoveryResult recoverLocked(const fs::path& root, Steps& steps)
{
    // A journal half written when the installer died is a temporary file
    // that never became the journal; its writer is gone.
    sweepInterruptedSaves(root);
    const fs::path journal = root / kInstallJournal;
    if (!present(journal))
        return RecoveryResult::Nothing;
    const auto text = readWholeFile(journal);
    Phase phase = Phase::Prepare;
    std::vector<Entry> entries;
    if (!text || !parseJournal(root, *text, phase, entries))
        return RecoveryResult::Failed;
    if (phase == Phase::Commit)
        return complete(root, entries, steps) ? RecoveryResult::Completed : RecoveryResult::Failed;
    return rollBack(root, phase, entries, steps) ? RecoveryResult::RolledBack : RecoveryResult::Failed;
}

bool createFolders(const fs::path& dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec);
}

} // namespace

std::string_view describe(PathRefusal refusal)
{
    switch (refusal) {
    case PathRefusal::None:
        return "accepted";
    case PathRefusal::Empty:
        return "empty";
    case PathRefusal::Absolute:
        return "absolute";
    case PathRefusal::ParentStep:
        return "contains \"..\"";
    case PathRefusal::Backslash:
        return "contains a backslash";
    case PathRefusal::Nul:
        return "contains a NUL byte";
    case PathRefusal::ControlCharacter:
        return "contains a control character";
    case PathRefusal::OutsideThroughLink:
        return "leads out of the program folder through a link";
    case PathRefusal::NotAFile:
        return "is not a file";
    case PathRefusal::Reserved:
        return "is a name the installer keeps for itself";
    }
    return "?";
}

PathRefusal checkServerPath(std::string_view serpath)
{
    return checkText(serpath);
}

PathRefusal checkLocalPath(const fs::path& programDir, std::string_view localpath)
{
    if (const auto why = checkText(localpath); why != PathRefusal::None)
        return why;
    std::error_code ec;
    const fs::path root = fs::canonical(programDir, ec);
    if (ec)
        return PathRefusal::OutsideThroughLink;
    fs::path target;
    return resolveTarget(root, localpath, target);
}

InstallOutcome installFiles(const fs::path& programDir, const std::vector<InstallFile>& files,
                            const InstallOptions& options)
{
    std::error_code ec;
    const fs::path root = fs::canonical(programDir, ec);
    if (ec)
        return {InstallResult::Refused, "program folder: " + ec.message()};

    // Resolve every path before anything is touched; one bad path refuses
    // the release.
    std::vector<Entry> entries;
    for (const auto& f : files) {
        fs::path target;
        auto why = checkText(f.localPath);
        if (why == PathRefusal::None)
            why = resolveTarget(root, f.localPath, target);
        if (why != PathRefusal::None)
            return {InstallResult::Refused, f.localPath + ": " + std::string(describe(why))};
        const auto same =
            std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.target == target; });
        if (same != entries.end()) {
            same->source = f.source;
            continue;
        }
        if (target.filename().string().size() + kStagedSuffix.size() + 1 > kNameMax)
            return {InstallResult::Refused, f.localPath + ": name too long"};
        entries.push_back({target, f.source, false});
    }

    FolderLock lock(root);
    if (lock.unwritable())
        return {InstallResult::Unwritable, "the program folder cannot be written"};
    if (!lock.held())
        return {InstallResult::Busy, "another installer is running"};
    Steps steps(options);
    if (recoverLocked(root, steps) == RecoveryResult::Failed)
        return {InstallResult::Broken, "an earlier install could not be recovered"};

    // No journal names them now, so files left under our temporary names
    // (by hand, or by a tool that copied a folder) are stale.
    for (auto& e : entries) {
        e.hadOld = present(e.target);
        if (!removeIfThere(e.staged()) || !removeIfThere(e.aside()))
            return {InstallResult::Refused, "cannot clear " + e.aside().string()};
    }

    auto undo = [&](Phase phase, std::string what) -> InstallOutcome {
        InstallOptions undoOptions;
        undoOptions.stepHook = options.undoStepHook;
        Steps undoSteps(undoOptions);
        if (rollBack(root, phase, entries, undoSteps))
            return {InstallResult::RolledBack, std::move(what)};
        return {InstallResult::Broken, std::move(what)};
    };

    if (!steps.next() || !writeJournal(root, Phase::Prepare, entries))
        return {InstallResult::RolledBack, "journal could not be written"};
    for (const auto& e : entries) {
        if (!steps.next() || !createFolders(e.target.parent_path()))
            return undo(Phase::Prepare, "folder of " + e.target.string());
        if (!steps.next() || !stage(e))
            return undo(Phase::Prepare, "copy of " + e.source.string());
    }
    syncFolders(entries);
    if (!steps.next() || !writeJournal(root, Phase::Swap, entries))
        return undo(Phase::Prepare, "journal could not be written");

    for (const auto& e : entries) {
        if (e.hadOld && (!steps.next() || ::rename(e.target.c_str(), e.aside().c_str()) != 0))
            return undo(Phase::Swap, "moving aside " + e.target.string());
        if (!steps.next() || ::rename(e.staged().c_str(), e.target.c_str()) != 0)
            return undo(Phase::Swap, "placing " + e.target.string());
    }
    syncFolders(entries);
    if (!steps.next() || !writeJournal(root, Phase::Commit, entries))
        return undo(Phase::Swap, "journal could not be written");

    // From here the new release stands; leftovers are only tidied, by the
    // next recovery when not now.
    complete(root, entries, steps);
    InstallOutcome done{InstallResult::Installed, {}};
    // Still under the lock, so no other installer can come between the
    // files and what is recorded about them.
    if (options.afterInstall)
        done.recorded = options.afterInstall();
    return done;
}

namespace
{

// Runs `work` on the program folder's canonical path while holding its
// install lock; `unwritable` and `busy` answer when the lock cannot be had.
template <typename Result, typename Work>
Result underInstallLock(const fs::path& programDir, Result unwritable, Result busy, Work work)
{
    std::error_code ec;
    const fs::path root = fs::canonical(programDir, ec);
    if (ec)
        return unwritable;
    FolderLock lock(root);
    if (lock.unwritable())
        return unwritable;
    if (!lock.held())
        return busy;
    return work(root);
}

} // namespace

LockedRun runUnderInstallLock(const std::filesystem::path& programDir, const std::function<bool()>& work)
{
    return underInstallLock(programDir, LockedRun::Unwritable, LockedRun::Busy,
                            [&](const fs::path&) { return work() ? LockedRun::Done : LockedRun::Failed; });
}

RecoveryResult recoverInterruptedInstall(const fs::path& programDir, const InstallOptions& options)
{
    return underInstallLock(programDir, RecoveryResult::Failed, RecoveryResult::Busy, [&](const fs::path& root) {
        Steps steps(options);
        return recoverLocked(root, steps);
    });
}

} // namespace quorvane::update
