// The environment checks on this machine's own /proc and /sys.
#include "autotest/system_environment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quorvane;

// The real system: whatever this machine's state, a pass ends with a code of
// the table and logs its figures in order. The LAN count is left to the
// sweep's own tests, which confine their pings.
TEST(SystemEnvironmentChecks, ThisMachine)
{
    std::vector<std::string> log;
    SystemEnvironmentChecks checks(
        {nullptr, [&](std::string_view line) { log.emplace_back(line); }, {}, {}, [] { return 0; }});
    checks.CollectLoad();
    const int code = checks.CheckEnvironment();
    ASSERT_GE(code, 0);
    ASSERT_LE(code, 5);
    // A pass logs one line per check it reached, the failing one included.
    const std::size_t reached = code == 0 || code == 5 ? 5 : static_cast<std::size_t>(code);
    ASSERT_EQ(log.size(), reached);
    const char* patterns[] = {"CPU使用率: [0-9]+%", "内存使用率: [0-9]+%", "(开启了|未开启)杀毒软件", "(无线|有线)上网",
                              "网卡流量-上传：[0-9]+\\.[0-9]{6} 下载：[0-9]+\\.[0-9]{6}"};
    for (std::size_t i = 0; i < reached; ++i)
        EXPECT_THAT(log[i], ::testing::MatchesRegex(patterns[i]));
    EXPECT_EQ(checks.CheckLanMachines(), 0);
}
