#include "platform/idle_memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace quorvane::platform
{
namespace
{

bool parseHex(std::string_view text, std::uintptr_t& out)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, 16);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The next blank-separated field of `line` from `pos`.
std::string_view field(std::string_view line, std::size_t& pos)
{
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ')
        ++pos;
    return line.substr(start, pos - start);
}

std::uint64_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    if (!(statm >> size >> resident))
        return 0;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

} // namespace

std::vector<MappedRange> readOnlyFileRanges(std::string_view smapsText, std::string_view fileNamePrefix)
{
    std::vector<MappedRange> ranges;
    if (fileNamePrefix.empty())
        return ranges;
    // The range of the latest head line while it may still be taken: until
    // its "Anonymous:" line says it holds no anonymous page.
    std::optional<MappedRange> candidate;
    bool anonymousSeen = false;
    auto close = [&] {
        if (candidate && anonymousSeen)
            ranges.push_back(*candidate);
        candidate.reset();
        anonymousSeen = false;
    };
    while (!smapsText.empty()) {
        const std::size_t newline = smapsText.find('\n');
        const std::string_view line = smapsText.substr(0, newline);
        smapsText.remove_prefix(newline == std::string_view::npos ? smapsText.size() : newline + 1);

        std::size_t pos = 0;
        const std::string_view first = field(line, pos);
        if (first.ends_with(':')) {
            if (first == "Anonymous:" && candidate) {
                anonymousSeen = true;
                if (field(line, pos) != "0")
                    candidate.reset();
            }
            continue;
        }
        close(); // a head line: the previous range is complete
        const std::string_view perms = field(line, pos);
        for (int skipped = 0; skipped < 3; ++skipped) // offset, device, inode
            field(line, pos);
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        const std::string_view path = line.substr(pos);

        const std::size_t dash = first.find('-');
        MappedRange range;
        if (dash == std::string_view::npos || !parseHex(first.substr(0, dash), range.begin) ||
            !parseHex(first.substr(dash + 1), range.end) || range.end <= range.begin)
            continue;
        if (perms.size() != 4 || perms[0] != 'r' || perms[1] != '-' || path.empty() || path[0] != '/')
            continue;
        if (path.ends_with(" (deleted)"))
            continue;
        const std::string_view name = path.substr(path.find_last_of('/') + 1);
        if (name.starts_with(fileNamePrefix))
            candidate = range;
    }
    close();
    return ranges;
}

IdleRelease releaseIdleMemory(std::string_view libraryPrefix)
{
    IdleRelease release;
    release.residentBefore = residentBytes();
    ::malloc_trim(0);
    if (!libraryPrefix.empty()) {
        std::ifstream smaps("/proc/self/smaps");
        std::stringstream text;
        text << smaps.rdbuf();
        for (const MappedRange& range : readOnlyFileRanges(text.str(), libraryPrefix)) {
            const std::size_t length = range.end - range.begin;
            if (::madvise(reinterpret_cast<void*>(range.begin), length, MADV_DONTNEED) == 0)
                release.unmappedBytes += length;
        }
    }
    release.residentAfter = residentBytes();
    return release;
}

} // namespace quorvane::platform
