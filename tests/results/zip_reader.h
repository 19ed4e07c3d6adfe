#pragma once
// Reads a zip archive for the tests' checks, through libzip.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <zip.h>

namespace quorvane::test
{

// Entry name -> contents; nothing when the archive cannot be read.
inline std::optional<std::map<std::string, std::string>> zipEntries(const std::filesystem::path& path)
{
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!za)
        return std::nullopt;
    std::map<std::string, std::string> entries;
    const zip_int64_t count = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) != 0)
            continue;
        std::string bytes(st.size, '\0');
        zip_file_t* zf = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
        if (zf) {
            zip_fread(zf, bytes.data(), bytes.size());
            zip_fclose(zf);
        }
        entries[st.name] = bytes;
    }
    zip_discard(za);
    return entries;
}

} // namespace quorvane::test
