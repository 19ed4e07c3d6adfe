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
    s.download = [](const std::string& url, const std::filesystem::path& file, const std::atomic<bool>& cancel) {
        if (cancel)
            return false;
        update::DownloadTask task;
        // One range at a time per file: Velomark runs up to four files at
        // once, which is load enough on the update server.
        task.maxSegments = 1;
        update::StartDownload(url, task, file.string());
        const auto complete = [&task] {
            const std::int64_t size = task.totalSize();
            return size != 0 && update::GetProgress(task) == size;
        };
        while (!task.waitFinished(std::chrono::milliseconds(50)) && !complete()) {
            if (cancel) {
                task.Stop();
                return false;
            }
        }
        return task.allDone() || complete();
    };
    return s;
}

} // namespace quorvane::velomark
