#pragma once
// Handing memory back to the system while the program idles between
// measurements. The embedded browser leaves behind, once it has ended, the
// code pages of its library that only this process touched (tens of MB) and
// free heap that the allocator keeps; neither is needed again until the next
// page is measured, when the pages come back from the library's file before
// the measured navigation starts.
//
// Thread-safety: every function may be called from any thread.
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvane::platform
{

struct MappedRange {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    bool operator==(const MappedRange&) const = default;
};

// The ranges of a /proc/<pid>/smaps text that map a file whose name (the
// last path element) starts with `fileNamePrefix`, not writable, and hold
// no anonymous page: every page of them can be read again from the file. A
// range whose pages were written before it was made read-only (relocated
// data) holds anonymous pages and is left out, as is a range without an
// "Anonymous:" line and a file deleted since it was mapped.
std::vector<MappedRange> readOnlyFileRanges(std::string_view smapsText, std::string_view fileNamePrefix);

// What releaseIdleMemory did: this process's resident set before and after,
// in bytes (0 when it could not be read), and the bytes of library ranges
// unmapped.
struct IdleRelease {
    std::uint64_t residentBefore = 0;
    std::uint64_t residentAfter = 0;
    std::uint64_t unmappedBytes = 0;
};

// Returns the allocator's free memory to the system and, when
// `libraryPrefix` is not empty, unmaps the pages of that library's ranges
// that readOnlyFileRanges names from this process. The pages stay in the
// system's file cache for as long as the system has room, so touching them
// again costs a minor fault, not a read from disk. Never call it while the
// library's code is at work: the pages would only come back at once.
IdleRelease releaseIdleMemory(std::string_view libraryPrefix = {});

} // namespace quorvane::platform
