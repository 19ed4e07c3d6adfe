// Property files are edited by hand and written by other programs. Whatever
// one holds, a change and a save must keep every entry and every line the
// reader did not understand, and the other readers must cope. All of it runs
// on the text in memory: the file code around it only reads and writes it.
#include "common/property_file.h"
#include "fuzz/fuzz_support.h"

#include <cstdint>
#include <string>

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    PropertyFile first("unused");
    const bool complete = first.loadText(input);
    const auto entries = first.entries();
    for (const auto& [key, value] : entries) {
        FUZZ_REQUIRE(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
        FUZZ_REQUIRE(key.find('=') == std::string::npos);
        FUZZ_REQUIRE(!key.empty() ? key[0] != '#' : true);
    }
    const std::string firstKey = entries.empty() ? "k" : entries.front().first;
    lookupFirstIn(input, firstKey);
    lookupContainingIn(input, "a", "=");

    // A value from outside (a nickname) with line ends in it, set on the
    // first key, must come back as one entry and leave the rest alone.
    if (!entries.empty()) {
        first.set(firstKey, "x\r\ny=1\n");
        PropertyFile second("unused");
        FUZZ_REQUIRE(second.loadText(first.savedText(false)) == complete);
        FUZZ_REQUIRE(second.entries().size() == entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            FUZZ_REQUIRE(second.entries()[i].first == entries[i].first);
            if (entries[i].first != firstKey)
                FUZZ_REQUIRE(second.entries()[i].second == entries[i].second);
        }
        FUZZ_REQUIRE(second.get(firstKey) == "x  y=1 ");
    }

    // The flag is rewritten in place: same length, inside the file, and the
    // lookup of the key then sees the new value.
    const std::string flagKey = entries.empty() ? "auto" : firstKey;
    if (const auto edit = flagEditIn(input, flagKey, '1')) {
        FUZZ_REQUIRE(!edit->bytes.empty() && edit->offset + edit->bytes.size() <= input.size());
        std::string edited = input;
        edited.replace(edit->offset, edit->bytes.size(), edit->bytes);
        FUZZ_REQUIRE(lookupFirstIn(edited, flagKey) == edit->bytes);
    }
    return 0;
}
