#pragma once
// Key/value property files under conf/. One object per use: construct, load,
// get/set/add, at most one save, destroy. Not shared between threads.
//
// On disk: UTF-8 text, CR LF line ends (LF accepted on reading), "#" in the
// first column starts a comment, key is everything before the first "=",
// nothing is trimmed, keys are case-sensitive.
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {

class PropertyFile {
public:
    // The text get() returns for an absent key.
    static constexpr const char* kNull = "null";

    explicit PropertyFile(std::string path);

    // Reads the file. True when reading ended at the end of the file or at an
    // empty line; false when the file could not be opened or a non-comment
    // line without "=" stopped the reading. Lines after the stop are not
    // visible to get() but are kept and written back by save(), so a save
    // never loses what it did not understand.
    bool load();

    // The value of the key (its last occurrence in the file), or "null".
    std::string get(const std::string& key) const;

    // Changes every occurrence of an existing key; never adds one.
    void set(const std::string& key, const std::string& value);

    // Appends a new key. An existing key is reported through the duplicate-key
    // reporter and nothing changes.
    void add(const std::string& key, const std::string& value);

    // Rewrites the file when something changed since construction. With
    // stampPreDate, "pre_date" (when present) becomes the current local time
    // as "%Y-%m-%d %H\:%M\:%S". The file is replaced atomically: a crash
    // during a save leaves the old file or the new one, never a torn one.
    void save(bool stampPreDate);

    bool dirty() const { return m_dirty; }
    const std::vector<std::pair<std::string, std::string>>& entries() const { return m_entries; }

    // Who tells the user that add() met an existing key. The UI installs a
    // message window; without one the message is logged to logfile.txt.
    // The argument is the complete message text.
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
// (comment lines included, as any other line); "" when none or no file.
std::string lookupFirst(const std::string& path, const std::string& key);

// For each of the two names, the text after the first "=" of the last line
// read that contains the name anywhere; reading stops once both are found.
// A name never found yields "".
std::pair<std::string, std::string> lookupContaining(const std::string& path, const std::string& name1,
                                                     const std::string& name2);

// Rewrites a flag in place: on the first line containing `key`, when the
// character after the first "=" is '1' every '1' of the line becomes
// `newFlag`, otherwise every '0' does. The file keeps its length.
void toggleFlagInPlace(const std::string& path, const std::string& key, char newFlag);

} // namespace quorvane
