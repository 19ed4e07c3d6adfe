#include "app/shell/login_dlg.h"
#include "app/shell/score_msg_dlg.h"
#include "app/shell_fixture.h"
#include "support/manual_timers.h"
#include "ui/busy_indicator.h"
#include "ui/workers.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QThread>

#include <gmock/gmock.h>

namespace quorvane
{
namespace
{

using ::testing::ElementsAre;
using testing::waitFor;

class LoginWindowTest : public testing::ShellTest
{
protected:
    void press(QWidget& w, int key)
    {
        QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &e);
    }
    QAbstractButton* button(QWidget& w, const char* name)
    {
        return w.findChild<QAbstractButton*>(QString::fromLatin1(name));
    }
    // Types, presses the login button and waits for the attempt to end.
    void attempt(CLoginDlg& dlg, const QString& user, const QString& pass)
    {
        dlg.userField()->setText(user);
        dlg.passwordField()->setText(pass);
        QSignalSpy ended(&dlg, &CLoginDlg::attemptEnded);
        button(dlg, "login")->click();
        ASSERT_TRUE(waitFor([&] { return ended.count() > 0; }));
    }
};

TEST_F(LoginWindowTest, PrefilledAndLaidOutAsATopmostWindow)
{
    CLoginDlg dlg(context, QStringLiteral("alice"), QStringLiteral("secret"));
    dlg.show();
    EXPECT_EQ(dlg.size(), QSize(380, 280));
    EXPECT_TRUE(dlg.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(dlg.userField()->text(), "alice");
    EXPECT_EQ(dlg.passwordField()->text(), "secret");
    EXPECT_EQ(dlg.passwordField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dlg.userField()->toolTip(), "请输入用户名或邮箱");
    EXPECT_EQ(dlg.passwordField()->toolTip(), "请输入密码");
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((dlg.geometry().center() - area.center()).manhattanLength(), 2);
}

TEST_F(LoginWindowTest, SuccessEndsTheWindowAsLoggedIn)
{
    web.answer("loginCheck", 0, "true-10086-小明-10.1.2.3-广东 深圳");
    web.answer("scoreQuery", 0, "3,2,1,");
    CLoginDlg dlg(context, QString(), QString());
    dlg.show();
    QSignalSpy typed(&dlg, &CLoginDlg::credentialsTyped);
    attempt(dlg, QStringLiteral("bob"), QStringLiteral("pw"));
    EXPECT_EQ(dlg.result(), CLoginDlg::kResultLoggedIn);
    EXPECT_FALSE(dlg.isVisible());
    ASSERT_EQ(typed.count(), 1);
    EXPECT_EQ(typed[0][0].toString(), "bob");
    EXPECT_EQ(session.get().userId, "10086");
    EXPECT_EQ(database.scores().total, "3");
}

TEST_F(LoginWindowTest, FailuresStayInTheWindowWithTheirMessage)
{
    CLoginDlg dlg(context, QString(), QString());
    dlg.show();
    attempt(dlg, QString(), QStringLiteral("pw"));
    EXPECT_EQ(dlg.messageText(), "用户名不能为空！");
    attempt(dlg, QStringLiteral("bob"), QString());
    EXPECT_EQ(dlg.messageText(), "密码不能为空！");
    EXPECT_TRUE(web.urls().empty());

    web.answer("loginCheck", 0, "false");
    attempt(dlg, QStringLiteral("bob"), QStringLiteral("bad"));
    EXPECT_EQ(dlg.messageText(), "登录失败，用户名或密码错误！");
    EXPECT_TRUE(dialogs.shown.empty());

    web.answer("loginCheck", 1, "");
    attempt(dlg, QStringLiteral("bob"), QStringLiteral("pw"));
    EXPECT_EQ(dlg.messageText(), "网络异常或服务器无响应！");

    web.throwOn("loginCheck");
    attempt(dlg, QStringLiteral("bob"), QStringLiteral("pw"));
    EXPECT_EQ(dlg.messageText(), "服务器无响应！");

    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(button(dlg, "login")->isVisible());
    EXPECT_FALSE(dlg.findChild<ui::BusyIndicator*>()->isVisible());
}

TEST_F(LoginWindowTest, PasswordResetShowsTheNoticeAfterTheMessage)
{
    web.answer("loginCheck", 0, "repsd");
    CLoginDlg dlg(context, QString(), QString());
    dlg.show();
    attempt(dlg, QStringLiteral("bob"), QStringLiteral("pw"));
    EXPECT_EQ(dlg.messageText(), "登录失败，用户名或密码错误！");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "confirm");
    EXPECT_EQ(dialogs.shown[0].text, QString::fromUtf8(login_text::kPasswordReset));
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(LoginWindowTest, ASilentServiceNeverFreezesTheWindow)
{
    web.hold();
    web.answer("loginCheck", 0, "false");
    CLoginDlg dlg(context, QStringLiteral("bob"), QStringLiteral("pw"));
    dlg.show();
    QSignalSpy ended(&dlg, &CLoginDlg::attemptEnded);
    QSignalSpy started(&dlg, &CLoginDlg::credentialsTyped); // sent as each login starts
    press(dlg, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return web.waiting() == 1; }));
    // The window answers while the worker waits: the busy animation runs
    // in place of the button, and a second Enter starts nothing.
    EXPECT_TRUE(dlg.loginRunning());
    EXPECT_FALSE(button(dlg, "login")->isVisible());
    EXPECT_TRUE(dlg.findChild<ui::BusyIndicator*>()->isAnimating());
    press(dlg, Qt::Key_Return);
    EXPECT_EQ(started.count(), 1);
    web.release();
    ASSERT_TRUE(waitFor([&] { return ended.count() == 1; }));
    EXPECT_EQ(web.urls().size(), 1u);
    EXPECT_EQ(dlg.messageText(), "登录失败，用户名或密码错误！");
}

TEST_F(LoginWindowTest, AWindowClosedDuringALoginDropsTheLateAnswer)
{
    // The main window lends its workers to the login windows it opens, so
    // closing one never waits for the service.
    ui::Workers workers;
    context.workers = &workers;
    web.hold();
    web.answer("loginCheck", 0, "false");
    auto* dlg = new CLoginDlg(context, QStringLiteral("bob"), QStringLiteral("pw"));
    QPointer<CLoginDlg> watch(dlg);
    dlg->show();
    dlg->RunLogin();
    ASSERT_TRUE(waitFor([&] { return web.waiting() == 1; }));
    delete dlg;
    EXPECT_EQ(workers.pending(), 1u);
    web.release();
    // The result has been handed back with nobody to take it: a delivery to
    // the deleted window would have been a use after free (the sanitizer
    // build stops there).
    ASSERT_TRUE(waitFor([&] { return workers.pending() == 0; }));
    EXPECT_TRUE(watch.isNull());
    EXPECT_EQ(web.urls().size(), 1u);
    context.workers = nullptr;
}

TEST_F(LoginWindowTest, WindowButtonsAndKeys)
{
    {
        CLoginDlg dlg(context, QString(), QString());
        dlg.show();
        press(dlg, Qt::Key_Escape);
        EXPECT_TRUE(dlg.isVisible()); // swallowed
        button(dlg, "close")->click();
        EXPECT_EQ(dlg.result(), CLoginDlg::kResultExit);
    }
    {
        CLoginDlg dlg(context, QString(), QString());
        dlg.show();
        dlg.userField()->setText(QStringLiteral("typed"));
        dlg.passwordField()->setText(QStringLiteral("pw"));
        QSignalSpy typed(&dlg, &CLoginDlg::credentialsTyped);
        button(dlg, "minimise")->click();
        EXPECT_EQ(dlg.result(), CLoginDlg::kResultToTray);
        ASSERT_EQ(typed.count(), 1);
        EXPECT_EQ(typed[0][0].toString(), "typed");
        EXPECT_EQ(typed[0][1].toString(), "pw");
    }
    {
        CLoginDlg dlg(context, QString(), QString());
        dlg.show();
        dlg.close(); // the window manager's close
        EXPECT_EQ(dlg.result(), CLoginDlg::kResultExit);
    }
}

TEST_F(LoginWindowTest, LinksOpenTheServicePages)
{
    CLoginDlg dlg(context, QString(), QString());
    dlg.show();
    for (const char* name : {"register", "forgot"}) {
        auto* link = dlg.findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_NE(link, nullptr);
        QTest::mouseClick(link, Qt::LeftButton);
    }
    EXPECT_THAT(opened, ElementsAre("http://127.0.0.1:18080/speed/page/RegisterG.jsp",
                                    "http://127.0.0.1:18080/speed/page/ForgetPsd.jsp"));
}

// --- score notice ---------------------------------------------------------------

TEST(ScoreNoticeTest, LinesFollowTheClockAndTheStoredDate)
{
    EXPECT_EQ(ScoreNotice::greeting(0), "尊敬的Quorvane用户，上午好!");
    EXPECT_EQ(ScoreNotice::greeting(11), "尊敬的Quorvane用户，上午好!");
    EXPECT_EQ(ScoreNotice::greeting(12), "尊敬的Quorvane用户，下午好!");
    EXPECT_EQ(ScoreNotice::lastLogin("2013-05-06 09\\:41\\:07"), "上次登录：2013-05-06 09:41:07");
    EXPECT_EQ(ScoreNotice::lastLogin("2013-05-06 09:41:07"), "上次登录：2013-05-06 09:41:07");
    EXPECT_EQ(ScoreNotice::lastLogin(""), "上次登录：您是第一次登录");
    EXPECT_EQ(ScoreNotice::lastLogin("null"), "上次登录：您是第一次登录");

    const QStringList lines = ScoreNotice::lines(9, "10086", "小明", {"300", "200", "100"}, "");
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines[1], "用户ID：  10086");
    EXPECT_EQ(lines[2], "昵称：  小明");
    EXPECT_EQ(lines[3], "总积分：300 \n    带宽测速积分：200 \n    用户体验积分：100");
}

class ScoreWindowTest : public testing::ShellTest
{
};

TEST_F(ScoreWindowTest, StaysSixSecondsThenSlidesAwayAndCloses)
{
    auto timers = std::make_unique<testing::ManualTimers>();
    testing::ManualTimers* clock = timers.get();
    int opened = 0;
    QPointer<CScoreMsgDlg> dlg = new CScoreMsgDlg(
        ScoreNotice::lines(15, "1", "n", {"1", "2", "3"}, ""), [&] { ++opened; }, std::move(timers));
    dlg->present();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect start = dlg->geometry();
    EXPECT_EQ(start.bottomRight(), area.bottomRight());
    EXPECT_TRUE(dlg->windowFlags() & Qt::WindowStaysOnTopHint);

    dlg->findChild<QAbstractButton*>(QStringLiteral("viewScore"))->click();
    EXPECT_EQ(opened, 1);

    clock->advance(5999);
    EXPECT_EQ(dlg->geometry(), start);
    clock->advance(1 + 55);
    EXPECT_EQ(dlg->geometry().top(), start.top() + 20);
    EXPECT_EQ(dlg->geometry().height(), start.height() - 20);
    EXPECT_EQ(dlg->geometry().bottom(), start.bottom());

    const int steps = (start.height() + 19) / 20;
    clock->advance(55LL * steps);
    EXPECT_FALSE(dlg->isVisible());
    ASSERT_TRUE(waitFor([&] { return dlg.isNull(); })); // it deletes itself
}

} // namespace
} // namespace quorvane
