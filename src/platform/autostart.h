#pragma once
// Starting the program with the user's session: an XDG autostart entry
// "Quorvane-c.desktop" in the user's autostart folder, which the desktop
// session runs at log-in.
#include <filesystem>
#include <functional>
#include <string>

namespace quorvane::platform
{

class AutoStart
{
public:
    virtual ~AutoStart() = default;
    // Registers the executable to start at log-in. False when the entry
    // could not be written.
    virtual bool enable(const std::filesystem::path& executable) = 0;
    // True when no entry remains afterwards.
    virtual bool disable() = 0;
    // True when an entry can be read.
    virtual bool isEnabled() const = 0;
};

class XdgAutoStart final : public AutoStart
{
public:
    explicit XdgAutoStart(std::filesystem::path entryFile = defaultEntryPath());
    // $XDG_CONFIG_HOME/autostart/Quorvane-c.desktop (~/.config when unset).
    static std::filesystem::path defaultEntryPath();

    bool enable(const std::filesystem::path& executable) override;
    bool disable() override;
    bool isEnabled() const override;

private:
    std::filesystem::path m_file;
};

// What the entry should start: the launcher that started this program
// (it says so in QUORVANE_LAUNCHER) when that is an absolute path to an
// executable, so that a session start also brings in a package upgrade;
// otherwise this program itself. `env` reads a variable (getenv when empty).
std::filesystem::path autostartProgram(const std::function<const char*(const char*)>& env = {});

// The text of the entry that starts `executable`. The path is quoted for the
// entry's Exec line, so blanks, quotes, "$", "%" and backslashes in it reach
// the program unchanged.
std::string autostartEntryText(const std::filesystem::path& executable);

} // namespace quorvane::platform
