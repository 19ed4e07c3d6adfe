#include "update/version_records.h"

#include "common/codepage.h"
#include "common/paths.h"
#include "common/property_file.h"

namespace quorvane::update
{

namespace
{
constexpr const char* kNewAppVer = "new_app_ver";
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

bool WriteNewAppVer(const std::filesystem::path& programDir, const std::string& version)
{
    PropertyFile file(UpdateProcessFile(programDir).string());
    file.load();
    const auto& entries = file.entries();
    const bool present =
        std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.first == kNewAppVer; });
    if (present)
        file.set(kNewAppVer, version);
    else
        file.add(kNewAppVer, version);
    file.save(false);
    return ReadNewAppVer(programDir) == version;
}

} // namespace quorvane::update
