// The metrics text from the stored figures, the history fallback, bad input
// and the counters' files.
#include "metrics/metrics.h"
#include "results/figures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <regex>
#include <thread>

using namespace quorvane;
using test::TempDir;

namespace
{

// The value of the sample line that starts with `series` ("name{labels}").
std::optional<double> sample(const std::string& text, const std::string& series)
{
    const std::string head = series + " ";
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        if (line.rfind(head, 0) == 0)
            return std::stod(line.substr(head.size()));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return std::nullopt;
}

void write(const TempDir& dir, const std::string& name, const std::string& text)
{
    std::filesystem::create_directories((dir / name).parent_path());
    std::FILE* f = std::fopen((dir / name).c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

void loggedIn(const TempDir& dir)
{
    write(dir, "conf/l_c_config_01.properties", "userid=10002\r\n");
}

} // namespace

// Every figure a latest-result file can hold reaches its metric in the base
// unit: the program's MB/s and KB/s count 2^20 and 2^10 bytes, milliseconds
// become seconds, percents a ratio.
TEST(Metrics, LatestFiguresBecomeMetricsInBaseUnits)
{
    TempDir dir;
    write(dir, "Metrics/latest-band.txt",
          "time=1765188000\nname=北京\"联通\nautomatic=1\ndownavgspeed=4.75\nupavgspeed=1.25\ndownmaxspeed=5.00\n"
          "downspeedjt=0.050000\npingrtt=2.0\nlatency_idle_ms=1.5\nlatency_upload_ms=40\ncontract_share_percent=87\n");
    write(dir, "Metrics/latest-filedown.txt", "time=1765188060\nname=大文件\nspeed=512.00\nloadingtime=2.50\n");
    write(dir, "Metrics/latest-screen.txt",
          "time=1765188120\nname=http://a/b,c\nfirstscreentime=1.234\nfcp_ms=800.0\n");
    write(dir, "Metrics/latest-videospeed.txt", "time=1765188180\nname=优酷\nspeed=256.00\nloadingtime=150\n");
    const std::string text = metrics::metricsText(dir.path());

    const std::string server = "{server=\"北京\\\"联通\"}";
    const struct {
        std::string series;
        double value;
    } cases[] = {
        {"quorvane_bandwidth_download_bytes_per_second" + server, 4.75 * 1048576},
        {"quorvane_bandwidth_upload_bytes_per_second" + server, 1.25 * 1048576},
        {"quorvane_bandwidth_download_peak_bytes_per_second" + server, 5.0 * 1048576},
        {"quorvane_bandwidth_download_jitter_ratio" + server, 0.05},
        {"quorvane_bandwidth_ping_seconds" + server, 0.002},
        {"quorvane_bandwidth_latency_seconds{phase=\"idle\",server=\"北京\\\"联通\"}", 0.0015},
        {"quorvane_bandwidth_latency_seconds{phase=\"upload\",server=\"北京\\\"联通\"}", 0.040},
        {"quorvane_bandwidth_contract_ratio" + server, 0.87},
        {"quorvane_file_download_bytes_per_second{file=\"大文件\"}", 512.0 * 1024},
        {"quorvane_file_download_load_seconds{file=\"大文件\"}", 2.5},
        {"quorvane_web_first_screen_seconds{url=\"http://a/b,c\"}", 1.234},
        {"quorvane_web_first_contentful_paint_seconds{url=\"http://a/b,c\"}", 0.8},
        {"quorvane_video_bytes_per_second{site=\"优酷\"}", 256.0 * 1024},
        {"quorvane_video_first_byte_seconds{site=\"优酷\"}", 0.15},
        {"quorvane_result_timestamp_seconds{test=\"bandwidth\"}", 1765188000},
        {"quorvane_result_timestamp_seconds{test=\"video\"}", 1765188180},
        {"quorvane_history_lines_skipped_total", 0},
        {"quorvane_records_waiting_upload{folder=\"Data\"}", 0},
    };
    for (const auto& c : cases) {
        const auto v = sample(text, c.series);
        ASSERT_TRUE(v) << c.series << " missing in\n" << text;
        EXPECT_NEAR(*v, c.value, 1e-9 * std::max(1.0, c.value)) << c.series;
    }
    // Figures that were not measured have no sample at all, rather than a 0
    // a dashboard would draw as a dead line.
    EXPECT_FALSE(sample(text, "quorvane_bandwidth_latency_seconds{phase=\"download\",server=\"北京\\\"联通\"}"));
    EXPECT_EQ(text.find("upload_last_success"), std::string::npos);
}

// Bad input never fails the scrape: each line that does not parse is left
// out and counted, and the rest of its file still counts.
TEST(Metrics, BadLinesAreSkippedAndCounted)
{
    const struct {
        const char* what;
        std::string file, text;
        int skipped;
        const char* present; // a series still there, or null
    } cases[] = {
        {"a line without =", "Metrics/latest-band.txt", "time=1\nname=s\ngarbage\ndownavgspeed=1\n", 1,
         "quorvane_bandwidth_download_bytes_per_second{server=\"s\"}"},
        {"a number with a tail", "Metrics/latest-band.txt", "time=1\nname=s\ndownavgspeed=1.5x\nupavgspeed=2\n", 1,
         "quorvane_bandwidth_upload_bytes_per_second{server=\"s\"}"},
        {"not finite", "Metrics/latest-band.txt", "time=1\nname=s\ndownavgspeed=nan\n", 1,
         "quorvane_result_timestamp_seconds{test=\"bandwidth\"}"},
        {"no time", "Metrics/latest-screen.txt", "name=u\nfirstscreentime=1\n", 1, nullptr},
        {"a damaged counter", "Metrics/counters.txt", "auto_rounds=many\nrejected_2=3\n=4\n", 2,
         "quorvane_auto_rounds_rejected_total{code=\"2\"}"},
        {"history: short line, no number, missing fields", "HistoryRecord/HistoryRecord10002.txt",
         "broken;\n2026-12-08 10:07:00,自动,网页性能,x,abc s;\n2026-12-08 10:08:00,手动,带宽测速;\n"
         "2026-12-08 10:09:00,自动,自动测速,无效数据,无线上网;\n",
         3, nullptr},
        {"binary bytes", "Metrics/latest-videospeed.txt", std::string("time=5\n\xff\xfe\x00\x01\nspeed=1\n", 20), 1,
         "quorvane_video_bytes_per_second{site=\"\"}"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        loggedIn(dir);
        write(dir, c.file, c.text);
        const std::string text = metrics::metricsText(dir.path());
        EXPECT_EQ(sample(text, "quorvane_history_lines_skipped_total"), c.skipped) << c.what << "\n" << text;
        if (c.present) {
            EXPECT_TRUE(sample(text, c.present)) << c.what << "\n" << text;
        }
    }
}

// Results older than the figures files still show: the newest headline of
// each test in the logged-in user's history, at its local time.
TEST(Metrics, HistoryStandsInForMissingLatestFiles)
{
    TempDir dir;
    loggedIn(dir);
    write(dir, "HistoryRecord/HistoryRecord10002.txt",
          "2026-12-08 09:00:00,手动,带宽测速,旧服务器,10.0Mb/s;\n"
          "2026-12-08 10:00:00,自动,带宽测速,北京联通,38.1Mb/s;\n"
          "2026-12-08 10:05:00,自动,视频测速,优酷,300.50 KB/s;\n");
    write(dir, "Metrics/latest-videospeed.txt", "time=7\nname=土豆\nspeed=100\n"); // newer than history
    const std::string text = metrics::metricsText(dir.path());
    EXPECT_NEAR(*sample(text, "quorvane_bandwidth_download_bytes_per_second{server=\"北京联通\"}"), 38.1 * 1048576 / 8,
                1e-3);
    EXPECT_FALSE(sample(text, "quorvane_bandwidth_download_bytes_per_second{server=\"旧服务器\"}"));
    EXPECT_TRUE(sample(text, "quorvane_video_bytes_per_second{site=\"土豆\"}"));
    EXPECT_FALSE(sample(text, "quorvane_video_bytes_per_second{site=\"优酷\"}"));
    std::tm tm{};
    tm.tm_year = 126, tm.tm_mon = 11, tm.tm_mday = 8, tm.tm_hour = 10, tm.tm_isdst = -1;
    EXPECT_EQ(sample(text, "quorvane_result_timestamp_seconds{test=\"bandwidth\"}"), double(std::mktime(&tm)));
}

// The counters the scheduler and the upload runs keep: rounds, rejections by
// code (every code present from the start, so rate() sees the first one),
// archives waiting, the last upload.
TEST(Metrics, CountersAndWaitingRecords)
{
    TempDir dir;
    ASSERT_TRUE(addToCounter(dir.path(), kRoundsCounter));
    ASSERT_TRUE(addToCounter(dir.path(), kRoundsCounter));
    ASSERT_TRUE(addToCounter(dir.path(), std::string(kRejectedCounterPrefix) + "5"));
    ASSERT_TRUE(setCounterValue(dir.path(), kLastUploadField, 1765188100));
    write(dir, "Data/20261208100000_1024_Pccollect.zip", "z");
    write(dir, "Data/Pccollect_band_2026120810.dat", "r");
    write(dir, "Data/.Pccollect_band_2026120810.dat.abc.writing", "half");
    write(dir, "Data2/a.zip", "z");
    const std::string text = metrics::metricsText(dir.path());
    const std::pair<const char*, double> cases[] = {
        {"quorvane_auto_rounds_total", 2},
        {"quorvane_auto_rounds_rejected_total{code=\"5\"}", 1},
        {"quorvane_auto_rounds_rejected_total{code=\"1\"}", 0},
        {"quorvane_upload_last_success_timestamp_seconds", 1765188100},
        {"quorvane_records_waiting_upload{folder=\"Data\"}", 2},
        {"quorvane_records_waiting_upload{folder=\"Data2\"}", 1},
    };
    for (const auto& [series, value] : cases)
        EXPECT_EQ(sample(text, series), value) << series << "\n" << text;
}

// Round and upload threads count at the same moment: no increment may be
// lost inside one process.
TEST(Metrics, CountingFromManyThreadsLosesNothing)
{
    TempDir dir;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                addToCounter(dir.path(), kRoundsCounter);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(readFigureLines(countersFile(dir.path())).get(kRoundsCounter), "100");
}

// The textfile is replaced whole; a folder that cannot take it is an error,
// not an empty file.
TEST(Metrics, TextfileIsWrittenWholeOrNotAtAll)
{
    TempDir dir;
    write(dir, "Metrics/latest-band.txt", "time=1\nname=s\ndownavgspeed=2\n");
    const auto file = dir / "quorvane.prom";
    ASSERT_TRUE(metrics::writeTextfile(dir.path(), file));
    EXPECT_EQ(test::readFile(file), metrics::metricsText(dir.path()));
    EXPECT_FALSE(metrics::writeTextfile(dir.path(), dir / "missing" / "quorvane.prom"));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

namespace
{

// An installation with every figure there is.
void everyFigure(const TempDir& dir)
{
    write(dir, "Metrics/latest-band.txt",
          "time=1\nname=s\ndownavgspeed=1\nupavgspeed=1\ndownmaxspeed=1\nupmaxspeed=1\ndownspeedjt=0.1\n"
          "upspeedjt=0.1\npingrtt=1\nlatency_idle_ms=1\nlatency_download_ms=2\nlatency_upload_ms=3\n"
          "contract_share_percent=50\n");
    write(dir, "Metrics/latest-filedown.txt", "time=1\nname=f\nspeed=1\nloadingtime=1\nconnecttime=1\n");
    write(dir, "Metrics/latest-screen.txt", "time=1\nname=u\nfirstscreentime=1\nfcp_ms=1\n");
    write(dir, "Metrics/latest-videospeed.txt", "time=1\nname=v\nspeed=1\nMAXSPEED=1\nloadingtime=1\n");
    write(dir, "Metrics/counters.txt", "auto_rounds=1\nrejected_3=1\nupload_last_success=1\n");
}

} // namespace

// What promtool says about the text: nothing, for every figure there is.
TEST(Metrics, PromtoolFindsNothingToComplainAbout)
{
    if (::access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    TempDir dir;
    everyFigure(dir);
    ASSERT_TRUE(metrics::writeTextfile(dir.path(), dir / "all.prom"));
    const std::string command = "/usr/bin/promtool check metrics < '" + (dir / "all.prom").string() + "' 2>&1";
    std::string said;
    std::FILE* p = ::popen(command.c_str(), "r");
    ASSERT_TRUE(p);
    char buf[512];
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, p))
        said.append(buf, n);
    EXPECT_EQ(::pclose(p), 0) << said;
    EXPECT_EQ(said, "");
}

// The dashboard and the reference name only metrics the program gives: a
// renamed metric would leave an empty panel nobody notices.
TEST(Metrics, DashboardAndReferenceNameOnlyRealMetrics)
{
    TempDir dir;
    everyFigure(dir);
    const std::string text = metrics::metricsText(dir.path());
    for (const char* file : {"contrib/grafana/quorvane.json", "docs/cli.md"}) {
        const std::string doc = test::readFile(std::filesystem::path(QUORVANE_SOURCE_DIR) / file);
        ASSERT_FALSE(doc.empty()) << file;
        const std::regex name("quorvane_[a-z_]+");
        int seen = 0;
        for (auto it = std::sregex_iterator(doc.begin(), doc.end(), name); it != std::sregex_iterator(); ++it, ++seen)
            EXPECT_NE(text.find("\n# TYPE " + it->str() + " "), std::string::npos) << file << ": " << it->str();
        EXPECT_GT(seen, 10) << file;
    }
}
