// "quorvane-cli video PAGE-OR-STREAM-URL": the video test's measurement
// without a window. A page of a known video site is resolved to its stream
// first, as the preset buttons do; any other address is played as it
// stands. The built-in player measures it with a line a second while the
// stream arrives. It writes no record.
#include "cli/cli.h"
#include "cli/command_options.h"
#include "cli/json_text.h"
#include "measure/bandwidth_figures.h"
#include "measure/file_download.h"
#include "measure/stream_player.h"
#include "measure/video_resolvers.h"
#include "measure/video_test.h"
#include "platform/executable.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>

namespace quorvane::cli
{

using namespace quorvane::measure;

int runVideo(const Args& args, std::ostream& out, std::ostream& err)
{
    const CommandOptions o = ParseCommandOptions(args, {"--json", "--stream", "--dir"});
    if (!o.error.empty() || o.positional.size() != 1) {
        err << "quorvane-cli: " << (o.error.empty() ? "video takes one page or stream URL" : o.error) << "\n";
        return kUsage;
    }
    const bool json = o.json, direct = o.stream;
    // The site hosts are read from the installation's Config folder.
    if (!enterInstallation(o.dir, err))
        return kFailed;
    std::ostream& progress = json ? err : out;

    const std::string address = o.positional[0];
    const std::string label = direct ? std::string() : SiteLabelOf(address);
    std::string stream = address;
    if (!label.empty()) {
        stream = ResolveStreamAddress(address);
        if (stream.empty()) {
            err << "quorvane-cli: no stream found on the " << label << " page (--stream plays the address itself)\n";
            return kFailed;
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> call;
    StreamFigures figures;
    StreamPlayer::Display display;
    display.ended = [&](const StreamFigures& f) {
        std::lock_guard lock(mutex);
        figures = f;
    };
    StreamPlayer player(
        {},
        [&](const std::string& request) {
            std::lock_guard lock(mutex);
            call = request;
            changed.notify_all();
        },
        display);
    player.CallFunction(InvokeRequest(invoke::kPlay, stream));

    // One line a second while the stream comes; the player's deadline bounds
    // the wait.
    std::uint64_t previous = 0;
    int second = 0;
    for (;;) {
        std::unique_lock lock(mutex);
        if (changed.wait_for(lock, std::chrono::seconds(1), [&] { return call.has_value(); }))
            break;
        lock.unlock();
        const std::uint64_t bytes = player.liveBytes();
        progress << ++second << " s: " << KilobytesText(bytes) << " KB, " << KilobytesText(bytes - previous)
                 << " KB/s\n"
                 << std::flush;
        previous = bytes;
    }
    player.waitIdle();
    const std::vector<std::string> v = VideoInfoPieces(*call);
    if (v.size() != 6) {
        err << "quorvane-cli: the player reported " << v.size() << " values\n";
        return kFailed;
    }
    const int completed = IfCompleted(v[4], v[2]);
    const VideoSite& site = VideoSiteOf(label.empty() ? stream : address);
    if (json) {
        out << "{\"address\":" << jsonString(address) << ",\"stream\":" << jsonString(stream)
            << ",\"site\":" << jsonString(site.name) << ",\"mediatype\":" << site.mediatype
            << ",\"end\":" << jsonString(StreamEndName(figures.end)) << ",\"httpStatus\":" << figures.httpStatus
            << ",\"maxSpeedKBps\":" << v[0] << ",\"loadingTimeMs\":" << v[1] << ",\"totalSize\":" << v[2]
            << ",\"speedKBps\":" << v[3] << ",\"loadSize\":" << v[4] << ",\"totalTimeMs\":" << v[5]
            << ",\"ifcompleted\":" << completed << "}\n";
    } else {
        out << "stream: " << stream << "\n"
            << "site: " << site.name << " (mediatype " << site.mediatype << ")\n"
            << "end: " << StreamEndName(figures.end);
        if (figures.httpStatus)
            out << " (HTTP " << figures.httpStatus << ")";
        out << "\n"
            << "maximum speed: " << v[0] << " KB/s\n"
            << "time to first byte: " << v[1] << " ms\n"
            << "total size: " << v[2] << " bytes\n"
            << "average speed: " << v[3] << " KB/s\n"
            << "loaded: " << v[4] << " bytes\n"
            << "total time: " << v[5] << " ms\n"
            << "complete: " << (completed ? "yes" : "no") << "\n";
    }
    if (!completed)
        err << "quorvane-cli: the stream did not load completely (" << StreamEndName(figures.end) << ")\n";
    return completed ? kOk : kFailed;
}

} // namespace quorvane::cli
