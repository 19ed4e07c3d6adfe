// The registry store and the autostart entry, on files in a temporary folder.
#include "platform/autostart.h"
#include "platform/registry_store.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <thread>

using namespace quorvane::platform;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

namespace
{

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

int countLines(const std::string& text)
{
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

TEST(RegistryStore, LivesUnderTheUsersConfigFolder)
{
    TempDir home;
    ScopedEnv xdg("XDG_CONFIG_HOME", (home.path() / "cfg").c_str());
    EXPECT_EQ(IniRegistryStore::defaultPath(), home.path() / "cfg" / "Quorvane" / "registry.ini");
    EXPECT_EQ(XdgAutoStart::defaultEntryPath(), home.path() / "cfg" / "autostart" / "Quorvane-c.desktop");

    ScopedEnv relative("XDG_CONFIG_HOME", "relative/cfg");
    ScopedEnv homeVar("HOME", home.path().c_str());
    EXPECT_EQ(IniRegistryStore::defaultPath(), home.path() / ".config" / "Quorvane" / "registry.ini");
}

TEST(RegistryStore, InstalledVersionRoundTrip)
{
    TempDir dir;
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().c_str());
    IniRegistryStore store(IniRegistryStore::defaultPath());
    EXPECT_EQ(store.readString(kUninstallKey, kDisplayVersion), std::nullopt);

    ASSERT_TRUE(store.writeString(kUninstallKey, kDisplayVersion, "V2.0.08"));
    // Another program reads it through its own store object.
    IniRegistryStore other(dir.path() / "Quorvane" / "registry.ini");
    EXPECT_EQ(other.readString(kUninstallKey, kDisplayVersion), "V2.0.08");
    // Registry paths and value names ignore case.
    EXPECT_EQ(
        other.readString("hkey_local_machine\\SOFTWARE\\microsoft\\windows\\currentversion\\uninstall\\quorvane-c",
                         "displayversion"),
        "V2.0.08");

    ASSERT_TRUE(store.writeString(kUninstallKey, kDisplayVersion, "V2.0.09"));
    EXPECT_EQ(other.readString(kUninstallKey, kDisplayVersion), "V2.0.09");
    const std::string text = readFile(store.file());
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvane-c]"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("V2.0.08"), std::string::npos) << "an update replaces the value, not adds one";
}

TEST(RegistryStore, KeysAndValuesStaySeparate)
{
    TempDir dir;
    IniRegistryStore store(dir / "registry.ini");
    ASSERT_TRUE(store.writeString("HKEY_A\\One", "v", "1"));
    ASSERT_TRUE(store.writeString("HKEY_A\\Two", "v", "2"));
    ASSERT_TRUE(store.writeString("HKEY_A\\One", "w", "3"));
    EXPECT_EQ(store.readString("HKEY_A\\One", "v"), "1");
    EXPECT_EQ(store.readString("HKEY_A\\Two", "v"), "2");
    EXPECT_EQ(store.readString("HKEY_A\\One", "w"), "3");
    EXPECT_EQ(store.readString("HKEY_A\\Two", "w"), std::nullopt);
    EXPECT_EQ(store.readString("HKEY_A", "v"), std::nullopt);

    ASSERT_TRUE(store.deleteValue("HKEY_A\\One", "v"));
    EXPECT_EQ(store.readString("HKEY_A\\One", "v"), std::nullopt);
    EXPECT_EQ(store.readString("HKEY_A\\One", "w"), "3");
    EXPECT_TRUE(store.deleteValue("HKEY_A\\One", "v")) << "deleting what is absent succeeds";
}

TEST(RegistryStore, ValuesFromOutsideCannotForgeLines)
{
    // The installed version comes from a downloaded manifest.
    TempDir dir;
    IniRegistryStore store(dir / "registry.ini");
    const std::string forged = "1.0\n[HKEY_A\\Run]\nQuorvane-c=/tmp/evil\r\\n\\";
    ASSERT_TRUE(store.writeString(kUninstallKey, kDisplayVersion, forged));
    EXPECT_EQ(store.readString(kUninstallKey, kDisplayVersion), forged);
    EXPECT_EQ(store.readString("HKEY_A\\Run", "Quorvane-c"), std::nullopt);
    EXPECT_EQ(countLines(readFile(store.file())), 2);

    EXPECT_EQ(store.writeString("HKEY_A\\Bad]", "v", "x"), false);
    EXPECT_EQ(store.writeString("HKEY_A\\Line\nBreak", "v", "x"), false);
    EXPECT_EQ(store.writeString("HKEY_A", "a=b", "x"), false);
    EXPECT_EQ(store.writeString("HKEY_A", "[x", "x"), false);
    EXPECT_EQ(store.writeString("", "v", "x"), false);
    EXPECT_EQ(countLines(readFile(store.file())), 2);
}

TEST(RegistryStore, KeepsWhatItDoesNotOwnWhenWriting)
{
    TempDir dir;
    writeFile(dir / "registry.ini", "; kept comment\r\n"
                                    "[HKEY_X\\Key]\r\n"
                                    "  Other = spaced value \r\n"
                                    "DisplayVersion=old\r\n"
                                    "\r\n"
                                    "[HKEY_X\\Later]\r\n"
                                    "z=1\r\n");
    IniRegistryStore store(dir / "registry.ini");
    EXPECT_EQ(store.readString("HKEY_X\\Key", "Other"), " spaced value ");
    ASSERT_TRUE(store.writeString("HKEY_X\\Key", "DisplayVersion", "new"));
    ASSERT_TRUE(store.writeString("HKEY_X\\Key", "Added", "a"));
    const std::string text = readFile(dir / "registry.ini");
    EXPECT_NE(text.find("; kept comment"), std::string::npos);
    EXPECT_EQ(store.readString("HKEY_X\\Key", "DisplayVersion"), "new");
    EXPECT_EQ(store.readString("HKEY_X\\Key", "Added"), "a");
    EXPECT_EQ(store.readString("HKEY_X\\Later", "z"), "1");
    EXPECT_EQ(store.readString("HKEY_X\\Later", "Added"), std::nullopt);
}

TEST(RegistryStore, ConcurrentWritersLoseNothing)
{
    // Update and Velomark may record versions while Quorvane writes too.
    TempDir dir;
    constexpr int kRounds = 40;
    auto writer = [&](const std::string& name) {
        IniRegistryStore store(dir / "registry.ini");
        for (int i = 0; i < kRounds; ++i)
            store.writeString("HKEY_X\\Key", name, std::to_string(i));
    };
    std::thread a(writer, "a"), b(writer, "b"), c(writer, "c");
    a.join();
    b.join();
    c.join();
    IniRegistryStore store(dir / "registry.ini");
    for (const char* name : {"a", "b", "c"})
        EXPECT_EQ(store.readString("HKEY_X\\Key", name), std::to_string(kRounds - 1)) << name;
}

TEST(AutoStart, EntryStartsThePathExactly)
{
    // Exec quoting: inside double quotes ", `, $ and \ take a backslash and
    // % is doubled; then the value's own escaping doubles every backslash.
    const std::string text = autostartEntryText("/opt/my apps/Q\"u$o`r%v\\ane");
    EXPECT_NE(text.find("\nExec=\"/opt/my apps/Q\\\\\"u\\\\$o\\\\`r%%v\\\\\\\\ane\"\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_EQ(countLines(autostartEntryText("/opt/a\nExec=/tmp/evil")), countLines(text));
}

TEST(AutoStart, EnableQueryDisable)
{
    TempDir dir;
    XdgAutoStart autostart(dir / "cfg" / "autostart" / "Quorvane-c.desktop");
    EXPECT_FALSE(autostart.isEnabled());
    EXPECT_TRUE(autostart.disable()) << "nothing to remove is fine";

    ASSERT_TRUE(autostart.enable("/opt/quorvane/Quorvane"));
    EXPECT_TRUE(autostart.isEnabled());
    EXPECT_NE(readFile(dir / "cfg" / "autostart" / "Quorvane-c.desktop").find("Exec=\"/opt/quorvane/Quorvane\""),
              std::string::npos);
    ASSERT_TRUE(autostart.enable("/opt/other/Quorvane"));
    EXPECT_NE(readFile(dir / "cfg" / "autostart" / "Quorvane-c.desktop").find("/opt/other/Quorvane"),
              std::string::npos);

    EXPECT_TRUE(autostart.disable());
    EXPECT_FALSE(autostart.isEnabled());
    EXPECT_FALSE(std::filesystem::exists(dir / "cfg" / "autostart" / "Quorvane-c.desktop"));
}

TEST(AutoStart, ReportsAFolderItCannotWrite)
{
    TempDir dir;
    writeFile(dir / "cfg", "a file where the folder should be");
    XdgAutoStart autostart(dir / "cfg" / "autostart" / "Quorvane-c.desktop");
    EXPECT_FALSE(autostart.enable("/opt/quorvane/Quorvane"));
    EXPECT_FALSE(autostart.isEnabled());
}
