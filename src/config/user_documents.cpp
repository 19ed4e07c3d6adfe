#include "config/user_documents.h"

#include "common/durable_file.h"
#include "common/paths.h"
#include "config/readers.h"
#include "config/xml_doc.h"

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <system_error>

namespace quorvane
{
namespace
{

namespace fs = std::filesystem;

// Edits are load-modify-save; two of them on one document at once would lose
// one change. Readers need no lock: saves replace files atomically.
std::mutex g_editMutex;

std::string templatePath()
{
    return programPath(kSettingsTemplatePath).string();
}

// From the top of the document into its element `name` (main = that
// element); false when there is none.
bool enterTop(CXmlDoc& doc, const char* name)
{
    doc.ResetPos();
    if (!doc.FindChildElem(name))
        return false;
    doc.IntoElem();
    return true;
}

// Positions child on tasks/module with the given id (main = tasks). The
// document is walked from the top.
bool findModule(CXmlDoc& doc, const std::string& moduleId)
{
    if (!enterTop(doc, "tasks"))
        return false;
    while (doc.FindChildElem("module"))
        if (doc.GetChildAttrib("id") == moduleId)
            return true;
    return false;
}

// With main on a module: positions child on its item with the given id.
bool findItem(CXmlDoc& doc, const std::string& itemId)
{
    doc.ResetChildPos();
    while (doc.FindChildElem("item"))
        if (doc.GetChildAttrib("id") == itemId)
            return true;
    return false;
}

bool fileExists(const std::string& path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// Clears the way for a fresh document where the present one is of no use.
// A document that cannot be parsed is kept for the user under another name;
// an empty file (a crash right after the document was made can leave one)
// holds nothing and simply goes. False when the file could not be moved.
bool moveAsideIfUnusable(const std::string& path)
{
    CXmlDoc doc;
    doc.Load(path);
    std::error_code ec;
    if (doc.source() == CXmlDoc::Source::Unparsable)
        fs::rename(path, path + ".unreadable", ec);
    else if (doc.source() == CXmlDoc::Source::Created)
        fs::remove(path, ec);
    return !ec;
}

bool copyAtomically(const std::string& from, const std::string& to)
{
    const auto bytes = readWholeFile(from);
    return bytes && writeFileDurably(to, *bytes);
}

bool ensureUserTasksLocked(const std::string& userId)
{
    const std::string path = userTasksPath(userId);
    if (fileExists(path) && !moveAsideIfUnusable(path))
        return false;
    if (fileExists(path))
        return true;
    CXmlDoc doc;
    doc.AddElem("auto");
    doc.AddChildElem("tasks");
    doc.IntoElem();
    doc.AddChildElem("module");
    doc.SetChildAttrib("id", kModuleWebPage);
    doc.AddChildElem("module");
    doc.SetChildAttrib("id", kModuleDownload);
    return doc.Save(path);
}

struct AutoFileItem {
    std::string name, value, id;
};

// Sets the child element `name` of main to `text`, adding it when missing.
bool refreshChildText(CXmlDoc& doc, const char* name, const std::string& text)
{
    doc.ResetChildPos();
    if (!doc.FindChildElem(name))
        return doc.AddChildElem(name, text);
    if (doc.GetChildData() == text)
        return false;
    return doc.SetChildData(text);
}

bool reconcileModules(CXmlDoc& tpl, CXmlDoc& user)
{
    bool changed = false;
    if (!enterTop(tpl, "tasks"))
        return false;
    while (tpl.FindChildElem("module")) {
        const std::string moduleId = tpl.GetChildAttrib("id");
        if (!findModule(user, moduleId))
            continue;
        user.IntoElem();
        tpl.IntoElem();
        while (tpl.FindChildElem("item")) {
            if (!findItem(user, tpl.GetChildAttrib("id")))
                continue;
            const std::string text = tpl.GetChildData();
            const std::string name = tpl.GetChildAttrib("name");
            if (user.GetChildData() != text || user.GetChildAttrib("name") != name) {
                user.SetChildData(text);
                user.SetChildAttrib("name", name);
                changed = true;
            }
        }
        tpl.OutOfElem();
    }
    return changed;
}

bool reconcileAutoFiles(CXmlDoc& tpl, CXmlDoc& user)
{
    std::vector<AutoFileItem> items;
    if (enterTop(tpl, "autoFile")) {
        while (tpl.FindChildElem("item")) {
            tpl.IntoElem();
            AutoFileItem item;
            const std::pair<const char*, std::string*> fields[] = {
                {"name", &item.name}, {"value", &item.value}, {"id", &item.id}};
            for (const auto& [field, out] : fields) {
                tpl.ResetChildPos();
                if (tpl.FindChildElem(field))
                    *out = tpl.GetChildData();
            }
            items.push_back(item);
            tpl.OutOfElem();
        }
    }
    bool changed = false;
    if (!enterTop(user, "autoFile"))
        return false;
    for (std::size_t i = 0; i < items.size() && user.FindChildElem("item"); ++i) {
        user.IntoElem();
        changed |= refreshChildText(user, "name", items[i].name);
        changed |= refreshChildText(user, "value", items[i].value);
        changed |= refreshChildText(user, "id", items[i].id);
        user.OutOfElem();
    }
    return changed;
}

bool reconcileBandwidths(CXmlDoc& tpl, CXmlDoc& user)
{
    std::vector<std::pair<std::string, std::string>> entries;
    if (enterTop(tpl, "contband")) {
        while (tpl.FindChildElem("bandmap"))
            entries.emplace_back(tpl.GetChildAttrib("id"), tpl.GetChildData());
    }
    bool changed = false;
    if (!enterTop(user, "contband"))
        return false;
    for (std::size_t i = 0; i < entries.size() && user.FindChildElem("bandmap"); ++i) {
        if (user.GetChildAttrib("id") != entries[i].first) {
            user.SetChildAttrib("id", entries[i].first);
            changed = true;
        }
        if (user.GetChildData() != entries[i].second) {
            user.SetChildData(entries[i].second);
            changed = true;
        }
    }
    return changed;
}

} // namespace

std::vector<TaskModule> ReadModules(const std::string& documentPath)
{
    std::vector<TaskModule> modules;
    CXmlDoc doc;
    doc.Load(documentPath);
    doc.Rewind();
    if (!doc.FindChildElem("tasks"))
        return modules;
    doc.IntoElem();
    while (doc.FindChildElem("module")) {
        TaskModule module{
            doc.GetChildAttrib("id"), doc.GetChildAttrib("name"), doc.GetChildAttrib("selected") == "true", {}};
        doc.IntoElem();
        while (doc.FindChildElem("item"))
            module.items.push_back(TaskItem{doc.GetChildAttrib("id"), doc.GetChildAttrib("name"),
                                            doc.GetChildAttrib("selected") == "true", doc.GetChildData(),
                                            doc.GetChildAttrib("delete") == "true"});
        doc.OutOfElem();
        modules.push_back(std::move(module));
    }
    return modules;
}

std::vector<std::string> ReadSelectedModules(const std::string& userId)
{
    std::vector<std::string> ids;
    for (const TaskModule& module : ReadModules(userSettingsPath(userId)))
        if (module.selected)
            ids.push_back(module.id);
    return ids;
}

bool EnsureUserSettings(const std::string& userId)
{
    const std::string path = userSettingsPath(userId);
    const std::string tpl = templatePath();
    if (path == tpl)
        return fileExists(path);
    std::lock_guard lock(g_editMutex);
    if (fileExists(path) && !moveAsideIfUnusable(path))
        return false;
    if (fileExists(path))
        return true;
    return copyAtomically(tpl, path);
}

bool ReconcileUserSettings(const std::string& userId)
{
    const std::string path = userSettingsPath(userId);
    const std::string tplPath = templatePath();
    if (path == tplPath)
        return false;
    std::lock_guard lock(g_editMutex);
    CXmlDoc tpl;
    CXmlDoc user;
    if (!tpl.Load(tplPath) || !user.Load(path))
        return false;
    bool changed = reconcileModules(tpl, user);
    changed |= reconcileAutoFiles(tpl, user);
    changed |= reconcileBandwidths(tpl, user);
    return changed && user.Save(path);
}

bool EnsureUserTasks(const std::string& userId)
{
    std::lock_guard lock(g_editMutex);
    return ensureUserTasksLocked(userId);
}

bool AddUserItem(const std::string& userId, const std::string& moduleId, const std::string& name,
                 const std::string& url, std::string* error)
{
    auto fail = [&](const std::string& reason) {
        if (error)
            *error = "Error: " + reason;
        return false;
    };
    const std::string path = userTasksPath(userId);
    std::lock_guard lock(g_editMutex);
    if (!ensureUserTasksLocked(userId))
        return fail("cannot create " + path);
    CXmlDoc doc;
    if (!doc.Load(path))
        return fail("cannot read " + path);
    if (!findModule(doc, moduleId)) {
        // A document from an older version may lack the module (or even
        // tasks): the item is not dropped, the module is added for it.
        doc.ResetPos();
        if (!doc.FindChildElem("tasks")) {
            doc.AddChildElem("tasks");
        }
        doc.IntoElem();
        doc.AddChildElem("module");
        doc.SetChildAttrib("id", moduleId);
    }
    doc.IntoElem();
    long long largest = 0;
    while (doc.FindChildElem("item"))
        largest = std::max<long long>(largest, parseLeadingInt(doc.GetChildAttrib("id")));
    doc.AddChildElem("item", url);
    doc.SetChildAttrib("id", std::to_string(largest + 1));
    doc.SetChildAttrib("selected", "true");
    doc.SetChildAttrib("name", name);
    doc.SetChildAttrib("delete", "true");
    if (!doc.Save(path))
        return fail("cannot write " + path);
    return true;
}

bool RemoveUserItem(const std::string& userId, const std::string& moduleId, const std::string& itemId)
{
    const std::string path = userTasksPath(userId);
    std::lock_guard lock(g_editMutex);
    CXmlDoc doc;
    if (!doc.Load(path) || !findModule(doc, moduleId))
        return false;
    doc.IntoElem();
    if (!findItem(doc, itemId))
        return false;
    doc.RemoveChildElem();
    return doc.Save(path);
}

bool WriteSelection(const std::string& userId, const std::string& kind, const std::string& id, bool value,
                    const std::string& moduleId, bool userItem)
{
    const std::string path = userItem ? userTasksPath(userId) : userSettingsPath(userId);
    std::lock_guard lock(g_editMutex);
    CXmlDoc doc;
    if (!doc.Load(path))
        return false;
    if (kind == "module") {
        if (!findModule(doc, id))
            return false;
    } else if (kind == "item") {
        if (!findModule(doc, moduleId))
            return false;
        doc.IntoElem();
        if (!findItem(doc, id))
            return false;
    } else {
        return false;
    }
    doc.SetChildAttrib("selected", value ? "true" : "false");
    return doc.Save(path);
}

bool ReadHintSuppressed(const std::string& userId)
{
    const std::string path = userSettingsPath(userId);
    std::lock_guard lock(g_editMutex);
    CXmlDoc doc;
    if (!doc.Load(path))
        return false;
    doc.Rewind();
    if (doc.FindChildElem("HintMessage")) {
        doc.IntoElem();
        if (doc.FindChildElem("IsBool"))
            return doc.GetChildData() != "true";
        return true;
    }
    // The failed search left main on the root: the new element goes there.
    doc.AddChildElem("HintMessage");
    doc.IntoElem();
    doc.AddChildElem("IsBool", "true");
    doc.Save(path);
    return false;
}

namespace
{

// Sets texts under `element` of the user's settings document (the element
// made when missing), under the edit lock. `needContent`: a document
// without a root element is left alone rather than given one.
bool writeSettingTexts(const std::string& userId, const char* element, bool needContent,
                       std::initializer_list<std::pair<const char*, std::string>> texts)
{
    const std::string path = userSettingsPath(userId);
    std::lock_guard lock(g_editMutex);
    CXmlDoc doc;
    if (!doc.Load(path) || (needContent && doc.IsEmpty()))
        return false;
    doc.Rewind();
    if (!doc.FindChildElem(element))
        doc.AddChildElem(element);
    doc.IntoElem();
    for (const auto& [name, text] : texts)
        refreshChildText(doc, name, text);
    return doc.Save(path);
}

} // namespace

bool WriteHistorySaving(const std::string& userId, bool keep)
{
    return writeSettingTexts(userId, "history", true, {{"bsave", keep ? "true" : "false"}});
}

namespace
{

constexpr const char* kShortfallElement = "contractNotice";

int numberIn(const std::string& text, int low, int high, int fallback)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    const int v = std::stoi(text);
    return v < low || v > high ? fallback : v;
}

} // namespace

ShortfallSettings ReadShortfallSettings(const std::string& userId)
{
    ShortfallSettings out;
    CXmlDoc doc;
    doc.Load(userSettingsPath(userId));
    doc.Rewind();
    if (!doc.FindChildElem(kShortfallElement))
        return out;
    doc.IntoElem();
    auto child = [&](const char* name) {
        doc.ResetChildPos();
        return doc.FindChildElem(name) ? doc.GetChildData() : std::string();
    };
    out.enabled = child("enabled") == "true";
    out.percent = numberIn(child("percent"), 1, ShortfallSettings::kMaxPercent, ShortfallSettings::kDefaultPercent);
    out.count = numberIn(child("count"), 1, ShortfallSettings::kMaxCount, ShortfallSettings::kDefaultCount);
    return out;
}

bool WriteShortfallSettings(const std::string& userId, const ShortfallSettings& settings)
{
    return writeSettingTexts(userId, kShortfallElement, true,
                             {{"enabled", settings.enabled ? "true" : "false"},
                              {"percent", std::to_string(settings.percent)},
                              {"count", std::to_string(settings.count)}});
}

bool SuppressHint(const std::string& userId)
{
    return writeSettingTexts(userId, "HintMessage", false, {{"IsBool", "false"}});
}
} // namespace quorvane
