#pragma once
// The line's figures as Prometheus metrics: the latest result of each test
// (results/figures.h, with the history as a fallback for results older than
// those files), the automatic rounds run and rejected by code, the records
// waiting for upload and the last successful upload. Every scrape reads the
// files afresh, so the command line and the tray program's endpoint give the
// same text; a file or line that does not parse is skipped and counted in
// quorvane_history_lines_skipped_total, never a failed scrape.
//
// Thread-safety: the functions keep no state; a FilesCollectable may be
// collected from any thread, also several at once.
#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quorvane::metrics
{

// The metric families of the installation in `installDir`. The history read
// is the one of the user whose id conf/l_c_config_01.properties holds.
std::vector<prometheus::MetricFamily> collectFamilies(const std::filesystem::path& installDir);

// The same families in the text exposition format.
std::string metricsText(const std::filesystem::path& installDir);

// Writes metricsText() to `file` the way node_exporter's textfile collector
// needs it: whole or not at all (a temporary file renamed over it). False
// when it could not be written.
bool writeTextfile(const std::filesystem::path& installDir, const std::filesystem::path& file);

class FilesCollectable final : public prometheus::Collectable
{
public:
    explicit FilesCollectable(std::filesystem::path installDir) : m_installDir(std::move(installDir)) {}
    std::vector<prometheus::MetricFamily> Collect() const override { return collectFamilies(m_installDir); }

private:
    std::filesystem::path m_installDir;
};

} // namespace quorvane::metrics
