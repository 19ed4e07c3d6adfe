#include "app/pages/network_speed.h"
#include "app/shell/login_dlg.h"
#include "app/shell/main_dlg.h"
#include "app/shell/program_context.h"
#include "app/shell/score_msg_dlg.h"
#include "app/shell_fixture.h"
#include "common/flags.h"
#include "support/manual_timers.h"
#include "support/process_threads.h"
#include "support/recording_tray.h"
#include "ui/picture_ctrl_dashboard.h"
#include "ui/skin.h"
#include "ui/tray_presence.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTextDocument>
#include <QTimer>

#include <atomic>
#include <fstream>
#include <gmock/gmock.h>
#include <thread>

namespace quorvane
{
namespace
{

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::waitFor;

// What the user reads: markup rendered as Qt would render it, plain text as
// it stands. Tooltips are shown with automatic detection.
QString displayed(const QString& text, Qt::TextFormat format = Qt::AutoText)
{
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text)))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

using testing::RecordingTray;

class MainWindowTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        resetFlags();
        web.answer("loginCheck", 0, "true-10086-小明-10.1.2.3-广东 深圳");
        web.answer("scoreQuery", 0, "300,200,100,");
    }
    void TearDown() override
    {
        dlg.reset();
        resetFlags();
        ShellTest::TearDown();
    }
    static void resetFlags()
    {
        for (auto* f : {&flags::bandwidthTestRunning, &flags::webTestRunning, &flags::videoTestRunning,
                        &flags::downloadTestRunning, &flags::autoMode})
            *f = 0;
    }

    void setAuto(const char* value)
    {
        writeProps("l_c_config_01.properties", {{"username", encryptValue("alice", kValueKey)},
                                                {"userpass", encryptValue("secret", kValueKey)},
                                                {"uname", "小明"},
                                                {"userid", "10086"},
                                                {"rem", "0"},
                                                {"auto", value},
                                                {"pre_date", "2013-05-06 09\\:41\\:07"}});
    }

    CQuorvaneDlg& start(std::vector<std::string> args = {})
    {
        auto t = std::make_unique<testing::ManualTimers>();
        timers = t.get();
        auto tr = std::make_unique<RecordingTray>();
        tray = tr.get();
        dlg = std::make_unique<CQuorvaneDlg>(context, std::move(args), std::move(t), std::move(tr));
        dlg->OnInitDialog();
        return *dlg;
    }

    // The user logs in through the login window (checking that the second
    // start would see it open).
    std::function<int(CLoginDlg&)> typeAndLogIn(const QString& user = QStringLiteral("bob"))
    {
        return [this, user](CLoginDlg& d) {
            loginWindowFlagSeen.push_back(prop("config.properties", "login_window_show"));
            d.userField()->setText(user);
            d.passwordField()->setText(QStringLiteral("pw"));
            d.RunLogin();
            EXPECT_TRUE(waitFor([&] { return !d.loginRunning(); }));
            return d.result();
        };
    }
    std::function<int(CLoginDlg&)> pressButton(const char* name, const QString& typed = QString())
    {
        return [this, name, typed](CLoginDlg& d) {
            loginWindowFlagSeen.push_back(prop("config.properties", "login_window_show"));
            if (!typed.isEmpty())
                d.userField()->setText(typed);
            d.findChild<QAbstractButton*>(QString::fromLatin1(name))->click();
            return d.result();
        };
    }

    bool scoreShown()
    {
        return waitFor([&] { return dlg->scoreWindow() != nullptr; });
    }

    std::unique_ptr<CQuorvaneDlg> dlg;
    testing::ManualTimers* timers = nullptr;
    RecordingTray* tray = nullptr;
    std::vector<std::string> loginWindowFlagSeen;
};

TEST_F(MainWindowTest, LoginWindowAtStartThenScoreNoticeFromTheTray)
{
    setAuto("0");
    hintSuppressed = false;
    dialogs.hintAnswer = true;
    dialogs.logins.push_back(typeAndLogIn());
    CQuorvaneDlg& w = start();

    EXPECT_THAT(loginWindowFlagSeen, ElementsAre("true"));
    EXPECT_EQ(prop("config.properties", "login_window_show"), "false");
    EXPECT_TRUE(w.loggedIn());
    EXPECT_EQ(session.get().userId, "10086");
    EXPECT_EQ(prop("l_c_config_01.properties", "userid"), "10086");
    EXPECT_TRUE(waitFor([&] { return dialogs.texts("hint").size() == 1u; }));
    EXPECT_THAT(suppressedFor, ElementsAre("10086"));
    EXPECT_EQ(w.titleText(), "Quorvane2.1.0");
    EXPECT_EQ(prop("ipconfig.properties", "52-54-00-12-34-56"), "1");
    EXPECT_FALSE(timers->isActive(msg::TIMER_AUTO_LOGIN));
    EXPECT_EQ(timers->period(msg::TIMER_SCORE_REFRESH), 21600000);
    EXPECT_EQ(timers->period(msg::TIMER_PDH_INIT), 100);

    ASSERT_TRUE(scoreShown());
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(tray->added);
    EXPECT_EQ(w.trayIcon(), 128);
    EXPECT_EQ(tray->tip, CQuorvaneDlg::kTrayTip);
    auto* totals = w.scoreWindow()->findChild<QLabel*>(QStringLiteral("line3"));
    EXPECT_THAT(totals->text().toStdString(), HasSubstr("总积分：300"));
    auto* last = w.scoreWindow()->findChild<QLabel*>(QStringLiteral("line5"));
    EXPECT_EQ(last->text(), "上次登录：2013-05-06 09:41:07"); // the date read at start

    std::ifstream log("auto.txt");
    std::string line;
    std::getline(log, line);
    EXPECT_THAT(line, HasSubstr(",程序初次启动，开始自动测速..."));
}

TEST_F(MainWindowTest, MinimisedLoginLivesInTheTrayUntilDoubleClicked)
{
    setAuto("0");
    dialogs.logins.push_back(pressButton("minimise", QStringLiteral("typed-name")));
    CQuorvaneDlg& w = start();
    EXPECT_FALSE(w.loggedIn());
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(tray->added);
    EXPECT_EQ(w.trayIcon(), 161);
    EXPECT_FALSE(timers->isActive(msg::TIMER_AUTO_LOGIN)); // "auto" is 0
    w.show();                                              // the window refuses to appear while logged out
    EXPECT_FALSE(w.isVisible());

    // The double-click shows the login window again, with what was typed.
    dialogs.logins.push_back(typeAndLogIn());
    tray->send(ui::kTrayDoubleClick);
    ASSERT_EQ(dialogs.texts("login").size(), 2u);
    EXPECT_EQ(dialogs.texts("login")[1], "typed-name");
    EXPECT_THAT(loginWindowFlagSeen, ElementsAre("true", "true"));
    EXPECT_TRUE(w.loggedIn());
    EXPECT_EQ(flags::autoMode.load(), 1); // cleared, then armed again by the post-login start
    ASSERT_TRUE(scoreShown());
    EXPECT_EQ(w.trayIcon(), 128);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(MainWindowTest, ClosingTheLoginWindowEndsTheProgram)
{
    setAuto("0");
    dialogs.logins.push_back(pressButton("close"));
    start();
    EXPECT_THAT(endedWith, ElementsAre(0));
    EXPECT_EQ(prop("config.properties", "login_window_show"), "false");
}

TEST_F(MainWindowTest, CommandLineOverridesTheStoredChoice)
{
    setAuto("1");
    dialogs.logins.push_back(pressButton("minimise"));
    start({"logoff"});
    EXPECT_EQ(dialogs.texts("login").size(), 1u);
    dlg.reset();

    setAuto("0");
    CQuorvaneDlg& w = start({"update"});
    EXPECT_TRUE(dialogs.logins.empty());
    EXPECT_EQ(dialogs.texts("login").size(), 1u); // no further login window
    EXPECT_TRUE(w.loggedIn());
    EXPECT_EQ(prop("config.properties", "login_window_show"), "false");
}

TEST_F(MainWindowTest, SilentLoginRetriesEveryFiveSecondsUntilTheServiceAnswers)
{
    setAuto("1");
    web.answer("loginCheck", 1, "");
    CQuorvaneDlg& w = start();
    EXPECT_FALSE(w.loggedIn());
    EXPECT_EQ(w.trayIcon(), 161);
    EXPECT_EQ(timers->period(msg::TIMER_AUTO_LOGIN), 5000);
    EXPECT_EQ(web.urls().size(), 1u);

    for (int attempt = 2; attempt <= 3; ++attempt) {
        QSignalSpy done(&w, &CQuorvaneDlg::autoLoginFinished);
        timers->advance(4999);
        EXPECT_EQ(web.urls().size(), static_cast<std::size_t>(attempt - 1));
        timers->advance(1);
        ASSERT_TRUE(waitFor([&] { return done.count() == 1; }));
        EXPECT_EQ(web.urls().size(), static_cast<std::size_t>(attempt));
        EXPECT_FALSE(w.loggedIn());
    }

    web.answer("loginCheck", 0, "true-10086-小明-10.1.2.3-广东 深圳");
    QSignalSpy done(&w, &CQuorvaneDlg::autoLoginFinished);
    timers->advance(5000);
    ASSERT_TRUE(waitFor([&] { return done.count() == 1; }));
    EXPECT_TRUE(w.loggedIn());
    EXPECT_FALSE(timers->isActive(msg::TIMER_AUTO_LOGIN));
    EXPECT_EQ(w.trayIcon(), 128);
    ASSERT_TRUE(scoreShown());
    EXPECT_EQ(database.scores().total, "300");
    EXPECT_EQ(prop("l_c_config_01.properties", "pre_date"), "2013-05-06 09\\:41\\:07"); // silent: nothing written
}

TEST_F(MainWindowTest, SlowSilentLoginsDoNotPileUp)
{
    setAuto("1");
    web.answer("loginCheck", 1, "");
    CQuorvaneDlg& w = start();
    web.hold();
    timers->advance(5000);
    ASSERT_TRUE(waitFor([&] { return web.waiting() == 1; }));
    const int threads = testing::processThreads();
    timers->advance(15000); // three more ticks while the first waits
    EXPECT_EQ(testing::processThreads(), threads) << "a tick started another login";
    QSignalSpy done(&w, &CQuorvaneDlg::autoLoginFinished);
    web.release();
    ASSERT_TRUE(waitFor([&] { return done.count() == 1; }));
    EXPECT_EQ(web.urls().size(), 2u);
}

TEST_F(MainWindowTest, RejectedStoredCredentialsKeepTheProgramLoggedOut)
{
    setAuto("1");
    web.answer("loginCheck", 0, "false");
    CQuorvaneDlg& w = start();
    EXPECT_FALSE(w.loggedIn());
    EXPECT_EQ(w.trayIcon(), 161);
    EXPECT_TRUE(tray->added);
    EXPECT_TRUE(dialogs.texts("login").empty());
}

TEST_F(MainWindowTest, OpeningFromTheTrayShowsTheManualPages)
{
    setAuto("1");
    CQuorvaneDlg& w = start();
    ASSERT_TRUE(w.loggedIn());
    ASSERT_TRUE(scoreShown());
    w.OnTopPageButton(kSettingsTop);
    flags::autoMode = 1;
    tray->send(ui::kTrayDoubleClick);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(tray->added);
    EXPECT_EQ(flags::autoMode.load(), 0);
    EXPECT_EQ(w.navigation().topPage(), kManualTop);
    EXPECT_TRUE(w.page("CNetworkSpeed")->isVisible());
    EXPECT_FALSE(w.page("CSettingsDlg")->isVisible());
}

TEST_F(MainWindowTest, SwitchesAreRefusedWhileTheCurrentPageMeasures)
{
    setAuto("1");
    CQuorvaneDlg& w = start();
    tray->send(ui::kTrayDoubleClick);
    ASSERT_TRUE(w.isVisible());

    flags::bandwidthTestRunning = 1;
    w.button(1004)->click();
    EXPECT_THAT(dialogs.texts("message"), ElementsAre("正在测速不能切换。。。"));
    EXPECT_EQ(w.navigation().testPage(), kBandwidthPage);
    EXPECT_TRUE(w.button(1003)->isSelected());
    EXPECT_FALSE(w.button(1004)->isSelected());
    EXPECT_TRUE(w.page("CNetworkSpeed")->isVisible());

    w.button(1317)->click(); // history, while a test runs
    EXPECT_EQ(dialogs.texts("message").size(), 2u);
    EXPECT_EQ(w.navigation().topPage(), kManualTop);
    EXPECT_FALSE(w.page("CHistoryRecord")->isVisible());

    // Another page's test does not hold this page.
    flags::bandwidthTestRunning = 0;
    flags::videoTestRunning = 1;
    w.button(1006)->click();
    EXPECT_EQ(w.navigation().testPage(), kDownloadPage);
    EXPECT_TRUE(w.page("CFileDownload")->isVisible());
    EXPECT_FALSE(w.page("CNetworkSpeed")->isVisible());
    EXPECT_TRUE(w.button(1006)->isSelected());
    flags::videoTestRunning = 0;

    w.button(1317)->click();
    EXPECT_TRUE(w.page("CHistoryRecord")->isVisible());
    EXPECT_FALSE(w.button(1003)->isVisible());
    EXPECT_FALSE(w.page("CFileDownload")->isVisible());
    w.button(1316)->click();
    EXPECT_TRUE(w.button(1003)->isVisible());
    EXPECT_TRUE(w.page("CFileDownload")->isVisible()); // the current test page comes back
    EXPECT_FALSE(w.page("CHistoryRecord")->isVisible());
    EXPECT_EQ(dialogs.texts("message").size(), 2u);
}

TEST_F(MainWindowTest, HistoryPageShowsWhatTheTestsAppendedAtEveryOpening)
{
    setAuto("1");
    CQuorvaneDlg& w = start();
    tray->send(ui::kTrayDoubleClick);
    ASSERT_TRUE(w.isVisible());
    const std::string userId = session.get().userId;
    std::filesystem::create_directories(m_dir / "HistoryRecord");
    const auto file = m_dir / ("HistoryRecord/HistoryRecord" + userId + ".txt");
    std::ofstream(file, std::ios::app) << "2024-05-01 08:00:00,手动,带宽测速,北京电信,94.3Mb/s;\n";

    auto* count = w.page("CHistoryRecord")->findChild<QLabel*>(QStringLiteral("count"));
    ASSERT_NE(count, nullptr);
    w.button(1317)->click();
    EXPECT_EQ(count->text(), QStringLiteral("总条数: 1"));
    std::ofstream(file, std::ios::app) << "2024-05-01 09:00:00,手动,带宽测速,上海联通,50.0Mb/s;\n";
    w.button(1316)->click();
    w.button(1317)->click();
    EXPECT_EQ(count->text(), QStringLiteral("总条数: 2"));
}

TEST_F(MainWindowTest, VideoPageStaysPutWhileItsPlayerIsInUse)
{
    setAuto("1");
    CQuorvaneDlg& w = start();
    tray->send(ui::kTrayDoubleClick);
    w.button(1005)->click();
    EXPECT_TRUE(w.page("CVideoSpeed")->isVisible());
    w.button(1003)->click();
    w.page("CVideoSpeedChild")->show(); // the player attached to its owner
    w.button(1005)->click();
    EXPECT_TRUE(w.page("CNetworkSpeed")->isVisible());
    EXPECT_FALSE(w.page("CVideoSpeed")->isVisible());
    w.button(1004)->click();
    EXPECT_FALSE(w.page("CVideoSpeedChild")->isVisible()); // playback stopped
}

TEST_F(MainWindowTest, CloseAsksAndOnlyYesEndsTheProgram)
{
    setAuto("1");
    historySaving = false;
    std::filesystem::create_directories("HistoryRecord");
    std::ofstream("HistoryRecord/HistoryRecord10086.txt") << "line\n";
    CQuorvaneDlg& w = start();

    dialogs.selectAnswers = {ui::kIdNo};
    tray->send(ui::kTrayRightButtonUp);
    QAction* exit = w.trayMenu()->actions().last();
    ASSERT_EQ(exit->data().toInt(), 1000);
    exit->trigger();
    EXPECT_THAT(dialogs.texts("select"), ElementsAre("您确定要关闭并退出程序吗？"));
    EXPECT_TRUE(endedWith.empty());
    EXPECT_TRUE(std::filesystem::exists("HistoryRecord/HistoryRecord10086.txt"));

    flags::webTestRunning = 1;
    dialogs.selectAnswers = {ui::kIdYes};
    w.close(); // Alt+F4 and the window manager's close take the same path
    EXPECT_EQ(dialogs.texts("select").back(), "正在执行测速，是否关闭程序？");
    EXPECT_THAT(endedWith, ElementsAre(0));
    EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord10086.txt"));
}

TEST_F(MainWindowTest, TheWindowsEndRemovesThisRunsLogsAndUnkeptHistory)
{
    const auto writeFiles = [] {
        std::filesystem::create_directories("HistoryRecord");
        std::ofstream("HistoryRecord/HistoryRecord10086.txt") << "line\n";
        std::ofstream("logfile.txt") << "x\n";
        std::ofstream("other.txt") << "x\n";
    };
    setAuto("1");
    historySaving = true;
    start();
    writeFiles();
    ASSERT_TRUE(std::filesystem::exists("auto.txt")); // the start wrote its line
    dlg.reset();
    EXPECT_FALSE(std::filesystem::exists("auto.txt"));
    EXPECT_FALSE(std::filesystem::exists("logfile.txt"));
    EXPECT_TRUE(std::filesystem::exists("HistoryRecord/HistoryRecord10086.txt"));
    EXPECT_TRUE(std::filesystem::exists("other.txt"));

    historySaving = false;
    start();
    writeFiles();
    dlg.reset();
    EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord10086.txt"));
    EXPECT_FALSE(std::filesystem::exists("logfile.txt"));
}

TEST_F(MainWindowTest, ConfirmedCloseEndsTheRunAndTheEndWaitsForRequestsUnderWay)
{
    // With the program's own services, as main() runs it: the close must end
    // the run (not the process), so that the window's end removes this run's
    // logs and the unkept history; and that end must wait for a request
    // still under way, which uses the session values the program owns.
    setAuto("1");
    historySaving = false;
    ShellContext program = programContext(m_dir, session, database, dialogs);
    program.http = web.function();
    program.trayAvailable = [] { return false; };
    program.historySaving = context.historySaving;
    auto t = std::make_unique<testing::ManualTimers>();
    testing::ManualTimers* manual = t.get();
    dlg = std::make_unique<CQuorvaneDlg>(program, std::vector<std::string>{}, std::move(t));
    std::filesystem::create_directories("HistoryRecord");
    std::ofstream("HistoryRecord/HistoryRecord10086.txt") << "line\n";
    // The user closes once the start (and its silent login) is over.
    std::function<void()> closeWhenStarted = [&] {
        if (!dlg->initialised()) {
            QTimer::singleShot(10, closeWhenStarted);
            return;
        }
        std::ofstream("logfile.txt") << "x\n";
        web.hold();
        manual->advance(21600000); // the score refresh asks, and waits
        dialogs.selectAnswers = {ui::kIdYes};
        dlg->OnClose();
    };
    QTimer::singleShot(0, closeWhenStarted);
    EXPECT_EQ(dlg->exec(), 0);
    EXPECT_FALSE(dlg->isVisible());
    ASSERT_TRUE(std::filesystem::exists("auto.txt"));
    const std::size_t asked = web.urls().size();

    std::atomic<bool> ending{false};
    std::thread service([&] {
        while (!ending) // bounded: the test sets it right below
            std::this_thread::yield();
        web.release();
    });
    ending = true;
    dlg.reset();
    const std::size_t answered = web.urls().size();
    service.join();
    EXPECT_EQ(answered, asked + 1) << "the end did not wait for the score request";
    EXPECT_FALSE(std::filesystem::exists("auto.txt"));
    EXPECT_FALSE(std::filesystem::exists("logfile.txt"));
    EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord10086.txt"));
}

TEST_F(MainWindowTest, LogOffHandsOverToTheUpdater)
{
    setAuto("1");
    CQuorvaneDlg& w = start();
    ASSERT_TRUE(scoreShown());
    QPointer<CScoreMsgDlg> notice = w.scoreWindow();

    flags::downloadTestRunning = 1;
    dialogs.selectAnswers = {ui::kIdNo};
    w.OnLogoff();
    EXPECT_TRUE(notice.isNull()); // the notice goes first, whatever the answer
    EXPECT_THAT(dialogs.texts("select"), ElementsAre("测速任务未结束是否注销用户？"));
    EXPECT_TRUE(started.empty());

    // The bandwidth page's figures go with the user who logs off.
    ASSERT_NE(w.bandwidthPage(), nullptr);
    w.bandwidthPage()->resultField(CNetworkSpeed::kDownSpeed)->setText(QStringLiteral("2.50"));
    w.bandwidthPage()->speedGauge()->SetSpeed(2048);
    dialogs.selectAnswers = {ui::kIdYes};
    w.OnLogoff();
    EXPECT_THAT(started, ElementsAre("Update logoff"));
    EXPECT_EQ(w.bandwidthPage()->resultField(CNetworkSpeed::kDownSpeed)->text(), QStringLiteral("无数据"));
    EXPECT_EQ(w.bandwidthPage()->speedGauge()->text(), QStringLiteral("0 Mb/s"));

    flags::downloadTestRunning = 0;
    context.startHidden = [](const std::string&, const std::vector<std::string>&) { return false; };
    CQuorvaneDlg other(context, {}, std::make_unique<testing::ManualTimers>(), std::make_unique<RecordingTray>());
    other.OnLogoff();
    EXPECT_THAT(dialogs.texts("message").back().toStdString(), HasSubstr("Update"));
}

TEST_F(MainWindowTest, RepaintShowsTheStoredNameAndTheLatestScores)
{
    setAuto("1");
    CQuorvaneDlg& w = start();
    tray->send(ui::kTrayDoubleClick);
    ASSERT_TRUE(w.isVisible());
    writeProps("l_c_config_01.properties", {{"uname", "新昵称"}});
    database.setScores({"999", "600", "399"});
    w.grab(); // paints the window
    EXPECT_EQ(w.userLabelText().toStdString(), "新昵称");
    EXPECT_EQ(w.scoreText().toStdString(), "999");
    EXPECT_EQ(displayed(w.button(msg::IDC_SCORE)->toolTip()).toStdString(),
              "总积分：999 \n    带宽测速积分：600 \n    用户体验积分：399");
}

TEST_F(MainWindowTest, ScoreRefreshEverySixHoursKeepsOldValuesOnFailure)
{
    setAuto("1");
    start();
    web.answer("scoreQuery", 0, "301,201,100,");
    QSignalSpy refreshed(dlg.get(), &CQuorvaneDlg::scoreRefreshed);
    const int threads = testing::processThreads();
    timers->advance(21600000LL - 1);
    EXPECT_EQ(testing::processThreads(), threads) << "refreshed before six hours";
    EXPECT_EQ(database.scores().total, "300");
    timers->advance(1);
    ASSERT_TRUE(waitFor([&] { return refreshed.count() == 1; }));
    EXPECT_TRUE(refreshed[0][0].toBool());
    EXPECT_EQ(database.scores().total, "301");

    web.answer("scoreQuery", 0, "garbage without commas");
    timers->advance(21600000LL);
    ASSERT_TRUE(waitFor([&] { return refreshed.count() == 2; }));
    EXPECT_FALSE(refreshed[1][0].toBool());
    EXPECT_EQ(database.scores().total, "301");
}

TEST_F(MainWindowTest, TrayTipFollowsTheLatestResultCutAtACharacter)
{
    setAuto("1");
    CQuorvaneDlg& w = start();
    ASSERT_TRUE(scoreShown());
    EXPECT_EQ(tray->tip.toStdString(), CQuorvaneDlg::kTrayTip); // nothing measured yet

    // The desktop reports no hover: the tip changes with the text itself.
    std::string text;
    for (int i = 0; i < 50; ++i)
        text += "测"; // 150 bytes
    w.setLatestResultText(text);
    const std::string tip = tray->tip.toStdString();
    EXPECT_EQ(tip.size(), 126u); // 42 characters of 3 bytes; the 43rd would pass 127
    EXPECT_EQ(text.compare(0, tip.size(), tip), 0);

    // An automatic round ends on its own thread.
    std::thread round([&] { w.setLatestResultText("最近一次带宽测速结果：\n估算带宽：94.3Mb/s"); });
    round.join();
    ASSERT_TRUE(waitFor([&] { return tray->tip.endsWith(QStringLiteral("94.3Mb/s")); }));

    // The icon comes back after the next login with the result, not the notice.
    w.OnShowScore();
    EXPECT_TRUE(tray->tip.endsWith(QStringLiteral("94.3Mb/s")));
    w.setLatestResultText(""); // automatic testing started again: the last result stays
    EXPECT_TRUE(tray->tip.endsWith(QStringLiteral("94.3Mb/s")));
}

TEST_F(MainWindowTest, TextFromOutsideShowsAsPlainText)
{
    setAuto("1");
    web.answer("loginCheck", 0, "true-10086-<img src=x>-10.1.2.3-广东 深圳");
    web.answer("scoreQuery", 0, "<b>9</b>,<a href=x>6</a>,<i>3</i>,");
    context.installedVersion = [] { return std::string("<u>2.1</u>"); };
    CQuorvaneDlg& w = start();
    ASSERT_TRUE(scoreShown());
    writeProps("l_c_config_01.properties", {{"uname", "<img src=x>"}, {"userid", "<s>10086</s>"}});
    tray->send(ui::kTrayDoubleClick);
    ASSERT_TRUE(w.isVisible());
    w.grab(); // paints: the user label and the score refresh from what is stored
    w.OnShowScore();
    auto label = [&](QWidget* parent, const char* name) {
        auto* l = parent->findChild<QLabel*>(QString::fromLatin1(name));
        EXPECT_NE(l, nullptr) << name;
        return l ? displayed(l->text(), l->textFormat()).toStdString() : std::string();
    };
    struct Case {
        std::string shown;
        std::string expected;
    };
    for (const Case& c : {
             Case{label(&w, "user"), "<img src=x>"},
             Case{label(&w, "score"), "<b>9</b>"},
             Case{label(&w, "title"), "Quorvane<u>2.1</u>"},
             Case{displayed(w.button(msg::IDC_SCORE)->toolTip()).toStdString(),
                  "总积分：<b>9</b> \n    带宽测速积分：<a href=x>6</a> \n    用户体验积分：<i>3</i>"},
             Case{label(w.scoreWindow(), "line1"), "用户ID：  <s>10086</s>"},
             Case{label(w.scoreWindow(), "line2"), "昵称：  <img src=x>"},
         })
        EXPECT_EQ(c.shown, c.expected);

    // The tray shows a result naming an outside server as it stands.
    ui::StandInTrayPresence standIn;
    standIn.setToolTip(QStringLiteral("测速服务器：<img src=x>"));
    EXPECT_EQ(displayed(standIn.window()->toolTip()), "测速服务器：<img src=x>");
}

TEST_F(MainWindowTest, DoubleClickDuringTheSilentLoginWaitsForTheStart)
{
    setAuto("1");
    web.hold();
    auto t = std::make_unique<testing::ManualTimers>();
    auto tr = std::make_unique<RecordingTray>();
    RecordingTray* tr0 = tr.get();
    dlg = std::make_unique<CQuorvaneDlg>(context, std::vector<std::string>{}, std::move(t), std::move(tr));
    QTimer::singleShot(0, [&] {
        dlg->OnTrayNotify(msg::kTrayIconId, ui::kTrayDoubleClick); // a second start, mid-login
        web.release();
    });
    dlg->OnInitDialog();
    ASSERT_TRUE(dlg->loggedIn());
    ASSERT_TRUE(waitFor([&] { return dlg->isVisible(); }));
    EXPECT_FALSE(tr0->added);
}

TEST_F(MainWindowTest, WithoutATrayAStandInWindowTakesItsPlace)
{
    setAuto("0");
    trayAvailable = false;
    dialogs.logins.push_back(pressButton("minimise"));
    CQuorvaneDlg w(context, {}, std::make_unique<testing::ManualTimers>());
    w.OnInitDialog();
    ASSERT_TRUE(w.tray().isStandIn());
    auto* standIn = static_cast<ui::LateTrayPresence&>(w.tray()).standIn()->window();
    EXPECT_TRUE(standIn->isVisible());
    EXPECT_TRUE(standIn->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(standIn->stateText(), "未登录，双击登录");

    dialogs.logins.push_back(typeAndLogIn());
    QTest::mouseDClick(standIn, Qt::LeftButton);
    EXPECT_EQ(dialogs.texts("login").size(), 2u);
    EXPECT_TRUE(w.loggedIn());
    ASSERT_TRUE(waitFor([&] { return w.scoreWindow() != nullptr; }));
    EXPECT_TRUE(standIn->isVisible());
    EXPECT_EQ(standIn->stateText(), "后台运行中，双击打开");

    QTest::mouseClick(standIn, Qt::RightButton);
    ASSERT_TRUE(waitFor([&] { return w.trayMenu()->isVisible(); }));
    w.trayMenu()->close();

    QTest::mouseDClick(standIn, Qt::LeftButton);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(standIn->isVisible());
}

TEST_F(MainWindowTest, HistoryOfAUserWithoutSettingsFollowsTheShippedDefault)
{
    // A user who never opened the settings page has no document yet: the end
    // of the program must read the shipped default (keep), not "missing".
    const std::string shipped = "<root><history><bsave>true</bsave></history></root>\n";
    std::filesystem::create_directories("Config");
    for (const auto& [templateText, userDocument, keeps] : std::vector<std::tuple<std::string, std::string, bool>>{
             {shipped, "", true},
             {shipped, "<root><history><bsave>false</bsave></history></root>\n", false},
             {"<root><history><bsave>false</bsave></history></root>\n", "", false},
         }) {
        std::ofstream("Config/settings.xml", std::ios::trunc) << templateText;
        std::filesystem::remove("Config/settings31.xml");
        if (!userDocument.empty())
            std::ofstream("Config/settings31.xml") << userDocument;
        const ShellContext program = programContext(m_dir, session, database, dialogs);
        EXPECT_EQ(program.historySaving("31"), keeps) << templateText << userDocument;
    }
}

} // namespace
} // namespace quorvane
