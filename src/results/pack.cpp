#include "results/pack.h"

#include "results/durable_file.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

namespace quorvane
{

namespace
{

// How far packing looks ahead for a free archive name.
constexpr int kMaxSecondsAhead = 3600;

bool allDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// "Pccollect_band_2024010203.dat.2" goes into the archive as
// "Pccollect_band_2024010203.dat".
std::string entryName(const std::string& fileName)
{
    const auto dat = fileName.rfind(".dat");
    return dat == std::string::npos ? fileName : fileName.substr(0, dat + 4);
}

bool endsWith(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The entries of an existing archive; nothing when it cannot be read, an
// empty set when there is no such file.
std::optional<std::set<std::string>> archiveEntries(const std::filesystem::path& path)
{
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return std::set<std::string>{};
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!za)
        return std::nullopt;
    std::set<std::string> names;
    const zip_int64_t count = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        if (const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0))
            names.insert(name);
    }
    zip_discard(za);
    return names;
}

struct Pending {
    std::filesystem::path file;
    std::string entry;
    std::string bytes;
};

// Reads the archive back and compares every packed record with its source.
bool verifyArchive(const std::filesystem::path& path, const std::vector<const Pending*>& items)
{
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!za)
        return false;
    bool ok = true;
    for (const Pending* item : items) {
        zip_file_t* zf = zip_fopen(za, item->entry.c_str(), 0);
        if (!zf) {
            ok = false;
            break;
        }
        std::string bytes(item->bytes.size() + 1, '\0');
        const zip_int64_t n = zip_fread(zf, bytes.data(), bytes.size());
        zip_fclose(zf);
        if (n != static_cast<zip_int64_t>(item->bytes.size()) ||
            bytes.compare(0, item->bytes.size(), item->bytes) != 0) {
            ok = false;
            break;
        }
    }
    zip_discard(za);
    return ok;
}

// Builds `temp` from the existing archive (if any) plus the records.
bool buildArchive(const std::filesystem::path& existing, const std::filesystem::path& temp,
                  const std::vector<const Pending*>& items, std::string& why)
{
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    if (std::filesystem::exists(existing, ec) &&
        !std::filesystem::copy_file(existing, temp, std::filesystem::copy_options::overwrite_existing, ec)) {
        why = "cannot copy " + existing.filename().string() + ": " + ec.message();
        return false;
    }
    int error = 0;
    zip_t* za = zip_open(temp.c_str(), ZIP_CREATE, &error);
    if (!za) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        why = std::string("cannot open archive: ") + zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return false;
    }
    for (const Pending* item : items) {
        zip_source_t* src = zip_source_buffer(za, item->bytes.data(), item->bytes.size(), 0);
        if (!src || zip_file_add(za, item->entry.c_str(), src, ZIP_FL_ENC_GUESS) < 0) {
            if (src)
                zip_source_free(src);
            why = std::string("cannot add record: ") + zip_strerror(za);
            zip_discard(za);
            return false;
        }
    }
    if (zip_close(za) != 0) {
        why = std::string("cannot write archive: ") + zip_strerror(za);
        zip_discard(za);
        return false;
    }
    if (!verifyArchive(temp, items)) {
        why = "archive did not read back";
        return false;
    }
    if (!syncFile(temp)) {
        why = "archive not flushed to disk";
        return false;
    }
    return true;
}

// Copies the finished archive into another folder under a temporary name,
// then gives it its name there.
bool placeCopy(const std::filesystem::path& temp, DataDirectory& dir, const std::string& name, std::string& why)
{
    const std::filesystem::path copy = dir.path() / (name + ".tmp");
    std::error_code ec;
    if (!std::filesystem::copy_file(temp, copy, std::filesystem::copy_options::overwrite_existing, ec) ||
        !syncFile(copy) || !dir.publishLocked(copy, name)) {
        std::filesystem::remove(copy, ec);
        why = "cannot copy archive to " + dir.path().string();
        return false;
    }
    return true;
}

// Leftovers of a packing or record write that a crash interrupted. A record
// that was written whole but not yet given its name is kept as a waiting
// record; anything else is incomplete and goes.
void tidyInterrupted(const std::filesystem::path& dir)
{
    std::error_code ec;
    std::vector<std::filesystem::path> leftovers;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find("_Pccollect.zip.tmp") != std::string::npos ||
            (name.starts_with(".Pccollect_") && endsWith(name, ".tmp")))
            leftovers.push_back(it->path());
    }
    for (const auto& path : leftovers) {
        const std::string name = path.filename().string();
        if (name.starts_with(".Pccollect_")) {
            const auto bytes = readWholeFile(path);
            const std::string record = name.substr(1, name.size() - 5);
            if (bytes && (endsWith(*bytes, "---end---") || endsWith(*bytes, "---end---\r\n")) &&
                isWaitingRecordName(record)) {
                bool kept = false;
                for (int n = 1; n < 100 && !kept; ++n)
                    kept = renameNoReplace(path, dir / (n == 1 ? record : record + "." + std::to_string(n)));
                if (kept)
                    continue;
            }
        }
        std::filesystem::remove(path, ec);
    }
}

} // namespace

std::string archiveName(const RecordTime& t)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d_1024_Pccollect.zip", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

bool isWaitingRecordName(const std::string& fileName)
{
    std::string_view s = fileName;
    if (!s.starts_with("Pccollect_"))
        return false;
    s.remove_prefix(10);
    std::size_t word = 0;
    while (word < s.size() && s[word] >= 'a' && s[word] <= 'z')
        ++word;
    if (word == 0 || word >= s.size() || s[word] != '_')
        return false;
    s.remove_prefix(word + 1);
    if (s.size() < 14 || !allDigits(s.substr(0, 10)) || s.substr(10, 4) != ".dat")
        return false;
    s.remove_prefix(14);
    return s.empty() || (s.front() == '.' && allDigits(s.substr(1)));
}

Packer::Packer(DataDirectory& data, const ServiceClock& clock, ResultLog log)
    : m_data(data), m_clock(clock), m_log(std::move(log))
{
}

std::string Packer::PackRecord(const std::filesystem::path& recordPath, DataDirectory* regionalCopy)
{
    auto log = [this](const std::string& message) {
        if (m_log)
            m_log(message);
    };
    if (!m_data.ensureExists() || (regionalCopy && !regionalCopy->ensureExists())) {
        log("cannot create the data folders; " + recordPath.filename().string() + " waits");
        return {};
    }
    tidyInterrupted(m_data.path());

    // The record asked for first, then whatever earlier packings left.
    std::vector<Pending> records;
    std::error_code ec;
    if (auto bytes = readWholeFile(recordPath)) {
        records.push_back({recordPath, entryName(recordPath.filename().string()), std::move(*bytes)});
    } else {
        log("record to pack is missing: " + recordPath.string());
    }
    std::vector<std::filesystem::path> waiting;
    for (std::filesystem::directory_iterator it(m_data.path(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code same;
        if (isWaitingRecordName(it->path().filename().string()) &&
            !std::filesystem::equivalent(it->path(), recordPath, same))
            waiting.push_back(it->path());
    }
    std::sort(waiting.begin(), waiting.end());
    for (const auto& path : waiting) {
        if (auto bytes = readWholeFile(path))
            records.push_back({path, entryName(path.filename().string()), std::move(*bytes)});
    }
    if (records.empty())
        return {};

    const RecordTime now = m_clock.now();
    // Regional folder first, main folder second: the only order in which
    // locks are ever nested.
    std::unique_lock<std::mutex> regionalLock;
    if (regionalCopy)
        regionalLock = regionalCopy->lock();
    auto dataLock = m_data.lock();

    // Give each record an archive: the one of this second unless it is being
    // sent, already went, or already holds a record of the same name.
    std::vector<std::pair<std::string, std::vector<const Pending*>>> groups;
    std::map<std::string, std::optional<std::set<std::string>>> existing;
    std::map<const Pending*, std::string> archiveOf;
    for (const Pending& record : records) {
        for (int ahead = 0; ahead <= kMaxSecondsAhead; ++ahead) {
            const std::string name = archiveName(addSeconds(now, ahead));
            if (!m_data.nameUsableLocked(name) || (regionalCopy && !regionalCopy->nameUsableLocked(name)))
                continue;
            // A regional archive whose main twin is gone holds records the
            // new one would not: never overwrite it.
            std::error_code probe;
            if (regionalCopy && std::filesystem::exists(regionalCopy->path() / name, probe) &&
                !std::filesystem::exists(m_data.path() / name, probe))
                continue;
            auto found = existing.find(name);
            if (found == existing.end())
                found = existing.emplace(name, archiveEntries(m_data.path() / name)).first;
            if (!found->second || found->second->count(record.entry))
                continue;
            auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == name; });
            if (group == groups.end()) {
                groups.push_back({name, {}});
                group = groups.end() - 1;
            }
            group->second.push_back(&record);
            found->second->insert(record.entry);
            archiveOf[&record] = name;
            break;
        }
    }

    std::set<std::string> packed;
    for (const auto& [name, items] : groups) {
        const std::filesystem::path temp = m_data.path() / (name + ".tmp");
        std::string why;
        const bool ok = buildArchive(m_data.path() / name, temp, items, why) &&
                        (!regionalCopy || placeCopy(temp, *regionalCopy, name, why)) &&
                        m_data.publishLocked(temp, name);
        if (!ok) {
            std::filesystem::remove(temp, ec);
            for (const Pending* item : items)
                log("record not packed, it waits for the next packing: " + item->file.filename().string() + " (" +
                    (why.empty() ? "cannot name archive " + name : why) + ")");
            continue;
        }
        // Only now that the archive is on disk under its name may the
        // records go.
        for (const Pending* item : items)
            std::filesystem::remove(item->file, ec);
        syncDirectory(m_data.path());
        packed.insert(name);
    }

    const auto first = archiveOf.find(&records.front());
    if (first == archiveOf.end() || !packed.count(first->second) || records.front().file != recordPath)
        return {};
    return first->second;
}

} // namespace quorvane
