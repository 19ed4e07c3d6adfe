// What the desktop is handed: the addresses xdg-open may open and the
// program the autostart entry starts.
#include "platform/autostart.h"
#include "platform/desktop_open.h"
#include "platform/executable.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace quorvane::platform;

TEST(DesktopOpen, OnlyWebAndFileAddressesReachXdgOpen)
{
    struct Case {
        const char* url;
        bool handed;
    } cases[] = {
        {"http://127.0.0.1:18080/qvweb/portalPage?u=1&p=2", true},
        {"HTTPS://example.net/a b", true},
        {"file:///usr/lib/quorvane/help/index.html", true},
        {"--help", false},
        {"-x http://a/", false},
        {"javascript:alert(1)", false},
        {"ftp://a/", false},
        {"http:evil", false},
        {"http://a/\nExec=rm", false},
        {"http://a/\tb", false},
        {":http://a/", false},
        {"", false},
        {"relative/help.html", false},
    };
    for (const auto& c : cases) {
        const auto args = desktopOpenArguments(c.url);
        EXPECT_EQ(args.has_value(), c.handed) << c.url;
        // One argument, exactly the address: never split, never an option.
        if (args) {
            EXPECT_EQ(*args, std::vector<std::string>{c.url});
        }
    }
}

TEST(DesktopOpen, AutostartStartsTheLauncherThatStartedUs)
{
    quorvane::test::TempDir dir;
    const std::string launcher = dir.file("quorvane");
    quorvane::test::writeFile(launcher, "#!/bin/sh\n");
    ::chmod(launcher.c_str(), 0755);
    const std::string notExecutable = dir.file("plain");
    quorvane::test::writeFile(notExecutable, "");
    const auto self = currentExecutablePath();
    struct Case {
        const char* value; // QUORVANE_LAUNCHER, nullptr when unset
        std::filesystem::path program;
    } cases[] = {
        {launcher.c_str(), launcher},
        {nullptr, self},
        {"", self},
        {"quorvane", self}, // not absolute: whichever one the PATH finds later
        {notExecutable.c_str(), self},
        {"/nonexistent/quorvane", self},
    };
    for (const auto& c : cases) {
        const auto env = [&c](const char*) { return c.value; };
        EXPECT_EQ(autostartProgram(env), c.program) << (c.value ? c.value : "(unset)");
    }
}
