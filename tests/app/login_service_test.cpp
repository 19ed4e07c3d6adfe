#include "app/login/login_service.h"

#include "app/conf_fixture.h"
#include "app/fake_web.h"
#include "common/codepage.h"
#include "common/md5.h"

#include <gmock/gmock.h>

namespace quorvane
{
namespace
{

using ::testing::ElementsAre;
using testing::FakeWeb;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(LoginAnswerTest, WordsDecideInTheirOrder)
{
    EXPECT_EQ(classifyLoginAnswer("true-1-a-b-c d"), LoginAnswer::Success);
    EXPECT_EQ(classifyLoginAnswer("false...true"), LoginAnswer::Success);
    EXPECT_EQ(classifyLoginAnswer("false"), LoginAnswer::Rejected);
    EXPECT_EQ(classifyLoginAnswer("repsd false"), LoginAnswer::Rejected);
    EXPECT_EQ(classifyLoginAnswer("repsd"), LoginAnswer::PasswordReset);
    EXPECT_EQ(classifyLoginAnswer(""), LoginAnswer::NoAnswer);
    EXPECT_EQ(classifyLoginAnswer(std::string("\x00\xff\xfe tru", 7)), LoginAnswer::NoAnswer);
    EXPECT_EQ(classifyLoginAnswer("<html>Service Unavailable</html>"), LoginAnswer::NoAnswer);
}

TEST(LoginAnswerTest, FieldsBetweenSeparators)
{
    UserSession s = parseLoginAnswer("true-10086-小明-10.1.2.3-广东 深圳-ignored-more");
    EXPECT_EQ(s.userId, "10086");
    EXPECT_EQ(s.nickname, "小明");
    EXPECT_EQ(s.ip, "10.1.2.3");
    EXPECT_EQ(s.location1, "广东");
    EXPECT_EQ(s.location2, "深圳");

    // No blank after the fourth separator: no location at all.
    s = parseLoginAnswer("true-5-bob-1.2.3.4-nowhere");
    EXPECT_EQ(s.ip, "1.2.3.4");
    EXPECT_EQ(s.location1, "");
    EXPECT_EQ(s.location2, "");

    // The blank may lie beyond the next separator; the first location then
    // runs across it.
    s = parseLoginAnswer("true-5-bob-1.2.3.4-a-b c");
    EXPECT_EQ(s.location1, "a-b");
    EXPECT_EQ(s.location2, "c");
}

TEST(LoginAnswerTest, ShortAndHostileAnswersNeverOverrun)
{
    EXPECT_EQ(parseLoginAnswer("true").userId, "");
    EXPECT_EQ(parseLoginAnswer("true-").userId, "");
    UserSession s = parseLoginAnswer("true-42");
    EXPECT_EQ(s.userId, "42");
    EXPECT_EQ(s.nickname, "");
    s = parseLoginAnswer("true-42-nick");
    EXPECT_EQ(s.nickname, "nick");
    EXPECT_EQ(s.ip, "");

    // Line breaks in a field would add keys to the credentials file.
    s = parseLoginAnswer("true-42-evil\r\nauto=1-1.1.1.1-x y");
    EXPECT_EQ(s.nickname, "evilauto=1");

    // A huge answer is cut per field, never split inside a character.
    const std::string huge = "true-" + std::string(1 << 20, '9') + "-" + std::string(3000, '\xe5');
    s = parseLoginAnswer(huge);
    EXPECT_LE(s.userId.size(), 128u);
    EXPECT_LE(s.nickname.size(), 128u * 3);
    EXPECT_TRUE(isValidUtf8(s.nickname));
}

TEST(ScoreAnswerTest, CommaTerminatedValues)
{
    ScoreValues v;
    ASSERT_TRUE(parseScoreAnswer("120,80,40,", v));
    EXPECT_EQ(v.total, "120");
    EXPECT_EQ(v.bandwidth, "80");
    EXPECT_EQ(v.experience, "40");

    ASSERT_TRUE(parseScoreAnswer("120,80,40\r\n", v)); // last comma missing
    EXPECT_EQ(v.experience, "40");

    ASSERT_TRUE(parseScoreAnswer("9,", v));
    EXPECT_EQ(v.total, "9");
    EXPECT_EQ(v.bandwidth, "");
    EXPECT_EQ(v.experience, "");

    ScoreValues kept{"1", "2", "3"};
    EXPECT_FALSE(parseScoreAnswer("no score here", kept));
    EXPECT_FALSE(parseScoreAnswer("", kept));
    EXPECT_EQ(kept.total, "1");
}

TEST(LoginEscapeTest, PlainNamesUnchangedOthersCannotBreakTheQuery)
{
    EXPECT_EQ(queryEscapeName("alice_01@example.com"), "alice_01@example.com");
    EXPECT_EQ(queryEscapeName("a&p=x#y"), "a%26p=x%23y");
    EXPECT_EQ(queryEscapeName("a b+c%"), "a%20b%2Bc%25");
    EXPECT_EQ(queryEscapeName("小明"), "%D0%A1%C3%F7"); // GBK bytes
    EXPECT_EQ(passwordDigest("secret"), md5Hex("secret"));
    EXPECT_EQ(passwordDigest("密码"), md5Hex("\xc3\xdc\xc2\xeb"));
}

class LoginServiceTest : public testing::ProgramDirTest
{
protected:
    FakeWeb web;
    SessionStore session;
    CDataBase database;
    LoginService service{web.function(), session, database};
};

TEST_F(LoginServiceTest, SuccessFillsSessionStoresCredentialsAndScores)
{
    web.answer("loginCheck", 0, "true-10086-小明-10.1.2.3-广东 深圳");
    web.answer("scoreQuery", 0, "300,200,100,");
    LoginService::Result r = service.runLogin("bob", "pw");

    EXPECT_EQ(r.outcome, LoginService::Outcome::LoggedIn);
    EXPECT_THAT(web.urls(), ElementsAre("http://127.0.0.1:18080/qvweb/loginCheck?u=bob&p=" + md5Hex("pw"),
                                        "http://127.0.0.1:18080/qvweb/scoreQuery?userid=10086"));
    EXPECT_EQ(session.get().userId, "10086");
    EXPECT_EQ(session.get().location2, "深圳");
    EXPECT_EQ(database.scores().total, "300");
    EXPECT_EQ(database.scores().experience, "100");
    EXPECT_EQ(database.regionSuffix(), "");

    EXPECT_EQ(prop("l_c_config_01.properties", "uname"), "小明");
    EXPECT_EQ(prop("l_c_config_01.properties", "userid"), "10086");
    EXPECT_EQ(decryptValue(prop("l_c_config_01.properties", "username"), kValueKey), "bob");
    EXPECT_EQ(decryptValue(prop("l_c_config_01.properties", "userpass"), kValueKey), "pw");
    EXPECT_EQ(prop("l_c_config_01.properties", "rem"), "1"); // another user than the stored alice
    const std::string stamp = prop("l_c_config_01.properties", "pre_date");
    EXPECT_NE(stamp, "2013-05-06 09\\:41\\:07");
    EXPECT_THAT(stamp, HasSubstr("\\:"));
}

TEST_F(LoginServiceTest, SameUserKeepsRemember)
{
    web.answer("loginCheck", 0, "true-1-a-1.1.1.1-x y");
    web.answer("scoreQuery", 1, "");
    database.setScores({"5", "4", "1"});
    EXPECT_EQ(service.runLogin("alice", "secret").outcome, LoginService::Outcome::LoggedIn);
    EXPECT_EQ(prop("l_c_config_01.properties", "rem"), "0");
    EXPECT_EQ(database.scores().total, "5"); // a failed score query keeps the old values
}

TEST_F(LoginServiceTest, RefusalsAndFailuresLeaveTheStoredDataAlone)
{
    struct Case {
        const char* what;
        int rc;
        std::string body;
        LoginService::Outcome outcome;
        const char* message;
    };
    const Case cases[] = {
        {"false", 0, "false", LoginService::Outcome::Rejected, login_text::kRejected},
        {"repsd", 0, "repsd", LoginService::Outcome::PasswordReset, login_text::kRejected},
        {"empty", 0, "", LoginService::Outcome::NoAnswer, login_text::kNoAnswer},
        {"binary", 0, std::string("\x01\x02\xff\x00zz", 6), LoginService::Outcome::NoAnswer, login_text::kNoAnswer},
        {"huge", 0, std::string(4 << 20, 'x'), LoginService::Outcome::NoAnswer, login_text::kNoAnswer},
        {"no id", 0, "true", LoginService::Outcome::NoAnswer, login_text::kNoAnswer},
        {"down", 1, "", LoginService::Outcome::NoAnswer, login_text::kNoAnswer},
        {"time-out", 2, "true-1-late-1.1.1.1-a b", LoginService::Outcome::NoAnswer, login_text::kNoAnswer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        web.answer("loginCheck", c.rc, c.body);
        const LoginService::Result r = service.runLogin("bob", "pw");
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.message, c.message);
        EXPECT_EQ(session.get().userId, "");
        EXPECT_EQ(prop("l_c_config_01.properties", "userid"), "7");
        EXPECT_EQ(prop("l_c_config_01.properties", "pre_date"), "2013-05-06 09\\:41\\:07");
    }
    web.throwOn("loginCheck");
    const LoginService::Result r = service.runLogin("bob", "pw");
    EXPECT_EQ(r.outcome, LoginService::Outcome::Failed);
    EXPECT_EQ(r.message, login_text::kServerSilent);
}

TEST_F(LoginServiceTest, EmptyFieldsAreRefusedWithoutARequest)
{
    EXPECT_EQ(service.runLogin("", "pw").message, login_text::kEmptyName);
    EXPECT_EQ(service.runLogin("", "").message, login_text::kEmptyName);
    EXPECT_EQ(service.runLogin("bob", "").message, login_text::kEmptyPassword);
    EXPECT_TRUE(web.urls().empty());
}

TEST_F(LoginServiceTest, RegionSuffixSelectsHostAndPort)
{
    writeProps("user_conf.properties", {{"geography_id", "gd"}});
    web.answer("loginCheck", 0, "false");
    service.runLogin("bob", "pw");
    ASSERT_EQ(web.urls().size(), 1u);
    EXPECT_THAT(web.urls()[0], HasSubstr("http://127.0.0.9:18099/qvweb/loginCheck?"));
    EXPECT_EQ(database.regionSuffix(), "gd");

    // Without the key the suffix is "null" and no "_null" keys exist: the
    // request has no host and fails like an unreachable service.
    writeProps("user_conf.properties", {});
    const LoginService::Result r = service.runLogin("bob", "pw");
    EXPECT_EQ(database.regionSuffix(), "null");
    EXPECT_THAT(web.urls().back(), HasSubstr("http://:null/"));
    EXPECT_EQ(r.message, login_text::kNoAnswer);
}

TEST_F(LoginServiceTest, AutoLoginUsesStoredCredentialsAndWritesNothing)
{
    writeProps("config.properties", {{"login_window_show", "true"},
                                     {"update_server_url", encryptValue("127.0.0.1", kValueKey)},
                                     {"web_project_port", "18080"},
                                     {"web_project_name", "qvweb"},
                                     {"login_servlet", "loginCheck"},
                                     {"s_coru_e", "scoreQuery"}});
    web.answer("loginCheck", 0, "true-7-老王-1.1.1.1-a b");
    web.answer("scoreQuery", 0, "1,2,3,");
    EXPECT_EQ(service.autoLogin(), LoginService::AutoOutcome::LoggedIn);
    EXPECT_EQ(web.urls().at(0), "http://127.0.0.1:18080/qvweb/loginCheck?u=alice&p=" + md5Hex("secret"));
    EXPECT_EQ(session.get().nickname, "老王");
    EXPECT_EQ(database.scores().bandwidth, "2");
    EXPECT_EQ(prop("config.properties", "login_window_show"), "false");
    EXPECT_EQ(prop("l_c_config_01.properties", "uname"), "old");
    EXPECT_EQ(prop("l_c_config_01.properties", "pre_date"), "2013-05-06 09\\:41\\:07");

    web.answer("loginCheck", 0, "false");
    EXPECT_EQ(service.autoLogin(), LoginService::AutoOutcome::Rejected);
    web.answer("loginCheck", 0, "repsd");
    EXPECT_EQ(service.autoLogin(), LoginService::AutoOutcome::NoAnswer);
    web.answer("loginCheck", 2, "");
    EXPECT_EQ(service.autoLogin(), LoginService::AutoOutcome::NoAnswer);
    web.throwOn("loginCheck");
    EXPECT_EQ(service.autoLogin(), LoginService::AutoOutcome::NoAnswer);
}

TEST_F(LoginServiceTest, UndecipherableStoredCredentialsAreNotSent)
{
    writeProps("l_c_config_01.properties", {{"username", "XYZ-not-hex"}, {"userpass", "0123"}, {"auto", "1"}});
    EXPECT_EQ(service.autoLogin(), LoginService::AutoOutcome::Rejected);
    EXPECT_TRUE(web.urls().empty());
    const StoredCredentials c = StoredCredentials::read();
    EXPECT_EQ(c.userName, "");
    EXPECT_EQ(c.password, "");
}

TEST_F(LoginServiceTest, PortalPageNeedsARequestKey)
{
    web.answer("portalKey", 0, " K3Y\r\n");
    LoginService::PortalPage page = service.portalPage("score");
    EXPECT_EQ(page.url,
              "http://127.0.0.1:18080/qvweb/portalPage?u=alice&p=" + md5Hex("secret") + "&reqkey=K3Y&pagetype=score");
    EXPECT_EQ(page.message, "");

    web.answer("portalKey", 0, "");
    page = service.portalPage("bbs");
    EXPECT_EQ(page.url, "");
    EXPECT_EQ(page.message, login_text::kMaintenance);

    web.answer("portalKey", 1, "");
    page = service.portalPage("update");
    EXPECT_EQ(page.url, "");
    EXPECT_EQ(page.message, login_text::kNoConnection);

    EXPECT_EQ(service.registerPageUrl(), "http://127.0.0.1:18080/speed/page/RegisterG.jsp");
    EXPECT_EQ(service.forgotPasswordPageUrl(), "http://127.0.0.1:18080/speed/page/ForgetPsd.jsp");
    EXPECT_THAT(service.forgotPasswordPageUrl(), Not(HasSubstr("qvweb")));
}

} // namespace
} // namespace quorvane
