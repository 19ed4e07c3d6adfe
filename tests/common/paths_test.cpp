#include "common/paths.h"

#include <gtest/gtest.h>

#include <random>

using namespace quorvane;

namespace
{

TEST(ProgramPath, TheProgramsOwnNamesBecomeRelativePaths)
{
    EXPECT_EQ(programPath("conf\\config.properties"), "conf/config.properties");
    EXPECT_EQ(programPath("conf//config.properties"), "conf/config.properties");
    EXPECT_EQ(programPath(".\\Update.exe"), "Update.exe");
    EXPECT_EQ(programPath("Image\\network speed\\point.png"), "Image/network speed/point.png");
    EXPECT_EQ(programPath("tmp//"), "tmp/");
    EXPECT_EQ(programPath("tmp//") / "update.xml", "tmp/update.xml");
    EXPECT_EQ(programPath(""), ".");
    EXPECT_EQ(programPath(std::filesystem::path("/opt/q"), "conf\\x.properties"), "/opt/q/conf/x.properties");
}

TEST(ProgramPath, NamesFromOutsideCannotLeaveTheProgramDirectory)
{
    EXPECT_EQ(programPath("..\\..\\etc\\passwd"), "etc/passwd");
    EXPECT_EQ(programPath("/etc/passwd"), "etc/passwd");
    EXPECT_EQ(programPath("C:\\Windows\\system.ini"), "Windows/system.ini");
    EXPECT_EQ(programPath("a/../../b"), "a/b");
    EXPECT_EQ(programPath("../.."), ".");
    EXPECT_EQ(programPath(std::string_view("a\0/b", 4)), "a/b");

    std::mt19937 random(5);
    const char alphabet[] = {'a', '.', '/', '\\', ':', 'C', '~'};
    for (int round = 0; round < 2000; ++round) {
        std::string name;
        for (int i = 0, n = static_cast<int>(random() % 12); i < n; ++i)
            name.push_back(alphabet[random() % sizeof alphabet]);
        const auto path = programPath(name);
        EXPECT_TRUE(path.is_relative()) << name;
        for (const auto& part : path)
            EXPECT_NE(part, "..") << name;
        const auto base = std::filesystem::path("/base");
        const auto joined = (base / path).lexically_normal().string();
        EXPECT_EQ(joined.rfind("/base", 0), 0u) << name;
    }
}

} // namespace
