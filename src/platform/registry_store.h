#pragma once
// The few registry values the programs share, kept in an INI file under the
// user's configuration folder with the key paths unchanged:
//
//   [HKEY_LOCAL_MACHINE\Software\...\Uninstall\Quorvane-c]
//   DisplayVersion=V2.0.08
//
// Key paths and value names compare without regard to case, as registry
// paths do. Values are text; line breaks and backslashes in them are written
// escaped (\n, \r, \\), so no value can ever add lines of its own.
//
// Thread-safety: each call reads the file afresh; writers from several
// threads or programs are serialised by a lock file beside the store and
// replace the store atomically, so a reader never sees half a file.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::platform
{

// The key of the installed program, under which "DisplayVersion" holds the
// version an updater installed last.
inline constexpr std::string_view kUninstallKey =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvane-c";
inline constexpr std::string_view kDisplayVersion = "DisplayVersion";

class RegistryStore
{
public:
    virtual ~RegistryStore() = default;
    // The value's text, or nothing when the key or the value is absent.
    virtual std::optional<std::string> readString(std::string_view keyPath, std::string_view name) const = 0;
    // Creates the key when needed. False when the store cannot be written or
    // the key path or name cannot be stored (empty, a line break, a "]" in
    // the key path, a "=" in the name).
    virtual bool writeString(std::string_view keyPath, std::string_view name, std::string_view value) = 0;
    // True when the value is gone afterwards (also when it never existed).
    virtual bool deleteValue(std::string_view keyPath, std::string_view name) = 0;
};

class IniRegistryStore final : public RegistryStore
{
public:
    explicit IniRegistryStore(std::filesystem::path file);
    // $XDG_CONFIG_HOME/Quorvane/registry.ini, or ~/.config/... when
    // XDG_CONFIG_HOME is unset or not an absolute path.
    static std::filesystem::path defaultPath();

    std::optional<std::string> readString(std::string_view keyPath, std::string_view name) const override;
    bool writeString(std::string_view keyPath, std::string_view name, std::string_view value) override;
    bool deleteValue(std::string_view keyPath, std::string_view name) override;

    const std::filesystem::path& file() const { return m_file; }

private:
    std::filesystem::path m_file;
};

// The user's configuration folder: $XDG_CONFIG_HOME, or ~/.config.
std::filesystem::path userConfigDirectory();

} // namespace quorvane::platform
