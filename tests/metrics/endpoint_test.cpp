// The endpoint's settings and its listening, without Prometheus.
#include "metrics/endpoint.h"
#include "metrics/metrics.h"
#include "service/harness.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace quorvane;

TEST(MetricsEndpoint, SettingsComeFromTheConfigurationWithSafeDefaults)
{
    const struct {
        const char* lines;
        bool enabled;
        const char* address;
        int port;
    } cases[] = {
        {"", false, "127.0.0.1", metrics::kDefaultPort},
        {"metrics_endpoint=true\r\n", true, "127.0.0.1", metrics::kDefaultPort},
        {"metrics_endpoint=yes\r\nmetrics_port=9100\r\n", false, "127.0.0.1", 9100},
        {"metrics_port=65536\r\n", false, "127.0.0.1", metrics::kDefaultPort},
        {"metrics_port=80x\r\n", false, "127.0.0.1", metrics::kDefaultPort},
        {"metrics_port=-1\r\n", false, "127.0.0.1", metrics::kDefaultPort},
        {"metrics_address=192.168.1.5\r\nmetrics_endpoint=true\r\n", true, "192.168.1.5", metrics::kDefaultPort},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        std::filesystem::create_directories(dir / "conf");
        std::ofstream(dir / "conf/config.properties") << "AutoPeriod=6\r\n" << c.lines;
        const metrics::EndpointConfig config = metrics::readEndpointConfig(dir.path());
        EXPECT_EQ(config.enabled, c.enabled) << c.lines;
        EXPECT_EQ(config.address, c.address) << c.lines;
        EXPECT_EQ(config.port, c.port) << c.lines;
    }
}

TEST(MetricsEndpoint, TheSwitchIsSavedBesideTheOtherKeys)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir / "conf");
    std::ofstream(dir / "conf/config.properties") << "AutoPeriod=6\r\nmetrics_port=9100\r\n";
    ASSERT_TRUE(metrics::saveEndpointEnabled(dir.path(), true));
    EXPECT_TRUE(metrics::readEndpointConfig(dir.path()).enabled);
    ASSERT_TRUE(metrics::saveEndpointEnabled(dir.path(), false));
    const std::string text = test::readFile(dir / "conf/config.properties");
    EXPECT_NE(text.find("AutoPeriod=6\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("metrics_endpoint=false\r\n"), std::string::npos) << text;
    EXPECT_EQ(metrics::readEndpointConfig(dir.path()).port, 9100);
}

TEST(MetricsEndpoint, ServesTheFiguresOnLoopbackAndGivesUpATakenPort)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir / "Metrics");
    std::ofstream(dir / "Metrics/latest-band.txt") << "time=1\nname=s\ndownavgspeed=3\n";
    metrics::MetricsEndpoint endpoint(dir.path());
    ASSERT_TRUE(endpoint.start("127.0.0.1", 0)) << endpoint.error();
    ASSERT_GT(endpoint.port(), 0);
    const refsvc_test::Reply reply = refsvc_test::get({"127.0.0.1", endpoint.port()}, "/metrics");
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("quorvane_bandwidth_download_bytes_per_second{server=\"s\"} 3145728\n"),
              std::string::npos)
        << reply.body;

    metrics::MetricsEndpoint second(dir.path());
    EXPECT_FALSE(second.start("127.0.0.1", endpoint.port()));
    EXPECT_FALSE(second.running());
    EXPECT_NE(second.error().find("127.0.0.1:" + std::to_string(endpoint.port())), std::string::npos) << second.error();

    const int port = endpoint.port();
    EXPECT_TRUE(endpoint.apply({false, "127.0.0.1", port}));
    EXPECT_FALSE(endpoint.running());
    EXPECT_FALSE(refsvc_test::get({"127.0.0.1", port}, "/metrics").received);
}
