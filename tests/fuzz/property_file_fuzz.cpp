// Property files are edited by hand and written by other programs. Whatever
// one holds, a change and a save must keep every entry and every line the
// reader did not understand, and the other readers must cope.
#include "common/property_file.h"
#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using namespace quorvane;

namespace
{

// Every save syncs the file: on a disk that costs a thousand executions a
// second, so the scratch file lives in memory (/dev/shm) where there is one.
std::string scratchFile()
{
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string base = dir && *dir ? dir : "/tmp";
        if (std::filesystem::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0)
            base = "/dev/shm";
        return base + "/quorvane-fuzz-properties-" + std::to_string(getpid());
    }();
    return path;
}

void write(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = scratchFile();
    const std::string input(reinterpret_cast<const char*>(data), size);
    write(path, input);

    PropertyFile first(path);
    const bool complete = first.load();
    const auto entries = first.entries();
    for (const auto& [key, value] : entries) {
        FUZZ_REQUIRE(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
        FUZZ_REQUIRE(key.find('=') == std::string::npos);
        FUZZ_REQUIRE(!key.empty() ? key[0] != '#' : true);
    }
    lookupFirst(path, entries.empty() ? "k" : entries.front().first);
    lookupContaining(path, "a", "=");

    // A value from outside (a nickname) with line ends in it, set on the
    // first key, must come back as one entry and leave the rest alone.
    if (!entries.empty()) {
        const std::string key = entries.front().first;
        first.set(key, "x\r\ny=1\n");
        FUZZ_REQUIRE(first.save(false));
        PropertyFile second(path);
        FUZZ_REQUIRE(second.load() == complete);
        FUZZ_REQUIRE(second.entries().size() == entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            FUZZ_REQUIRE(second.entries()[i].first == entries[i].first);
            if (entries[i].first != key)
                FUZZ_REQUIRE(second.entries()[i].second == entries[i].second);
        }
        FUZZ_REQUIRE(second.get(key) == "x  y=1 ");
    }
    toggleFlagInPlace(path, entries.empty() ? "auto" : entries.front().first, '1');
    std::filesystem::remove(path);
    return 0;
}
