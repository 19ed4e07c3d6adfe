#include "results/pack.h"

#include "common/md5.h"
#include "results/durable_file.h"
#include "results/record.h"

#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>
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

// Copies an archive into another folder under a temporary name, then gives
// it its name there.
bool placeCopy(const std::filesystem::path& source, DataDirectory& dir, const std::string& name, std::string& why)
{
    if (!dir.ensureExists()) {
        why = "cannot create " + dir.path().string();
        return false;
    }
    const std::filesystem::path copy = dir.path() / (name + ".tmp");
    std::error_code ec;
    if (!std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing, ec) ||
        !syncFile(copy) || !dir.publishLocked(copy, name)) {
        why = "cannot copy the archive to " + dir.path().string() + (ec ? ": " + ec.message() : std::string());
        std::filesystem::remove(copy, ec);
        return false;
    }
    return true;
}

const char* const kJournalName = "packing.journal";

struct Journal {
    std::string archive;
    bool regional = false;
    std::vector<std::pair<std::string, std::string>> records; // md5, file name
};

std::string journalText(const std::string& archive, bool regional, const std::vector<const Pending*>& items)
{
    std::string text = "archive " + archive + "\nregional " + (regional ? "1" : "0") + "\n";
    for (const Pending* item : items)
        text += "record " + md5Hex(item->bytes) + " " + item->file.filename().string() + "\n";
    return text + "end\n";
}

// Nothing unless the journal was written whole (its last line is "end").
std::optional<Journal> parseJournal(const std::string& text)
{
    Journal journal;
    std::istringstream in(text);
    std::string line;
    bool ended = false;
    while (std::getline(in, line)) {
        if (ended)
            return std::nullopt;
        std::istringstream words(line);
        std::string word, a, b;
        words >> word >> a >> b;
        if (word == "archive" && !a.empty())
            journal.archive = a;
        else if (word == "regional")
            journal.regional = a == "1";
        else if (word == "record" && a.size() == 32 && isWaitingRecordName(b))
            journal.records.emplace_back(a, b);
        else if (word == "end")
            ended = true;
        else
            return std::nullopt;
    }
    if (!ended || journal.archive.empty() || journal.archive.find('/') != std::string::npos)
        return std::nullopt;
    return journal;
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
        if (name.find("_Pccollect.zip.tmp") != std::string::npos || !recordNameOfTemp(name).empty())
            leftovers.push_back(it->path());
    }
    for (const auto& path : leftovers) {
        const std::string record = recordNameOfTemp(path.filename().string());
        if (!record.empty()) {
            const auto bytes = readWholeFile(path);
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

// The time an archive name was made from.
std::optional<RecordTime> archiveTime(const std::string& name)
{
    if (name.size() != 33 || !allDigits(std::string_view(name).substr(0, 14)) ||
        name.substr(14) != "_1024_Pccollect.zip")
        return std::nullopt;
    auto number = [&](std::size_t pos, std::size_t len) { return std::stoi(name.substr(pos, len)); };
    return RecordTime{number(0, 4), number(4, 2), number(6, 2), number(8, 2), number(10, 2), number(12, 2)};
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
    auto lock = m_data.lock();
    recoverLocked();
}

void Packer::log(const std::string& message) const
{
    if (m_log)
        m_log(message);
}

void Packer::recoverLocked()
{
    const std::filesystem::path dir = m_data.path();
    const std::filesystem::path journalPath = dir / kJournalName;
    std::error_code ec;
    if (std::filesystem::exists(journalPath, ec)) {
        const auto text = readWholeFile(journalPath);
        const auto journal = text ? parseJournal(*text) : std::nullopt;
        // The journal is written after the archive is built and before it is
        // renamed: a whole journal without the temporary archive means the
        // archive was published, so its records must go, or they would be
        // packed and sent a second time.
        if (journal && !std::filesystem::exists(dir / (journal->archive + ".tmp"), ec)) {
            for (const auto& [md5, name] : journal->records) {
                const std::filesystem::path record = dir / name;
                if (std::filesystem::exists(record, ec) && md5HexOfFile(record.string()) == md5)
                    std::filesystem::remove(record, ec);
            }
            syncDirectory(dir);
            if (journal->regional) {
                std::string why;
                if (!std::filesystem::exists(dir / journal->archive, ec) ||
                    !stashLocked(dir / journal->archive, journal->archive, why))
                    log("regional copy of " + journal->archive +
                        " lost after an interrupted packing: " + (why.empty() ? "the archive is gone" : why));
            }
            log("interrupted packing of " + journal->archive + " completed");
        }
        std::filesystem::remove(journalPath, ec);
        syncDirectory(dir);
    }
    tidyInterrupted(dir);
    // Half-made copies in the waiting room of the regional copies.
    for (std::filesystem::directory_iterator it(pendingRegionalDir(), ec), end; !ec && it != end; it.increment(ec)) {
        if (endsWith(it->path().filename().string(), ".tmp")) {
            std::error_code removeEc;
            std::filesystem::remove(it->path(), removeEc);
        }
    }
}

bool Packer::stashLocked(const std::filesystem::path& source, const std::string& name, std::string& why)
{
    const std::filesystem::path pending = pendingRegionalDir();
    std::error_code ec;
    if (!std::filesystem::is_directory(pending, ec)) {
        std::filesystem::create_directories(pending, ec);
        syncDirectory(m_data.path());
    }
    const std::filesystem::path temp = pending / (name + ".tmp");
    std::filesystem::remove(temp, ec);
    // A second name for the archive needs no room: on a full disk, where a
    // copy fails, the regional copy is still kept.
    const bool linked = ::link(source.c_str(), temp.c_str()) == 0;
    if ((!linked && !std::filesystem::copy_file(source, temp, std::filesystem::copy_options::overwrite_existing, ec)) ||
        !syncFile(temp)) {
        why = "cannot keep it in " + pending.string() + (ec ? ": " + ec.message() : std::string());
        std::filesystem::remove(temp, ec);
        return false;
    }
    std::filesystem::rename(temp, pending / name, ec);
    if (ec) {
        why = "cannot keep it in " + pending.string() + ": " + ec.message();
        std::filesystem::remove(temp, ec);
        return false;
    }
    syncDirectory(pending);
    return true;
}

void Packer::copyForRegionLocked(const std::string& name, DataDirectory* regional)
{
    const std::filesystem::path published = m_data.path() / name;
    const std::filesystem::path pending = pendingRegionalDir() / name;
    std::string why;
    std::error_code ec;
    if (regional && placeCopy(published, *regional, name, why)) {
        // An older state of this archive may still wait there; the copy just
        // made holds all of it.
        if (std::filesystem::remove(pending, ec))
            syncDirectory(pendingRegionalDir());
        return;
    }
    std::string stashWhy;
    if (stashLocked(published, name, stashWhy))
        log("regional copy of " + name + " waits (" + why + "); it is tried again with the next result");
    else
        log("regional copy of " + name + " lost (" + why + "; " + stashWhy + ")");
}

std::size_t Packer::retryRegionalCopies(DataDirectory& regional)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(pendingRegionalDir(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeEc;
        std::string name = it->path().filename().string();
        if (it->is_regular_file(typeEc) && endsWith(name, ".zip"))
            names.push_back(std::move(name));
    }
    if (names.empty())
        return 0;
    std::sort(names.begin(), names.end());

    auto regionalLock = regional.lock();
    auto dataLock = m_data.lock();
    std::size_t left = names.size();
    for (const auto& name : names) {
        // The name is taken at the regional server when the run is sending
        // it or has sent it: the copy goes under a later second instead.
        std::string target = name;
        if (!regional.nameUsableLocked(name)) {
            target.clear();
            if (const auto time = archiveTime(name)) {
                for (int ahead = 1; ahead <= kMaxSecondsAhead && target.empty(); ++ahead) {
                    const std::string later = archiveName(addSeconds(*time, ahead));
                    std::error_code probe;
                    if (regional.nameUsableLocked(later) && !std::filesystem::exists(regional.path() / later, probe) &&
                        !std::filesystem::exists(pendingRegionalDir() / later, probe))
                        target = later;
                }
            }
            if (target.empty())
                continue;
        }
        const std::filesystem::path source = pendingRegionalDir() / name;
        std::string why;
        if (!placeCopy(source, regional, target, why)) {
            log("regional copies still wait (" + std::to_string(left) + "): " + why);
            return left;
        }
        std::filesystem::remove(source, ec);
        --left;
    }
    syncDirectory(pendingRegionalDir());
    return left;
}

std::string Packer::PackRecord(const std::filesystem::path& recordPath, DataDirectory* regionalCopy)
{
    if (!m_data.ensureExists()) {
        log("cannot create the data folder; " + recordPath.filename().string() + " waits");
        return {};
    }
    {
        auto lock = m_data.lock();
        recoverLocked();
    }

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
            // A regional archive (made or waiting to be made) whose main twin
            // is gone holds records the new one would not: never overwrite it.
            std::error_code probe;
            if (!std::filesystem::exists(m_data.path() / name, probe) &&
                (std::filesystem::exists(pendingRegionalDir() / name, probe) ||
                 (regionalCopy && std::filesystem::exists(regionalCopy->path() / name, probe))))
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
    const std::filesystem::path journal = m_data.path() / kJournalName;
    for (const auto& [name, items] : groups) {
        const std::filesystem::path temp = m_data.path() / (name + ".tmp");
        std::string why;
        bool ok = buildArchive(m_data.path() / name, temp, items, why);
        if (ok && !(writeFileSynced(journal, journalText(name, regionalCopy != nullptr, items)) &&
                    syncDirectory(m_data.path()))) {
            why = "cannot write " + journal.string();
            ok = false;
        }
        if (ok && !m_data.publishLocked(temp, name)) {
            why = "cannot name archive " + name;
            ok = false;
        }
        if (!ok) {
            // Journal first: a journal without its temporary archive would
            // tell a restart that the archive was published.
            std::filesystem::remove(journal, ec);
            std::filesystem::remove(temp, ec);
            for (const Pending* item : items)
                log("record not packed, it waits for the next packing: " + item->file.filename().string() + " (" + why +
                    ")");
            continue;
        }
        // Only now that the archive is on disk under its name may the
        // records go.
        for (const Pending* item : items)
            std::filesystem::remove(item->file, ec);
        syncDirectory(m_data.path());
        if (regionalCopy)
            copyForRegionLocked(name, regionalCopy);
        std::filesystem::remove(journal, ec);
        syncDirectory(m_data.path());
        packed.insert(name);
    }

    const auto first = archiveOf.find(&records.front());
    if (first == archiveOf.end() || !packed.count(first->second) || records.front().file != recordPath)
        return {};
    return first->second;
}

} // namespace quorvane
