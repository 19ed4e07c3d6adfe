// The activation line arrives on a local socket that any process of the user
// can reach. Decoding accepts exactly what encoding produces.
#include "fuzz/fuzz_support.h"
#include "platform/single_instance.h"

#include <cstdint>
#include <string_view>

using namespace quorvane::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto message = decodeActivation(line);
    if (!message)
        return 0;
    FUZZ_REQUIRE(encodeActivation(*message) == line);
    FUZZ_REQUIRE(decodeActivation(encodeActivation(*message)) == message);
    return 0;
}
