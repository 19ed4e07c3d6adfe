// Date headers come from the service's clock answer and name records and
// archives. Whatever parses must give a calendar time in the range the
// stamps can show, and the stamp must read back as the same instant.
#include "fuzz/fuzz_support.h"
#include "results/service_time.h"

#include <cstdint>
#include <string_view>

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto instant = parseHttpDate(text);
    if (!instant)
        return 0;
    const RecordTime t = localTimeOf(*instant);
    FUZZ_REQUIRE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
    FUZZ_REQUIRE(t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 60);
    const std::string stamp = formatStamp(t);
    FUZZ_REQUIRE(stamp.size() >= 19);
    // Carrying through the calendar must agree with the clock's own view.
    const RecordTime later = addSeconds(t, 86400 + 3661);
    FUZZ_REQUIRE(later.month >= 1 && later.month <= 12 && later.day >= 1 && later.day <= 31);
    return 0;
}
