// A real Prometheus server scrapes the endpoint after a bandwidth test
// against the reference service, and its query API gives back the figure
// the record holds. Everything stays on loopback; every process the test
// starts, it stops. Skipped when Prometheus is not installed.
#include "cli/cli.h"
#include "measure/refsvc_support.h"
#include "metrics/endpoint.h"
#include "metrics/metrics.h"
#include "results/zip_reader.h"
#include "support/loopback_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

using namespace quorvane;
using namespace std::chrono_literals;

namespace
{

const char* const kPrometheus = "/usr/bin/prometheus";
const char* const kPromtool = "/usr/bin/promtool";

// A child process, ended (SIGTERM, then SIGKILL) when this goes.
class Child
{
public:
    Child(std::vector<std::string> args, const std::string& log)
    {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                return;
            std::this_thread::sleep_for(100ms);
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    bool started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

// promtool's complaints about the text; empty when it is clean.
std::string promtoolProblems(const std::string& text, const std::filesystem::path& scratch)
{
    const auto file = scratch / "scraped.prom";
    {
        std::ofstream(file) << text;
    }
    std::string out;
    if (std::FILE* p =
            ::popen((std::string(kPromtool) + " check metrics < '" + file.string() + "' 2>&1").c_str(), "r")) {
        char buf[512];
        while (const std::size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        if (::pclose(p) != 0 && out.empty())
            out = "promtool failed";
    }
    return out;
}

// The value of the first "downavgspeed=" in the installation's record archives.
std::optional<double> recordedDownload(const std::filesystem::path& dataDir)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dataDir, ec)) {
        if (entry.path().extension() != ".zip")
            continue;
        const auto entries = test::zipEntries(entry.path());
        if (!entries)
            continue;
        for (const auto& [name, bytes] : *entries) {
            std::smatch m;
            if (std::regex_search(bytes, m, std::regex("downavgspeed=([0-9.]+)")))
                return std::stod(m[1]);
        }
    }
    return std::nullopt;
}

} // namespace

TEST(PrometheusScrape, QueryGivesTheRecordedDownloadOfTheLatestBandwidthTest)
{
    if (::access(kPrometheus, X_OK) != 0 || ::access(kPromtool, X_OK) != 0)
        GTEST_SKIP() << "Prometheus is not installed (Debian package prometheus): nothing scrapes the endpoint";

    test::ServiceInstallation s;
    ASSERT_TRUE(s.service->ok()) << s.service->log();
    const std::string dir = s.inst.path().string();
    {
        std::istringstream password("test456\n");
        std::ostringstream out, err;
        ASSERT_EQ(cli::runLogin({"tester", "--dir", dir}, password, out, err), cli::kOk) << err.str();
    }
    {
        std::ostringstream out, err;
        const int code = cli::run({"bandwidth", "--dir", dir}, out, err);
        test::resetFlags();
        ASSERT_EQ(code, cli::kOk) << err.str() << out.str();
    }
    const auto recorded = recordedDownload(s.inst.path() / "Data");
    ASSERT_TRUE(recorded) << "no band record in an archive of Data";

    metrics::MetricsEndpoint endpoint(s.inst.path());
    ASSERT_TRUE(endpoint.start("127.0.0.1", 0)) << endpoint.error();
    const refsvc_test::Address target{"127.0.0.1", endpoint.port()};
    const refsvc_test::Reply scraped = refsvc_test::get(target, "/metrics");
    ASSERT_EQ(scraped.status, 200) << scraped.raw;
    EXPECT_EQ(promtoolProblems(scraped.body, s.inst.path()), "");

    refsvc_test::TempDir work;
    const int port = quorvane::testing::freeLoopbackPort();
    ASSERT_NE(port, 0);
    const std::string config = work.write("prometheus.yml", "global:\n  scrape_interval: 1s\n"
                                                            "scrape_configs:\n  - job_name: quorvane\n"
                                                            "    static_configs:\n      - targets: ['127.0.0.1:" +
                                                                std::to_string(endpoint.port()) + "']\n");
    Child prometheus({kPrometheus, "--config.file=" + config, "--storage.tsdb.path=" + work.path() + "/data",
                      "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                     work.path() + "/prometheus.log");
    ASSERT_TRUE(prometheus.started());

    // Prometheus starts, scrapes once a second and makes the sample
    // queryable: bounded to 60 s, however slow the machine.
    const refsvc_test::Address api{"127.0.0.1", port};
    const std::regex valueOf(R"re("value":\[[0-9.]+,"([^"]+)"\])re");
    std::optional<double> queried;
    std::string last;
    for (const auto end = std::chrono::steady_clock::now() + 60s; !queried && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(250ms)) {
        last = refsvc_test::get(api, "/api/v1/query?query=quorvane_bandwidth_download_bytes_per_second").body;
        std::smatch m;
        if (std::regex_search(last, m, valueOf))
            queried = std::stod(m[1]);
    }
    ASSERT_TRUE(queried) << "no sample in time; last answer: " << last << "\n"
                         << test::readFile(work.path() + "/prometheus.log");
    std::printf("record downavgspeed=%.2f MB/s; Prometheus answered %.1f bytes/s\n", *recorded, *queried);
    EXPECT_GT(*recorded, 0);
    EXPECT_NEAR(*queried, *recorded * 1048576, 1e-6 * *queried);
    EXPECT_NE(last.find("\"server\":\"北京联通\""), std::string::npos) << last;
}
