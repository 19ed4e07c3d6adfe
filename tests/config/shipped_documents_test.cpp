// The documents shipped in dist/ read back through the same readers the
// program uses, with the shapes the pages and the scheduler rely on.
#include "config/readers.h"
#include "config/user_documents.h"
#include "config/xml_doc.h"

#include "work_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>

using namespace quorvane;
using quorvane::test::WorkDirTest;

namespace
{

class ShippedDocuments : public WorkDirTest
{
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        const std::filesystem::path dist = std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist";
        for (const char* folder : {"Config", "conf"})
            std::filesystem::copy(dist / folder, folder,
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::overwrite_existing);
    }
};

bool isLoopbackUrl(const std::string& url)
{
    return url.rfind("http://127.0.0.1:18080/", 0) == 0 || url.rfind("http://127.0.0.2:8080/", 0) == 0;
}

// Attribute values of every child `element` of the root.
std::vector<std::string> rootChildAttribs(const std::string& path, const char* element, const char* attrib)
{
    std::vector<std::string> values;
    CXmlDoc doc;
    EXPECT_TRUE(doc.Load(path)) << path;
    doc.Rewind();
    while (doc.FindChildElem(element))
        values.push_back(doc.GetChildAttrib(attrib));
    return values;
}

} // namespace

TEST_F(ShippedDocuments, ThresholdsAreUsableLimits)
{
    EXPECT_GT(ReadCpuThreshold(), 0);
    EXPECT_LT(ReadCpuThreshold(), 100);
    EXPECT_GT(ReadMemoryThreshold(), 0);
    EXPECT_LT(ReadMemoryThreshold(), 100);
    int threads = 0, count = 0, down = 0, up = 0;
    ReadPingThread(threads, count);
    ReadFlowThreshold(down, up);
    EXPECT_GT(threads, 0);
    EXPECT_GT(count, 0);
    EXPECT_GT(down, 0);
    EXPECT_GT(up, 0);
    std::vector<std::string> names;
    ReadAntiVirusNames(names);
    EXPECT_GE(names.size(), 5u);
    for (const std::string& n : names) {
        EXPECT_FALSE(n.empty());
        EXPECT_TRUE(std::none_of(n.begin(), n.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) << n;
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "clamd"), names.end());
}

TEST_F(ShippedDocuments, ProvincesAndOperatorsAreComplete)
{
    std::vector<std::string> provinces, operators;
    ReadProvinces(provinces);
    ReadOperators(operators);
    EXPECT_EQ(provinces.size(), 34u);
    EXPECT_EQ(std::set<std::string>(provinces.begin(), provinces.end()).size(), 34u);
    for (const char* p : {"北京", "上海", "广东", "新疆", "内蒙古", "香港", "澳门", "台湾"})
        EXPECT_NE(std::find(provinces.begin(), provinces.end(), p), provinces.end()) << p;
    ASSERT_GE(operators.size(), 3u);
    EXPECT_EQ(operators[0], "电信");
    EXPECT_EQ(operators[1], "联通");
    EXPECT_EQ(operators[2], "移动");
}

TEST_F(ShippedDocuments, SettingsTemplateHasTheModulesTheSettingsPageShows)
{
    const auto modules = ReadModules(kSettingsTemplatePath);
    ASSERT_EQ(modules.size(), 4u);
    const std::size_t expectedItems[] = {0, 14, 5, 5};
    for (std::size_t m = 0; m < 4; ++m) {
        EXPECT_EQ(modules[m].id, std::to_string(m + 1));
        EXPECT_FALSE(modules[m].name.empty());
        ASSERT_EQ(modules[m].items.size(), expectedItems[m]) << "module " << modules[m].id;
        for (std::size_t i = 0; i < modules[m].items.size(); ++i) {
            const TaskItem& item = modules[m].items[i];
            EXPECT_EQ(item.id, std::to_string(i + 1)); // the page's boxes are numbered 1..n
            EXPECT_FALSE(item.name.empty());
            EXPECT_FALSE(item.deletable);
            EXPECT_TRUE(isLoopbackUrl(item.url)) << item.url;
        }
    }
    // Every video page names exactly one site, so the resolver choice is plain.
    const std::vector<std::string> labels{"ku6", "letv", "youku", "tudou", "sina", "sohu"};
    std::set<std::string> sites;
    for (const TaskItem& item : modules[2].items) {
        int hits = 0;
        for (const std::string& label : labels)
            if (item.url.find(label) != std::string::npos) {
                ++hits;
                sites.insert(label);
            }
        EXPECT_EQ(hits, 1) << item.url;
    }
    EXPECT_EQ(sites.size(), 5u);

    EXPECT_FALSE(ReadSelectedModules("").empty());
    std::vector<std::string> list;
    std::string selected;
    for (const char* id : {"2", "3", "4"}) {
        ReadModuleItems("", list, selected, id);
        EXPECT_EQ(selected, "true");
        EXPECT_FALSE(list.empty()) << "module " << id << " gives automatic rounds nothing to test";
    }
}

TEST_F(ShippedDocuments, PresetFilesBandwidthsAndFlagsReadBack)
{
    std::array<std::string, 10> slots;
    ReadAutoFiles("", slots);
    const auto modules = ReadModules(kSettingsTemplatePath);
    ASSERT_EQ(modules.size(), 4u);
    for (std::size_t slot = 0; slot < 5; ++slot) {
        EXPECT_FALSE(slots[slot].empty()) << slot;
        EXPECT_TRUE(isLoopbackUrl(slots[slot + 5])) << slots[slot + 5];
        // The download page names an automatic pick by its preset: the URLs agree.
        EXPECT_EQ(slots[slot + 5], modules[3].items[slot].url);
    }

    std::vector<std::pair<std::string, std::string>> bands;
    ReadContractBandwidths("", bands);
    ASSERT_EQ(bands.size(), 9u);
    std::set<std::string> ids;
    for (const auto& [id, label] : bands) {
        ids.insert(id);
        EXPECT_EQ(label.back(), 'M') << label;
    }
    EXPECT_EQ(ids.size(), bands.size());
    EXPECT_EQ(bands.front().first, "1"); // a new machine gets id "1"

    EXPECT_TRUE(ReadHistorySaving(""));
    const std::string before = read(kSettingsTemplatePath);
    EXPECT_FALSE(ReadHintSuppressed(""));
    EXPECT_EQ(read(kSettingsTemplatePath), before); // HintMessage is there: nothing written

    // A user's copy starts identical and has nothing to reconcile.
    ASSERT_TRUE(EnsureUserSettings("1001"));
    EXPECT_FALSE(ReconcileUserSettings("1001"));
}

TEST_F(ShippedDocuments, CollectionServersDecipherToTheDemoServer)
{
    UploadTarget main;
    ReadDataStore(main);
    EXPECT_EQ(main.host, "127.0.0.1");
    EXPECT_EQ(main.port, "2222");
    EXPECT_EQ(main.username, "qvdemo");
    EXPECT_EQ(main.password, "qvdemo-2222");
    EXPECT_EQ(main.dir, "/pccollect");

    const auto regions = rootChildAttribs("Config/upload_config.xml", "svrip", "id");
    ASSERT_GE(regions.size(), 3u);
    EXPECT_EQ(std::set<std::string>(regions.begin(), regions.end()).size(), regions.size());
    for (const std::string& region : regions) {
        UploadTarget target;
        ReadUploadTarget(region, target);
        EXPECT_EQ(target.id, region);
        EXPECT_FALSE(target.province.empty());
        EXPECT_EQ(target.host, "127.0.0.1");
        EXPECT_EQ(target.port, "2222");
        EXPECT_EQ(target.username, "qvdemo");
        EXPECT_EQ(target.password, "qvdemo-2222");
        EXPECT_EQ(target.dir, "/region/" + region);
    }
}

TEST_F(ShippedDocuments, EveryCatalogueServerResolvesToALoopbackTestServer)
{
    std::map<std::string, std::string> dest;
    {
        CXmlDoc doc;
        ASSERT_TRUE(doc.Load("Config/dest_config.xml"));
        doc.Rewind();
        while (doc.FindChildElem("destip"))
            EXPECT_TRUE(dest.emplace(doc.GetChildAttrib("name"), doc.GetChildAttrib("value")).second);
    }
    std::vector<std::string> provinces, operators;
    ReadProvinces(provinces);
    ReadOperators(operators);
    auto isProvince = [&](const std::string& p) {
        return std::find(provinces.begin(), provinces.end(), p) != provinces.end();
    };
    const std::regex valuePattern(R"((\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}):(\d+):\d+)");
    std::set<std::string> monitorIds, addresses, operatorsUsed;
    std::size_t servers = 0;

    CXmlDoc doc;
    ASSERT_TRUE(doc.Load("Config/addr_server.xml"));
    doc.Rewind();
    while (doc.FindChildElem("province-array")) {
        const std::string province = doc.GetChildAttrib("name");
        EXPECT_TRUE(isProvince(province)) << province;
        std::string near = doc.GetChildAttrib("near");
        for (std::size_t start = 0; start <= near.size();) {
            const std::size_t end = std::min(near.find(':', start), near.size());
            EXPECT_TRUE(isProvince(near.substr(start, end - start))) << near;
            start = end + 1;
        }
        doc.IntoElem();
        while (doc.FindChildElem("server")) {
            ++servers;
            const std::string name = doc.GetChildData();
            EXPECT_EQ(name.rfind(province, 0), 0u) << name;
            const auto op = std::find_if(operators.begin(), operators.end(),
                                         [&](const std::string& o) { return name.find(o) != std::string::npos; });
            EXPECT_NE(op, operators.end()) << name << " names no operator";
            if (op != operators.end())
                operatorsUsed.insert(*op);
            const auto it = dest.find(name);
            ASSERT_NE(it, dest.end()) << name << " is missing from dest_config.xml";
            std::smatch m;
            ASSERT_TRUE(std::regex_search(it->second, m, valuePattern)) << it->second;
            EXPECT_EQ(m[1].str().rfind("127.0.0.", 0), 0u);
            EXPECT_NE(m[1].str(), "127.0.0.1"); // that one is the web project's
            addresses.insert(m[1].str());
            EXPECT_TRUE(monitorIds.insert(m[2].str()).second) << "monitor id used twice: " << m[2].str();
        }
        doc.OutOfElem();
    }
    EXPECT_GE(servers, 10u);
    EXPECT_EQ(servers, dest.size()); // nothing unused in dest_config.xml
    EXPECT_GE(addresses.size(), 2u);
    EXPECT_GE(operatorsUsed.size(), 3u);
}
