// The settings page against real files in a throw-away program directory:
// every binding round-trips through the file it names, and nothing else on
// disk changes.
#include "app/pages/add_web_per.h"
#include "app/pages/settings_dlg.h"
#include "app/shell_fixture.h"
#include "config/readers.h"
#include "config/user_documents.h"
#include "platform/autostart.h"
#include "update/update_check.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QWheelEvent>

#include <gmock/gmock.h>

#include <fstream>

namespace quorvane
{
namespace
{

using ::testing::HasSubstr;

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void click(QAbstractButton* b)
{
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(b->isEnabled()) << b->objectName().toStdString();
    b->click();
}

class SettingsPageTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        session.set(UserSession{"7", "alice", "", "", ""});
        std::filesystem::create_directories(m_dir / "Config");
        std::filesystem::copy_file(std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist/Config/settings.xml",
                                   m_dir / "Config/settings.xml");
        autostart = std::make_unique<platform::XdgAutoStart>(m_dir / "cfg/autostart/Quorvane-c.desktop");
        context.isAutoStart = [this] { return autostart->isEnabled(); };
        context.setAutoStart = [this](bool on) { return on ? autostart->enable(executable) : autostart->disable(); };
        context.startProgram = [this](const std::string& program, const std::vector<std::string>&) {
            started.push_back("window:" + program);
            return true;
        };
    }

    std::unique_ptr<CSettingsDlg> open()
    {
        auto frame = std::make_unique<CSettingsDlg>(context);
        frame->resize(539, 557);
        frame->show();
        frame->OnInitDialog();
        return frame;
    }

    void writeTasks(int webItems, int downloadItems = 0)
    {
        std::ofstream out(m_dir / "Config/tasks7.xml", std::ios::binary);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<auto><tasks><module id=\"2\">";
        for (int i = 1; i <= webItems; ++i)
            out << "<item id=\"" << i << "\" selected=\"true\" name=\"站点" << i << "\" delete=\"true\">http://s" << i
                << ".example.cn/</item>";
        out << "</module><module id=\"4\">";
        for (int i = 1; i <= downloadItems; ++i)
            out << "<item id=\"" << i << "\" selected=\"false\" name=\"文件" << i
                << "\" delete=\"true\">http://f.example.cn/" << i << ".bin</item>";
        out << "</module></tasks></auto>\r\n";
    }

    // The selected attribute of an item (module/id) of a document; "" when absent.
    static std::string selectedOf(const std::string& path, const std::string& moduleId, const std::string& itemId)
    {
        for (const TaskModule& m : ReadModules(path))
            if (m.id == moduleId) {
                if (itemId.empty())
                    return m.selected ? "true" : "false";
                for (const TaskItem& i : m.items)
                    if (i.id == itemId)
                        return i.selected ? "true" : "false";
            }
        return "";
    }

    std::unique_ptr<platform::XdgAutoStart> autostart;
    std::filesystem::path executable = "/opt/my apps/Quorvane";
};

TEST_F(SettingsPageTest, StartUpFlagsAreRewrittenInPlace)
{
    const struct {
        const char* file;
        const char* key;
        QCheckBox* (CBasicSettingDlg::*box)() const;
    } cases[] = {
        {"config.properties", "manual", &CBasicSettingDlg::manualFlagBox},
        {"l_c_config_01.properties", "auto", &CBasicSettingDlg::autoFlagBox},
    };
    writeProps("l_c_config_01.properties", {{"username", "A1"}, {"auto", "0"}, {"pre_date", "x"}});
    for (const auto& c : cases) {
        const std::filesystem::path file = m_dir / "conf" / c.file;
        const std::string before = slurp(file);
        auto frame = open();
        QCheckBox* box = (frame->page()->*c.box)();
        ASSERT_FALSE(box->isChecked()) << c.key;
        click(box);
        EXPECT_EQ(prop(c.file, c.key), "1") << c.key;
        const std::string after = slurp(file);
        ASSERT_EQ(after.size(), before.size()) << c.key;
        int differing = 0;
        for (std::size_t i = 0; i < after.size(); ++i)
            differing += after[i] != before[i];
        EXPECT_EQ(differing, 1) << "only the flag changes in " << c.file;
        // Read back by a fresh opening, then cleared again.
        frame = open();
        EXPECT_TRUE((frame->page()->*c.box)()->isChecked()) << c.key;
        click((frame->page()->*c.box)());
        EXPECT_EQ(slurp(file), before) << c.key;
    }
}

TEST_F(SettingsPageTest, StartWithTheDesktopSessionWritesReadsAndRemovesTheEntry)
{
    const std::filesystem::path entry = m_dir / "cfg/autostart/Quorvane-c.desktop";
    auto frame = open();
    QCheckBox* box = frame->page()->autoStartBox();
    EXPECT_FALSE(box->isChecked());
    click(box);
    ASSERT_TRUE(std::filesystem::exists(entry));
    EXPECT_THAT(slurp(entry), HasSubstr("\nExec=\"/opt/my apps/Quorvane\"\n")) << "the blank stays inside one argument";

    frame = open();
    EXPECT_TRUE(frame->page()->autoStartBox()->isChecked());
    click(frame->page()->autoStartBox());
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(frame->page()->autoStartBox()->isChecked());

    // An entry that cannot be written: the box says what is true.
    std::filesystem::remove_all(m_dir / "cfg/autostart");
    std::ofstream(m_dir / "cfg/autostart") << "a file where the folder should be";
    click(frame->page()->autoStartBox());
    EXPECT_FALSE(frame->page()->autoStartBox()->isChecked());
    EXPECT_TRUE(frame->problemLine()->isVisibleTo(frame.get()));
}

TEST_F(SettingsPageTest, ItemAndModuleBoxesWriteTheSettingsDocument)
{
    writeTasks(1);
    auto frame = open();
    CBasicSettingDlg* page = frame->page();
    const std::string settings = (m_dir / "Config/settings7.xml").string();
    const std::string tasksBefore = slurp(m_dir / "Config/tasks7.xml");
    ASSERT_TRUE(std::filesystem::exists(settings)) << "made from the template on opening";

    const struct {
        const char* module;
        int position;
    } items[] = {{"2", 1}, {"2", 14}, {"4", 5}, {"3", 3}};
    for (const auto& c : items) {
        QCheckBox* box = page->itemBox(c.module, c.position);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text().isEmpty(), false);
        const bool was = box->isChecked();
        click(box);
        EXPECT_EQ(selectedOf(settings, c.module, std::to_string(c.position)), was ? "false" : "true")
            << c.module << "/" << c.position;
    }
    EXPECT_EQ(slurp(m_dir / "Config/tasks7.xml"), tasksBefore) << "fixed items never touch the task document";

    // Module off: its boxes are disabled and nothing is written for them.
    QCheckBox* web = page->moduleBox("2");
    click(web);
    EXPECT_EQ(selectedOf(settings, "2", ""), "false");
    EXPECT_FALSE(page->itemBox("2", 3)->isEnabled());
    EXPECT_FALSE(page->userRows("2").at(0).box->isEnabled());
    // Meanwhile the document changes under the page; set again, the module
    // takes the items as the boxes show them.
    const bool shown3 = page->itemBox("2", 3)->isChecked();
    ASSERT_TRUE(WriteSelection("7", "item", "3", !shown3, "2"));
    ASSERT_TRUE(WriteSelection("7", "item", "1", false, "2", true));
    click(web);
    EXPECT_EQ(selectedOf(settings, "2", ""), "true");
    EXPECT_EQ(selectedOf(settings, "2", "3"), shown3 ? "true" : "false");
    EXPECT_EQ(selectedOf((m_dir / "Config/tasks7.xml").string(), "2", "1"), "true");
    EXPECT_TRUE(page->itemBox("2", 3)->isEnabled());
    EXPECT_TRUE(page->userRows("2").at(0).box->isEnabled());

    // Opening again shows what the files say.
    frame = open();
    EXPECT_EQ(frame->page()->itemBox("2", 14)->isChecked(), selectedOf(settings, "2", "14") == "true");
}

TEST_F(SettingsPageTest, TheShortfallNoticeIsOffUntilTurnedOnAndKeepsItsFigures)
{
    auto frame = open();
    CBasicSettingDlg* page = frame->page();
    EXPECT_FALSE(page->shortfallBox()->isChecked());
    EXPECT_EQ(page->shortfallPercent()->value(), 50);
    EXPECT_EQ(page->shortfallCount()->value(), 3);

    click(page->shortfallBox());
    page->shortfallPercent()->setValue(70);
    page->shortfallCount()->setValue(4);
    EXPECT_EQ(ReadShortfallSettings("7"), (ShortfallSettings{true, 70, 4}));

    // Opening again (which refreshes the document from the template) shows
    // the same.
    frame = open();
    EXPECT_TRUE(frame->page()->shortfallBox()->isChecked());
    EXPECT_EQ(frame->page()->shortfallPercent()->value(), 70);
    EXPECT_EQ(frame->page()->shortfallCount()->value(), 4);
}

TEST_F(SettingsPageTest, UserItemsLiveInTheTaskDocumentOnly)
{
    writeTasks(2, 1);
    auto frame = open();
    CBasicSettingDlg* page = frame->page();
    const std::string tasks = (m_dir / "Config/tasks7.xml").string();
    const std::string settingsBefore = slurp(m_dir / "Config/settings7.xml");
    ASSERT_EQ(page->userRows("2").size(), 2u);
    ASSERT_EQ(page->userRows("4").size(), 1u);

    click(page->userRows("2")[1].box);
    EXPECT_EQ(selectedOf(tasks, "2", "2"), "false");
    click(page->userRows("4")[0].box);
    EXPECT_EQ(selectedOf(tasks, "4", "1"), "true");

    // Add through the window: its checks first, then a good item.
    const struct {
        const char* name;
        const char* address;
        const char* error;
    } tries[] = {
        {"", "http://a.cn/", "网站名称不能为空"},
        {"新站", "", "网站地址不能为空"},
        {"新站", "not an address", "网站地址不正确"},
        {"新站", "http://new.example.cn/a?b=1,2", ""},
    };
    std::vector<std::string> errors;
    dialogs.addItems.push_back([&](CAddWebPer& dlg) {
        for (const auto& t : tries) {
            dlg.nameField()->setText(QString::fromUtf8(t.name));
            dlg.addressField()->setText(QString::fromUtf8(t.address));
            if (dlg.OnAdd())
                return int(QDialog::Accepted);
            errors.push_back(dlg.errorText().toStdString());
        }
        return int(QDialog::Rejected);
    });
    click(page->button("addWeb"));
    EXPECT_EQ(errors, (std::vector<std::string>{"网站名称不能为空", "网站地址不能为空", "网站地址不正确"}));
    ASSERT_EQ(page->userRows("2").size(), 3u);
    EXPECT_EQ(page->userRows("2")[2].box->text(), QStringLiteral("新站"));
    EXPECT_EQ(selectedOf(tasks, "2", "3"), "true");

    // Delete, answered yes.
    click(page->userRows("2")[0].remove);
    ASSERT_EQ(page->userRows("2").size(), 2u);
    EXPECT_EQ(selectedOf(tasks, "2", "1"), "");
    EXPECT_EQ(slurp(m_dir / "Config/settings7.xml"), settingsBefore) << "user items never touch the settings document";
}

TEST_F(SettingsPageTest, MenuEntriesScrollToTheirSectionsAsUserRowsGrow)
{
    std::vector<int> none; // the positions without user rows
    for (int rows : {0, 1, 2, 5}) {
        writeTasks(rows * 2 - (rows > 0 ? 1 : 0)); // 0, 1, 3, 9 web sites: an odd one still takes its row
        auto frame = open();
        EXPECT_EQ(frame->page()->layout().webUserRows, rows);
        std::vector<int> positions;
        for (int entry = 1; entry <= 7; ++entry) {
            click(frame->menuEntry(entry));
            EXPECT_EQ(frame->currentEntry(), entry);
            EXPECT_TRUE(frame->menuEntry(entry)->isSelected());
            EXPECT_FALSE(frame->menuEntry(entry == 1 ? 2 : 1)->isSelected());
            positions.push_back(frame->scrollPosition());
            if (entry < 7) {
                // The section's title is at the top of the visible page.
                auto* header = frame->page()->findChild<QLabel*>(QStringLiteral("section%1").arg(entry));
                const int y = header->mapTo(frame.get(), QPoint(0, 0)).y();
                EXPECT_GE(y, 0) << rows << " rows, entry " << entry;
                EXPECT_LT(y, 10) << rows << " rows, entry " << entry;
            }
        }
        EXPECT_EQ(positions[0], 3);
        EXPECT_EQ(positions[1], 15);
        if (rows == 0)
            none = positions;
        for (int k = 2; k < 6; ++k)
            EXPECT_EQ(positions[k], none[k] + 3 * rows) << "entry " << k + 1 << ", " << rows << " rows";
        EXPECT_EQ(positions[6], frame->maxScrollPosition());
        EXPECT_GT(positions[6], positions[5]);

        // The wheel scrolls the same page, three units a notch, within bounds.
        click(frame->menuEntry(1));
        QWheelEvent down(QPointF(300, 300), QPointF(300, 300), {}, QPoint(0, -120), Qt::NoButton, {}, Qt::NoScrollPhase,
                         false);
        QApplication::sendEvent(frame.get(), &down);
        EXPECT_EQ(frame->scrollPosition(), 6);
        for (int i = 0; i < 200; ++i)
            QApplication::sendEvent(frame.get(), &down);
        EXPECT_EQ(frame->scrollPosition(), frame->maxScrollPosition());
    }
}

TEST_F(SettingsPageTest, UpdateCheckStartsTheUpdaterOrSaysTheProgramIsCurrent)
{
    std::ofstream(m_dir / "conf/config.properties", std::ios::app)
        << "update_server_path=http://127.0.0.1:9/update/\r\nupdate_ver_file_name=update.xml\r\n";
    const struct {
        const char* what;
        const char* installed; // nullptr: no key
        const char* server;    // nullptr: the fetch fails
        bool velomark;         // is there one in the installation
        const char* expected;
    } cases[] = {
        {"same version", "V2.1", "V2.1", true, "warning:您的测速软件已经是最新版本！"},
        {"new version", "V2.1", "V2.2", true, "started:window:Velomark"},
        {"server unreachable", "V2.1", nullptr, true, "started:window:Velomark"},
        {"nothing recorded, nothing learnt", "", nullptr, true, "started:window:Velomark"},
        {"no updater installed", "V2.1", "V2.2", false, "message:无法更新：安装目录中没有找到更新程序 Velomark。"},
    };
    for (const auto& c : cases) {
        writeProps("update_process.properties", {{"update_process_id", "0"}, {"new_app_ver", c.installed}});
        std::error_code ec;
        std::filesystem::remove(m_dir / "Velomark", ec);
        if (c.velomark)
            std::ofstream(m_dir / "Velomark") << "#!/bin/sh\n";
        std::vector<std::string> urls;
        context.fetchManifest = [&](const std::string& url, const std::filesystem::path& file) {
            urls.push_back(url);
            if (!c.server)
                return false;
            std::ofstream(file) << "<?xml version=\"1.0\"?><updates><Version>" << c.server << "</Version></updates>";
            return true;
        };
        dialogs.shown.clear();
        started.clear();
        auto frame = open();
        QSignalSpy done(frame->page(), &CBasicSettingDlg::updateCheckFinished);
        click(frame->page()->button("checkUpdate"));
        ASSERT_TRUE(done.wait(5000)) << c.what;
        EXPECT_EQ(urls, std::vector<std::string>{"http://127.0.0.1:9/update/update.xml"}) << c.what;
        std::string outcome;
        for (const auto& s : dialogs.shown)
            outcome += s.kind + ":" + s.text.toStdString();
        for (const auto& s : started)
            outcome += "started:" + s;
        EXPECT_EQ(outcome, c.expected) << c.what;
        EXPECT_EQ(std::filesystem::exists(m_dir / "tmp"), std::string(c.expected).rfind("warning", 0) != 0)
            << c.what << ": tmp goes only when the program is current";
    }
}

TEST_F(SettingsPageTest, UnreadableDocumentsAreSaidAndKept)
{
    const std::string broken = "<auto><tasks><module id=\"2\" selected=\"tr";
    std::ofstream(m_dir / "Config/settings7.xml", std::ios::binary) << broken;
    std::ofstream(m_dir / "Config/tasks7.xml", std::ios::binary) << broken;
    auto frame = open();
    EXPECT_TRUE(frame->problemLine()->isVisibleTo(frame.get()));
    EXPECT_THAT(frame->problemLine()->text().toStdString(), HasSubstr("无法读取"));
    EXPECT_EQ(slurp(m_dir / "Config/settings7.xml.unreadable"), broken) << "the user's file is kept beside";
    EXPECT_EQ(slurp(m_dir / "Config/tasks7.xml"), broken) << "not touched until an item is added";

    // The page goes on working with the fresh document.
    QCheckBox* box = frame->page()->itemBox("2", 5);
    const bool was = box->isChecked();
    click(box);
    EXPECT_EQ(selectedOf((m_dir / "Config/settings7.xml").string(), "2", "5"), was ? "false" : "true");

    // A document that cannot be saved (a folder stands in its place): one
    // line, and the boxes show what can be read.
    std::filesystem::remove(m_dir / "Config/settings7.xml");
    std::filesystem::create_directory(m_dir / "Config/settings7.xml");
    click(box);
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(box->isEnabled());
    EXPECT_THAT(frame->problemLine()->text().toStdString(), HasSubstr("无法保存"));
    EXPECT_TRUE(std::filesystem::is_directory(m_dir / "Config/settings7.xml"));
}

TEST_F(SettingsPageTest, HelpAboutAndServicePagesButtons)
{
    auto frame = open();
    CBasicSettingDlg* page = frame->page();
    click(page->button("help"));
    EXPECT_THAT(dialogs.texts("message"), ::testing::ElementsAre(QStringLiteral("找不到帮助文件 help/index.html。")));

    std::filesystem::create_directories(m_dir / "help");
    std::filesystem::copy_file(std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist/help/index.html",
                               m_dir / "help/index.html");
    click(page->button("help"));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], "file://" + (std::filesystem::canonical(m_dir) / "help/index.html").string());

    click(page->button("about"));
    EXPECT_THAT(dialogs.texts("about"), ::testing::ElementsAre(QStringLiteral("2.1.0")));

    // The service's two pages, each with its page type.
    web.answer("portalKey", 0, "k123");
    for (const char* name : {"userPage", "bbsPage"})
        click(page->button(name));
    ASSERT_TRUE(testing::waitFor([&] { return opened.size() == 3; }));
    EXPECT_THAT(opened[1] + " " + opened[2], HasSubstr("pagetype=update"));
    EXPECT_THAT(opened[1] + " " + opened[2], HasSubstr("pagetype=bbs"));
    EXPECT_THAT(opened[1], HasSubstr("/qvweb/portalPage?u=alice&"));
}

TEST_F(SettingsPageTest, AnAddedDownloadFileIsOneTheDownloadCanFetch)
{
    const struct {
        const char* module;
        const char* address;
        const char* error;
    } cases[] = {
        {"4", "https://files.example.cn/a.zip", "文件下载只支持 http:// 地址"},
        {"4", "ftp://files.example.cn/a.zip", "文件下载只支持 http:// 地址"},
        {"4", "files.example.cn/a.zip", "文件下载只支持 http:// 地址"},
        {"4", "http://files.example.cn/a.zip", ""},
        {"2", "https://www.example.cn/", ""}, // a web site may be https
    };
    for (const auto& c : cases) {
        CAddWebPer dlg("7", c.module);
        dlg.nameField()->setText(QStringLiteral("安装包"));
        dlg.addressField()->setText(QString::fromUtf8(c.address));
        EXPECT_EQ(dlg.OnAdd(), *c.error == '\0') << c.address;
        EXPECT_EQ(dlg.errorText().toStdString(), c.error) << c.address;
    }
}

TEST(UpdateCheck, ManifestLandsInTmpUnderItsLastSegment)
{
    const std::pair<const char*, const char*> cases[] = {
        {"http://127.0.0.1:18081/update/update.xml", "tmp/update.xml"},
        {"http://127.0.0.1:18081/update/v2/manifest.xml", "tmp/manifest.xml"},
        {"http://127.0.0.1:18081/update/", "tmp/update.xml"},
        {"http://127.0.0.1:18081/update/..", "tmp/update.xml"},
        {"", "tmp/update.xml"},
    };
    for (const auto& [url, file] : cases)
        EXPECT_EQ(update::UpdateManifestFile(url), std::filesystem::path(file)) << url;
}

// The endpoint switch shows what the program serves, not what was asked:
// a port that is taken leaves the box clear and says so.
TEST_F(SettingsPageTest, MetricsSwitchShowsWhetherTheEndpointServes)
{
    bool serving = false;
    bool portFree = true;
    context.metricsEndpointOn = [&] { return serving; };
    context.setMetricsEndpoint = [&](bool on) {
        serving = on && portFree;
        return serving == on;
    };
    auto frame = open();
    QCheckBox* box = frame->page()->metricsBox();
    EXPECT_FALSE(box->isChecked());
    click(box);
    EXPECT_TRUE(serving);
    EXPECT_TRUE(box->isChecked());
    click(box);
    EXPECT_FALSE(box->isChecked());

    portFree = false;
    click(box);
    EXPECT_FALSE(box->isChecked());
    EXPECT_TRUE(frame->problemLine()->isVisibleTo(frame.get()));

    context.setMetricsEndpoint = nullptr; // a program without an endpoint
    EXPECT_FALSE(open()->page()->metricsBox()->isEnabled());
}

} // namespace
} // namespace quorvane
