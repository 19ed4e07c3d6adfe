#include "config/readers.h"

#include "common/cipher.h"
#include "common/paths.h"
#include "common/property_file.h"
#include "config/xml_doc.h"

#include <climits>

namespace quorvane
{
namespace
{

constexpr const char* kThresholdPath = "Config/threshold_config.xml";
constexpr const char* kProvincePath = "Config/province_config.xml";
constexpr const char* kOperatorPath = "Config/operator_config.xml";
constexpr const char* kUploadPath = "Config/upload_config.xml";
constexpr const char* kDataStorePath = "conf/config.xml";
constexpr const char* kUserConfPath = "conf/user_conf.properties";

std::string pathOf(const std::string& designPath)
{
    return programPath(designPath).string();
}

std::string lowerAscii(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Loads and positions before the root: the next FindChildElem lands on the
// root, whatever its name, and searches its children.
void load(CXmlDoc& doc, const std::string& designPath)
{
    doc.Load(pathOf(designPath));
    doc.Rewind();
}

// Loads the document at `path` and enters the root's child `element`;
// false when there is none.
bool enterSection(CXmlDoc& doc, const std::string& path, const char* element)
{
    doc.Load(path);
    doc.Rewind();
    if (!doc.FindChildElem(element))
        return false;
    doc.IntoElem();
    return true;
}

int readThreshold(const char* element)
{
    CXmlDoc doc;
    load(doc, kThresholdPath);
    if (!doc.FindChildElem(element))
        return 100;
    doc.IntoElem();
    doc.FindChildElem("value");
    return parseLeadingInt(doc.GetChildData()); // no value element: "" reads 0
}

// The two numbers below `element`; untouched when it is absent, 0 for a
// missing child.
void readPair(const char* element, const char* first, const char* second, int& a, int& b)
{
    CXmlDoc doc;
    load(doc, kThresholdPath);
    if (!doc.FindChildElem(element))
        return;
    doc.IntoElem();
    a = doc.FindChildElem(first) ? parseLeadingInt(doc.GetChildData()) : 0;
    doc.ResetChildPos();
    b = doc.FindChildElem(second) ? parseLeadingInt(doc.GetChildData()) : 0;
}

void readRootChildren(const char* designPath, const char* element, std::vector<std::string>& list)
{
    CXmlDoc doc;
    load(doc, designPath);
    while (doc.FindChildElem(element))
        list.push_back(doc.GetChildData());
}

// The walk over tasks/module shared by the settings and the task document.
void readItems(const std::string& path, const std::string& moduleId, bool moduleMustBeSelected,
               std::vector<std::string>& list, std::string* selected)
{
    CXmlDoc doc;
    if (!enterSection(doc, path, "tasks"))
        return;
    while (doc.FindChildElem("module")) {
        if (doc.GetChildAttrib("id") != moduleId)
            continue;
        if (moduleMustBeSelected && doc.GetChildAttrib("selected") != "true")
            continue;
        if (selected)
            *selected = "true";
        doc.IntoElem();
        while (doc.FindChildElem("item"))
            if (doc.GetChildAttrib("selected") == "true")
                list.push_back(doc.GetChildData());
        doc.OutOfElem();
    }
}

std::string childText(CXmlDoc& doc, const char* name)
{
    doc.ResetChildPos();
    return doc.FindChildElem(name) ? doc.GetChildData() : std::string();
}

std::string decipher(const std::string& value)
{
    return decryptValue(value, kValueKey);
}

} // namespace

std::string userFileSuffix(const std::string& userId)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : userId) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-';
        if (plain) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string userSettingsPath(const std::string& userId)
{
    return pathOf("Config/settings" + userFileSuffix(userId) + ".xml");
}

std::string userTasksPath(const std::string& userId)
{
    return pathOf("Config/tasks" + userFileSuffix(userId) + ".xml");
}

int ReadCpuThreshold()
{
    return readThreshold("CPUThreshold");
}

int ReadMemoryThreshold()
{
    return readThreshold("MemoryThreshold");
}

void ReadAntiVirusNames(std::vector<std::string>& list)
{
    CXmlDoc doc;
    if (!enterSection(doc, pathOf(kThresholdPath), "Anti-Virus-Software"))
        return;
    while (doc.FindChildElem("item"))
        list.push_back(lowerAscii(doc.GetChildAttrib("name")));
}

void ReadPingThread(int& threads, int& count)
{
    readPair("PingThread", "thread_count", "icmp_count", threads, count);
}

void ReadFlowThreshold(int& down, int& up)
{
    readPair("FlowThreshold", "down_speed", "up_speed", down, up);
}

void ReadProvinces(std::vector<std::string>& list)
{
    readRootChildren(kProvincePath, "province", list);
}

void ReadOperators(std::vector<std::string>& list)
{
    readRootChildren(kOperatorPath, "operator", list);
}

void ReadContractBandwidths(const std::string& userId, std::vector<std::pair<std::string, std::string>>& list)
{
    ReadContractBandwidthsFrom(userSettingsPath(userId), list);
}

void ReadContractBandwidthsFrom(const std::string& documentPath, std::vector<std::pair<std::string, std::string>>& list)
{
    CXmlDoc doc;
    if (!enterSection(doc, documentPath, "contband"))
        return;
    while (doc.FindChildElem("bandmap"))
        list.emplace_back(doc.GetChildAttrib("id"), doc.GetChildData());
}

bool ReadHistorySaving(const std::string& userId)
{
    CXmlDoc doc;
    if (!enterSection(doc, userSettingsPath(userId), "history"))
        return false;
    return doc.FindChildElem("bsave") && doc.GetChildData() == "true";
}

void ReadModuleItems(const std::string& userId, std::vector<std::string>& list, std::string& selected,
                     const std::string& moduleId)
{
    list.clear();
    selected = "false";
    readItems(userSettingsPath(userId), moduleId, true, list, &selected);
}

void ReadTaskItems(const std::string& userId, std::vector<std::string>& list, const std::string& moduleId)
{
    readItems(userTasksPath(userId), moduleId, false, list, nullptr);
}

void ReadAutoFiles(const std::string& userId, std::array<std::string, 10>& slots)
{
    CXmlDoc doc;
    if (!enterSection(doc, userSettingsPath(userId), "autoFile"))
        return;
    while (doc.FindChildElem("item")) {
        doc.IntoElem();
        const std::string name = childText(doc, "name");
        const std::string url = childText(doc, "value");
        const int slot = parseLeadingInt(childText(doc, "id"));
        doc.OutOfElem();
        // Only five slots each exist; a damaged id must not reach past them.
        if (slot < 0 || slot > 4)
            continue;
        slots[static_cast<std::size_t>(slot)] = name;
        slots[static_cast<std::size_t>(slot) + 5] = url;
    }
}

void ReadUploadTarget(const std::string& geographyId, UploadTarget& target)
{
    target = UploadTarget{};
    CXmlDoc doc;
    load(doc, kUploadPath);
    while (doc.FindChildElem("svrip")) {
        if (doc.GetChildAttrib("id") != geographyId)
            continue;
        target.province = doc.GetChildAttrib("province");
        target.id = doc.GetChildAttrib("id");
        target.host = decipher(doc.GetChildAttrib("host"));
        target.port = decipher(doc.GetChildAttrib("port"));
        target.username = decipher(doc.GetChildAttrib("username"));
        target.password = decipher(doc.GetChildAttrib("password"));
        target.dir = doc.GetChildAttrib("dir");
        return;
    }
}

void ReadDataStore(UploadTarget& target)
{
    target = UploadTarget{};
    CXmlDoc doc;
    load(doc, kDataStorePath);
    if (doc.FindChildElem("dataDir"))
        target.dir = doc.GetChildAttrib("dir");
    doc.ResetChildPos();
    if (!doc.FindChildElem("task"))
        return;
    doc.IntoElem();
    target.host = decipher(childText(doc, "host"));
    target.port = decipher(childText(doc, "port"));
    target.username = decipher(childText(doc, "username"));
    target.password = decipher(childText(doc, "password"));
}

std::string ReadGeographyId()
{
    PropertyFile file(pathOf(kUserConfPath));
    file.load();
    return file.get("geography_id");
}

} // namespace quorvane
