// Manifests come from the update server. Whatever arrives, both selections
// name each target path once, and Update never selects a file Velomark would
// not.
#include "fuzz/fuzz_support.h"
#include "update/manifest.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string_view>

using namespace quorvane::update;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto manifest = ParseManifest(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!manifest)
        return 0;
    std::set<std::string> installedCandidates{"", manifest->version};
    for (const ManifestEntry& e : manifest->entries) {
        if (e.name == "versionid")
            installedCandidates.insert(e.text);
    }
    for (const std::string& installed : installedCandidates) {
        const Selection update = SelectFiles(*manifest, installed, SelectVariant::Update);
        const Selection velomark = SelectFiles(*manifest, installed, SelectVariant::Velomark);
        std::set<std::string> paths;
        for (const SelectedFile& f : velomark.files)
            FUZZ_REQUIRE(paths.insert(f.localpath).second);
        for (const SelectedFile& f : update.files)
            FUZZ_REQUIRE(paths.count(f.localpath) == 1);
        FUZZ_REQUIRE(update.files.size() <= velomark.files.size());
    }
    DecideUpdateCycle(manifest, manifest->version);
    DecideVelomark(manifest, manifest->version);
    return 0;
}
