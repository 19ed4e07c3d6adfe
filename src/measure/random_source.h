#pragma once
// Random choices of the tests (server among candidates, request keys, the
// `r` text of test URLs) come from one injectable source, so tests make them
// deterministic.
#include <functional>

namespace quorvane::measure
{

// Values in 0..32767, the range the formats that divide by 32767 expect.
// Thread-safety: the source returned by seededRandomSource() may be called
// from any thread.
using RandomSource = std::function<int()>;

// A generator seeded per call from the system's entropy and the time, so two
// machines (or two runs in one second) do not draw the same request key.
RandomSource seededRandomSource();

} // namespace quorvane::measure
