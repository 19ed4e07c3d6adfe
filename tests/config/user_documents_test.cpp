#include "config/user_documents.h"

#include "config/readers.h"
#include "config/xml_doc.h"
#include "work_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>

using namespace quorvane;
using namespace std::string_literals;
using quorvane::test::WorkDirTest;

namespace
{

class UserDocuments : public WorkDirTest
{
};

constexpr const char* kTemplate = R"(<?xml version="1.0" encoding="UTF-8"?>
<auto>
  <tasks>
    <module id="1" name="带宽测速" selected="true"/>
    <module id="2" name="网页性能" selected="true">
      <item id="1" name="门户" selected="true">http://127.0.0.1:18080/portal/news/</item>
      <item id="2" name="购物" selected="false">http://127.0.0.1:18080/portal/shop/</item>
      <item id="3" name="新增" selected="true">http://127.0.0.1:18080/portal/new/</item>
    </module>
    <module id="4" name="文件下载" selected="false">
      <item id="1" name="小文件" selected="true">http://127.0.0.2:8080/files/1MB.bin</item>
    </module>
  </tasks>
  <autoFile>
    <item><name>1MB</name><value>http://127.0.0.2:8080/files/1MB.bin</value><id>0</id></item>
    <item><name>10MB</name><value>http://127.0.0.2:8080/files/10MB.bin</value><id>1</id></item>
  </autoFile>
  <contband><bandmap id="1">4M</bandmap><bandmap id="2">100M</bandmap></contband>
  <history><bsave>true</bsave></history>
</auto>
)";

// An older per-user copy: renamed items, a user's own choices, an item the
// template no longer has, and one module missing.
constexpr const char* kOldUserCopy = R"(<?xml version="1.0" encoding="UTF-8"?>
<auto>
  <tasks>
    <module id="2" name="旧名" selected="false">
      <item id="2" name="旧购物" selected="true">http://old.example/shop</item>
      <item id="1" name="门户" selected="false">http://127.0.0.1:18080/portal/news/</item>
      <item id="15" name="我的" selected="true">http://127.0.0.1:18080/portal/mine/</item>
    </module>
    <module id="1" name="带宽测速" selected="false"/>
  </tasks>
  <autoFile>
    <item><name>old</name><value>http://old/1</value></item>
  </autoFile>
  <contband><bandmap id="7">2M</bandmap><bandmap id="2">100M</bandmap><bandmap id="3">kept</bandmap></contband>
  <history><bsave>false</bsave></history>
  <HintMessage><IsBool>false</IsBool></HintMessage>
</auto>
)";

const TaskModule* findModule(const std::vector<TaskModule>& modules, const std::string& id)
{
    for (const TaskModule& m : modules)
        if (m.id == id)
            return &m;
    return nullptr;
}

} // namespace

TEST_F(UserDocuments, SettingsAreCopiedFromTheTemplateOnce)
{
    EXPECT_FALSE(EnsureUserSettings("5")); // no template to copy
    EXPECT_FALSE(std::filesystem::exists("Config/settings5.xml"));
    write("Config/settings.xml", kTemplate);
    ASSERT_TRUE(EnsureUserSettings("5"));
    EXPECT_EQ(read("Config/settings5.xml"), kTemplate);
    write("Config/settings5.xml", kOldUserCopy);
    ASSERT_TRUE(EnsureUserSettings("5"));
    EXPECT_EQ(read("Config/settings5.xml"), kOldUserCopy); // an existing copy is the user's
    EXPECT_TRUE(EnsureUserSettings(""));                   // before login the template is the document
    EXPECT_EQ(read("Config/settings.xml"), kTemplate);
}

TEST_F(UserDocuments, AnUnparsableUserCopyIsKeptAsideAndReplaced)
{
    write("Config/settings.xml", kTemplate);
    const std::string broken = "<auto><tasks><module id=\"2\" selected=\"true\">";
    write("Config/settings5.xml", broken);
    // Readers and writers never overwrite it...
    EXPECT_FALSE(ReadHintSuppressed("5"));
    EXPECT_FALSE(WriteSelection("5", "module", "2", false));
    EXPECT_FALSE(ReconcileUserSettings("5"));
    EXPECT_EQ(read("Config/settings5.xml"), broken);
    // ...and opening the settings keeps it beside and starts from the template.
    ASSERT_TRUE(EnsureUserSettings("5"));
    EXPECT_EQ(read("Config/settings5.xml.unreadable"), broken);
    EXPECT_EQ(read("Config/settings5.xml"), kTemplate);

    // An empty file (what a crash right after making the copy can leave)
    // holds nothing to keep: both documents are made afresh, or the user
    // would be left without settings and unable to add items for good.
    write("Config/settings6.xml", "");
    write("Config/tasks6.xml", " \r\n");
    ASSERT_TRUE(EnsureUserSettings("6"));
    EXPECT_EQ(read("Config/settings6.xml"), kTemplate);
    ASSERT_TRUE(AddUserItem("6", kModuleDownload, "f", "http://127.0.0.2:8080/files/f.bin"));
    std::vector<std::string> items;
    ReadTaskItems("6", items, kModuleDownload);
    EXPECT_EQ(items, std::vector<std::string>{"http://127.0.0.2:8080/files/f.bin"});
    EXPECT_FALSE(std::filesystem::exists("Config/settings6.xml.unreadable"));
    EXPECT_FALSE(std::filesystem::exists("Config/tasks6.xml.unreadable"));
}

TEST_F(UserDocuments, ReconciliationRefreshesPresetsAndKeepsTheUsersChoices)
{
    write("Config/settings.xml", kTemplate);
    write("Config/settings5.xml", kOldUserCopy);
    ASSERT_TRUE(ReconcileUserSettings("5"));

    const auto modules = ReadModules("Config/settings5.xml");
    ASSERT_EQ(modules.size(), 2u); // module 4 is not added
    const TaskModule* web = findModule(modules, "2");
    ASSERT_NE(web, nullptr);
    EXPECT_EQ(web->name, "旧名"); // module attributes are the user's
    EXPECT_FALSE(web->selected);
    ASSERT_EQ(web->items.size(), 3u); // item 3 of the template is not added
    EXPECT_EQ(web->items[0].id, "2");
    EXPECT_EQ(web->items[0].name, "购物");
    EXPECT_EQ(web->items[0].url, "http://127.0.0.1:18080/portal/shop/");
    EXPECT_TRUE(web->items[0].selected); // the selection stays the user's
    EXPECT_FALSE(web->items[1].selected);
    EXPECT_EQ(web->items[2].url, "http://127.0.0.1:18080/portal/mine/"); // user item untouched
    EXPECT_EQ(web->items[2].name, "我的");

    std::array<std::string, 10> slots;
    ReadAutoFiles("5", slots);
    EXPECT_EQ(slots[0], "1MB"); // paired by position; the missing id child was added
    EXPECT_EQ(slots[5], "http://127.0.0.2:8080/files/1MB.bin");
    EXPECT_EQ(slots[1], ""); // the template's second item has no partner

    std::vector<std::pair<std::string, std::string>> bands;
    ReadContractBandwidths("5", bands);
    EXPECT_EQ(bands, (std::vector<std::pair<std::string, std::string>>{{"1", "4M"}, {"2", "100M"}, {"3", "kept"}}));
    EXPECT_FALSE(ReadHistorySaving("5"));
    EXPECT_TRUE(ReadHintSuppressed("5"));

    // Nothing left to change: no second save.
    EXPECT_FALSE(ReconcileUserSettings("5"));
    EXPECT_FALSE(ReconcileUserSettings(""));  // the template is never reconciled with itself
    EXPECT_FALSE(ReconcileUserSettings("6")); // no per-user document
}

TEST_F(UserDocuments, TaskDocumentIsCreatedWithItsSkeleton)
{
    ASSERT_TRUE(EnsureUserTasks("9"));
    EXPECT_EQ(read("Config/tasks9.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                         "<auto>\r\n"
                                         "    <tasks>\r\n"
                                         "        <module id=\"2\"/>\r\n"
                                         "        <module id=\"4\"/>\r\n"
                                         "    </tasks>\r\n"
                                         "</auto>\r\n");
    write("Config/tasks9.xml", "<auto><tasks><module id=\"2\"><item id=\"1\">x</item></module></tasks></auto>");
    ASSERT_TRUE(EnsureUserTasks("9"));
    EXPECT_EQ(ReadModules("Config/tasks9.xml").size(), 1u); // an existing document stays
}

TEST_F(UserDocuments, AddedItemsTakeTheNextIdAndTheirAttributesInOrder)
{
    ASSERT_TRUE(AddUserItem("9", kModuleWebPage, "我的站点", "http://127.0.0.1:18080/portal/a/"));
    ASSERT_TRUE(AddUserItem("9", kModuleWebPage, "second", "http://127.0.0.1:18080/portal/b/?x=1&y=2"));
    ASSERT_TRUE(AddUserItem("9", kModuleDownload, "file", "http://127.0.0.2:8080/files/1MB.bin"));
    const std::string text = read("Config/tasks9.xml");
    EXPECT_NE(text.find("<item id=\"1\" selected=\"true\" name=\"我的站点\" delete=\"true\">"
                        "http://127.0.0.1:18080/portal/a/</item>"),
              std::string::npos)
        << text;
    const auto modules = ReadModules("Config/tasks9.xml");
    ASSERT_EQ(modules.size(), 2u);
    ASSERT_EQ(modules[0].items.size(), 2u);
    EXPECT_EQ(modules[0].items[1].id, "2");
    EXPECT_EQ(modules[0].items[1].url, "http://127.0.0.1:18080/portal/b/?x=1&y=2");
    EXPECT_TRUE(modules[0].items[1].deletable);
    ASSERT_EQ(modules[1].items.size(), 1u);
    EXPECT_EQ(modules[1].items[0].id, "1"); // ids count per module

    // The largest id counts, not the number of items; ids that are no number read 0.
    write("Config/tasks9.xml", "<auto><tasks><module id=\"4\"><item id=\"10\"/><item id=\"x\"/><item id=\"3\"/>"
                               "</module></tasks></auto>");
    ASSERT_TRUE(AddUserItem("9", kModuleDownload, "f", "http://127.0.0.2:8080/files/f.bin"));
    EXPECT_EQ(ReadModules("Config/tasks9.xml")[0].items.back().id, "11");

    // A document without the module gains it rather than dropping the item.
    ASSERT_TRUE(AddUserItem("9", kModuleWebPage, "w", "http://127.0.0.1:18080/portal/w/"));
    const auto after = ReadModules("Config/tasks9.xml");
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].id, "2");
    EXPECT_EQ(after[1].items.at(0).id, "1");
}

TEST_F(UserDocuments, AddingFailsWithAnErrorTextAndNeverLosesAnUnreadableDocument)
{
    const std::string broken = "\x00\x01garbage<auto"s;
    write("Config/tasks9.xml", broken);
    ASSERT_TRUE(AddUserItem("9", kModuleWebPage, "n", "http://127.0.0.1:18080/portal/n/"));
    EXPECT_EQ(read("Config/tasks9.xml.unreadable"), broken);
    std::vector<std::string> items;
    ReadTaskItems("9", items, kModuleWebPage);
    EXPECT_EQ(items, std::vector<std::string>{"http://127.0.0.1:18080/portal/n/"});

    std::filesystem::remove_all("Config");
    std::string error;
    EXPECT_FALSE(AddUserItem("9", kModuleWebPage, "n", "http://x/", &error));
    EXPECT_EQ(error.rfind("Error: ", 0), 0u) << error;
}

TEST_F(UserDocuments, SelectionsGoToTheRightDocument)
{
    write("Config/settings.xml", kTemplate);
    ASSERT_TRUE(EnsureUserSettings("5"));
    ASSERT_TRUE(AddUserItem("5", kModuleWebPage, "mine", "http://127.0.0.1:18080/portal/mine/"));
    EXPECT_EQ(ReadSelectedModules("5"), (std::vector<std::string>{"1", "2"}));

    ASSERT_TRUE(WriteSelection("5", "module", "4", true));
    ASSERT_TRUE(WriteSelection("5", "module", "1", false));
    EXPECT_EQ(ReadSelectedModules("5"), (std::vector<std::string>{"2", "4"}));

    ASSERT_TRUE(WriteSelection("5", "item", "2", true, "2"));
    ASSERT_TRUE(WriteSelection("5", "item", "1", false, "2"));
    std::vector<std::string> list;
    std::string selected;
    ReadModuleItems("5", list, selected, "2");
    EXPECT_EQ(list,
              (std::vector<std::string>{"http://127.0.0.1:18080/portal/shop/", "http://127.0.0.1:18080/portal/new/"}));

    // A user item's box writes the task document, never the settings document.
    const std::string settingsBefore = read("Config/settings5.xml");
    ASSERT_TRUE(WriteSelection("5", "item", "1", false, "2", true));
    EXPECT_EQ(read("Config/settings5.xml"), settingsBefore);
    list.clear();
    ReadTaskItems("5", list, "2");
    EXPECT_TRUE(list.empty());

    EXPECT_FALSE(WriteSelection("5", "item", "99", true, "2"));
    EXPECT_FALSE(WriteSelection("5", "module", "8", true));
    EXPECT_FALSE(WriteSelection("5", "other", "1", true));

    ASSERT_TRUE(RemoveUserItem("5", "2", "1"));
    EXPECT_TRUE(ReadModules("Config/tasks5.xml")[0].items.empty());
    EXPECT_FALSE(RemoveUserItem("5", "2", "1"));
}

TEST_F(UserDocuments, TheHintFlagIsCreatedOnFirstReadAndThenSuppressed)
{
    write("Config/settings3.xml", "<auto><history><bsave>true</bsave></history></auto>");
    EXPECT_FALSE(ReadHintSuppressed("3"));
    CXmlDoc doc;
    ASSERT_TRUE(doc.Load("Config/settings3.xml"));
    doc.Rewind();
    ASSERT_TRUE(doc.FindChildElem("HintMessage"));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindChildElem("IsBool"));
    EXPECT_EQ(doc.GetChildData(), "true");
    EXPECT_TRUE(ReadHistorySaving("3")); // the rest of the document is intact
    EXPECT_FALSE(ReadHintSuppressed("3"));
    ASSERT_TRUE(SuppressHint("3"));
    EXPECT_TRUE(ReadHintSuppressed("3"));

    write("Config/settings3.xml", "<auto><HintMessage/></auto>");
    EXPECT_TRUE(ReadHintSuppressed("3")); // present without IsBool
    write("Config/settings3.xml", "<auto><HintMessage><IsBool>yes</IsBool></HintMessage></auto>");
    EXPECT_TRUE(ReadHintSuppressed("3"));

    EXPECT_FALSE(ReadHintSuppressed("4")); // no document: nothing is created
    EXPECT_FALSE(std::filesystem::exists("Config/settings4.xml"));
    EXPECT_FALSE(SuppressHint("4"));
}

TEST_F(UserDocuments, ConcurrentEditsLoseNothing)
{
    constexpr int kThreads = 6;
    constexpr int kEach = 8;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                AddUserItem("c", t % 2 ? kModuleWebPage : kModuleDownload, "n",
                            "http://127.0.0.1:18080/portal/" + std::to_string(t) + "/" + std::to_string(i));
        });
    for (auto& th : threads)
        th.join();
    std::size_t total = 0;
    for (const TaskModule& m : ReadModules("Config/tasksc.xml")) {
        std::set<std::string> ids;
        for (const TaskItem& item : m.items)
            ids.insert(item.id);
        EXPECT_EQ(ids.size(), m.items.size()) << "duplicate ids in module " << m.id;
        total += m.items.size();
    }
    EXPECT_EQ(total, static_cast<std::size_t>(kThreads * kEach));
}

TEST_F(UserDocuments, DamagedSettingsDocumentsNeverCrashAndAreNeverOverwritten)
{
    // Truncations, flipped bytes and inserted garbage of a real document, fed
    // to every reader and writer of the per-user settings. Whatever does not
    // parse must come out byte for byte as it went in.
    write("Config/settings.xml", kTemplate);
    const std::string original = kOldUserCopy;
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    int unparsable = 0;
    for (int round = 0; round < 150; ++round) {
        std::string bytes = original;
        switch (round % 3) {
        case 0:
            bytes.resize(next(static_cast<std::uint32_t>(bytes.size())));
            break;
        case 1:
            for (int k = 0; k < 4; ++k)
                bytes[next(static_cast<std::uint32_t>(bytes.size()))] = static_cast<char>(next(256));
            break;
        default:
            bytes.insert(next(static_cast<std::uint32_t>(bytes.size())),
                         std::string(1 + next(8), "<>&\"'\0\xFF/"[next(9)]));
            break;
        }
        write("Config/settings8.xml", bytes);
        CXmlDoc probe;
        probe.Load("Config/settings8.xml");
        const bool broken = probe.source() == CXmlDoc::Source::Unparsable;
        unparsable += broken;

        std::vector<std::string> list;
        std::string selected;
        std::vector<std::pair<std::string, std::string>> bands;
        std::array<std::string, 10> slots;
        ReadModuleItems("8", list, selected, "2");
        ReadContractBandwidths("8", bands);
        ReadAutoFiles("8", slots);
        ReadHistorySaving("8");
        ReadSelectedModules("8");
        ReadHintSuppressed("8");
        SuppressHint("8");
        WriteSelection("8", "item", "1", true, "2");
        ReconcileUserSettings("8");
        if (broken) {
            ASSERT_EQ(read("Config/settings8.xml"), bytes) << "round " << round;
        }
    }
    EXPECT_GT(unparsable, 50); // the rounds did exercise damaged documents
}

TEST_F(UserDocuments, ShortfallSettingsRoundTripAndSurviveTheTemplateRefresh)
{
    write("Config/settings.xml", kTemplate);
    write("Config/settings5.xml", kOldUserCopy);
    // A document from before the notice existed: off, 50 %, 3 results.
    EXPECT_EQ(ReadShortfallSettings("5"), ShortfallSettings{});
    EXPECT_EQ(ReadShortfallSettings("9"), ShortfallSettings{}); // no document at all

    const ShortfallSettings chosen{true, 70, 5};
    ASSERT_TRUE(WriteShortfallSettings("5", chosen));
    EXPECT_EQ(ReadShortfallSettings("5"), chosen);
    ASSERT_TRUE(WriteShortfallSettings("5", ShortfallSettings{false, 1, 20}));
    EXPECT_EQ(ReadShortfallSettings("5"), (ShortfallSettings{false, 1, 20}));
    ASSERT_TRUE(WriteShortfallSettings("5", chosen));

    // The refresh from the template changes presets, never this choice, and
    // the other settings stay as they were.
    ReconcileUserSettings("5");
    EXPECT_EQ(ReadShortfallSettings("5"), chosen);
    EXPECT_FALSE(ReadHistorySaving("5"));
    EXPECT_FALSE(WriteShortfallSettings("9", chosen)); // nothing to write into

    // Hand-edited values out of range or not numbers fall back one by one.
    struct Case {
        const char* percent;
        const char* count;
        int wantPercent, wantCount;
    };
    for (const Case& c : {Case{"0", "0", 50, 3}, Case{"101", "21", 50, 3}, Case{"-5", "2x", 50, 3},
                          Case{"", "99999999999", 50, 3}, Case{"100", "20", 100, 20}, Case{"1", "1", 1, 1}}) {
        write("Config/settings6.xml", "<auto><contractNotice><enabled>true</enabled><percent>"s + c.percent +
                                          "</percent><count>" + c.count + "</count></contractNotice></auto>");
        const ShortfallSettings s = ReadShortfallSettings("6");
        EXPECT_TRUE(s.enabled);
        EXPECT_EQ(s.percent, c.wantPercent) << c.percent;
        EXPECT_EQ(s.count, c.wantCount) << c.count;
    }
}
