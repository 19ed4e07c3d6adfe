// Automatic testing from the main window: the button and its question, the
// round timer, a rejected round's traces, the stop dialog from the tray and
// the way back to manual mode.
#include "app/shell/main_dlg.h"
#include "app/shell/stop_speed_dlg.h"
#include "app/shell_fixture.h"
#include "autotest/scheduler_support.h"
#include "common/flags.h"
#include "support/manual_timers.h"
#include "support/recording_tray.h"
#include "ui/skin.h"
#include "ui/tray_presence.h"

#include <QLabel>

#include <filesystem>
#include <fstream>

namespace quorvane
{
namespace
{

using testing::waitFor;

using testing::RecordingTray;

class AutoTestingTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        for (auto* f :
             {&flags::autoMode, &flags::stopRequested, &flags::scheduledTaskCount, &flags::completedTaskCount})
            *f = 0;
        web.answer("loginCheck", 0, "true-10086-小明-10.1.2.3-广东 深圳");
        web.answer("scoreQuery", 0, "300,200,100,");
        writeDefaultConf();
        std::filesystem::create_directories("Config");
        std::ofstream("Config/settings10086.xml") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings><tasks>"
                                                     "<module id=\"1\" name=\"带宽测速\" selected=\"true\"/>"
                                                     "<module id=\"2\" name=\"网页性能\" selected=\"false\"/>"
                                                     "<module id=\"3\" name=\"视频测速\" selected=\"true\"/>"
                                                     "<module id=\"4\" name=\"文件下载\" selected=\"true\"/>"
                                                     "</tasks></settings>\n";
        checks = std::make_shared<test::ScriptedChecks>();
        context.environment = checks;
    }
    void TearDown() override
    {
        dlg.reset();
        flags::autoMode = 0;
        flags::stopRequested = 0;
        ShellTest::TearDown();
    }
    CQuorvaneDlg& start()
    {
        auto t = std::make_unique<testing::ManualTimers>();
        timers = t.get();
        auto tr = std::make_unique<RecordingTray>();
        tray = tr.get();
        dlg = std::make_unique<CQuorvaneDlg>(context, std::vector<std::string>{}, std::move(t), std::move(tr));
        dlg->OnInitDialog();
        return *dlg;
    }

    static void startRoundsAtLogin()
    {
        std::ifstream in("conf/config.properties", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        const auto at = text.find("manual=0");
        ASSERT_NE(at, std::string::npos);
        text[at + 7] = '1';
        std::ofstream("conf/config.properties", std::ios::binary) << text;
    }

    std::shared_ptr<test::ScriptedChecks> checks;
    std::unique_ptr<CQuorvaneDlg> dlg;
    testing::ManualTimers* timers = nullptr;
    RecordingTray* tray = nullptr;
};

TEST_F(AutoTestingTest, ButtonAsksThenArmsTheFirstRoundAndTheStopDialogHandsTheWindowBack)
{
    CQuorvaneDlg& w = start();
    ASSERT_TRUE(w.loggedIn());
    ASSERT_NE(w.scheduler(), nullptr);
    ui::SkinButton* button = w.button(msg::IDC_AUTO_TEST);
    ASSERT_TRUE(button->isEnabled());

    dialogs.selectAnswers = {ui::kIdNo};
    button->click();
    EXPECT_FALSE(timers->isActive(msg::TIMER_AUTO_ROUND));
    EXPECT_TRUE(w.scheduler()->queueEmpty());

    button->click(); // "yes"
    ASSERT_EQ(dialogs.texts("select").size(), 2u);
    EXPECT_EQ(dialogs.texts("select")[1],
              QStringLiteral("开启自动测速后将对接入网测速、网\n页性能、视频测速、文件下载进行轮\n循测试，是否开启？"));
    EXPECT_EQ(timers->period(msg::TIMER_AUTO_ROUND), 5000);
    EXPECT_TRUE(tray->added);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(flags::autoMode.load(), 1);
    EXPECT_EQ(w.scheduler()->queue(),
              (std::vector<TaskKind>{TaskKind::Bandwidth, TaskKind::Video, TaskKind::FileDownload}));

    // From the tray: the stop dialog, once; "continue" changes nothing.
    QString counts, latest;
    dialogs.stopDialogs.push_back([&](CStopSpeedDlg& d) {
        counts = d.counts()->text();
        latest = d.latestResult()->text();
        return CStopSpeedDlg::kResultContinue;
    });
    tray->send(ui::kTrayDoubleClick);
    EXPECT_EQ(counts, QStringLiteral("请求任务:0    完成任务:0"));
    EXPECT_EQ(latest, QStringLiteral("暂无最近记录！"));
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(flags::autoMode.load(), 1);

    dialogs.stopDialogs.push_back([&](CStopSpeedDlg& d) {
        d.button(CStopSpeedDlg::IDC_STOP)->click();
        return CStopSpeedDlg::kResultStopped;
    });
    tray->send(ui::kTrayDoubleClick);
    EXPECT_EQ(flags::stopRequested.load(), 1);
    EXPECT_EQ(flags::autoMode.load(), 0);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(tray->added);
    EXPECT_TRUE(w.page("CNetworkSpeed")->isVisible());

    // The armed timer still falls due, and starts nothing.
    timers->advance(5000);
    EXPECT_FALSE(timers->isActive(msg::TIMER_AUTO_ROUND));
    EXPECT_EQ(w.scheduler()->roundsStarted(), 0);
}

TEST_F(AutoTestingTest, AnUnansweredHintLeavesTheFirstRoundArmed)
{
    startRoundsAtLogin();
    hintSuppressed = false;
    bool armedWhenShown = false;
    dialogs.onHint = [&] { armedWhenShown = timers->isActive(msg::TIMER_AUTO_ROUND); };
    start();
    ASSERT_TRUE(waitFor([&] { return dialogs.texts("hint").size() == 1u; }));
    EXPECT_TRUE(armedWhenShown);
}

TEST_F(AutoTestingTest, RejectedRoundLeavesItsRecordsAndWaitsTheRecheckPeriod)
{
    startRoundsAtLogin();
    CQuorvaneDlg& w = start();
    ASSERT_TRUE(w.loggedIn());
    EXPECT_EQ(timers->period(msg::TIMER_AUTO_ROUND), 10'000) << "the login's countdown";
    checks->environment = {4};
    timers->advance(10'000);
    EXPECT_EQ(w.scheduler()->roundsStarted(), 1);
    ASSERT_TRUE(w.scheduler()->waitForRoundEnd(std::chrono::seconds(60)));
    ASSERT_TRUE(waitFor([&] { return timers->isActive(msg::TIMER_AUTO_ROUND); }));
    EXPECT_EQ(timers->period(msg::TIMER_AUTO_ROUND), 1'800'000);
    EXPECT_EQ(flags::scheduledTaskCount.load(), 3);
    ASSERT_TRUE(waitFor([&] { return !w.latestResultText().empty(); }));
    EXPECT_EQ(w.latestResultText().rfind("最近一次自动测速结果：\n数据无效（原因：无线上网）。", 0), 0u);
    ASSERT_TRUE(waitFor([&] {
        std::ifstream in("HistoryRecord/HistoryRecord10086.txt");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        return text.find(",自动,自动测速,无效数据,无线上网;") != std::string::npos;
    }));
}

TEST(StopSpeedDialog, RunningTimeAndRefresh)
{
    testing::qtApp();
    const std::pair<long long, QString> times[] = {
        {0, QStringLiteral("0 天0 小时0 分钟0 秒")},
        {59, QStringLiteral("0 天0 小时0 分钟59 秒")},
        {86399, QStringLiteral("0 天23 小时59 分钟59 秒")},
        {90061, QStringLiteral("1 天1 小时1 分钟1 秒")},
        {40 * 86400 + 7200, QStringLiteral("40 天2 小时0 分钟0 秒")},
        {-30, QStringLiteral("0 天0 小时0 分钟0 秒")}, // the wall clock was set back
    };
    for (const auto& [seconds, text] : times)
        EXPECT_EQ(CStopSpeedDlg::runningTimeText(seconds), text) << seconds;

    long long now = 1000;
    std::string latest;
    auto t = std::make_unique<testing::ManualTimers>();
    testing::ManualTimers* timers = t.get();
    CStopSpeedDlg::Status status{1000, [&] { return now; }, [&] { return latest; },
                                 [] {
                                     return ScoreValues{"300", "200", "100"};
                                 }};
    flags::scheduledTaskCount = 3;
    flags::completedTaskCount = 1;
    CStopSpeedDlg d(status, std::move(t));
    EXPECT_EQ(d.size(), QSize(458, 257));
    EXPECT_TRUE(d.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(d.runningTime()->text(), QStringLiteral("已经运行：0 天0 小时0 分钟0 秒"));
    EXPECT_EQ(d.score()->text(), QStringLiteral("\n总积分：300 \n    带宽测速积分：200 \n    用户体验积分：100\n\n"));
    EXPECT_EQ(d.button(1287)->toolTip(), QStringLiteral("停止自动测速，回到系统主界面"));
    EXPECT_EQ(d.button(1380)->toolTip(), QStringLiteral("继续自动测速，程序将最小化到托盘"));

    now += 3725;
    latest = "最近一次带宽测速结果：";
    flags::completedTaskCount = 2;
    timers->advance(1000);
    EXPECT_EQ(d.runningTime()->text(), QStringLiteral("已经运行：0 天1 小时2 分钟5 秒"));
    EXPECT_EQ(d.counts()->text(), QStringLiteral("请求任务:3    完成任务:2"));
    EXPECT_EQ(d.latestResult()->text(), QStringLiteral("最近一次带宽测速结果："));

    // Close goes on like continue; stop ends with its own result a moment later.
    d.button(1000)->click();
    EXPECT_EQ(d.result(), CStopSpeedDlg::kResultContinue);
    EXPECT_FALSE(timers->isActive(CStopSpeedDlg::kRefreshTimer));
    CStopSpeedDlg s(status, std::make_unique<testing::ManualTimers>());
    flags::stopRequested = 0;
    flags::autoMode = 1;
    s.button(1287)->click();
    EXPECT_EQ(flags::stopRequested.load(), 1);
    EXPECT_EQ(flags::autoMode.load(), 0);
    EXPECT_TRUE(waitFor([&] { return s.result() == CStopSpeedDlg::kResultStopped; }));
    flags::stopRequested = 0;
    flags::scheduledTaskCount = 0;
    flags::completedTaskCount = 0;
}

} // namespace
} // namespace quorvane
