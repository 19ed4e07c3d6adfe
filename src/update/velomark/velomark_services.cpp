#include "update/velomark/velomark_services.h"

#include "results/http_fetch.h"

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
        HttpOptions options;
        options.connectTimeout = std::chrono::milliseconds(5000);
        options.stallTimeout = std::chrono::milliseconds(15000);
        int status = 0;
        return HttpFetchToFile(url, file, status, options, std::size_t(1) << 30) == kHttpAnswered && status == 200;
    };
    return s;
}

} // namespace quorvane::velomark
