#include "web_project.h"

#include "answers.h"
#include "replies.h"
#include "state.h"
#include "web_pages.h"

#include "common/codepage.h"
#include "common/md5.h"

#include <httplib.h>

#include <unistd.h>

namespace refsvc
{

using httplib::Request;
using httplib::Response;

namespace
{

constexpr auto kPortalKeyLifetime = std::chrono::minutes(5);

} // namespace

WebProject::WebProject(SharedState& state)
    : m_state(state), m_loginMode(SwitchKind::Login, *parseMode(SwitchKind::Login, "normal")),
      m_portalKeyMode(SwitchKind::PortalKey, *parseMode(SwitchKind::PortalKey, "normal")),
      m_clockMode(SwitchKind::Clock, *parseMode(SwitchKind::Clock, "normal"))
{
    const Options& o = state.options;
    m_loginMode.set(o.loginMode);
    m_portalKeyMode.set(o.portalKeyMode);
    m_clockMode.set(o.clockMode);
    m_wwwDir = o.wwwDir.empty() ? o.dataDir + "/www" : o.wwwDir;
    m_videoDir = o.dataDir + "/video";
}

void WebProject::setStreamBase(const std::string& base, const std::string& dispatchHost)
{
    m_videoSites = std::make_unique<VideoSiteStubs>(base, base, dispatchHost);
}

void WebProject::forgetKeys()
{
    std::lock_guard lock(m_portalKeysMutex);
    m_portalKeys.clear();
}

void WebProject::addRoutes(httplib::Server& s)
{
    const std::string base = "/" + escapeRegex(m_state.options.webProject) + "/";
    auto bindGet = [this, &s](const std::string& pattern, void (WebProject::*h)(const Request&, Response&)) {
        s.Get(pattern, [this, h](const Request& req, Response& res) { (this->*h)(req, res); });
    };
    bindGet(base + escapeRegex(m_state.options.loginServlet), &WebProject::handleLogin);
    bindGet(base + escapeRegex(m_state.options.scoreServlet), &WebProject::handleScore);
    bindGet(base + escapeRegex(m_state.options.portalKeyServlet), &WebProject::handlePortalKey);
    bindGet(base + escapeRegex(m_state.options.portalPageServlet), &WebProject::handlePortalPage);
    bindGet("/speed/page/RegisterG\\.jsp", &WebProject::handleRegister);
    s.Post("/speed/page/RegisterG\\.jsp", [this](const Request& req, Response& res) { handleRegister(req, res); });
    bindGet("/speed/page/ForgetPsd\\.jsp", &WebProject::handleForgotPassword);
    s.Post("/speed/page/ForgetPsd\\.jsp",
           [this](const Request& req, Response& res) { handleForgotPassword(req, res); });
    bindGet("/speed/", &WebProject::handleClock);

    // Static pages for the page-load test; stand-ins for outside sites (the
    // video sites' player-information services) get their own listeners
    // next to the web project's when they are added.
    s.Get("/video/([^/]+)", [this](const Request& req, Response& res) { handleVideo(req, res); });
    s.Get("/www/(.*)", [this](const Request& req, Response& res) {
        serveFile(m_state, m_wwwDir, req.matches[1], req, res, nullptr);
    });
    addVideoSites(s);

    // First-screen test pages (web_pages.h). The video sites' pages under
    // /portal/video/ are theirs, not these.
    auto answerTestPage = [](Response& res, const TestPageParams& params) {
        res.set_header("Cache-Control", "no-store");
        if (params.answer == TestPageParams::Answer::NoContent) {
            res.status = 204;
            return;
        }
        if (params.answer == TestPageParams::Answer::Attachment) {
            res.set_header("Content-Disposition", "attachment; filename=\"page.bin\"");
            res.set_content(std::string(64 * 1024, 'q'), "application/octet-stream");
            return;
        }
        res.set_content(testPageHtml(params), "text/html; charset=utf-8");
    };
    s.Get("/test/page", [answerTestPage](const Request& req, Response& res) {
        std::map<std::string, std::string> query(req.params.begin(), req.params.end());
        answerTestPage(res, parseTestPageParams(query));
    });
    s.Get("/portal/((?!video/).*)", [answerTestPage](const Request& req, Response& res) {
        answerTestPage(res, portalPageParams(req.matches[1]));
    });
    s.Get("/test/hold", [this](const Request& req, Response& res) {
        std::map<std::string, std::string> query(req.params.begin(), req.params.end());
        const TestPageParams p = parseTestPageParams({{"hold_ms", query.count("ms") ? query["ms"] : "0"}});
        if (!m_state.pause(std::chrono::milliseconds(p.holdMs))) {
            answerText(res, "stopping\n", 503);
            return;
        }
        // A 1x1 transparent GIF.
        static const unsigned char gif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80,
                                            0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0x21, 0xf9, 0x04,
                                            0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x01,
                                            0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b};
        res.set_header("Cache-Control", "no-store");
        res.set_content(std::string(reinterpret_cast<const char*>(gif), sizeof gif), "image/gif");
    });

    s.Get("/", [this](const Request&, Response& res) {
        const std::string p = "/" + m_state.options.webProject + "/";
        answerPage(res, "Quorvane reference service",
                   "<ul>\n<li>login: " + htmlEscape(p + m_state.options.loginServlet) + "?u=NAME&amp;p=MD5</li>\n" +
                       "<li>score: " + htmlEscape(p + m_state.options.scoreServlet) + "?userid=ID</li>\n" +
                       "<li>portal key: " + htmlEscape(p + m_state.options.portalKeyServlet) + "</li>\n" +
                       "<li>portal page: " + htmlEscape(p + m_state.options.portalPageServlet) +
                       "?u=&amp;p=&amp;reqkey=&amp;pagetype=score|update|bbs</li>\n" +
                       "<li><a href=\"/speed/page/RegisterG.jsp\">registration</a></li>\n" +
                       "<li><a href=\"/speed/page/ForgetPsd.jsp\">forgotten password</a></li>\n" +
                       "<li>clock: HEAD /speed/</li>\n<li><a href=\"/__control/stats\">counters</a></li>\n</ul>");
    });
}

namespace
{

void answerSite(Response& res, const SiteAnswer& answer)
{
    res.status = answer.status;
    if (!answer.location.empty())
        res.set_header("Location", answer.location);
    res.set_content(answer.body, answer.contentType);
}

} // namespace

void WebProject::addVideoSites(httplib::Server& s)
{
    // Bound before the stubs exist; they are made in bind(), before any
    // request can arrive.
    auto on = [this, &s](const std::string& pattern, auto answer) {
        s.Get(pattern,
              [this, answer](const Request& req, Response& res) { answerSite(res, answer(*m_videoSites, req)); });
    };
    using V = const VideoSiteStubs&;
    using R = const Request&;
    on("/portal/video/(ku6|letv|youku|tudou|sina|sohu)/(.*)",
       [](V v, R req) { return v.page(req.matches[1], req.matches[2]); });
    on("/fetch\\.htm", [](V v, R req) { return v.ku6Info(req.get_param_value("vid")); });
    on("/v\\.php", [](V v, R req) { return v.letvApp(req.get_param_value("id")); });
    on("/letv/playinfo", [](V v, R req) { return v.letvPlayInfo(req.get_param_value("id")); });
    on("/player/getPlayList/VideoIDS/([^/]+)", [](V v, R req) { return v.youkuPlayList(req.matches[1]); });
    on("/player/getFlvPath/sid/([^/]+)/st/flv/fileid/([^/]+)",
       [](V v, R req) { return v.youkuFile(req.matches[1], req.matches[2], req.get_param_value("K")); });
    on("/v", [](V v, R req) { return v.tudouInfo(req.get_param_value("it")); });
    on("/v_play\\.php", [](V v, R req) { return v.sinaInfo(req.get_param_value("vid")); });
    on("/videinfo\\.jhtml", [](V v, R req) { return v.sohuInfo(req.get_param_value("vid")); });
}

void WebProject::addDispatchRoutes(httplib::Server& s)
{
    s.Get("/", [this](const Request& req, Response& res) {
        answerSite(
            res, m_videoSites->sohuDispatch(std::map<std::string, std::string>(req.params.begin(), req.params.end())));
    });
}

void WebProject::handleLogin(const Request& req, Response& res)
{
    ++m_state.stats.loginRequests;
    const Mode mode = m_loginMode.get();
    if (applyFault(m_state, mode, req, res))
        return;
    if (mode.name == "false") {
        ++m_state.stats.loginRefused;
        answerText(res, kLoginRefused);
        return;
    }
    if (mode.name == "repsd") {
        ++m_state.stats.loginRefused;
        answerText(res, kLoginPasswordReset);
        return;
    }
    const auto user = m_users.authenticate(req.get_param_value("u"), req.get_param_value("p"));
    if (!user) {
        ++m_state.stats.loginRefused;
        answerText(res, kLoginRefused);
        return;
    }
    ++m_state.stats.loginAccepted;
    answerText(res, loginSuccessAnswer(*user, req.remote_addr));
}

void WebProject::handleScore(const Request& req, Response& res)
{
    ++m_state.stats.scoreRequests;
    const auto user = m_users.byId(req.get_param_value("userid"));
    if (!user) {
        answerText(res, scoreAnswer(0, 0, 0));
        return;
    }
    answerText(res, scoreAnswer(user->scoreTotal, user->scoreBandwidth, user->scoreExperience));
}

void WebProject::handlePortalKey(const Request& req, Response& res)
{
    const Mode mode = m_portalKeyMode.get();
    if (applyFault(m_state, mode, req, res))
        return;
    if (mode.name == "empty") {
        answerText(res, "");
        return;
    }
    std::string key;
    {
        std::lock_guard lock(m_portalKeysMutex);
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(m_portalKeys, [now](const auto& entry) { return entry.second < now; });
        key = m_state.newKey();
        m_portalKeys[key] = now + kPortalKeyLifetime;
    }
    ++m_state.stats.portalKeysIssued;
    answerText(res, key);
}

void WebProject::handlePortalPage(const Request& req, Response& res)
{
    bool keyValid = false;
    {
        std::lock_guard lock(m_portalKeysMutex);
        const auto it = m_portalKeys.find(req.get_param_value("reqkey"));
        if (it != m_portalKeys.end()) {
            keyValid = it->second >= std::chrono::steady_clock::now();
            m_portalKeys.erase(it); // a key opens one page
        }
    }
    const auto user =
        keyValid ? m_users.authenticate(req.get_param_value("u"), req.get_param_value("p")) : std::nullopt;
    if (!user) {
        ++m_state.stats.portalPagesRefused;
        answerPage(res, "请求无效", "<p>请求已过期或用户信息有误，请从客户端重新打开此页面。</p>", 403);
        return;
    }
    ++m_state.stats.portalPagesShown;
    const std::string type = req.get_param_value("pagetype");
    const std::string who = "<p>用户ID：" + htmlEscape(user->id) + "　昵称：" + htmlEscape(user->nickname) + "</p>\n";
    if (type == "score") {
        answerPage(
            res, "我的积分",
            who + "<table border=\"1\">\n<tr><th>总积分</th><th>带宽测速积分</th><th>用户体验积分</th></tr>\n<tr><td>" +
                std::to_string(user->scoreTotal) + "</td><td>" + std::to_string(user->scoreBandwidth) + "</td><td>" +
                std::to_string(user->scoreExperience) + "</td></tr>\n</table>");
    } else if (type == "update") {
        answerPage(res, "软件更新", who + "<p>客户端会自动检查并安装新版本。</p>");
    } else if (type == "bbs") {
        answerPage(res, "用户论坛", who + "<p>欢迎来到用户论坛。</p>");
    } else {
        answerPage(res, "门户", who + "<p>未知的页面类型：" + htmlEscape(type) + "</p>");
    }
}

void WebProject::handleRegister(const Request& req, Response& res)
{
    const std::string form =
        "<form method=\"post\">\n"
        "<p>用户名 <input name=\"u\"></p>\n<p>密码 <input name=\"pw\" type=\"password\"></p>\n"
        "<p>昵称 <input name=\"nickname\"></p>\n<p>所在地（如 广东省深圳市） <input name=\"location1\"></p>\n"
        "<p>网络类型（如 电信） <input name=\"location2\"></p>\n<p><button>注册</button></p>\n</form>";
    if (req.method != "POST") {
        answerPage(res, "用户注册", form);
        return;
    }
    User u;
    u.name = formValue(req.body, "u").value_or("");
    const std::string password = formValue(req.body, "pw").value_or("");
    u.nickname = formValue(req.body, "nickname").value_or("");
    u.location1 = formValue(req.body, "location1").value_or("");
    u.location2 = formValue(req.body, "location2").value_or("");
    u.address = "*";
    if (m_users.size() >= m_state.options.maxUsers) {
        answerPage(res, "用户注册", "<p>注册人数已满，暂不接受新用户。</p>", 403);
        return;
    }
    if (password.empty()) {
        answerPage(res, "用户注册", "<p>密码不能为空。</p>\n" + form, 400);
        return;
    }
    // The client digests the password in its 8-bit code page.
    u.digest = quorvane::md5Hex(quorvane::utf8ToGbk(password));
    const std::string name = u.name;
    if (auto why = m_users.add(std::move(u), m_state.options.maxUsers); !why.empty()) {
        answerPage(res, "用户注册", "<p>注册失败：" + htmlEscape(why) + "</p>\n" + form, 400);
        return;
    }
    ++m_state.stats.registrations;
    answerPage(res, "用户注册", "<p>注册成功，用户ID：" + htmlEscape(m_users.byName(name)->id) + "</p>");
}

void WebProject::handleForgotPassword(const Request& req, Response& res)
{
    const std::string form = "<form method=\"post\">\n<p>用户名 <input name=\"u\"></p>\n"
                             "<p><button>重置密码</button></p>\n</form>";
    if (req.method != "POST") {
        answerPage(res, "找回密码", form);
        return;
    }
    const std::string name = formValue(req.body, "u").value_or("");
    // The reset password is the one the client's own reset notice names.
    if (name.empty() || !m_users.setDigest(name, quorvane::md5Hex("735119"))) {
        answerPage(res, "找回密码", "<p>没有这个用户。</p>\n" + form, 404);
        return;
    }
    ++m_state.stats.passwordResets;
    answerPage(res, "找回密码", "<p>密码已重置为 735119，请登录后修改。</p>");
}

void WebProject::handleClock(const Request& req, Response& res)
{
    ++m_state.stats.clockRequests;
    const Mode mode = m_clockMode.get();
    if (applyFault(m_state, mode, req, res))
        return;
    if (mode.name == "error") {
        answerText(res, "clock unavailable\n", 503);
    } else if (mode.name == "redirect") {
        res.status = 302;
        res.set_header("Location", "/speed/index.jsp");
    } else {
        if (mode.name == "nodate")
            res.set_header(kNoDateMarker, "1");
        answerText(res, "Quorvane measurement service\n");
    }
}

void WebProject::handleVideo(const Request& req, Response& res)
{
    ++m_state.stats.videoRequests;
    OpenFile file(m_videoDir, req.matches[1]);
    if (!file.ok()) {
        res.status = 404;
        return;
    }
    const BodyFaults faults = bodyFaults(req);
    if (faults.status) {
        answerText(res, "refused on request\n", faults.status);
        return;
    }
    std::uint64_t first = 0, length = 0;
    if (!answerRange(req, res, file.size, first, length))
        return;
    res.set_header("Accept-Ranges", "bytes");
    res.set_header("Cache-Control", "no-store");
    const std::string type = contentTypeOf(file.path);
    if (length == 0) {
        res.set_content("", type);
        return;
    }
    // The players measure the line, so the body goes out at the line rate
    // in pieces that the limiter grants.
    constexpr std::size_t kPiece = 64 * 1024;
    const int fd = file.take();
    auto buffer = std::make_shared<std::string>(kPiece, '\0');
    streamBody(
        m_state, res, type, length, faults, kPiece,
        [fd, first, buffer](std::uint64_t offset, std::size_t n) -> const char* {
            // A file that shrank under us ends the answer early, which the
            // client sees as a short body rather than as invented bytes.
            const ssize_t got = ::pread(fd, buffer->data(), n, static_cast<off_t>(first + offset));
            return got == static_cast<ssize_t>(n) ? buffer->data() : nullptr;
        },
        m_state.stats.videoBytes, m_state.stats.videosCompleted, [fd] { ::close(fd); });
}

} // namespace refsvc
