#pragma once
// The per-user documents: the settings document Config/settings<K>.xml,
// derived from the shipped template Config/settings.xml, and the task document
// Config/tasks<K>.xml holding the web sites and download files the user added.
//
// Every function loads, edits and saves within the call and may be called
// from any thread; edits are serialised inside the process. A document that
// exists but cannot be parsed is never overwritten by these functions.
#include <string>
#include <vector>

namespace quorvane
{

// Module ids of the settings document.
inline constexpr const char* kModuleBandwidth = "1";
inline constexpr const char* kModuleWebPage = "2";
inline constexpr const char* kModuleVideo = "3";
inline constexpr const char* kModuleDownload = "4";

struct TaskItem {
    std::string id;
    std::string name;
    bool selected = false;
    std::string url;        // the element text
    bool deletable = false; // `delete` is "true" (user items)
};

struct TaskModule {
    std::string id;
    std::string name;
    bool selected = false;
    std::vector<TaskItem> items;
};

// Every tasks/module of a settings or task document with its items, in
// document order. Empty for a missing or unreadable document.
std::vector<TaskModule> ReadModules(const std::string& documentPath);

// The automatic task queue's walk: the ids of the modules whose `selected` is
// "true" in the user's settings document, in document order ("1" bandwidth,
// "2" web page, "3" video, anything else file download).
std::vector<std::string> ReadSelectedModules(const std::string& userId);

// Copies the template to Config/settings<K>.xml when that does not exist yet.
// A per-user document that exists but cannot be parsed is kept beside as
// "settings<K>.xml.unreadable" and replaced by a fresh copy of the template,
// so that the user gets working settings back without losing the file; an
// empty one is simply replaced. True when the per-user document exists
// afterwards. Before login (empty id) the per-user name is the template
// itself and nothing is done.
bool EnsureUserSettings(const std::string& userId);

// Refreshes the per-user settings document from the template: items of the
// same module and id take the template's text and name; autoFile items and
// contband/bandmap entries take the template's values pairwise by position.
// User-added items, selections and everything else stay. True when the
// document was changed and saved.
bool ReconcileUserSettings(const std::string& userId);

// Creates Config/tasks<K>.xml with its skeleton (declaration, auto, tasks,
// empty modules 2 and 4) when it does not exist or is empty; an unparsable
// one is kept beside as ".unreadable" first. True when the document exists
// afterwards.
bool EnsureUserTasks(const std::string& userId);

// Appends a user item to module `moduleId` (2 web sites, 4 download files) of
// the task document, creating the document (and the module) when missing:
// id = largest item id + 1, selected "true", name, delete "true", URL as text.
// On failure `error` (when given) receives "Error: " and the reason.
bool AddUserItem(const std::string& userId, const std::string& moduleId, const std::string& name,
                 const std::string& url, std::string* error = nullptr);

// Removes the item `itemId` of module `moduleId` from the task document.
bool RemoveUserItem(const std::string& userId, const std::string& moduleId, const std::string& itemId);

// Sets the `selected` attribute of a module (kind "module", `id` = module id)
// or of an item (kind "item", `id` = item id inside module `moduleId`) and
// saves. User items live in the task document, everything else in the
// settings document. False when the element is not there.
bool WriteSelection(const std::string& userId, const std::string& kind, const std::string& id, bool value,
                    const std::string& moduleId = {}, bool userItem = false);

// The history page's box: history/bsave becomes "true" or "false" (the
// element and its parent are created when missing). False when the document
// cannot be read or saved.
bool WriteHistorySaving(const std::string& userId, bool keep);

// The notice when automatic bandwidth results stay short of the contracted
// bandwidth: below `percent` % of it for `count` results in a row. Kept in
// the settings document under contractNotice (enabled, percent, count), which
// the template refresh leaves alone.
struct ShortfallSettings {
    static constexpr int kDefaultPercent = 50;
    static constexpr int kDefaultCount = 3;
    static constexpr int kMaxPercent = 100;
    static constexpr int kMaxCount = 20;

    bool enabled = false;
    int percent = kDefaultPercent; // 1..kMaxPercent
    int count = kDefaultCount;     // 1..kMaxCount

    bool operator==(const ShortfallSettings&) const = default;
};

// The user's choice; the defaults where the document has none, and for a
// value that is not a number in range.
ShortfallSettings ReadShortfallSettings(const std::string& userId);

// Writes all three values (the element is created when missing). False when
// the document cannot be read or saved.
bool WriteShortfallSettings(const std::string& userId, const ShortfallSettings& settings);

// The test-hint window's "do not show again": HintMessage/IsBool becomes
// "false" (created when missing).
bool SuppressHint(const std::string& userId);

} // namespace quorvane
