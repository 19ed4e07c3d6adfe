#include "config/readers.h"

#include "common/cipher.h"
#include "work_dir.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>

using namespace quorvane;
using quorvane::test::WorkDirTest;

namespace
{

class Readers : public WorkDirTest
{
};

constexpr const char* kThresholds = R"(<?xml version="1.0" encoding="UTF-8"?>
<thresholds>
  <CPUThreshold><value>85</value></CPUThreshold>
  <MemoryThreshold><value>  90% of commit</value></MemoryThreshold>
  <Anti-Virus-Software>
    <item name="ClamD"/>
    <item name="AVP.EXE"/>
    <item/>
  </Anti-Virus-Software>
  <PingThread><icmp_count>3</icmp_count><thread_count>50</thread_count></PingThread>
  <FlowThreshold><down_speed>120</down_speed></FlowThreshold>
</thresholds>
)";

std::string enc(const std::string& plain)
{
    return encryptValue(plain, kValueKey);
}

} // namespace

TEST_F(Readers, ThresholdsDistinguishAbsentFromEmpty)
{
    // No document at all: the limits are 100 and the out-values stay as they were.
    EXPECT_EQ(ReadCpuThreshold(), 100);
    EXPECT_EQ(ReadMemoryThreshold(), 100);
    int threads = -7, count = -8, down = -9, up = -10;
    ReadPingThread(threads, count);
    ReadFlowThreshold(down, up);
    EXPECT_EQ((std::vector{threads, count, down, up}), (std::vector{-7, -8, -9, -10}));

    write("Config/threshold_config.xml", kThresholds);
    EXPECT_EQ(ReadCpuThreshold(), 85);
    EXPECT_EQ(ReadMemoryThreshold(), 90); // leading digits after blanks, as atoi reads them
    ReadPingThread(threads, count);
    EXPECT_EQ(threads, 50); // children are found in any order
    EXPECT_EQ(count, 3);
    ReadFlowThreshold(down, up);
    EXPECT_EQ(down, 120);
    EXPECT_EQ(up, 0); // missing inside a present parent reads 0

    // The element present without a value is 0, not 100.
    write("Config/threshold_config.xml", "<t><CPUThreshold/><MemoryThreshold><value>x</value></MemoryThreshold></t>");
    EXPECT_EQ(ReadCpuThreshold(), 0);
    EXPECT_EQ(ReadMemoryThreshold(), 0);
    threads = count = 5;
    ReadPingThread(threads, count);
    EXPECT_EQ(threads, 5);

    write("Config/threshold_config.xml", "<t><CPUThreshold><value>80</value>"); // truncated
    EXPECT_EQ(ReadCpuThreshold(), 100);
}

TEST_F(Readers, AntiVirusNamesAreAppendedInLowerCase)
{
    std::vector<std::string> names{"kept"};
    ReadAntiVirusNames(names);
    EXPECT_EQ(names, std::vector<std::string>{"kept"});
    write("Config/threshold_config.xml", kThresholds);
    ReadAntiVirusNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "clamd", "avp.exe", ""}));
}

TEST_F(Readers, ProvincesAndOperatorsAreTheRootsDirectChildren)
{
    write("Config/province_config.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                        "<provinces><province>北京</province><group><province>隐藏</province></group>"
                                        "<province>新疆</province><city>深圳</city><province></province></provinces>");
    write("Config/operator_config.xml", "<ops><operator>电信</operator><operator>联通</operator></ops>");
    std::vector<std::string> provinces, operators;
    ReadProvinces(provinces);
    ReadOperators(operators);
    EXPECT_EQ(provinces, (std::vector<std::string>{"北京", "新疆", ""}));
    EXPECT_EQ(operators, (std::vector<std::string>{"电信", "联通"}));
}

TEST_F(Readers, UserSettingsReadersFollowTheUserIdAndFallBackToTheTemplate)
{
    write("Config/settings.xml", "<auto><history><bsave>true</bsave></history>"
                                 "<contband><bandmap id=\"1\">2M</bandmap><bandmap id=\"9\">1000M</bandmap></contband>"
                                 "</auto>");
    write("Config/settings42.xml", "<auto><history><bsave>TRUE</bsave></history></auto>");
    EXPECT_TRUE(ReadHistorySaving(""));
    EXPECT_FALSE(ReadHistorySaving("42")); // only the exact text "true" counts
    EXPECT_FALSE(ReadHistorySaving("43")); // no document
    std::vector<std::pair<std::string, std::string>> bands;
    ReadContractBandwidths("", bands);
    EXPECT_EQ(bands, (std::vector<std::pair<std::string, std::string>>{{"1", "2M"}, {"9", "1000M"}}));
    bands.clear();
    ReadContractBandwidths("42", bands);
    EXPECT_TRUE(bands.empty());
}

TEST_F(Readers, ModuleItemsNeedTheModuleAndTheItemSelected)
{
    write("Config/settings7.xml", R"(<auto><tasks>
        <module id="2" name="web" selected="true">
          <item id="1" selected="true">http://a/</item>
          <item id="2" selected="false">http://b/</item>
          <item id="3" selected="true">http://c/</item>
        </module>
        <module id="4" name="files" selected="false">
          <item id="1" selected="true">http://f/</item>
        </module>
      </tasks></auto>)");
    std::vector<std::string> list{"stale"};
    std::string selected = "stale";
    ReadModuleItems("7", list, selected, "2");
    EXPECT_EQ(selected, "true");
    EXPECT_EQ(list, (std::vector<std::string>{"http://a/", "http://c/"}));
    ReadModuleItems("7", list, selected, "4");
    EXPECT_EQ(selected, "false");
    EXPECT_TRUE(list.empty());
    ReadModuleItems("7", list, selected, "3");
    EXPECT_EQ(selected, "false");
    ReadModuleItems("missing-user", list, selected, "2");
    EXPECT_EQ(selected, "false");
    EXPECT_TRUE(list.empty());
}

TEST_F(Readers, TaskItemsIgnoreTheModuleSelectionAndAppend)
{
    write("Config/tasks7.xml", R"(<auto><tasks>
        <module id="2"><item id="1" selected="true" name="n" delete="true">http://mine/</item>
                       <item id="2" selected="false">http://off/</item></module>
        <module id="4" selected="false"><item id="1" selected="true">http://file/</item></module>
      </tasks></auto>)");
    std::vector<std::string> list{"http://preset/"};
    ReadTaskItems("7", list, "2");
    EXPECT_EQ(list, (std::vector<std::string>{"http://preset/", "http://mine/"}));
    list.clear();
    ReadTaskItems("7", list, "4");
    EXPECT_EQ(list, std::vector<std::string>{"http://file/"});
}

TEST_F(Readers, AutoFilesFillSlotsByIdAndIgnoreIdsOutsideTheSlots)
{
    write("Config/settings.xml", R"(<auto><autoFile>
        <item><id>3</id><name>三号</name><value>http://h/3</value></item>
        <item><name>zero</name><value>http://h/0</value><id>0</id></item>
        <item><name>far</name><value>http://h/far</value><id>7</id></item>
        <item><name>neg</name><value>http://h/neg</value><id>-1</id></item>
        <item><name>huge</name><value>http://h/huge</value><id>4294967296</id></item>
      </autoFile></auto>)");
    std::array<std::string, 10> slots;
    slots[1] = "untouched";
    ReadAutoFiles("", slots);
    EXPECT_EQ(slots[0], "zero");
    EXPECT_EQ(slots[5], "http://h/0");
    EXPECT_EQ(slots[1], "untouched");
    EXPECT_EQ(slots[3], "三号");
    EXPECT_EQ(slots[8], "http://h/3");
    EXPECT_EQ(slots[2], "");
    EXPECT_EQ(slots[4], "");
    EXPECT_EQ(slots[9], "");
}

TEST_F(Readers, UploadTargetsAreDecipheredAndTheFirstMatchWins)
{
    const std::string doc = "<servers>"
                            "<svrip id=\"gd\" province=\"广东\" host=\"" +
                            enc("127.0.0.1") + "\" port=\"" + enc("2222") + "\" username=\"" + enc("up-gd") +
                            "\" password=\"" + enc("口令1") +
                            "\" dir=\"/gd\"/>"
                            "<svrip id=\"gd\" province=\"广东二\" host=\"" +
                            enc("127.0.0.9") +
                            "\" dir=\"/gd2\"/>"
                            "<svrip id=\"GD\" province=\"wrong case\" dir=\"/x\"/>"
                            "</servers>";
    write("Config/upload_config.xml", doc);
    UploadTarget target;
    ReadUploadTarget("gd", target);
    EXPECT_EQ(target.province, "广东");
    EXPECT_EQ(target.id, "gd");
    EXPECT_EQ(target.host, "127.0.0.1");
    EXPECT_EQ(target.port, "2222");
    EXPECT_EQ(target.username, "up-gd");
    EXPECT_EQ(target.password, "口令1");
    EXPECT_EQ(target.dir, "/gd");
    // No match leaves an empty target, also when the object held an older one.
    ReadUploadTarget("null", target);
    EXPECT_EQ(target.host, "");
    EXPECT_EQ(target.dir, "");
    EXPECT_EQ(target.province, "");
}

TEST_F(Readers, DataStoreFillsTheLastFiveFields)
{
    UploadTarget target;
    target.province = "stale";
    ReadDataStore(target);
    EXPECT_EQ(target.province, "");
    write("conf/config.xml", "<config><task><password>" + enc("pw") + "</password><host>" + enc("127.0.0.1") +
                                 "</host><port>" + enc("2222") + "</port><username>" + enc("demo") +
                                 "</username></task><dataDir dir=\"/pccollect\"/></config>");
    ReadDataStore(target);
    EXPECT_EQ(target.host, "127.0.0.1");
    EXPECT_EQ(target.port, "2222");
    EXPECT_EQ(target.username, "demo");
    EXPECT_EQ(target.password, "pw");
    EXPECT_EQ(target.dir, "/pccollect");
    EXPECT_EQ(target.province, "");
    EXPECT_EQ(target.id, "");
    // A damaged cipher text gives an empty value, not garbage.
    write("conf/config.xml", "<c><task><host>ZZZ</host></task></c>");
    ReadDataStore(target);
    EXPECT_EQ(target.host, "");
    EXPECT_EQ(target.dir, "");
}

TEST_F(Readers, GeographyIdComesFromTheUserPropertyFile)
{
    EXPECT_EQ(ReadGeographyId(), "null");
    write("conf/user_conf.properties", "#user config\r\ngeography_id=gd\r\n");
    EXPECT_EQ(ReadGeographyId(), "gd");
    write("conf/user_conf.properties", "geography_id=\r\n");
    EXPECT_EQ(ReadGeographyId(), "");
}

TEST_F(Readers, HostileUserIdsStayInsideTheirOwnFileName)
{
    EXPECT_EQ(userSettingsPath(""), "Config/settings.xml");
    EXPECT_EQ(userTasksPath(""), "Config/tasks.xml");
    EXPECT_EQ(userSettingsPath("10086"), "Config/settings10086.xml");
    EXPECT_EQ(userTasksPath("a-b_c.d"), "Config/tasksa-b_c.d.xml");
    const std::string hostile[] = {"/../../etc/passwd",
                                   "..\\..\\conf\\config",
                                   "x/../../threshold_config",
                                   std::string("1\0/2", 4),
                                   "C:\\Windows\\x",
                                   "../settings",
                                   "%2F"};
    std::set<std::string> seen;
    for (const std::string& id : hostile) {
        const std::string path = userSettingsPath(id);
        EXPECT_EQ(path.rfind("Config/settings", 0), 0u) << path;
        EXPECT_EQ(path.find('/', 7), std::string::npos) << path; // no folder below Config
        EXPECT_EQ(path.find('\\'), std::string::npos) << path;
        EXPECT_EQ(path.find('\0'), std::string::npos) << path;
        EXPECT_TRUE(seen.insert(path).second) << "two ids share " << path;
    }
    // A hostile id reads nothing it should not: not the template, not another user's file.
    write("Config/settings.xml", "<auto><history><bsave>true</bsave></history></auto>");
    write("Config/settings1.xml", "<auto><history><bsave>true</bsave></history></auto>");
    EXPECT_FALSE(ReadHistorySaving("/"));
    EXPECT_FALSE(ReadHistorySaving("../settings"));
    EXPECT_FALSE(ReadHistorySaving(std::string("1\0", 2)));
}
