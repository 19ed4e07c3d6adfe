#pragma once
// Logging in to the service's web project, the score query and the addresses
// of the service's pages, without any window: the login window, the main
// window and quorvane-cli all drive this class.
//
// Every request is a GET through the injected HTTP function, so tests answer
// with canned texts. Configuration is read afresh from conf/ under the
// working directory (the program directory) for every request.
//
// Thread-safety: one LoginService may be used from one thread at a time; the
// login window runs it on its worker thread. The SessionStore and CDataBase
// it fills are thread-safe.
#include "app/login/session.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane
{

// Same contract as HttpRequest: 0 answered, 1 failure, 2 time-out.
using HttpFunction =
    std::function<int(const std::string& verb, const std::string& url, const std::string& body, std::string& response)>;

namespace login_text
{
inline constexpr const char* kEmptyName = "用户名不能为空！";
inline constexpr const char* kEmptyPassword = "密码不能为空！";
inline constexpr const char* kRejected = "登录失败，用户名或密码错误！";
inline constexpr const char* kPasswordReset =
    "由于系统故障，您的密码已被重置为“735119”，请您登录网站修改密码！\n\n为此给您带来的不便，我们深表歉意！";
inline constexpr const char* kNoAnswer = "网络异常或服务器无响应！";
inline constexpr const char* kServerSilent = "服务器无响应！";
inline constexpr const char* kMaintenance = "服务器正在维护，请稍后重试！\n\n    给您带来不便请谅解。。。";
inline constexpr const char* kNoConnection = "无法与服务器通信,请检查网络！";
} // namespace login_text

// Where the web project is, read from conf/config.properties with the region
// suffix of conf/user_conf.properties.
struct WebProject {
    std::string regionSuffix;
    std::string host; // deciphered
    std::string port;
    std::string context;
    std::string loginServlet;
    std::string scoreServlet;
    std::string keyServlet;
    std::string pageServlet;

    static WebProject read();
    std::string base() const; // "http://host:port"
};

enum class LoginAnswer { Success, Rejected, PasswordReset, NoAnswer };

// Classifies a login answer by the words it contains ("true" wins over
// "false", "false" over "repsd").
LoginAnswer classifyLoginAnswer(std::string_view answer);

// The fields of a successful answer "true-<id>-<nickname>-<ip>-<loc1> <loc2>".
// Missing fields come back empty; control characters are dropped and each
// field is cut to a sane length, so nothing the service sends can add lines
// to a property file.
UserSession parseLoginAnswer(std::string_view answer);

// The three comma-terminated score values. False when the answer holds no
// comma at all (then it is not a score answer).
bool parseScoreAnswer(std::string_view answer, ScoreValues& out);

// The password digest the service checks: MD5 of the password's GBK bytes.
std::string passwordDigest(const std::string& passwordUtf8);

// The user name as it goes into a query: GBK bytes, plain ASCII unchanged
// except for the few characters that would end or change the query value.
std::string queryEscapeName(const std::string& nameUtf8);

class LoginService
{
public:
    enum class Outcome {
        LoggedIn,
        EmptyName,
        EmptyPassword,
        Rejected,
        PasswordReset, // Rejected, and the reset notice must be shown
        NoAnswer,
        Failed, // something threw on the way
    };
    struct Result {
        Outcome outcome = Outcome::NoAnswer;
        std::string message; // the text for the login window's message line
        UserSession session;
    };

    enum class AutoOutcome { LoggedIn, Rejected, NoAnswer };

    // What one silent login found out, before anything is applied.
    struct AutoAttempt {
        AutoOutcome outcome = AutoOutcome::NoAnswer;
        std::optional<std::string> regionSuffix; // set once the request was made
        UserSession session;                     // on success
        std::optional<ScoreValues> scores;       // on success, when the score query answered
    };

    struct PortalPage {
        std::string url;     // to open in the browser; empty when none
        std::string message; // the message box text when there is no url
    };

    LoginService(HttpFunction http, SessionStore& session, CDataBase& database);

    // The interactive login with typed credentials. On success the session
    // is filled, the stored credentials and pre_date are written and the
    // score is queried. Never throws.
    Result runLogin(const std::string& userName, const std::string& password);

    // The silent login with the stored credentials: login_window_show
    // becomes "false", then attemptAutoLogin() and applyAutoLogin(). On
    // success the session and scores are filled; nothing is written to the
    // credentials file. Never throws.
    AutoOutcome autoLogin();

    // The silent login's requests alone. Writes no file and no shared value,
    // so a caller may drop a result that comes too late. Never throws.
    AutoAttempt attemptAutoLogin();
    // Applies an attempt: the region suffix once the request was made, and
    // on success the session and the scores.
    void applyAutoLogin(const AutoAttempt& attempt);

    // 1 with the three values on success, 0 otherwise (out untouched).
    int queryScore(ScoreValues& out);

    PortalPage portalPage(const std::string& pageType);
    std::string registerPageUrl() const;
    std::string forgotPasswordPageUrl() const;

private:
    Result login(const std::string& userName, const std::string& password);
    bool request(const std::string& url, std::string& answer);

    HttpFunction m_http;
    SessionStore& m_session;
    CDataBase& m_database;
};

// The stored credentials of conf/l_c_config_01.properties, deciphered
// ("" when a value is missing or does not decipher).
struct StoredCredentials {
    std::string userName;
    std::string password;
    static StoredCredentials read();
};

} // namespace quorvane
