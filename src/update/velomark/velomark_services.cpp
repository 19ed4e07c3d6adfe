#include "update/velomark/velomark_services.h"

#include "update/segmented_download.h"

#include <chrono>

namespace quorvane::velomark
{

Services realServices(const std::filesystem::path&, platform::RegistryStore& registry,
                      platform::ProcessControl& processes)
{
    Services s;
    s.registry = &registry;
    s.processes = &processes;
    s.download = [](const std::string& url, const std::filesystem::path& file, const std::atomic<bool>& cancel,
                    const update::FetchLimits& limits) {
        if (cancel)
            return false;
        update::DownloadTask task;
        // One range at a time per file: Velomark runs up to four files at
        // once, which is load enough on the update server.
        task.maxSegments = 1;
        task.expectedSize = limits.expectedSize;
        task.maxSize = limits.maxBytes;
        // A broken-off file is continued by the next attempt.
        task.keepState = limits.expectedSize >= 0;
        const auto deadline = limits.deadline.count() > 0 ? std::chrono::steady_clock::now() + limits.deadline
                                                          : std::chrono::steady_clock::time_point::max();
        // Asked by the task's own threads, also while it probes the server,
        // so cancelling never waits for a request to time out.
        task.cancelled = [&cancel, deadline] { return cancel.load() || std::chrono::steady_clock::now() > deadline; };
        update::StartDownload(url, task, file.string());
        while (!task.waitFinished(std::chrono::milliseconds(50))) {
        }
        return task.allDone();
    };
    return s;
}

} // namespace quorvane::velomark
