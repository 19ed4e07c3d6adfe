#include "launcher/user_folder.h"

#include "common/durable_file.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "common/property_file.h"
#include "update/version_records.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace quorvane::launcher
{

namespace fs = std::filesystem;

std::optional<fs::path> userProgramFolder(const std::function<const char*(const char*)>& env)
{
    const auto read = [&env](const char* name) -> std::string {
        const char* value = env ? env(name) : std::getenv(name);
        return value ? value : "";
    };
    if (const fs::path data = read("XDG_DATA_HOME"); data.is_absolute())
        return data / "quorvane";
    if (const fs::path home = read("HOME"); home.is_absolute())
        return home / ".local" / "share" / "quorvane";
    return std::nullopt;
}

int compareReleaseVersions(std::string_view a, std::string_view b)
{
    const auto digits = [](std::string_view& text) -> std::optional<std::string_view> {
        std::size_t n = 0;
        while (n < text.size() && text[n] >= '0' && text[n] <= '9')
            ++n;
        if (n == 0)
            return std::nullopt;
        std::string_view number = text.substr(0, n);
        text.remove_prefix(n);
        // Leading zeros do not make a number larger.
        while (number.size() > 1 && number.front() == '0')
            number.remove_prefix(1);
        return number;
    };
    while (true) {
        const auto na = digits(a), nb = digits(b);
        if (!na && !nb)
            break;
        // A missing number counts as 0, so "1" == "1.0".
        const std::string_view x = na.value_or("0"), y = nb.value_or("0");
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        if (const int c = x.compare(y); c != 0)
            return c < 0 ? -1 : 1;
        const bool dotA = !a.empty() && a.front() == '.', dotB = !b.empty() && b.front() == '.';
        if (dotA)
            a.remove_prefix(1);
        if (dotB)
            b.remove_prefix(1);
        if (!dotA && !dotB)
            break;
    }
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool isUserFile(std::string_view relativePath)
{
    const std::size_t slash = relativePath.find('/');
    const std::string_view first = relativePath.substr(0, slash);
    if (first == "conf" || first == "Config" || first == "HistoryRecord" || first.starts_with("Data"))
        return true;
    return slash == std::string_view::npos && first.ends_with(".txt");
}

namespace
{

std::string readFirstLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// Every regular file of the packaged release, "/"-separated, sorted so that
// the install order (and a test's step numbers) never depend on the disk.
std::vector<std::string> releaseFiles(const fs::path& packaged, std::error_code& ec)
{
    std::vector<std::string> files;
    for (fs::recursive_directory_iterator it(packaged, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec))
            continue;
        const std::string relative = it->path().lexically_relative(packaged).generic_string();
        if (relative != kReleaseStamp)
            files.push_back(relative);
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool folderIsEmpty(const fs::path& folder)
{
    std::error_code ec;
    return fs::is_empty(folder, ec) || ec;
}

} // namespace

FolderOutcome prepareUserFolder(const fs::path& packagedFolder, const fs::path& userFolder,
                                const PrepareOptions& options)
{
    FolderOutcome outcome;
    const std::string packagedVersion = readFirstLine(packagedFolder / kReleaseStamp);
    if (packagedVersion.empty()) {
        outcome.detail = "no packaged release in " + packagedFolder.string();
        return outcome;
    }

    std::error_code ec;
    if (!fs::exists(userFolder, ec)) {
        fs::create_directories(userFolder, ec);
        // The folder will hold the user's password and results: owner only.
        if (!ec)
            fs::permissions(userFolder, fs::perms::owner_all, ec);
        if (ec) {
            outcome.detail = "cannot create " + userFolder.string() + ": " + ec.message();
            return outcome;
        }
    }
    // A launcher (or an updater) that died half-way leaves a journal: the
    // folder is made whole before its stamp is believed.
    if (update::recoverInterruptedInstall(userFolder) == update::RecoveryResult::Busy) {
        outcome.action = FolderAction::Busy;
        return outcome;
    }

    const std::string folderVersion = readFirstLine(userFolder / kFolderStamp);
    const bool runnable = fs::exists(userFolder / kMainProgram, ec);
    if (runnable && compareReleaseVersions(packagedVersion, folderVersion) <= 0) {
        outcome.action = FolderAction::Current;
        outcome.detail = folderVersion;
        return outcome;
    }
    const bool fresh = folderIsEmpty(userFolder) || !runnable;

    std::vector<update::InstallFile> files;
    for (const std::string& relative : releaseFiles(packagedFolder, ec)) {
        if (isUserFile(relative) && fs::exists(userFolder / relative))
            continue;
        files.push_back({packagedFolder / relative, relative});
    }
    if (ec) {
        outcome.detail = "cannot read " + packagedFolder.string() + ": " + ec.message();
        return outcome;
    }

    // The release's version records come along with its files, as an
    // updater writes them after its install; everything else in the
    // folder's update_process.properties stays the user's.
    const update::InstalledRelease packagedRecord = update::ReadInstalledRelease(packagedFolder);
    update::InstallOptions install = options.install;
    install.afterInstall = [&] {
        bool ok = true;
        if (packagedRecord.version != PropertyFile::kNull)
            ok = update::WriteInstalledRelease(userFolder, packagedRecord) && ok;
        if (options.registry && packagedRecord.version != PropertyFile::kNull)
            ok = update::WriteDisplayVersion(*options.registry, packagedRecord.version) && ok;
        // Last: the stamp says the folder is done.
        return writeFileDurably(userFolder / kFolderStamp, packagedVersion + "\n") && ok;
    };
    const update::InstallOutcome installed = update::installFiles(userFolder, files, install);
    switch (installed.result) {
    case update::InstallResult::Installed:
        if (!installed.recorded) {
            outcome.detail = "the release's records could not be written in " + userFolder.string();
            return outcome;
        }
        outcome.action = fresh ? FolderAction::Created : FolderAction::BroughtIn;
        outcome.detail = folderVersion.empty() ? packagedVersion : folderVersion + " -> " + packagedVersion;
        return outcome;
    case update::InstallResult::Busy:
        outcome.action = FolderAction::Busy;
        return outcome;
    default:
        outcome.detail = "cannot install the release into " + userFolder.string() +
                         (installed.detail.empty() ? "" : ": " + installed.detail);
        return outcome;
    }
}

bool updaterNeverStarted(const fs::path& userFolder)
{
    PropertyFile state(programPath(userFolder, "conf\\update_process.properties").string());
    state.load();
    const std::string stored = state.get("update_process_id");
    return stored == PropertyFile::kNull || atolValue(stored) == 0;
}

bool recordUpdaterStarted(const fs::path& userFolder, long pid)
{
    PropertyFile state(programPath(userFolder, "conf\\update_process.properties").string());
    state.load();
    const std::string text = std::to_string(pid);
    const auto& entries = state.entries();
    if (std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.first == "update_process_id"; }))
        state.set("update_process_id", text);
    else
        state.add("update_process_id", text);
    return state.save(true);
}

} // namespace quorvane::launcher
