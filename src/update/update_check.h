#pragma once
// The main program's check for updates (the settings page's button): the
// installed version as the last updater recorded it (`new_app_ver`), against
// the version the update server's manifest names. Any difference (an unreachable server
// included) hands over to the interactive updater Velomark, which reports
// failures itself; equality means the program is current.
//
// Paths are relative to the working directory, which start-up makes the
// program directory.
//
// Thread-safety: run it on a worker thread (the fetch blocks); it touches
// only files under the program directory.
#include <filesystem>
#include <functional>
#include <string>

namespace quorvane::update
{

// Fetches `url` into `file`; true when a 200 answer was written there.
using ManifestFetch = std::function<bool(const std::string& url, const std::filesystem::path& file)>;

struct UpdateDecision {
    bool upToDate = false;
    std::string installed;   // new_app_ver ("null" when absent)
    std::string server;      // the manifest's Version ("" when none was fetched)
    std::string manifestUrl; // where it was fetched from
};

// update_server_path followed by update_ver_file_name, both taken from
// conf/config.properties the way the check has always read them.
std::string UpdateManifestUrl();
// "tmp/" and the URL's last "/"-separated segment, under the program
// directory ("tmp/update.xml" when the URL ends in "/").
std::filesystem::path UpdateManifestFile(const std::string& url);
// The text of the root's Version child; "" for a missing or unreadable file
// or a manifest without one.
std::string ReadManifestVersion(const std::filesystem::path& file);

// Reads the installed version, fetches the manifest and compares. A server
// version that could not be learnt never counts as current.
UpdateDecision CheckForUpdate(const ManifestFetch& fetch);

// The real fetch: connect time-out 2 s and one retry of a connection that
// brought no answer, "Cache-Control: no-cache" and "Pragma: no-cache"; only
// a 200 answer's body is written, whole.
ManifestFetch defaultManifestFetch();

} // namespace quorvane::update
