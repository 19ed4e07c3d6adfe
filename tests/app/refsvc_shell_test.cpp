// The shell against the reference service on loopback: real requests, real
// answers, real failures; and the whole program handing a second start over.
#include "app/shell/login_dlg.h"
#include "app/shell/main_dlg.h"
#include "app/shell/program_context.h"
#include "app/shell_fixture.h"
#include "common/cipher.h"
#include "net/http_request.h"
#include "platform/test_support.h"
#include "support/manual_timers.h"
#include "ui/tray_presence.h"

#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>

#include <gmock/gmock.h>

namespace quorvane
{
namespace
{

using ::testing::HasSubstr;
using testing::waitFor;

constexpr const char* kServiceProgram = QUORVANE_OUT_DIR "/quorvane-refsvc";

// The reference service on a loopback port of its own choosing (or the one
// given), stopped with the test.
class RefService
{
public:
    explicit RefService(const std::string& web = "127.0.0.1:0", std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"--quiet", "--web", web, "--update", "none", "--test-server", "none"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_child = std::make_unique<test::Child>(kServiceProgram, args, std::filesystem::temp_directory_path());
        if (!m_child->waitForOutput(" ready ", 30000))
            return;
        const std::string& out = m_child->output();
        const auto at = out.find("ready web=");
        const auto colon = out.find(':', at);
        if (at != std::string::npos && colon != std::string::npos)
            m_port = std::atoi(out.c_str() + colon + 1);
    }

    int port() const { return m_port; }
    std::string output() const { return m_child ? m_child->output() : std::string(); }
    void stop() { m_child.reset(); }

    bool control(const std::string& path)
    {
        std::string answer;
        return HttpRequest("POST", "http://127.0.0.1:" + std::to_string(m_port) + "/__control/" + path, "", answer) ==
               0;
    }
    // A counter of the service's stats ("login_requests"); -1 when unknown.
    long long counter(const std::string& name)
    {
        std::string stats;
        if (HttpRequest("GET", "http://127.0.0.1:" + std::to_string(m_port) + "/__control/stats", "", stats) != 0)
            return -1;
        const auto at = stats.find("\n" + name + "=");
        return at == std::string::npos ? -1 : std::atoll(stats.c_str() + at + name.size() + 2);
    }

private:
    std::unique_ptr<test::Child> m_child;
    int m_port = 0;
};

class RefsvcShellTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        context.http = [](const std::string& verb, const std::string& url, const std::string& body,
                          std::string& response) { return HttpRequest(verb, url, body, response); };
        ASSERT_GT(service.port(), 0) << "the reference service did not start";
        pointAt(service.port());
    }

    void pointAt(int port)
    {
        writeProps("config.properties", {{"login_window_show", "false"},
                                         {"update_server_url", encryptValue("127.0.0.1", kValueKey)},
                                         {"web_project_port", std::to_string(port)},
                                         {"web_project_name", "qvweb"},
                                         {"login_servlet", "loginCheck"},
                                         {"s_coru_e", "scoreQuery"},
                                         {"view_ui", "portalPage"},
                                         {"view_ui_k", "portalKey"},
                                         {"manual", "0"}});
    }

    void storeLogin(const char* autoFlag, const std::string& user, const std::string& pass,
                    const std::string& userId = "")
    {
        writeProps("l_c_config_01.properties", {{"username", encryptValue(user, kValueKey)},
                                                {"userpass", encryptValue(pass, kValueKey)},
                                                {"uname", ""},
                                                {"userid", userId},
                                                {"rem", "0"},
                                                {"auto", autoFlag},
                                                {"pre_date", ""}});
    }

    // Types into the login window and waits (bounded) for the answer.
    void attempt(CLoginDlg& dlg, const QString& user, const QString& pass, int timeoutMs = 10000)
    {
        dlg.userField()->setText(user);
        dlg.passwordField()->setText(pass);
        QSignalSpy ended(&dlg, &CLoginDlg::attemptEnded);
        dlg.RunLogin();
        ASSERT_TRUE(waitFor([&] { return ended.count() > 0; }, timeoutMs));
    }

    RefService service;
};

TEST_F(RefsvcShellTest, LoginWindowMeetsEveryAnswerOfTheService)
{
    storeLogin("0", "", "");
    CLoginDlg dlg(context, QString(), QString());
    dlg.show();

    attempt(dlg, QStringLiteral("demo"), QStringLiteral("wrong"));
    EXPECT_EQ(dlg.messageText(), "登录失败，用户名或密码错误！");

    ASSERT_TRUE(service.control("login-mode?mode=repsd"));
    attempt(dlg, QStringLiteral("demo"), QStringLiteral("demo123"));
    EXPECT_EQ(dlg.messageText(), "登录失败，用户名或密码错误！");
    ASSERT_EQ(dialogs.texts("confirm").size(), 1u);
    EXPECT_THAT(dialogs.texts("confirm")[0].toStdString(), HasSubstr("735119"));

    ASSERT_TRUE(service.control("login-mode?mode=garbage"));
    attempt(dlg, QStringLiteral("demo"), QStringLiteral("demo123"));
    EXPECT_EQ(dlg.messageText(), "网络异常或服务器无响应！");

    attempt(dlg, QString(), QStringLiteral("demo123"));
    EXPECT_EQ(dlg.messageText(), "用户名不能为空！");

    ASSERT_TRUE(service.control("login-mode?mode=normal"));
    attempt(dlg, QStringLiteral("demo"), QStringLiteral("demo123"));
    EXPECT_EQ(dlg.result(), CLoginDlg::kResultLoggedIn);
    const UserSession s = session.get();
    EXPECT_EQ(s.userId, "10001");
    EXPECT_EQ(s.nickname, "测速达人");
    EXPECT_EQ(s.ip, "127.0.0.1");
    EXPECT_EQ(s.location1, "广东省深圳市");
    EXPECT_EQ(s.location2, "电信");
    EXPECT_EQ(database.scores().total, "1280");
    EXPECT_EQ(database.scores().bandwidth, "960");
    EXPECT_EQ(prop("l_c_config_01.properties", "userid"), "10001");
    EXPECT_EQ(decryptValue(prop("l_c_config_01.properties", "username"), kValueKey), "demo");
    EXPECT_THAT(prop("l_c_config_01.properties", "pre_date"), HasSubstr("\\:"));
}

TEST_F(RefsvcShellTest, AServiceThatIsGoneOrLateLeavesTheWindowUsable)
{
    CLoginDlg dlg(context, QString(), QString());
    dlg.show();
    ASSERT_TRUE(service.control("login-mode?mode=delay"));
    dlg.userField()->setText(QStringLiteral("demo"));
    dlg.passwordField()->setText(QStringLiteral("demo123"));
    QSignalSpy ended(&dlg, &CLoginDlg::attemptEnded);
    dlg.RunLogin();
    // The service holds the login (40 s): while it does, the window waits
    // and still paints.
    ASSERT_TRUE(waitFor([&] { return service.counter("login_requests") == 1; }));
    EXPECT_TRUE(dlg.loginRunning());
    EXPECT_FALSE(dlg.grab().isNull());
    ASSERT_TRUE(waitFor([&] { return ended.count() == 1; }, 60000)) << "the request never timed out";
    EXPECT_EQ(dlg.messageText(), "网络异常或服务器无响应！");

    service.stop();
    attempt(dlg, QStringLiteral("demo"), QStringLiteral("demo123"));
    EXPECT_EQ(dlg.messageText(), "网络异常或服务器无响应！");
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(RefsvcShellTest, StartWithTheLoginWindowEndsWithTheScoreNotice)
{
    storeLogin("0", "", "");
    dialogs.logins.push_back([this](CLoginDlg& d) {
        attempt(d, QStringLiteral("demo"), QStringLiteral("demo123"));
        return d.result();
    });
    CQuorvaneDlg w(context, {}, std::make_unique<testing::ManualTimers>());
    w.OnInitDialog();
    ASSERT_TRUE(w.loggedIn());
    ASSERT_TRUE(waitFor([&] { return w.scoreWindow() != nullptr; }));
    EXPECT_EQ(w.scoreWindow()->findChild<QLabel*>(QStringLiteral("line1"))->text(), "用户ID：  10001");
    EXPECT_THAT(w.scoreWindow()->findChild<QLabel*>(QStringLiteral("line3"))->text().toStdString(),
                HasSubstr("总积分：1280"));
    EXPECT_EQ(w.trayIcon(), 128);
}

TEST_F(RefsvcShellTest, SilentLoginKeepsTryingUntilTheServiceIsBack)
{
    storeLogin("1", "demo", "demo123", "10001"); // as an earlier login left it
    const int port = service.port();
    service.stop();
    auto owned = std::make_unique<testing::ManualTimers>();
    testing::ManualTimers* timers = owned.get();
    CQuorvaneDlg w(context, {}, std::move(owned));
    w.OnInitDialog();
    EXPECT_FALSE(w.loggedIn());
    EXPECT_EQ(w.trayIcon(), 161);

    QSignalSpy tries(&w, &CQuorvaneDlg::autoLoginFinished);
    timers->advance(5000);
    ASSERT_TRUE(waitFor([&] { return tries.count() == 1; }, 20000));
    EXPECT_FALSE(w.loggedIn());

    RefService back("127.0.0.1:" + std::to_string(port));
    ASSERT_EQ(back.port(), port) << back.output();
    timers->advance(5000);
    ASSERT_TRUE(waitFor([&] { return tries.count() == 2; }, 20000));
    EXPECT_TRUE(w.loggedIn());
    EXPECT_FALSE(timers->isActive(msg::TIMER_AUTO_LOGIN));
    EXPECT_EQ(w.trayIcon(), 128);
    ASSERT_TRUE(waitFor([&] { return w.scoreWindow() != nullptr; }));
    EXPECT_EQ(database.scores().total, "1280");
}

TEST_F(RefsvcShellTest, ALateSilentLoginNeverLandsInTheLoginWindowTheUserOpened)
{
    // The service answers the silent login slowly; meanwhile the user opens
    // the login window from the tray. Whatever the late answer says, the
    // window decides: no score notice over it, no logged-in state behind
    // it, no tray icon back while it is open, and its "true" stays written.
    struct Case {
        const char* storedPassword;
        const char* lateAnswer;
    };
    for (const Case& c : {Case{"demo123", "success"}, Case{"wrong", "refusal"}}) {
        SCOPED_TRACE(c.lateAnswer);
        storeLogin("1", "demo", c.storedPassword, "10001");
        ASSERT_TRUE(service.control("login-mode?mode=false"));
        auto owned = std::make_unique<testing::ManualTimers>();
        testing::ManualTimers* timers = owned.get();
        CQuorvaneDlg w(context, {}, std::move(owned));
        w.OnInitDialog();
        ASSERT_FALSE(w.loggedIn());
        ASSERT_TRUE(timers->isActive(msg::TIMER_AUTO_LOGIN));

        ASSERT_TRUE(service.control("login-mode?mode=delay:1000"));
        QSignalSpy dropped(&w, &CQuorvaneDlg::autoLoginDropped);
        QSignalSpy applied(&w, &CQuorvaneDlg::autoLoginFinished);
        struct Seen {
            bool scoreNotice, loggedIn, trayAdded;
            std::string flag;
        } seen{};
        dialogs.logins.push_back([&](CLoginDlg& d) {
            EXPECT_TRUE(waitFor([&] { return dropped.count() == 1; }, 30000)) << "the late answer never came";
            QCoreApplication::processEvents(); // anything it might have posted
            seen = {w.scoreWindow() != nullptr, w.loggedIn(), w.tray().isAdded(),
                    prop("config.properties", "login_window_show")};
            d.findChild<QAbstractButton*>(QStringLiteral("minimise"))->click();
            return d.result();
        });
        timers->advance(5000); // the silent login asks, and the service takes its time
        w.OnTrayNotify(msg::kTrayIconId, ui::kTrayDoubleClick);

        EXPECT_EQ(applied.count(), 0);
        EXPECT_FALSE(seen.scoreNotice);
        EXPECT_FALSE(seen.loggedIn);
        EXPECT_FALSE(seen.trayAdded);
        EXPECT_EQ(seen.flag, "true");
        // Minimised to the tray: logged out, as the window said.
        EXPECT_FALSE(w.loggedIn());
        EXPECT_EQ(w.trayIcon(), 161);
        EXPECT_EQ(w.scoreWindow(), nullptr);
        EXPECT_EQ(prop("config.properties", "login_window_show"), "false");
    }
}

TEST_F(RefsvcShellTest, LogOffStartsTheInstalledUpdaterWithLogoff)
{
    storeLogin("1", "demo", "demo123");
    test::installProgram(FAKE_PROGRAM, m_dir / "Update");
    ShellContext real = programContext(m_dir, session, database, dialogs);
    real.endProcess = context.endProcess;
    real.trayAvailable = [] { return false; };
    CQuorvaneDlg w(real, {}, std::make_unique<testing::ManualTimers>());
    w.OnInitDialog();
    ASSERT_TRUE(w.loggedIn());
    w.OnLogoff();
    ASSERT_TRUE(test::waitUntil([&] { return !test::loggedPids(m_dir).empty(); }, 20000));
    const std::string log = test::readFile(m_dir / "fake_program.log");
    for (long pid : test::loggedPids(m_dir))
        test::killIfNamed(pid, "Update");
    EXPECT_THAT(log, ::testing::MatchesRegex("[0-9]+ logoff\n"));
    EXPECT_TRUE(dialogs.texts("message").empty());
}

// --- the whole program ---------------------------------------------------------------

class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_GT(service.port(), 0);
        std::filesystem::create_directories(inst());
        std::filesystem::copy(QUORVANE_OUT_DIR "/conf", inst() / "conf", std::filesystem::copy_options::recursive);
        std::filesystem::copy(QUORVANE_OUT_DIR "/Config", inst() / "Config", std::filesystem::copy_options::recursive);
        test::installProgram(QUORVANE_OUT_DIR "/Quorvane", inst() / "Quorvane");
        std::filesystem::create_directories(root / "run");
        std::filesystem::permissions(root / "run", std::filesystem::perms::owner_all);
        test::writeFile(
            inst() / "conf" / "config.properties",
            "#user config\r\nlogin_window_show=false\r\nupdate_server_url=" + encryptValue("127.0.0.1", kValueKey) +
                "\r\nweb_project_port=" + std::to_string(service.port()) +
                "\r\nweb_project_name=qvweb\r\nlogin_servlet=loginCheck\r\ns_coru_e=scoreQuery\r\n"
                "view_ui=portalPage\r\nview_ui_k=portalKey\r\nmanual=0\r\n");
    }

    std::filesystem::path inst() const { return root / "inst"; }

    void storeLogin(const char* autoFlag)
    {
        // The demo user has seen the bandwidth hint already.
        std::string settings = test::readFile(inst() / "Config" / "settings.xml");
        const auto at = settings.find("<IsBool>true</IsBool>");
        ASSERT_NE(at, std::string::npos);
        settings.replace(at, 21, "<IsBool>false</IsBool>");
        test::writeFile(inst() / "Config" / "settings10001.xml", settings);
        test::writeFile(inst() / "conf" / "l_c_config_01.properties",
                        "#user config\r\nusername=" + encryptValue("demo", kValueKey) +
                            "\r\nuserpass=" + encryptValue("demo123", kValueKey) +
                            "\r\nuname=\r\nuserid=10001\r\nrem=0\r\nauto=" + autoFlag + "\r\npre_date=\r\n");
    }

    std::unique_ptr<test::Child> start()
    {
        return std::make_unique<test::Child>(inst() / "Quorvane", std::vector<std::string>{}, root.path(),
                                             std::map<std::string, std::string>{
                                                 {"XDG_RUNTIME_DIR", (root / "run").string()},
                                                 {"XDG_CONFIG_HOME", (root / "cfg").string()},
                                                 {"QT_QPA_PLATFORM", "offscreen"},
                                                 {"ASAN_OPTIONS", "detect_leaks=0"},
                                             });
    }

    RefService service;
    test::TempDir root;
};

constexpr int kProgramMs = 60000;

TEST_F(ProgramTest, ASecondStartOpensTheMainWindowOfTheFirstInTheTray)
{
    storeLogin("1");
    auto first = start();
    ASSERT_TRUE(first->waitForOutput("score notice shown", kProgramMs)) << first->output();
    EXPECT_EQ(first->output().find("main window shown"), std::string::npos);
    auto second = start();
    EXPECT_EQ(second->waitForExit(kProgramMs), 0);
    EXPECT_TRUE(first->waitForOutput("main window shown", kProgramMs)) << first->output();
}

TEST_F(ProgramTest, ASecondStartRaisesTheLoginWindowOfTheFirst)
{
    storeLogin("0");
    auto first = start();
    ASSERT_TRUE(first->waitForOutput("login window shown", kProgramMs)) << first->output();
    auto second = start();
    EXPECT_EQ(second->waitForExit(kProgramMs), 0);
    EXPECT_TRUE(first->waitForOutput("CLoginDlg brought to the front", kProgramMs)) << first->output();
    EXPECT_EQ(first->output().find("activation: post"), std::string::npos) << first->output();
}

} // namespace
} // namespace quorvane
