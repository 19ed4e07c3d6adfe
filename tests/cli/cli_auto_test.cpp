// "auto": what it refuses before any round runs.
#include "cli/cli.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

using namespace quorvane;

namespace
{

TEST(CliAuto, RefusesBadArgumentsAndAnInstallationWithoutCredentials)
{
    test::TempDir empty;
    const std::string dir = empty.path().string();
    struct Case {
        cli::Args args;
        int code;
        std::string err;
    };
    const Case cases[] = {
        {{"auto", "--rounds", "0"}, cli::kUsage, "--rounds needs a number"},
        {{"auto", "--rounds", "-3"}, cli::kUsage, "--rounds needs a number"},
        {{"auto", "--rounds", "2x"}, cli::kUsage, "--rounds needs a number"},
        {{"auto", "--rounds"}, cli::kUsage, "auto takes"},
        {{"auto", "now"}, cli::kUsage, "auto takes"},
        {{"auto", "--dir", dir + "/missing"}, cli::kFailed, "cannot use the installation folder"},
        {{"auto", "--rounds", "3", "--json", "--dir", dir}, cli::kFailed, "no stored credentials"},
    };
    const auto previous = std::filesystem::current_path();
    for (const Case& c : cases) {
        std::ostringstream out, err;
        EXPECT_EQ(cli::run(c.args, out, err), c.code) << c.args.back();
        EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
        EXPECT_TRUE(out.str().empty());
        std::filesystem::current_path(previous);
    }
}

} // namespace
