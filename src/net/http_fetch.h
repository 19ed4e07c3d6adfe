#pragma once
// Fetching one small file over HTTP into the installation (the update
// manifest of the settings page's update check).
//
// Thread-safety: may be called from any thread; blocks for the transfer.
#include "net/http_request.h"

#include <filesystem>
#include <string>

namespace quorvane
{

// GETs `url` (http or https) with "Cache-Control: no-cache" and
// "Pragma: no-cache", without following redirects. Every folder along `file`
// is created and a file of that name removed first; only a 200 answer's body
// is written, whole, to a new file (a cut transfer leaves no file). The
// status of the answer goes to `statusOut` (0 when none came).
// Returns 0 (answered, whatever the status), 1 (failure, including a body
// over `maxBytes` or a file that could not be written) or 2 (time-out).
int HttpFetchToFile(const std::string& url, const std::filesystem::path& file, int& statusOut,
                    const HttpOptions& options, std::size_t maxBytes = 16u << 20);

} // namespace quorvane
