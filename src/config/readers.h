#pragma once
// Typed readers of the XML configuration documents. Each call loads its
// document afresh and releases it, so edits made by the settings page are
// seen by the next read. A missing or unreadable document reads as an empty
// one. All paths are relative to the program directory (the working
// directory). Texts returned are UTF-8.
//
// Per-user documents carry the logged-in user's id: Config/settings<K>.xml,
// Config/tasks<K>.xml. Before login the id is empty and the names fall back
// to the template Config/settings.xml and Config/tasks.xml.
#include <array>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {

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

std::string userSettingsPath(const std::string& userId); // "Config/settings<K>.xml"
std::string userTasksPath(const std::string& userId);    // "Config/tasks<K>.xml"
inline constexpr const char* kSettingsTemplatePath = "Config/settings.xml";

int ReadCpuThreshold();                                // 100 when CPUThreshold is absent
int ReadMemoryThreshold();                             // 100 when MemoryThreshold is absent
void ReadAntiVirusNames(std::vector<std::string>& list); // appends, lower-cased
void ReadPingThread(int& threads, int& count);         // untouched when absent
void ReadFlowThreshold(int& down, int& up);            // KB/s; untouched when absent
void ReadProvinces(std::vector<std::string>& list);
void ReadOperators(std::vector<std::string>& list);
void ReadContractBandwidths(const std::string& userId, std::vector<std::pair<std::string, std::string>>& list);
bool ReadHistorySaving(const std::string& userId);
// False when HintMessage/IsBool is "true"; creates HintMessage (IsBool "true")
// when it is missing and then returns false.
bool ReadHintSuppressed(const std::string& userId);
// Items of module `moduleId` selected for automatic testing; `selected`
// becomes "true" when the module itself takes part.
void ReadModuleItems(const std::string& userId, std::vector<std::string>& list, std::string& selected,
                     const std::string& moduleId);
void ReadTaskItems(const std::string& userId, std::vector<std::string>& list, const std::string& moduleId);
// Labels in slots 0..4, URLs in slots 5..9.
void ReadAutoFiles(const std::string& userId, std::array<std::string, 10>& slots);
void ReadUploadTarget(const std::string& geographyId, UploadTarget& target);
void ReadDataStore(UploadTarget& target);
std::string ReadGeographyId(); // conf/user_conf.properties "geography_id" ("null" when absent)

} // namespace quorvane
