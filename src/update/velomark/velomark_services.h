#pragma once
// The real parts behind Velomark's flow: the segmented downloader with one
// range at a time, and the release signature when the installation asks
// for one.
#include "update/velomark/velomark_flow.h"

namespace quorvane::velomark
{

// `registry` and `processes` must outlive the services.
Services realServices(const std::filesystem::path& programDir, platform::RegistryStore& registry,
                      platform::ProcessControl& processes);

} // namespace quorvane::velomark
