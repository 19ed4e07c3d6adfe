// What the test pages' base does on its own: the automatic run's frame,
// following a user who logs in later, and the connection check before a
// start.
#include "app/pages/speed_test_dlg.h"
#include "app/shell_fixture.h"

#include <QTcpServer>

#include <gtest/gtest.h>

#include <optional>

namespace quorvane::testing
{
namespace
{

class ProbePage final : public CSpeedTestDlg
{
public:
    explicit ProbePage(const ShellContext& context) : CSpeedTestDlg(context, {}, nullptr)
    {
        resize(200, 100);
        setResultBand(12, 10, 40);
        OnInitDialog();
    }
    void OnInitDialog() override
    {
        ++fills;
        m_shownFor = userKey(currentUser());
    }

    int fills = 0;
    bool busy = false;
    std::vector<std::string> events;

private:
    void takeUser(const UserSession& user) override { events.push_back("user " + user.userId); }
    int runAutomatic(bool stored, bool automatic) override
    {
        events.push_back(std::string("run ") + (stored ? "1" : "0") + (automatic ? "1" : "0"));
        return 1;
    }
    bool runActive() const override { return busy; }
};

class SpeedTestDlgTest : public ShellTest
{
protected:
    static UserSession user(const std::string& id)
    {
        UserSession u;
        u.userId = id;
        return u;
    }
};

TEST_F(SpeedTestDlgTest, AnAutomaticRunTakesTheUserLoggedInNow)
{
    session.set(user("7"));
    ProbePage page(context);
    EXPECT_EQ(page.RunAutoTest(true, true), 1);
    session.set(user("8"));
    page.RunAutoTest(false, true);
    EXPECT_EQ(page.events, (std::vector<std::string>{"user 7", "run 11", "user 8", "run 01"}));

    // Without a session the engine keeps whatever user it had.
    ShellContext alone = context;
    alone.session = nullptr;
    ProbePage lone(alone);
    lone.RunAutoTest(false, true);
    EXPECT_EQ(lone.events, (std::vector<std::string>{"run 01"}));
}

TEST_F(SpeedTestDlgTest, APageFillsAgainOnceForALaterLoginAndNeverUnderARun)
{
    struct Case {
        const char* name;
        bool otherUser;
        bool busy;
        int fillsAfter; // OnInitDialog calls after three paints, the construction's one included
    };
    const Case cases[] = {
        {"the same user", false, false, 1},
        {"a login after the page was made", true, false, 2},
        {"a login while a run goes", true, true, 1},
    };
    for (const Case& c : cases) {
        session.set(user("1"));
        ProbePage page(context);
        page.busy = c.busy;
        if (c.otherUser)
            session.set(user("2"));
        for (int i = 0; i < 3; ++i)
            page.grab();
        QCoreApplication::processEvents();
        EXPECT_EQ(page.fills, c.fillsAfter) << c.name;
    }
}

TEST_F(SpeedTestDlgTest, TheConnectionCheckAnswersOnceAndOnlyToALivingPage)
{
    QTcpServer listening;
    ASSERT_TRUE(listening.listen(QHostAddress::LocalHost));
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();

    struct Case {
        const char* name;
        QString url;
        bool reachable;
    };
    const Case cases[] = {
        {"a host that listens", QStringLiteral("http://127.0.0.1:%1/page").arg(listening.serverPort()), true},
        {"a closed port", QStringLiteral("http://127.0.0.1:%1/").arg(closedPort), false},
        {"no host at all", QStringLiteral("nonsense"), false},
    };
    for (const Case& c : cases) {
        QObject owner;
        std::vector<bool> answers;
        CheckConnection(&owner, {}, c.url.toStdString(), QUrl(c.url), [&](bool r) { answers.push_back(r); });
        ASSERT_TRUE(waitFor([&] { return !answers.empty(); }, 5000)) << c.name;
        QTest::qWait(20);
        EXPECT_EQ(answers, std::vector<bool>{c.reachable}) << c.name;
    }

    // A stand-in answers in place of the socket; after the page is gone its
    // late answer reaches nobody.
    std::function<void(bool)> pending;
    std::string asked;
    const ConnectionCheck standIn = [&](const std::string& url, std::function<void(bool)> done) {
        asked = url;
        pending = std::move(done);
    };
    int answered = 0;
    auto owner = std::make_unique<QObject>();
    CheckConnection(owner.get(), standIn, "http://video.test/", QUrl(), [&](bool) { ++answered; });
    EXPECT_EQ(asked, "http://video.test/");
    owner.reset();
    pending(true);
    EXPECT_EQ(answered, 0);
}

} // namespace
} // namespace quorvane::testing
