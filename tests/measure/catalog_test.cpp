#include "measure/server_catalog.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>

using namespace quorvane;
using namespace quorvane::measure;

namespace
{

const std::vector<std::string> kOperators = {"电信", "联通", "移动"};

// Hands out the scripted values in turn, then 0; counts the draws.
struct ScriptedRandom {
    std::deque<int> values;
    int draws = 0;
    RandomSource source()
    {
        return [this] {
            ++draws;
            if (values.empty())
                return 0;
            const int v = values.front();
            values.pop_front();
            return v;
        };
    }
};

ServerCatalog catalogOf(const std::string& addr, const std::string& dest, CatalogReport* report = nullptr)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir / "Config");
    if (!addr.empty())
        test::writeFile(dir / "Config/addr_server.xml", addr);
    if (!dest.empty())
        test::writeFile(dir / "Config/dest_config.xml", dest);
    return LoadServerList(dir.path(), report);
}

// Provinces with server names only; the addresses play no part in the choice.
ServerCatalog names(std::vector<ProvinceEntry> provinces)
{
    return provinces;
}

ProvinceEntry province(std::string name, std::string nas, std::vector<std::string> servers,
                       std::vector<std::string> near = {})
{
    ProvinceEntry p{std::move(name), std::move(nas), {}, std::move(near)};
    for (auto& s : servers)
        p.servers.push_back({std::move(s), "127.0.0.2", "1"});
    return p;
}

} // namespace

TEST(ServerCatalog, LocationsSplitIntoProvinceAndCity)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"广东省深圳市", "广东", "深圳"},
        {"新疆维吾尔自治区乌鲁木齐市", "新疆维吾尔", "乌鲁木齐"},
        {"北京市", "北京", ""},
        {"北京市海淀区", "北京", ""},
        {"广东省", "广东", ""},
        {"广东省深圳", "广东", ""},
        {"内蒙古自治区", "内蒙古", ""},
        {"香港", "", ""},
        {"", "", ""},
        {"Guangdong", "", ""},
    };
    for (const auto& [location, province, city] : cases) {
        const Location split = SplitLocation(location);
        EXPECT_EQ(split.province, province) << location;
        EXPECT_EQ(split.city, city) << location;
    }
}

TEST(ServerCatalog, DocumentsLoadInFileOrderWithSearchedAddresses)
{
    CatalogReport report;
    const ServerCatalog catalog = catalogOf(
        R"X(<?xml version="1.0" encoding="UTF-8"?>
<whatever>
  <province-array name="北京" nas="N" near="天津:河北"><server>北京联通</server><server>北京电信</server></province-array>
  <province-array name="上海" nas="S" near=""><server>上海电信</server><server>未知</server><server>短值</server></province-array>
</whatever>)X",
        R"X(<dest>
  <destip name="北京联通" value="127.0.0.2:10001:1"/>
  <destip name="北京联通" value="127.0.0.9:99:1"/>
  <destip name="北京电信" value="server at 10.0.0.3:10002:7 (old)"/>
  <destip name="上海电信" value="127.0.0.6:10005:1"/>
  <destip name="短值" value="127.0.0.7:10006"/>
</dest>)X",
        &report);
    ASSERT_EQ(catalog.size(), 2u);
    EXPECT_EQ(catalog[0].name, "北京");
    EXPECT_EQ(catalog[0].nas, "N");
    EXPECT_EQ(catalog[0].near, (std::vector<std::string>{"天津", "河北"}));
    EXPECT_EQ(catalog[1].near, (std::vector<std::string>{""}));

    struct Expected {
        std::size_t province, server;
        const char *name, *ip, *monitor;
    };
    const Expected expected[] = {
        {0, 0, "北京联通", "127.0.0.2", "10001"}, // the first destip of a name wins
        {0, 1, "北京电信", "10.0.0.3", "10002"},  // searched inside the value
        {1, 0, "上海电信", "127.0.0.6", "10005"},
        {1, 1, "未知", "", ""}, // not in dest_config.xml
        {1, 2, "短值", "", ""}, // no second number after the monitor id
    };
    for (const auto& e : expected) {
        const ServerEntry& s = catalog[e.province].servers.at(e.server);
        EXPECT_EQ(s.name, e.name);
        EXPECT_EQ(s.ip, e.ip) << e.name;
        EXPECT_EQ(s.monitorId, e.monitor) << e.name;
    }
    EXPECT_TRUE(report.addrReadable);
    EXPECT_TRUE(report.destReadable);
    EXPECT_EQ(report.unresolved, (std::vector<std::string>{"未知", "短值"}));
}

TEST(ServerCatalog, MissingOrBrokenDocumentsGiveAnEmptyCatalogueOrNoAddresses)
{
    const std::string addr = R"(<a><province-array name="北京" nas="N"><server>北京联通</server></province-array></a>)";
    const std::string dest = R"(<d><destip name="北京联通" value="127.0.0.2:1:1"/></d>)";
    struct Case {
        const char* what;
        std::string addr, dest;
        std::size_t provinces;
        const char* ip;
    };
    const Case cases[] = {
        {"both fine", addr, dest, 1, "127.0.0.2"},
        {"no addr_server.xml", "", dest, 0, nullptr},
        {"broken addr_server.xml", "<a><province-array name=\"北京\">", dest, 0, nullptr},
        {"binary addr_server.xml", std::string("\0\x01\x02\xff", 4), dest, 0, nullptr},
        {"no dest_config.xml", addr, "", 1, ""},
        {"broken dest_config.xml", addr, "<d><destip name=", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CatalogReport report;
        const ServerCatalog catalog = catalogOf(c.addr, c.dest, &report);
        ASSERT_EQ(catalog.size(), c.provinces);
        if (c.ip) {
            EXPECT_EQ(catalog[0].servers.at(0).ip, c.ip);
        }
        EXPECT_EQ(report.addrReadable, c.provinces > 0);
    }
}

TEST(ServerCatalog, AutomaticChoiceFollowsOperatorCityAndNeighbours)
{
    const ServerCatalog catalog = names({
        province("北京", "N", {"北京联通", "北京电信", "北京移动"}, {"天津", "河北"}),
        province("天津", "N", {"天津联通"}, {"北京"}),
        province("河北", "S", {"河北石家庄电信", "河北唐山移动"}),
        province("广东", "S", {"广东广州电信", "广东深圳电信A", "广东深圳电信B", "广东广州联通"}, {"广西", "福建"}),
        province("福建", "N", {"福建厦门铁通"}),
        province("西藏", "N", {}, {"河北"}),
        province("上海", "S", {"上海移动"}, {"浙江"}),
    });
    struct Case {
        const char* what;
        const char *location1, *location2;
        std::deque<int> random;
        const char* server;
        int draws; // random values used
    };
    const Case cases[] = {
        {"demo user in Shenzhen: the later of two city servers wins", "广东省深圳市", "电信", {}, "广东深圳电信B", 0},
        {"Beijing without city: last server of the operator", "北京市", "联通", {}, "北京联通", 0},
        {"city not served: a random operator candidate (index 1 of 3 from the end)",
         "广东省东莞市",
         "电信",
         {7},
         "广东深圳电信A",
         1},
        {"random value wraps by the candidate count", "广东省东莞市", "电信", {5}, "广东广州电信", 1},
        {"unknown network type falls back to 电信 for nas S", "广东省深圳市", "星链宽带", {}, "广东深圳电信B", 0},
        {"unknown network type falls back to 联通 for nas N", "北京市", "其他宽带", {}, "北京联通", 0},
        {"operator only in a neighbour", "广东省深圳市", "铁通", {}, "福建厦门铁通", 1},
        {"operator nowhere: the default operator at home on the second attempt", "北京市", "铁通", {}, "北京联通", 0},
        {"no server in the province: its neighbours", "西藏自治区拉萨市", "电信", {}, "河北石家庄电信", 1},
        {"neither operator anywhere near", "上海市", "联通", {}, "", 0},
        {"home operator missing: the default operator's server", "广东省深圳市", "移动", {}, "广东深圳电信B", 0},
        {"no province in the location", "香港", "电信", {}, "", 0},
        {"province not in the catalogue", "湖南省长沙市", "电信", {}, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedRandom random{c.random};
        std::vector<std::string> log;
        EXPECT_EQ(MatchServer(catalog, c.location1, c.location2, {"电信", "联通", "移动", "铁通"}, random.source(),
                              [&](const std::string& line) { log.push_back(line); }),
                  c.server);
        EXPECT_EQ(random.draws, c.draws);
        if (SplitLocation(c.location1).province.empty()) {
            EXPECT_TRUE(log.empty());
        } else {
            EXPECT_EQ(log.at(0), "省份：" + SplitLocation(c.location1).province + "..地市：" +
                                     SplitLocation(c.location1).city + "..网络类型：" + c.location2);
        }
    }
}

TEST(ServerCatalog, ShippedCatalogueServesBothDemoUsers)
{
    const ServerCatalog catalog = LoadServerList(std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist");
    ScriptedRandom random;
    const std::pair<std::pair<const char*, const char*>, const char*> users[] = {
        {{"广东省深圳市", "电信"}, "广东深圳电信"},
        {{"北京市", "联通"}, "北京联通"},
    };
    for (const auto& [where, expected] : users) {
        const std::string name = MatchServer(catalog, where.first, where.second, kOperators, random.source());
        EXPECT_EQ(name, expected);
        const ServerEntry* server = FindServer(catalog, name);
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(server->ip.rfind("127.0.0.", 0), 0u) << server->ip;
        EXPECT_FALSE(server->monitorId.empty());
    }
    for (const auto& p : catalog) {
        for (const auto& s : p.servers)
            EXPECT_FALSE(s.ip.empty()) << s.name << " has no address in dest_config.xml";
    }
}

TEST(ServerCatalog, ServerListShowsTheCityUnlessThatHidesTheRecommendation)
{
    const ServerCatalog catalog = names({
        province("广东", "S", {"广东广州电信", "广东深圳电信", "广东深圳移动"}),
        province("北京", "N", {"北京联通", "北京电信"}),
    });
    const std::vector<std::string> known = {"北京", "广东"};
    struct Case {
        const char* what;
        const char* picked;
        Location user;
        std::vector<std::string> known;
        const char* recommended;
        std::vector<std::string> names;
        int selected;
    };
    const Case cases[] = {
        {"own province: city servers",
         "广东",
         {"广东", "深圳"},
         known,
         "广东深圳电信",
         {"广东深圳电信", "广东深圳移动"},
         0},
        {"recommendation elsewhere: all servers",
         "广东",
         {"广东", "深圳"},
         known,
         "广东广州电信",
         {"广东广州电信", "广东深圳电信", "广东深圳移动"},
         0},
        {"another province: all, first selected",
         "北京",
         {"广东", "深圳"},
         known,
         "广东深圳电信",
         {"北京联通", "北京电信"},
         0},
        {"province not in province_config.xml: all",
         "广东",
         {"广东", "深圳"},
         {},
         "广东深圳移动",
         {"广东广州电信", "广东深圳电信", "广东深圳移动"},
         2},
        {"unknown pick", "火星", {"广东", "深圳"}, known, "", {}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ServerListing listing = FillServerList(catalog, c.picked, c.user, c.known, c.recommended);
        EXPECT_EQ(listing.names, c.names);
        EXPECT_EQ(listing.selected, c.selected);
    }
    EXPECT_EQ(ProvinceIndexFor(catalog, "北京"), 1);
    EXPECT_EQ(ProvinceIndexFor(catalog, "北"), 1);
    EXPECT_EQ(ProvinceIndexFor(catalog, ""), -1);
    EXPECT_EQ(ProvinceIndexFor(catalog, "湖南"), -1);
}
