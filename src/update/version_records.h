#pragma once
// The two places that say which release is installed:
//  - `DisplayVersion` under the program's uninstall key in the registry
//    store: the caption and the about box show it, Velomark starts from it;
//  - `new_app_ver` in conf/update_process.properties: the version the last
//    updater installed, which the main program's check and Update compare
//    with the server's.
// Both updaters write both after an installation.
//
// Thread-safety: any thread; each call reads or writes the store or the file
// afresh (see RegistryStore and PropertyFile for concurrent writers).
#include "platform/registry_store.h"
#include "update/manifest.h"

#include <filesystem>
#include <optional>
#include <string>

namespace quorvane::update
{

// What Velomark takes as installed when the registry has no version.
inline constexpr const char* kFallbackVersion = "V2.0.07-beta";
// The longest DisplayVersion read back, in bytes (a character is never cut).
inline constexpr std::size_t kMaxDisplayVersionBytes = 255;

// The recorded DisplayVersion, or nothing when it cannot be read.
std::optional<std::string> ReadDisplayVersion(const platform::RegistryStore& registry);
// False when the store could not be written.
bool WriteDisplayVersion(platform::RegistryStore& registry, const std::string& version);
// ReadDisplayVersion, falling back to kFallbackVersion.
std::string VelomarkInstalledVersion(const platform::RegistryStore& registry);

// conf/update_process.properties under `programDir`.
std::filesystem::path UpdateProcessFile(const std::filesystem::path& programDir);
// `new_app_ver`, or "null" when the key (or the file) is absent.
std::string ReadNewAppVer(const std::filesystem::path& programDir);
// Sets the key (adding it when absent, keeping every other line) and saves;
// true when the file holds the version afterwards.
bool WriteNewAppVer(const std::filesystem::path& programDir, const std::string& version);

// `new_app_ver` with `new_app_seq`, the sequence number of that release in
// its manifest (0 when unknown or absent): what the updaters judge a
// replayed, older manifest by.
InstalledRelease ReadInstalledRelease(const std::filesystem::path& programDir);
// Writes both keys; true when the file holds them afterwards.
bool WriteInstalledRelease(const std::filesystem::path& programDir, const InstalledRelease& release);

} // namespace quorvane::update
