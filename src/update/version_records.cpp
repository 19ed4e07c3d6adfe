#include "update/version_records.h"

#include "common/codepage.h"
#include "common/paths.h"
#include "common/property_file.h"

namespace quorvane::update
{

namespace
{
constexpr const char* kNewAppVer = "new_app_ver";
constexpr const char* kNewAppSeq = "new_app_seq";
}

std::optional<std::string> ReadDisplayVersion(const platform::RegistryStore& registry)
{
    std::optional<std::string> value = registry.readString(platform::kUninstallKey, platform::kDisplayVersion);
    if (value)
        value = std::string(truncateUtf8(*value, kMaxDisplayVersionBytes));
    return value;
}

bool WriteDisplayVersion(platform::RegistryStore& registry, const std::string& version)
{
    return registry.writeString(platform::kUninstallKey, platform::kDisplayVersion, version);
}

std::string VelomarkInstalledVersion(const platform::RegistryStore& registry)
{
    return ReadDisplayVersion(registry).value_or(kFallbackVersion);
}

std::filesystem::path UpdateProcessFile(const std::filesystem::path& programDir)
{
    return programPath(programDir, "conf\\update_process.properties");
}

std::string ReadNewAppVer(const std::filesystem::path& programDir)
{
    PropertyFile file(UpdateProcessFile(programDir).string());
    file.load();
    return file.get(kNewAppVer);
}

namespace
{

void setKey(PropertyFile& file, const std::string& key, const std::string& value)
{
    const auto& entries = file.entries();
    if (std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.first == key; }))
        file.set(key, value);
    else
        file.add(key, value);
}

} // namespace

bool WriteNewAppVer(const std::filesystem::path& programDir, const std::string& version)
{
    return WriteInstalledRelease(programDir, {version, 0});
}

InstalledRelease ReadInstalledRelease(const std::filesystem::path& programDir)
{
    PropertyFile file(UpdateProcessFile(programDir).string());
    file.load();
    InstalledRelease release;
    release.version = file.get(kNewAppVer);
    const std::string seq = file.get(kNewAppSeq);
    if (!seq.empty() && seq.size() < 10 && seq.find_first_not_of("0123456789") == std::string::npos)
        release.sequence = std::stoi(seq);
    return release;
}

bool WriteInstalledRelease(const std::filesystem::path& programDir, const InstalledRelease& release)
{
    PropertyFile file(UpdateProcessFile(programDir).string());
    file.load();
    setKey(file, kNewAppVer, release.version);
    // A release whose number is unknown must not keep an older one's number.
    setKey(file, kNewAppSeq, std::to_string(std::max(0, release.sequence)));
    file.save(false);
    const InstalledRelease written = ReadInstalledRelease(programDir);
    return written.version == release.version && written.sequence == std::max(0, release.sequence);
}

} // namespace quorvane::update
