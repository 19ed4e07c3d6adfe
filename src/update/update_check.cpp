#include "update/update_check.h"

#include "common/paths.h"
#include "common/property_file.h"
#include "net/http_fetch.h"
#include "update/manifest.h"
#include "update/version_records.h"

namespace quorvane::update
{

std::string UpdateManifestUrl()
{
    const auto [base, name] =
        lookupContaining(programPath("conf//config.properties").string(), "update_server_path", "update_ver_file_name");
    return base + name;
}

std::filesystem::path UpdateManifestFile(const std::string& url)
{
    std::string segment = url.substr(url.find_last_of('/') == std::string::npos ? 0 : url.find_last_of('/') + 1);
    if (segment.empty())
        segment = "update.xml";
    // programPath keeps a name from the configuration inside tmp.
    std::filesystem::path name = programPath(segment).filename();
    if (name.empty() || name == "." || name == "..")
        name = "update.xml";
    return programPath("tmp//") / name;
}

std::string ReadManifestVersion(const std::filesystem::path& file)
{
    const std::optional<Manifest> manifest = LoadManifest(file);
    return manifest ? manifest->version : std::string();
}

UpdateDecision CheckForUpdate(const ManifestFetch& fetch)
{
    UpdateDecision d;
    d.installed = ReadNewAppVer(".");
    d.manifestUrl = UpdateManifestUrl();
    const std::filesystem::path file = UpdateManifestFile(d.manifestUrl);
    std::error_code ec;
    std::filesystem::create_directories(programPath("tmp//"), ec);
    if (fetch && fetch(d.manifestUrl, file))
        d.server = ReadManifestVersion(file);
    // An empty recorded version must not meet an empty server version and
    // pass for current: nothing was learnt from the server then.
    d.upToDate = !d.server.empty() && d.server == d.installed;
    return d;
}

ManifestFetch defaultManifestFetch()
{
    return [](const std::string& url, const std::filesystem::path& file) {
        HttpOptions options;
        options.connectTimeout = std::chrono::milliseconds(2000);
        options.stallTimeout = std::chrono::milliseconds(10000);
        // One connect retry: a connection that brought no answer at all is
        // tried once more before the server counts as unreachable.
        for (int attempt = 0; attempt < 2; ++attempt) {
            int status = 0;
            const int result = HttpFetchToFile(url, file, status, options);
            if (result == kHttpAnswered)
                return status == 200;
            if (status != 0)
                return false;
        }
        return false;
    };
}

} // namespace quorvane::update
