#pragma once
// Key/value property files under conf/. One object per use: construct, load,
// get/set/add, at most one save, destroy. Not shared between threads; two
// objects on one file may be used from different threads or programs, and
// the last save wins.
//
// On disk: UTF-8 text, CR LF line ends (LF accepted on reading), "#" in the
// first column starts a comment, key is everything before the first "=",
// value everything after it, nothing is trimmed, keys are case-sensitive.
//
// Paths are file-system paths; callers turn the program's own names
// ("conf\\config.properties") into one with programPath().
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane
{

class PropertyFile
{
public:
    // The text get() returns for an absent key.
    static constexpr const char* kNull = "null";

    explicit PropertyFile(std::string path);

    // Reads the file. True when reading ended at the end of the file or at an
    // empty line; false when the file could not be opened or a non-comment
    // line without "=" stopped the reading. Lines after the stop are not
    // visible to get() but are kept and written back by save() after the
    // entries, so a save never loses what it did not understand. Lines of
    // any length are read whole.
    bool load();
    // What load() does with the text of the file, for text already in memory.
    bool loadText(std::string_view text);

    // The value of the key (its last occurrence in the file), or "null".
    std::string get(const std::string& key) const;

    // Changes every occurrence of an existing key; never adds one.
    void set(const std::string& key, const std::string& value);

    // Appends a new key. An existing key is reported through the duplicate-key
    // reporter and nothing changes.
    void add(const std::string& key, const std::string& value);

    // Rewrites the file when a set() or add() changed something since
    // construction; otherwise does nothing. With stampPreDate, "pre_date"
    // (only when present) becomes the current local time as
    // "%Y-%m-%d %H\:%M\:%S". The file is replaced durably (writeFileDurably):
    // a crash or a concurrent save leaves the old file or a new one, never a
    // torn one, and a file holding credentials stays owner-only.
    // Returns true when the file was written; failures are otherwise silent.
    bool save(bool stampPreDate);
    // The text save() writes now, after stamping pre_date when asked.
    std::string savedText(bool stampPreDate);

    bool dirty() const { return m_dirty; }
    const std::string& path() const { return m_path; }
    const std::vector<std::pair<std::string, std::string>>& entries() const { return m_entries; }

    // Who tells the user that add() met an existing key. The UI installs a
    // message window; without one the message is logged to logfile.txt.
    // The argument is the complete message text "配置文件中已经有<key>键".
    // May be called from any thread; the reporter runs on the thread of add().
    using DuplicateKeyReporter = std::function<void(const std::string& message)>;
    static void setDuplicateKeyReporter(DuplicateKeyReporter reporter);

private:
    std::string m_path;
    std::vector<std::pair<std::string, std::string>> m_entries;
    std::map<std::string, std::string> m_index;
    std::vector<std::string> m_unreadTail; // raw lines after an early stop
    bool m_dirty = false;
};

// The value of the first line of the file whose key equals `key` exactly
// (comment lines take part like any other line; empty lines do not stop the
// reading); "" when none matches or the file cannot be read.
std::string lookupFirst(const std::string& path, const std::string& key);
std::string lookupFirstIn(std::string_view text, const std::string& key);

// For each of the two names, the text after the first "=" of the last line
// read that contains the name anywhere; reading stops once both are found.
// A name never found yields "".
std::pair<std::string, std::string> lookupContaining(const std::string& path, const std::string& name1,
                                                     const std::string& name2);
std::pair<std::string, std::string> lookupContainingIn(std::string_view text, const std::string& name1,
                                                       const std::string& name2);

// Rewrites a one-character flag in place, without moving anything else in
// the file: on the first line whose key is `key`, when the value starts with
// '1' every '1' of the value becomes `newFlag`, otherwise every '0' does.
// Nothing happens when the file cannot be opened or has no such line.
void toggleFlagInPlace(const std::string& path, const std::string& key, char newFlag);

// Where toggleFlagInPlace writes in a file holding `text`, and what: the
// offset of the value and its new bytes (as long as the old ones). No value
// when nothing would be written.
struct FlagEdit {
    std::size_t offset = 0;
    std::string bytes;
};
std::optional<FlagEdit> flagEditIn(std::string_view text, const std::string& key, char newFlag);

} // namespace quorvane
