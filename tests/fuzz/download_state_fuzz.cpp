// A state file lies beside a download and may be anything. A state that is
// accepted for resuming accounts for every byte before its last range once,
// and writing a state gives back what was read.
#include "fuzz/fuzz_support.h"
#include "update/segmented_download.h"

#include <cstdint>
#include <string_view>

using namespace quorvane::update;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto state = ParseDownloadState(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!state)
        return 0;
    for (std::size_t i = 1; i < state->ranges.size(); ++i)
        FUZZ_REQUIRE(state->ranges[i - 1].start <= state->ranges[i].start);
    // What a stopped download writes reads back as the same state.
    const auto again = ParseDownloadState(FormatDownloadState(*state));
    FUZZ_REQUIRE(again && again->baseCount == state->baseCount && again->ranges == state->ranges);
    for (const std::int64_t total : {std::int64_t(1000), std::int64_t(500000), INT64_MAX}) {
        if (!StateFits(*state, total))
            continue;
        std::int64_t end = 0, rests = 0;
        for (const ByteRange& r : state->ranges) {
            FUZZ_REQUIRE(r.start >= end && r.done >= 0 && r.done <= r.length && r.start + r.length <= total);
            end = r.start + r.length;
            rests += r.length - r.done;
        }
        FUZZ_REQUIRE(state->baseCount + rests == end);
    }
    return 0;
}
