#pragma once
// File steps that survive a crash or a power cut: whatever moment the
// machine stops, a file the program owns is either its old self or its new
// self, never torn, and never readable by others when it holds credentials.
//
// Every save of a whole file goes through writeFileDurably() (or a
// PendingFile when the bytes come from elsewhere): the bytes go to a
// temporary file beside the target, are flushed to the disk, the temporary
// file is renamed over the target and the folder is flushed. The temporary
// names have one shape, "." + target name + ".qvsave-" + six characters, and
// a writer holds a lock on its temporary file until it is renamed or gone;
// sweepInterruptedSaves() at start-up removes exactly those whose writer is
// gone (an interrupted save), never a save still under way in another
// program or thread.
//
// All functions may be called from any thread; they share no state.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane
{

// Permission bits of a saved file.
enum class FileAccess {
    // Owner only for the files that hold credentials (holdsCredentials());
    // otherwise the bits of the file being replaced, or 0644 for a new file.
    Default,
    // 0600, whatever the file.
    OwnerOnly,
};

// Whether the file at `path` holds credentials and must be readable by its
// owner only: conf/l_c_config_01.properties (the user's password),
// conf/known_hosts (the trusted server keys), conf/config.xml and
// Config/upload_config.xml (the collection servers' accounts).
bool holdsCredentials(const std::filesystem::path& path);

// The permission bits a save of `path` with `access` gives the file.
mode_t modeForSave(const std::filesystem::path& path, FileAccess access = FileAccess::Default);

// Replaces (or creates) `path` with `bytes` durably, as described above.
// False on any failure; `path` is then untouched and no temporary file stays.
bool writeFileDurably(const std::filesystem::path& path, std::string_view bytes,
                      FileAccess access = FileAccess::Default);

// Appends `bytes` to `path` (created with modeForSave() when missing) and
// flushes the file, and the folder when the file is new. False on failure.
bool appendFileDurably(const std::filesystem::path& path, std::string_view bytes,
                       FileAccess access = FileAccess::Default);

// A file being written under its temporary name beside `target`, for bytes
// that arrive in pieces or from a library that writes to a path. Discarded
// (the temporary file removed) unless committed. One thread at a time.
class PendingFile
{
public:
    explicit PendingFile(std::filesystem::path target, FileAccess access = FileAccess::Default);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // False when the temporary file could not be created.
    bool isOpen() const { return m_fd >= 0; }
    const std::filesystem::path& target() const { return m_target; }
    // The temporary file, for code that writes to a path by itself.
    const std::filesystem::path& tempPath() const { return m_temp; }
    int fd() const { return m_fd; }

    bool append(std::string_view bytes);

    // Flushes the file, renames it to `target()` (replacing what is there)
    // and flushes the folder. False on failure; the file is then discarded.
    bool commit();
    // Flushes the file and renames it to `name` in the same folder only when
    // no file of that name exists. False when the name is taken (errno
    // EEXIST; the file stays pending, so another name may be tried) or on
    // another failure (the file is then discarded).
    bool commitNoReplace(const std::filesystem::path& name);

    // Removes the temporary file now.
    void discard();

private:
    bool flushAndSetMode();

    std::filesystem::path m_target;
    std::filesystem::path m_temp;
    mode_t m_mode = 0644;
    int m_fd = -1;
    bool m_flushed = false;
};

// Whether a file name has the shape of this program's temporary files (or
// of a file a library made beside one of them).
bool isInterruptedSaveName(std::string_view fileName);

// Removes from `dir` (not its subfolders) the temporary files of saves whose
// writer is gone. Returns how many went. Other files are never touched.
std::size_t sweepInterruptedSaves(const std::filesystem::path& dir);

// Makes an existing file owner-only (0600) when group or others may read or
// write it. True when the file is (now) owner-only or does not exist.
bool restrictToOwner(const std::filesystem::path& path);

// restrictToOwner() for every credential file of the installation under
// `programDirectory` (see holdsCredentials()). Returns how many were changed.
std::size_t restrictCredentialFiles(const std::filesystem::path& programDirectory);

struct TidyReport {
    std::size_t savesSwept = 0;      // temporary files of interrupted saves removed
    std::size_t filesRestricted = 0; // credential files made owner-only
};

// What a program does at start with the files of its installation under
// `programDirectory`: sweeps the interrupted saves from the folders it
// writes (conf, Config, HistoryRecord, Data, Data2, tmp) and from
// `otherFolders`, then makes the credential files owner-only.
TidyReport tidyInstallation(const std::filesystem::path& programDirectory,
                            const std::vector<std::filesystem::path>& otherFolders = {});

// ---- Failures on purpose, for tests ----

// While one exists, the file writes of this module, of the record writer and
// of the log writer (creating a file to write, writing, flushing) succeed
// `after` more times and then fail with `error` (ENOSPC, EACCES, EROFS, ...)
// `times` times (-1: until it ends). One at a time, process-wide.
class ScopedWriteFault
{
public:
    explicit ScopedWriteFault(int error, int after = 0, int times = -1);
    ~ScopedWriteFault();
    ScopedWriteFault(const ScopedWriteFault&) = delete;
    ScopedWriteFault& operator=(const ScopedWriteFault&) = delete;
    // How many steps it failed so far.
    int failures() const;
};

// For the writers: the error a write step must fail with now, 0 to go on.
// Sets errno when it is not 0.
int injectedWriteFault();

// ---- Lower-level steps ----

// Writes `bytes` to `path` (created or truncated) and flushes them to the
// disk. False on any failure; a partial file may then remain at `path`.
// Prefer writeFileDurably() or PendingFile for a file others may read.
bool writeFileSynced(const std::filesystem::path& path, std::string_view bytes);

// Flushes a file that is already written (contents and size) to the disk.
bool syncFile(const std::filesystem::path& path);

// Flushes a directory's entries (names created, renamed or removed).
bool syncDirectory(const std::filesystem::path& dir);

// Renames `from` to `to` unless `to` exists. False when `to` exists or the
// rename failed; `from` is then still there.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

// The file's first `limit` bytes, and whether it goes on beyond them; read
// to its end rather than by its size, which kernel files report as 0.
// Nothing when it cannot be opened.
struct FileHead {
    std::string bytes;
    bool cut = false;
};
std::optional<FileHead> readFileHead(const std::filesystem::path& path, std::size_t limit);

} // namespace quorvane
