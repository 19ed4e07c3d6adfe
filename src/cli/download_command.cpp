// "quorvane-cli download URL": the file download test's measurement of one
// URL, as the page's start button runs it, with a line a second while the
// body arrives. It writes no record: that needs a logged-in user and the
// page (or an automatic round).
#include "cli/cli.h"
#include "cli/command_options.h"
#include "cli/json_text.h"
#include "measure/bandwidth_figures.h"
#include "measure/file_download.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>

namespace quorvane::cli
{

namespace
{

using namespace quorvane::measure;

// Turns the engine's reports into text, and lets the command's thread wait
// for the run's end a second at a time.
class Reporter : public FileDownloadObserver
{
public:
    explicit Reporter(std::ostream& err) : m_err(err) {}

    void showWarning(const std::string& text) override { m_err << "quorvane-cli: " << text << "\n"; }
    void message(const std::string& text) override
    {
        std::lock_guard lock(m_mutex);
        m_message = text;
    }
    void finalLabels(const DownloadRun&, const FinalLabels& labels) override
    {
        std::lock_guard lock(m_mutex);
        m_final = labels;
    }
    void runEnded(const DownloadRun&) override
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        m_changed.notify_all();
    }

    // True when the run ended within `limit`.
    bool waitEnd(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_ended; });
    }
    std::string message() const
    {
        std::lock_guard lock(m_mutex);
        return m_message;
    }
    FinalLabels final() const
    {
        std::lock_guard lock(m_mutex);
        return m_final;
    }

private:
    std::ostream& m_err;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_ended = false;
    std::string m_message;
    FinalLabels m_final{download_text::kNoValue, download_text::kNoValue};
};

std::string seconds(std::uint32_t ms)
{
    return FormatFixed(ms / 1000.0, 3);
}

} // namespace

int runDownload(const Args& args, std::ostream& out, std::ostream& err)
{
    const CommandOptions o = ParseCommandOptions(args, {"--json"});
    if (!o.error.empty() || o.positional.size() != 1) {
        err << "quorvane-cli: " << (o.error.empty() ? "download takes one URL" : o.error) << "\n";
        return kUsage;
    }
    const bool json = o.json;
    std::ostream& progress = json ? err : out;

    Reporter reporter(err);
    FileDownloadSettings settings;
    // The adapter check would refuse a loopback server on a machine without
    // a network; a URL that cannot be reached fails on its own, clearly.
    settings.networkAlive = [] { return true; };
    FileDownloadTest test(std::move(settings), &reporter);
    if (!test.StartManualTest(o.positional[0]))
        return kFailed;

    // This thread is the page's timer: one tick a second until the run ends.
    std::vector<std::uint64_t> perSecond;
    bool sizeShown = false;
    while (!reporter.waitEnd(std::chrono::milliseconds(kDownloadTimerMs))) {
        const FileDownloadTest::Tick tick = test.OnTimer();
        if (!tick.active)
            continue;
        if (!sizeShown) {
            progress << "size: " << tick.labels.totalSize << " KB, connected in " << tick.labels.connectTime << " s\n";
            sizeShown = true;
        }
        perSecond.push_back(tick.lastSecondBytes);
        progress << tick.pointIndex + 1 << " s: " << tick.labels.downloaded << " KB, "
                 << KilobytesText(tick.lastSecondBytes) << " KB/s\n"
                 << std::flush;
    }
    test.waitForManualRun();
    const DownloadRun run = test.lastRun();
    const FinalLabels labels = reporter.final();
    const std::string speed = RecordSpeedText(run.bytes, run.loadMs);
    // A body cut short by a stall or the load limit still measured the line.
    const bool whole = run.contentLength > 0 && run.bytes.value_or(0) == static_cast<std::uint64_t>(run.contentLength);

    if (json) {
        std::ostringstream samples;
        for (std::size_t i = 0; i < perSecond.size(); ++i)
            samples << (i ? "," : "") << perSecond[i];
        out << "{\"outcome\":" << jsonString(DownloadOutcomeName(run.outcome)) << ",\"url\":" << jsonString(run.url)
            << ",\"contentLength\":" << run.contentLength << ",\"bytes\":" << run.bytes.value_or(0)
            << ",\"whole\":" << (whole ? "true" : "false") << ",\"connectMs\":" << run.connectMs
            << ",\"loadMs\":" << run.loadMs << ",\"speedKBps\":" << speed << ",\"perSecondBytes\":[" << samples.str()
            << "]}\n";
    } else {
        out << "url: " << run.url << "\n"
            << "outcome: " << DownloadOutcomeName(run.outcome) << "\n";
        if (run.contentLength > 0) {
            out << "size: " << run.contentLength << " bytes (" << KilobytesText(run.contentLength) << " KB)\n"
                << "connect time: " << seconds(run.connectMs) << " s\n"
                << "load time: " << seconds(run.loadMs) << " s\n"
                << "downloaded: " << run.bytes.value_or(0) << " bytes" << (whole ? "" : " (cut short)") << "\n"
                << "average speed: " << labels.averageSpeed << " KB/s\n";
        }
    }
    if (!reporter.message().empty())
        err << "quorvane-cli: " << reporter.message() << " (" << DownloadOutcomeName(run.outcome) << ")\n";
    else if (!run.recordable())
        err << "quorvane-cli: the download did not complete (" << DownloadOutcomeName(run.outcome) << ")\n";
    return run.recordable() ? kOk : kFailed;
}

} // namespace quorvane::cli
