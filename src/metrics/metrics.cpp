#include "metrics/metrics.h"

#include "common/durable_file.h"
#include "common/paths.h"
#include "common/property_file.h"
#include "results/figures.h"
#include "results/history.h"
#include "results/history_table.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

namespace quorvane::metrics
{

namespace
{

// The program's "MB/s" and "Mb" count 2^20, its "KB/s" 2^10. Rates go out
// in bytes, the base unit Prometheus's conventions (and promtool) ask for;
// a dashboard multiplies by 8 to show a line's bits.
constexpr double kMiB = 1048576.0;
constexpr double kKiB = 1024.0;

using Labels = std::map<std::string, std::string>;

// A figure of a latest-result file and the metric it becomes.
struct Figure {
    const char* field;
    const char* name;
    const char* help;
    double scale; // to the metric's base unit
    const char* phase = nullptr;
};

struct Test {
    RecordKind kind;
    const char* test;  // the "test" label of the result's time stamp
    const char* label; // what the result's "name" is
    HistorySeries series;
    const char* headline; // the metric the history's headline number is
    double headlineScale;
    std::vector<Figure> figures;
};

const std::vector<Test>& tests()
{
    static const char* const latency = "Round-trip time to the test server while the line was idle or loaded.";
    static const std::vector<Test> all = {
        {RecordKind::Band,
         "bandwidth",
         "server",
         HistorySeries::Bandwidth,
         "quorvane_bandwidth_download_bytes_per_second",
         kMiB / 8, // the history's figure is in the program's Mb
         {
             {"downavgspeed", "quorvane_bandwidth_download_bytes_per_second",
              "Average download rate of the latest bandwidth test.", kMiB},
             {"upavgspeed", "quorvane_bandwidth_upload_bytes_per_second",
              "Average upload rate of the latest bandwidth test.", kMiB},
             {"downmaxspeed", "quorvane_bandwidth_download_peak_bytes_per_second",
              "Fastest download second of the latest bandwidth test.", kMiB},
             {"upmaxspeed", "quorvane_bandwidth_upload_peak_bytes_per_second",
              "Fastest upload second of the latest bandwidth test.", kMiB},
             {"downspeedjt", "quorvane_bandwidth_download_jitter_ratio",
              "Coefficient of variation of the download seconds.", 1},
             {"upspeedjt", "quorvane_bandwidth_upload_jitter_ratio", "Coefficient of variation of the upload seconds.",
              1},
             {"pingrtt", "quorvane_bandwidth_ping_seconds",
              "Echo round trip to the test server before the latest bandwidth test.", 0.001},
             {"latency_idle_ms", "quorvane_bandwidth_latency_seconds", latency, 0.001, "idle"},
             {"latency_download_ms", "quorvane_bandwidth_latency_seconds", latency, 0.001, "download"},
             {"latency_upload_ms", "quorvane_bandwidth_latency_seconds", latency, 0.001, "upload"},
             {"contract_share_percent", "quorvane_bandwidth_contract_ratio",
              "Share of the contracted bandwidth the latest download reached.", 0.01},
         }},
        {RecordKind::FileDown,
         "file_download",
         "file",
         HistorySeries::FileDownload,
         "quorvane_file_download_bytes_per_second",
         kKiB,
         {
             {"speed", "quorvane_file_download_bytes_per_second", "Average rate of the latest file download.", kKiB},
             {"loadingtime", "quorvane_file_download_load_seconds", "Time the latest file download took.", 1},
             {"connecttime", "quorvane_file_download_connect_seconds", "Connect time of the latest file download.", 1},
         }},
        {RecordKind::Screen,
         "web",
         "url",
         HistorySeries::WebPage,
         "quorvane_web_first_screen_seconds",
         1,
         {
             {"firstscreentime", "quorvane_web_first_screen_seconds", "First-screen time of the latest web page test.",
              1},
             {"fcp_ms", "quorvane_web_first_contentful_paint_seconds",
              "First contentful paint of the latest web page test.", 0.001},
         }},
        {RecordKind::VideoSpeed,
         "video",
         "site",
         HistorySeries::Video,
         "quorvane_video_bytes_per_second",
         kKiB,
         {
             {"speed", "quorvane_video_bytes_per_second", "Average stream rate of the latest video test.", kKiB},
             {"MAXSPEED", "quorvane_video_peak_bytes_per_second", "Fastest stream second of the latest video test.",
              kKiB},
             {"loadingtime", "quorvane_video_first_byte_seconds", "Time to the first byte of the latest video stream.",
              0.001},
         }},
    };
    return all;
}

// The whole text as a finite number; nothing for anything else.
std::optional<double> number(const std::string& text)
{
    double v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || ptr != end || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// Families made on first use, so a figure nobody measured has no family.
class Builder
{
public:
    void gauge(const std::string& name, const std::string& help, const Labels& labels, double value)
    {
        auto& family = m_gauges[name];
        if (!family)
            family = &prometheus::BuildGauge().Name(name).Help(help).Register(m_registry);
        family->Add(labels).Set(value);
    }
    void counter(const std::string& name, const std::string& help, const Labels& labels, double value)
    {
        auto& family = m_counters[name];
        if (!family)
            family = &prometheus::BuildCounter().Name(name).Help(help).Register(m_registry);
        family->Add(labels).Increment(value);
    }
    std::vector<prometheus::MetricFamily> collect() const { return m_registry.Collect(); }

    int skipped = 0;

private:
    prometheus::Registry m_registry;
    std::map<std::string, prometheus::Family<prometheus::Gauge>*> m_gauges;
    std::map<std::string, prometheus::Family<prometheus::Counter>*> m_counters;
};

const char* const kTimeHelp = "When the latest result of each test was measured.";

// The latest result of `test` from its file. False when there is none.
bool latestFromFile(const std::filesystem::path& installDir, const Test& test, Builder& b)
{
    const FigureLines lines = readFigureLines(latestFiguresFile(installDir, test.kind));
    b.skipped += lines.skipped;
    if (!lines.present)
        return false;
    const auto time = number(lines.get("time").value_or(""));
    if (!time) {
        ++b.skipped; // a result without its time cannot be placed
        return false;
    }
    const std::string name = lines.get("name").value_or("");
    b.gauge("quorvane_result_timestamp_seconds", kTimeHelp, {{"test", test.test}}, *time);
    for (const Figure& f : test.figures) {
        const auto text = lines.get(f.field);
        if (!text || text->empty())
            continue;
        const auto v = number(*text);
        if (!v) {
            ++b.skipped;
            continue;
        }
        if (*v < 0)
            continue; // the engines' "no figure"
        Labels labels{{test.label, name}};
        if (f.phase)
            labels["phase"] = f.phase;
        b.gauge(f.name, f.help, labels, *v * f.scale);
    }
    return true;
}

std::optional<long long> localHistoryTime(const std::string& text)
{
    RecordTime t;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second,
                    &tail) != 6 ||
        !parseHistoryTime(text))
        return std::nullopt;
    return localEpochSeconds(t);
}

// The history of the user who last logged in here: the newest headline of
// each test that has no latest-result file, and the lines that do not parse.
void fromHistory(const std::filesystem::path& installDir, const std::vector<const Test*>& missing, Builder& b)
{
    PropertyFile login(programPath(installDir, "conf\\l_c_config_01.properties").string());
    login.load();
    const std::string user = login.get("userid");
    if (user == PropertyFile::kNull || user.empty())
        return;
    const std::filesystem::path file = historyFilePath(installDir, user);
    // The reader passes over lines too short to hold an entry; they are
    // damage all the same.
    std::ifstream raw(file);
    for (std::string line; std::getline(raw, line);) {
        if (!line.empty() && line.size() <= 20)
            ++b.skipped;
    }
    std::map<HistorySeries, const Test*> wanted;
    for (const Test* t : missing)
        wanted[t->series] = t;
    for (const HistoryRow& row : newestFirst(historyRows(ReadHistoryFile(file)))) {
        if (row.cellCount >= 5 && row.cells[2] == "自动测速")
            continue; // a rejected round: counted by the scheduler
        const auto point = row.cellCount >= 5 ? historyPoint(row) : std::nullopt;
        const auto time = row.cellCount >= 5 ? localHistoryTime(row.cells[0]) : std::nullopt;
        if (!point || !time) {
            ++b.skipped;
            continue;
        }
        const auto it = wanted.find(point->series);
        if (it == wanted.end())
            continue;
        const Test& t = *it->second;
        b.gauge("quorvane_result_timestamp_seconds", kTimeHelp, {{"test", t.test}}, static_cast<double>(*time));
        for (const Figure& f : t.figures) {
            if (std::string(f.name) == t.headline)
                b.gauge(f.name, f.help, {{t.label, row.cells[3]}}, point->value * t.headlineScale);
        }
        wanted.erase(it);
    }
}

void counters(const std::filesystem::path& installDir, Builder& b)
{
    const FigureLines lines = readFigureLines(countersFile(installDir));
    b.skipped += lines.skipped;
    std::map<std::string, double> rejected = {{"1", 0}, {"2", 0}, {"3", 0}, {"4", 0}, {"5", 0}, {"6", 0}};
    double rounds = 0;
    std::optional<double> lastUpload;
    const std::string prefix = kRejectedCounterPrefix;
    for (const auto& [name, text] : lines.values) {
        const auto v = number(text);
        if (!v || *v < 0) {
            ++b.skipped;
            continue;
        }
        if (name == kRoundsCounter)
            rounds = *v;
        else if (name == kLastUploadField)
            lastUpload = *v;
        else if (name.rfind(prefix, 0) == 0 && number(name.substr(prefix.size())))
            rejected[name.substr(prefix.size())] = *v;
    }
    b.counter("quorvane_auto_rounds_total", "Automatic rounds started.", {}, rounds);
    for (const auto& [code, count] : rejected)
        b.counter("quorvane_auto_rounds_rejected_total",
                  "Automatic rounds the environment checks rejected, by reason code.", {{"code", code}}, count);
    if (lastUpload)
        b.gauge("quorvane_upload_last_success_timestamp_seconds", "When a collection server last confirmed an archive.",
                {}, *lastUpload);
}

void waiting(const std::filesystem::path& installDir, Builder& b)
{
    for (const char* folder : {"Data", "Data2"}) {
        std::error_code ec;
        std::filesystem::directory_iterator it(installDir / folder, ec);
        if (ec && std::string(folder) == "Data2")
            continue; // only users with a regional server have it
        double count = 0;
        for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const std::string ext = it->path().extension().string();
            if (name[0] != '.' && (ext == ".zip" || ext == ".dat") && it->is_regular_file(ec))
                ++count;
        }
        b.gauge("quorvane_records_waiting_upload", "Records and archives waiting in a data folder for upload.",
                {{"folder", folder}}, count);
    }
}

} // namespace

std::vector<prometheus::MetricFamily> collectFamilies(const std::filesystem::path& installDir)
{
    Builder b;
    std::vector<const Test*> missing;
    for (const Test& t : tests()) {
        if (!latestFromFile(installDir, t, b))
            missing.push_back(&t);
    }
    fromHistory(installDir, missing, b);
    counters(installDir, b);
    waiting(installDir, b);
    b.counter("quorvane_history_lines_skipped_total",
              "History lines and stored figures that did not parse and were left out of this scrape.", {}, b.skipped);
    return b.collect();
}

std::string metricsText(const std::filesystem::path& installDir)
{
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, collectFamilies(installDir));
    return out.str();
}

bool writeTextfile(const std::filesystem::path& installDir, const std::filesystem::path& file)
{
    return writeFileDurably(file, metricsText(installDir));
}

} // namespace quorvane::metrics
