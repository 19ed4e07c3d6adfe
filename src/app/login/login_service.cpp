#include "app/login/login_service.h"

#include "app/login/conf_files.h"
#include "common/cipher.h"
#include "common/codepage.h"
#include "common/md5.h"
#include "common/property_file.h"
#include "common/text.h"

#include <cstdio>

namespace quorvane
{
namespace
{

// Longer fields than this are not names or addresses; cutting them keeps a
// hostile or broken answer from bloating the property files.
constexpr std::size_t kMaxFieldBytes = 128;

std::string cleanField(std::string_view raw)
{
    std::string clean;
    for (char c : sanitizeUtf8(raw)) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f)
            clean.push_back(c);
    }
    return std::string(truncateUtf8(clean, kMaxFieldBytes));
}

std::string readKey(const PropertyFile& file, const std::string& key)
{
    return file.get(key);
}

} // namespace

// --- answers --------------------------------------------------------------------

LoginAnswer classifyLoginAnswer(std::string_view answer)
{
    if (answer.find("true") != std::string_view::npos)
        return LoginAnswer::Success;
    if (answer.find("false") != std::string_view::npos)
        return LoginAnswer::Rejected;
    if (answer.find("repsd") != std::string_view::npos)
        return LoginAnswer::PasswordReset;
    return LoginAnswer::NoAnswer;
}

UserSession parseLoginAnswer(std::string_view answer)
{
    UserSession s;
    // Each field runs from one separator to the next; a missing separator
    // ends the answer there.
    auto field = [&](std::size_t from, std::size_t& next) -> std::string_view {
        if (from == std::string_view::npos || from > answer.size()) {
            next = std::string_view::npos;
            return {};
        }
        next = answer.find('-', from);
        return answer.substr(from, next == std::string_view::npos ? std::string_view::npos : next - from);
    };
    const std::size_t first = answer.find('-');
    if (first == std::string_view::npos)
        return s;
    std::size_t second, third, fourth;
    s.userId = cleanField(field(first + 1, second));
    s.nickname = cleanField(field(second == std::string_view::npos ? second : second + 1, third));
    s.ip = cleanField(field(third == std::string_view::npos ? third : third + 1, fourth));
    if (fourth == std::string_view::npos)
        return s;
    const std::size_t blank = answer.find(' ', fourth + 1);
    if (blank == std::string_view::npos)
        return s;
    s.location1 = cleanField(answer.substr(fourth + 1, blank - fourth - 1));
    const std::size_t end = answer.find('-', blank + 1);
    s.location2 =
        cleanField(answer.substr(blank + 1, end == std::string_view::npos ? std::string_view::npos : end - blank - 1));
    return s;
}

bool parseScoreAnswer(std::string_view answer, ScoreValues& out)
{
    if (answer.find(',') == std::string_view::npos)
        return false;
    std::string* slots[] = {&out.total, &out.bandwidth, &out.experience};
    std::size_t from = 0;
    for (std::string* slot : slots) {
        if (from == std::string_view::npos || from > answer.size()) {
            slot->clear();
            continue;
        }
        const std::size_t comma = answer.find(',', from);
        *slot = cleanField(
            trimmed(answer.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from)));
        from = comma == std::string_view::npos ? comma : comma + 1;
    }
    return true;
}

std::string passwordDigest(const std::string& passwordUtf8)
{
    return md5Hex(utf8ToGbk(passwordUtf8));
}

std::string queryEscapeName(const std::string& nameUtf8)
{
    std::string out;
    for (char c : utf8ToGbk(nameUtf8)) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '&' || c == '#' || c == '%' || c == '+') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", u);
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// --- configuration --------------------------------------------------------------

WebProject WebProject::read()
{
    WebProject w;
    PropertyFile user(conf::userConfFile());
    user.load();
    // An absent key gives the suffix "null", and the "_null" keys are then
    // looked up: the stored configuration relies on it.
    w.regionSuffix = user.get("geography_id");

    PropertyFile config(conf::configFile());
    config.load();
    const std::string tail = w.regionSuffix.empty() ? std::string() : "_" + w.regionSuffix;
    w.host = decryptValue(readKey(config, "update_server_url" + tail), kValueKey);
    w.port = readKey(config, "web_project_port" + tail);
    w.context = readKey(config, "web_project_name");
    w.loginServlet = readKey(config, "login_servlet");
    w.scoreServlet = readKey(config, "s_coru_e");
    w.keyServlet = readKey(config, "view_ui_k");
    w.pageServlet = readKey(config, "view_ui");
    return w;
}

std::string WebProject::base() const
{
    return "http://" + host + ":" + port;
}

StoredCredentials StoredCredentials::read()
{
    PropertyFile file(conf::loginFile());
    file.load();
    StoredCredentials c;
    c.userName = decryptValue(file.get("username"), kValueKey);
    c.password = decryptValue(file.get("userpass"), kValueKey);
    // Garbage that deciphered into control bytes is as good as nothing.
    if (cleanField(c.userName) != c.userName)
        c.userName.clear();
    if (cleanField(c.password) != c.password)
        c.password.clear();
    return c;
}

// --- requests -------------------------------------------------------------------

LoginService::LoginService(HttpFunction http, SessionStore& session, CDataBase& database)
    : m_http(std::move(http)), m_session(session), m_database(database)
{
}

bool LoginService::request(const std::string& url, std::string& answer)
{
    answer.clear();
    const int rc = m_http ? m_http("GET", url, std::string(), answer) : 1;
    if (rc != 0)
        answer.clear();
    return rc == 0;
}

LoginService::Result LoginService::runLogin(const std::string& userName, const std::string& password)
{
    try {
        return login(userName, password);
    } catch (...) {
        Result r;
        r.outcome = Outcome::Failed;
        r.message = login_text::kServerSilent;
        return r;
    }
}

LoginService::Result LoginService::login(const std::string& userName, const std::string& password)
{
    Result r;
    if (userName.empty()) {
        r.outcome = Outcome::EmptyName;
        r.message = login_text::kEmptyName;
        return r;
    }
    if (password.empty()) {
        r.outcome = Outcome::EmptyPassword;
        r.message = login_text::kEmptyPassword;
        return r;
    }
    const std::string digest = passwordDigest(password);
    const WebProject web = WebProject::read();
    m_database.setRegionSuffix(web.regionSuffix);

    std::string answer;
    request(web.base() + "/" + web.context + "/" + web.loginServlet + "?u=" + queryEscapeName(userName) +
                "&p=" + digest,
            answer);

    switch (classifyLoginAnswer(answer)) {
    case LoginAnswer::Rejected:
        r.outcome = Outcome::Rejected;
        r.message = login_text::kRejected;
        return r;
    case LoginAnswer::PasswordReset:
        r.outcome = Outcome::PasswordReset;
        r.message = login_text::kRejected;
        return r;
    case LoginAnswer::NoAnswer:
        r.outcome = Outcome::NoAnswer;
        r.message = login_text::kNoAnswer;
        return r;
    case LoginAnswer::Success:
        break;
    }

    r.session = parseLoginAnswer(answer);
    if (r.session.userId.empty()) {
        // A success without a user id names nobody: crediting measurements
        // to an empty id would lose them, so it counts as no valid answer.
        r.outcome = Outcome::NoAnswer;
        r.message = login_text::kNoAnswer;
        r.session = {};
        return r;
    }
    m_session.set(r.session);

    PropertyFile stored(conf::loginFile());
    stored.load();
    if (decryptValue(stored.get("username"), kValueKey) != userName)
        stored.set("rem", "1");
    stored.set("uname", r.session.nickname);
    stored.set("userid", r.session.userId);
    stored.set("userpass", encryptValue(password, kValueKey));
    stored.set("username", encryptValue(userName, kValueKey));
    stored.save(true);

    ScoreValues scores;
    if (queryScore(scores))
        m_database.setScores(scores);
    r.outcome = Outcome::LoggedIn;
    return r;
}

LoginService::AutoOutcome LoginService::autoLogin()
{
    try {
        PropertyFile config(conf::configFile());
        config.load();
        config.set("login_window_show", "false");
        config.save(false);
    } catch (...) {
    }
    const AutoAttempt attempt = attemptAutoLogin();
    applyAutoLogin(attempt);
    return attempt.outcome;
}

LoginService::AutoAttempt LoginService::attemptAutoLogin()
{
    AutoAttempt a;
    try {
        const StoredCredentials stored = StoredCredentials::read();
        if (stored.userName.empty() || stored.password.empty()) {
            // Nothing usable is stored: the service could only refuse it.
            a.outcome = AutoOutcome::Rejected;
            return a;
        }
        const WebProject web = WebProject::read();
        a.regionSuffix = web.regionSuffix;
        std::string answer;
        request(web.base() + "/" + web.context + "/" + web.loginServlet + "?u=" + queryEscapeName(stored.userName) +
                    "&p=" + passwordDigest(stored.password),
                answer);
        switch (classifyLoginAnswer(answer)) {
        case LoginAnswer::Success: {
            UserSession session = parseLoginAnswer(answer);
            if (session.userId.empty())
                return a;
            a.session = session;
            ScoreValues scores;
            if (queryScore(scores))
                a.scores = scores;
            a.outcome = AutoOutcome::LoggedIn;
            return a;
        }
        case LoginAnswer::Rejected:
            a.outcome = AutoOutcome::Rejected;
            return a;
        case LoginAnswer::PasswordReset:
        case LoginAnswer::NoAnswer:
            return a;
        }
    } catch (...) {
    }
    return a;
}

void LoginService::applyAutoLogin(const AutoAttempt& attempt)
{
    if (attempt.regionSuffix)
        m_database.setRegionSuffix(*attempt.regionSuffix);
    if (attempt.outcome != AutoOutcome::LoggedIn)
        return;
    m_session.set(attempt.session);
    if (attempt.scores)
        m_database.setScores(*attempt.scores);
}

int LoginService::queryScore(ScoreValues& out)
{
    try {
        const WebProject web = WebProject::read();
        PropertyFile stored(conf::loginFile());
        stored.load();
        std::string answer;
        if (!request(web.base() + "/" + web.context + "/" + web.scoreServlet +
                         "?userid=" + queryEscapeName(stored.get("userid")),
                     answer))
            return 0;
        ScoreValues values;
        if (!parseScoreAnswer(answer, values))
            return 0;
        out = values;
        return 1;
    } catch (...) {
        return 0;
    }
}

LoginService::PortalPage LoginService::portalPage(const std::string& pageType)
{
    PortalPage page;
    try {
        const StoredCredentials stored = StoredCredentials::read();
        const WebProject web = WebProject::read();
        std::string key;
        if (!request(web.base() + "/" + web.context + "/" + web.keyServlet, key)) {
            page.message = login_text::kNoConnection;
            return page;
        }
        key = cleanField(trimmed(key));
        if (key.empty()) {
            page.message = login_text::kMaintenance;
            return page;
        }
        page.url = web.base() + "/" + web.context + "/" + web.pageServlet + "?u=" + queryEscapeName(stored.userName) +
                   "&p=" + passwordDigest(stored.password) + "&reqkey=" + queryEscapeName(key) +
                   "&pagetype=" + pageType;
    } catch (...) {
        page.url.clear();
        page.message = login_text::kNoConnection;
    }
    return page;
}

std::string LoginService::registerPageUrl() const
{
    return WebProject::read().base() + "/speed/page/RegisterG.jsp";
}

std::string LoginService::forgotPasswordPageUrl() const
{
    return WebProject::read().base() + "/speed/page/ForgetPsd.jsp";
}

} // namespace quorvane
