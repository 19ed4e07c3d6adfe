// The video pages with the real player and resolvers against the reference
// service: the preset buttons, the address page, the player's close, and a
// whole automatic run from the scheduler's thread down to its record.
#include "app/pages/video_speed.h"
#include "app/shell_fixture.h"
#include "common/codepage.h"
#include "common/flags.h"
#include "results/zip_reader.h"
#include "service/harness.h"
#include "ui/skin.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <fstream>
#include <gmock/gmock.h>
#include <thread>

namespace quorvane
{
namespace
{

using ::testing::HasSubstr;
namespace text = measure::video_text;

std::string readAll(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Archives stay in Data, where the test reads them.
class ClosedTransport final : public ArchiveTransport
{
public:
    bool open(const UploadTarget&, std::string& error) override
    {
        error = "closed";
        return false;
    }
    bool put(const std::string&, const std::string&, std::string&) override { return false; }
};

class VideoPageTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        flags::autoMode = 0;
        flags::videoTestRunning = 0;
        service = std::make_unique<refsvc_test::RefService>(
            std::vector<std::string>{"--web", "127.0.0.1:0", "--update", "none", "--test-server", "127.0.0.1:0",
                                     "--video-dispatch", "none", "--rate-mbit", "20"});
        ASSERT_TRUE(service->ok()) << service->log();
        base = "http://127.0.0.1:" + std::to_string(service->web().port);
        std::filesystem::create_directories("Config");
        std::filesystem::create_directories("Data");
        // Every site's services are the reference service's web project.
        std::string sites = "<videosites>";
        for (const char* label : {"ku6", "letv", "youku", "tudou", "sina", "sohu"}) {
            sites += std::string("<site label=\"") + label + "\">";
            for (const char* role : {"page", "info", "app", "player", "file"})
                sites += std::string("<host role=\"") + role + "\">" + base + "</host>";
            sites += "</site>";
        }
        std::ofstream("Config/video_sites.xml") << sites << "</videosites>";
        std::ofstream("Config/settings7.xml")
            << "<settings><tasks><module id=\"3\" selected=\"true\">"
               "<item id=\"1\" selected=\"false\">"
            << base << "/portal/video/youku/v_show/id_XMTA0ODk2NDgw.html</item>"
            << "<item id=\"2\" selected=\"true\">" << base << "/portal/video/tudou/programs/view/qvclip0002/</item>"
            << "<item id=\"3\" selected=\"false\">" << base
            << "/portal/video/ku6/show/qvclip0003.html</item>"
               "</module></tasks></settings>";
        writeProps("l_c_config_01.properties", {{"userid", "7"}});
        session.set({"7", "小明", "10.1.2.3", "广东省深圳市", "电信"});
        context.video.checkConnection = [this](const std::string& url, std::function<void(bool)> done) {
            checked.push_back(url);
            done(reachable);
        };
        context.video.head = [](const std::string&) { return std::optional<std::string>(); };
        context.video.transport = [] { return std::make_unique<ClosedTransport>(); };
        context.video.engine.networkAlive = [] { return true; };
    }

    void TearDown() override
    {
        player.reset();
        page.reset();
        service.reset();
        flags::autoMode = 0;
        flags::videoTestRunning = 0;
        ShellTest::TearDown();
    }

    void makePages()
    {
        player = std::make_unique<CVideoSpeedChild>(
            context, [this](const std::string& t) { latest = t; }, nullptr);
        page = std::make_unique<CVideoSpeed>(context, player.get(), nullptr);
        page->resize(539, 557);
        page->show();
    }

    // The one video record written, from its archive.
    std::string onlyRecord() const
    {
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::directory_iterator("Data")) {
            if (e.path().extension() != ".zip")
                continue;
            for (const auto& [name, bytes] : test::zipEntries(e.path()).value_or(std::map<std::string, std::string>{}))
                if (name.starts_with("Pccollect_videospeed_"))
                    found.push_back(bytes);
        }
        return found.size() == 1 ? gbkToUtf8(found[0]) : std::string();
    }

    std::unique_ptr<refsvc_test::RefService> service;
    std::string base;
    std::vector<std::string> checked;
    bool reachable = true;
    std::string latest;
    std::unique_ptr<CVideoSpeedChild> player;
    std::unique_ptr<CVideoSpeed> page;
};

} // namespace

TEST_F(VideoPageTest, PresetButtonPlaysTheSitesStreamAndRecordsIt)
{
    makePages();
    EXPECT_TRUE(player->PlayerCanStart());
    EXPECT_FALSE(player->PlaybackAvailable()); // offscreen: measured, not shown
    EXPECT_THAT(player->playbackNote()->text().toStdString(), HasSubstr("只测速"));
    QSignalSpy shown(player.get(), &CVideoSpeedChild::measurementShown);
    QSignalSpy recorded(player.get(), &CVideoSpeedChild::recordHandled);

    page->presetButton(0)->click(); // 酷6: the item with its id
    EXPECT_EQ(checked, std::vector<std::string>{base + "/portal/video/ku6/show/qvclip0003.html"});
    // The site is asked off the window's thread; the player page shows at once.
    EXPECT_TRUE(player->isVisible());
    EXPECT_FALSE(page->isVisible());
    EXPECT_THAT(player->statusLabel()->text().toStdString(), HasSubstr("解析"));
    ASSERT_TRUE(testing::waitFor([] { return flags::videoTestRunning.load() == 1; }, 30000));
    ASSERT_TRUE(recorded.wait(60000));
    ASSERT_EQ(shown.count(), 1);
    EXPECT_TRUE(shown.at(0).at(0).toBool());
    EXPECT_TRUE(recorded.at(0).at(0).toBool());
    EXPECT_EQ(flags::videoTestRunning.load(), 0);
    EXPECT_THAT(player->engine().currentStreamAddress(), HasSubstr("/video/sample.mp4"));

    const std::string record = onlyRecord();
    const std::string size = std::to_string(service->counter("video_bytes"));
    EXPECT_THAT(record, HasSubstr("\r\nmediatype=3\r\ntotalsize=" + size + "\r\n"));
    EXPECT_THAT(record, HasSubstr("\r\nloadsize=" + size + "\r\n"));
    EXPECT_THAT(record, HasSubstr("\r\nifcompleted=1\r\n"));
    EXPECT_THAT(record, HasSubstr("\r\ntesttype=1\r\n"));
    EXPECT_EQ(player->valueLabel(2)->text().toStdString(), size);
    EXPECT_THAT(readAll("HistoryRecord/HistoryRecord7.txt"), HasSubstr(",手动,视频测速,酷6,"));
    EXPECT_TRUE(latest.empty()); // manual: no latest result

    // The player's own close brings the video page back.
    player->closeButton()->click();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(player->isVisible());
    EXPECT_TRUE(page->isVisible());
    EXPECT_TRUE(page->presetButton(1)->isEnabled());
}

TEST_F(VideoPageTest, PresetButtonRefusals)
{
    makePages();
    reachable = false;
    page->presetButton(1)->click();
    EXPECT_EQ(dialogs.texts("warning"), std::vector<QString>{QString::fromUtf8(text::kNoNetwork)});
    EXPECT_TRUE(page->isVisible());
    EXPECT_FALSE(player->isVisible());

    // A site without a preset page plays nothing.
    reachable = true;
    page->presetButton(2)->click(); // 乐视
    EXPECT_FALSE(player->isVisible());
    EXPECT_EQ(flags::videoTestRunning.load(), 0);

    // The user leaves while the site still answers: its stream never plays.
    std::atomic<bool> resolved{false};
    context.video.resolve = [&](const std::string&) {
        resolved = true;
        return base + "/video/sample.mp4";
    };
    player.reset();
    page.reset();
    makePages();
    page->presetButton(1)->click();
    EXPECT_TRUE(player->isVisible());
    player->ClosePlayer();
    ASSERT_TRUE(testing::waitFor([&] { return resolved.load(); }));
    QTest::qWait(50);
    EXPECT_FALSE(player->isVisible());
    EXPECT_EQ(flags::videoTestRunning.load(), 0);
}

TEST_F(VideoPageTest, AddressPageChecksConvertsAndPlays)
{
    makePages();
    page->moreButton()->click();
    CVideoSpeedMuch* much = page->addressPage();
    EXPECT_TRUE(much->isVisible());
    EXPECT_FALSE(page->presetButton(0)->isVisible());

    much->playEdit()->setText(QStringLiteral("not an address"));
    much->playButton()->click();
    much->convertEdit()->setText(QStringLiteral(""));
    much->convertButton()->click();
    EXPECT_EQ(dialogs.texts("message"),
              (std::vector<QString>{QString::fromUtf8(text::kBadPlayUrl), QString::fromUtf8(text::kBadConvertUrl)}));

    // A page of a site the resolvers know: every stream address in the list.
    much->convertEdit()->setText(QString::fromStdString(base + "/portal/video/youku/v_show/id_XMTA0ODk2NDgw.html"));
    much->convertButton()->click();
    ASSERT_TRUE(testing::waitFor([&] { return much->results()->count() >= 12; }, 30000)); // one per segment
    EXPECT_THAT(much->results()->item(0)->text().toStdString(), HasSubstr("/player/getFlvPath/sid/"));
    // A double-click plays the entry after the line check.
    reachable = false;
    much->OnResultActivated(much->results()->item(0)->text());
    EXPECT_EQ(dialogs.texts("warning").back(), QString::fromUtf8(text::kNoNetwork));
    EXPECT_FALSE(player->isVisible());
    reachable = true;
    much->convertEdit()->setText(QString::fromStdString(base + "/portal/nothing-here.html"));
    much->convertButton()->click();
    ASSERT_TRUE(testing::waitFor([&] { return dialogs.texts("message").size() == 3; }, 30000));
    EXPECT_EQ(dialogs.texts("message").back(), QString::fromUtf8(text::kNoStream));

    QSignalSpy recorded(player.get(), &CVideoSpeedChild::recordHandled);
    QSignalSpy shown(player.get(), &CVideoSpeedChild::measurementShown);
    much->playEdit()->setText(QString::fromStdString(base + "/video/sample.mp4?status=404"));
    much->playButton()->click();
    EXPECT_TRUE(player->isVisible());
    ASSERT_TRUE(shown.wait(30000));
    // A refused stream loaded nothing: no measurement, no record, no history.
    EXPECT_FALSE(shown.at(0).at(0).toBool());
    QCoreApplication::processEvents();
    EXPECT_EQ(recorded.count(), 0);
    EXPECT_EQ(onlyRecord(), "");
    EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord7.txt"));
    EXPECT_EQ(player->valueLabel(3)->text(), QStringLiteral("--"));
}

TEST_F(VideoPageTest, AutomaticRunFromTheSchedulersThreadWritesItsRecord)
{
    context.video.engine.random = [] { return 0; };
    makePages();
    page->hide();
    flags::autoMode = 1;
    QSignalSpy recorded(player.get(), &CVideoSpeedChild::recordHandled);
    int result = -1;
    std::thread scheduler([&] { result = player->RunAutoTest(false, true); });
    ASSERT_TRUE(recorded.wait(60000));
    scheduler.join();
    EXPECT_EQ(result, 2);
    EXPECT_EQ(flags::completedTaskCount.load(), 1);
    const std::string record = onlyRecord();
    EXPECT_THAT(record, HasSubstr("\r\nmediatype=2\r\n"));
    EXPECT_THAT(record, HasSubstr("\r\nifcompleted=1\r\n"));
    EXPECT_THAT(record, HasSubstr("\r\ntesttype=0\r\nMAXSPEED="));
    EXPECT_TRUE(record.ends_with("\r\n---end---\r\n"));
    EXPECT_THAT(readAll("HistoryRecord/HistoryRecord7.txt"), HasSubstr(",自动,视频测速,土豆,"));
    EXPECT_THAT(latest, HasSubstr("最近一次视频测速结果：\n视频地址："));
    EXPECT_THAT(readAll("auto.txt"), HasSubstr("视频测速结束"));
    flags::completedTaskCount = 0;
}

// The picture keeps at most what it shows: a run in the tray keeps no bytes,
// and the clip a shown page plays goes when the page is hidden.
TEST_F(VideoPageTest, TheStreamIsHeldOnlyWhileThePageShowsIt)
{
    context.video.playbackAvailable = [] { return true; };
    context.video.engine.random = [] { return 0; };
    makePages();
    ASSERT_TRUE(player->PlaybackAvailable());
    page->hide();
    flags::autoMode = 1;
    QSignalSpy recorded(player.get(), &CVideoSpeedChild::recordHandled);
    std::thread scheduler([&] { player->RunAutoTest(false, true); });
    ASSERT_TRUE(recorded.wait(60000));
    scheduler.join();
    flags::autoMode = 0;
    flags::completedTaskCount = 0;
    EXPECT_EQ(player->heldBytes(), 0);

    page->show();
    page->presetButton(0)->click();
    ASSERT_TRUE(recorded.wait(60000));
    EXPECT_GT(player->heldBytes(), 0); // shown: kept for its picture
    player->hide();
    EXPECT_EQ(player->heldBytes(), 0);
}

} // namespace quorvane
