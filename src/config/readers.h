#pragma once
// Typed readers of the XML configuration documents. Each call loads its
// document afresh and releases it, so edits made by the settings page are
// seen by the next read. A missing or unreadable document reads as an empty
// one: lists stay empty, thresholds are 100, out-values stay untouched, flags
// are false. All paths are relative to the program directory (the working
// directory). Texts returned are UTF-8.
//
// Per-user documents carry the logged-in user's id: Config/settings<K>.xml,
// Config/tasks<K>.xml. Before login the id is empty and the names fall back
// to the template Config/settings.xml and Config/tasks.xml.
//
// Every function may be called from any thread. Documents are replaced
// atomically on saving, so a reader never sees a half-written file; the few
// readers that write (ReadHintSuppressed) serialise with the editing
// functions of config/user_documents.h.
#include "common/numbers.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace quorvane
{

// One collection server.
struct UploadTarget {
    std::string province;
    std::string id;
    std::string host;
    std::string port;
    std::string username;
    std::string password;
    std::string dir;
};

// The user id as it may appear inside a file name: letters, digits, ".", "_"
// and "-" stay, every other byte becomes "%XX". Distinct ids give distinct
// names, and no id can reach another folder or another document. Use it for
// every per-user file name (history files included).
std::string userFileSuffix(const std::string& userId);
std::string userSettingsPath(const std::string& userId); // "Config/settings<K>.xml"
std::string userTasksPath(const std::string& userId);    // "Config/tasks<K>.xml"
inline constexpr const char* kSettingsTemplatePath = "Config/settings.xml";

int ReadCpuThreshold();                                  // 100 when CPUThreshold is absent, 0 without value
int ReadMemoryThreshold();                               // 100 when MemoryThreshold is absent, 0 without value
void ReadAntiVirusNames(std::vector<std::string>& list); // appends, lower-cased
void ReadPingThread(int& threads, int& count);           // untouched when PingThread is absent
void ReadFlowThreshold(int& down, int& up);              // KB/s; untouched when FlowThreshold is absent
void ReadProvinces(std::vector<std::string>& list);      // appends
void ReadOperators(std::vector<std::string>& list);      // appends
// (id, label) of every contband/bandmap, appended in document order.
void ReadContractBandwidths(const std::string& userId, std::vector<std::pair<std::string, std::string>>& list);
// The same from a settings document named by path (appends).
void ReadContractBandwidthsFrom(const std::string& documentPath,
                                std::vector<std::pair<std::string, std::string>>& list);
bool ReadHistorySaving(const std::string& userId);
// False when HintMessage/IsBool is "true"; creates HintMessage (IsBool "true")
// when it is missing and then returns false. False for a missing or
// unreadable document, which is never written.
bool ReadHintSuppressed(const std::string& userId);
// Clears the list and sets `selected` to "false"; for the module `moduleId`
// when it is selected, sets `selected` to "true" and lists the texts (URLs)
// of its selected items in document order.
void ReadModuleItems(const std::string& userId, std::vector<std::string>& list, std::string& selected,
                     const std::string& moduleId);
// The selected items of module `moduleId` of the user's own task document,
// appended (the module's own selection does not matter).
void ReadTaskItems(const std::string& userId, std::vector<std::string>& list, const std::string& moduleId);
// The preset download files: labels in slots 0..4, URLs in slots 5..9, by the
// items' `id` (0..4). Items with another slot are ignored; slots without an
// item stay untouched.
void ReadAutoFiles(const std::string& userId, std::array<std::string, 10>& slots);
// The first svrip whose id equals geographyId, deciphered. The target is
// reset first, so it is empty when nothing matches.
void ReadUploadTarget(const std::string& geographyId, UploadTarget& target);
// The main collection server from conf/config.xml, deciphered; province and
// id stay empty. The target is reset first.
void ReadDataStore(UploadTarget& target);
std::string ReadGeographyId(); // conf/user_conf.properties "geography_id" ("null" when absent)

} // namespace quorvane
