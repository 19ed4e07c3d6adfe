#include "service.h"
#include "web_pages.h"

#include "answers.h"
#include "connection.h"
#include "upload_counter.h"

#include "common/codepage.h"
#include "common/md5.h"

#include <httplib.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace refsvc
{

namespace
{

using httplib::Request;
using httplib::Response;

constexpr const char* kText = "text/plain; charset=UTF-8";
constexpr const char* kHtml = "text/html; charset=UTF-8";
// The upload's own content type is moved here before routing (see takeOver).
constexpr const char* kUploadContentType = "X-Refsvc-Upload-Content-Type";
// Set by a handler whose answer must go out without a Date header.
constexpr const char* kNoDateMarker = "X-Refsvc-No-Date";

constexpr std::size_t kPatternPeriod = 1024 * 1024;
constexpr std::size_t kFastPiece = 256 * 1024;
constexpr auto kPortalKeyLifetime = std::chrono::minutes(5);
constexpr long long kMaxClockOffset = 100ll * 365 * 86400;
// Forgotten test keys (clients that never release) are dropped beyond this.
constexpr std::size_t kMaxTestKeys = 100000;

std::string escapeRegex(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (std::strchr(".^$|()[]{}*+?\\", c))
            out += '\\';
        out += c;
    }
    return out;
}

void answerText(Response& res, const std::string& text, int status = 200)
{
    res.status = status;
    res.set_content(text, kText);
}

std::string page(const std::string& title, const std::string& body)
{
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
           "</title></head>\n<body>\n<h1>" + htmlEscape(title) + "</h1>\n" + body + "\n</body></html>\n";
}

void answerPage(Response& res, const std::string& title, const std::string& body, int status = 200)
{
    res.status = status;
    res.set_content(page(title, body), kHtml);
}

bool isLoopbackPeer(const std::string& addr)
{
    return addr.rfind("127.", 0) == 0 || addr == "::1" || addr.rfind("::ffff:127.", 0) == 0;
}

// The HTTP library would answer ranges, negotiate compression and decode
// multipart bodies on its own. The clients read this service's answers byte
// for byte and count upload bytes themselves, so the service does all three
// itself and takes them out of the request before routing. The request is
// the library's own non-const object, handed to the handlers as const.
void takeOver(const Request& constReq)
{
    auto& req = const_cast<Request&>(constReq);
    req.ranges.clear();
    // The clients announce gzip but read the body as it comes, as the
    // platform HTTP service they were written for did.
    req.headers.erase("Accept-Encoding");
    if (req.path == "/speed/doload.do" && req.has_header("Content-Type")) {
        const std::string type = req.get_header_value("Content-Type");
        req.headers.erase("Content-Type");
        req.headers.emplace(kUploadContentType, type);
    }
}

std::string contentTypeOf(const std::string& path)
{
    static const std::map<std::string, std::string> types = {
        {".xml", "application/xml"},
        {".html", kHtml},
        {".htm", kHtml},
        {".txt", kText},
        {".css", "text/css"},
        {".js", "application/javascript"},
        {".json", "application/json"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".svg", "image/svg+xml"},
        {".mp4", "video/mp4"},
        {".flv", "video/x-flv"},
        {".ico", "image/x-icon"},
    };
    const auto dot = path.rfind('.');
    const auto slash = path.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        std::string ext = path.substr(dot);
        for (auto& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (auto it = types.find(ext); it != types.end())
            return it->second;
    }
    return "application/octet-stream";
}

// The file under root that the request path names, or "" when it names none
// or tries to leave root (through "..", links or otherwise).
std::string resolveUnder(const std::string& root, const std::string& relative)
{
    if (relative.empty() || relative.find('\0') != std::string::npos || relative.find('\\') != std::string::npos)
        return {};
    std::size_t start = 0;
    while (start <= relative.size()) {
        auto slash = relative.find('/', start);
        if (slash == std::string::npos)
            slash = relative.size();
        if (relative.compare(start, slash - start, "..") == 0 && slash - start == 2)
            return {};
        start = slash + 1;
    }
    char rootReal[PATH_MAX], fileReal[PATH_MAX];
    if (!realpath(root.c_str(), rootReal))
        return {};
    const std::string candidate = root + "/" + relative;
    if (!realpath(candidate.c_str(), fileReal))
        return {};
    const std::string prefix = std::string(rootReal) + "/";
    if (std::string(fileReal).rfind(prefix, 0) != 0)
        return {};
    struct stat st {
    };
    if (stat(fileReal, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return fileReal;
}

std::string localTimeNow()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

// Sets the status (200, 206 or 416) and Content-Range for a Range header
// and yields the slice to send; false when the range cannot be satisfied
// and the answer is complete.
bool answerRange(const httplib::Request& req, httplib::Response& res, std::uint64_t total, std::uint64_t& first,
                 std::uint64_t& length)
{
    const ByteRange range = parseRange(req.get_header_value("Range"), total);
    if (range.kind == ByteRange::Unsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", contentRange(range, total));
        return false;
    }
    first = 0;
    length = total;
    res.status = 200;
    if (range.kind == ByteRange::Partial) {
        first = range.first;
        length = range.last - range.first + 1;
        res.status = 206;
        res.set_header("Content-Range", contentRange(range, total));
    }
    return true;
}

} // namespace

struct Service::Listener {
    Role role;
    Endpoint endpoint;
    httplib::Server server;
    std::thread thread;
};

// ---------------------------------------------------------------------------
// Counters

std::vector<std::pair<const char*, std::atomic<std::uint64_t>*>> Stats::rows()
{
    return {
        {"requests", &requests},
        {"login_requests", &loginRequests},
        {"login_accepted", &loginAccepted},
        {"login_refused", &loginRefused},
        {"score_requests", &scoreRequests},
        {"portal_keys_issued", &portalKeysIssued},
        {"portal_pages_shown", &portalPagesShown},
        {"portal_pages_refused", &portalPagesRefused},
        {"registrations", &registrations},
        {"password_resets", &passwordResets},
        {"clock_requests", &clockRequests},
        {"key_requests", &keyRequests},
        {"keys_issued", &keysIssued},
        {"keys_deferred", &keysDeferred},
        {"keys_released", &keysReleased},
        {"releases_unknown", &releasesUnknown},
        {"download_requests", &downloadRequests},
        {"download_bytes", &downloadBytes},
        {"downloads_completed", &downloadsCompleted},
        {"upload_requests", &uploadRequests},
        {"upload_multipart", &uploadMultipart},
        {"upload_other", &uploadOther},
        {"upload_body_bytes", &uploadBodyBytes},
        {"upload_payload_bytes", &uploadPayloadBytes},
        {"uploads_completed", &uploadsCompleted},
        {"uploads_broken", &uploadsBroken},
        {"upload_buffers_limited", &uploadBuffersLimited},
        {"bodies_refused", &bodiesRefused},
        {"update_requests", &updateRequests},
        {"update_bytes", &updateBytes},
        {"video_requests", &videoRequests},
        {"video_bytes", &videoBytes},
        {"videos_completed", &videosCompleted},
    };
}

std::string Stats::render()
{
    std::string out;
    for (const auto& [name, value] : rows())
        out += std::string(name) + "=" + std::to_string(value->load()) + "\n";
    return out;
}

void Stats::reset()
{
    for (const auto& row : rows())
        row.second->store(0);
}

// ---------------------------------------------------------------------------
// Life cycle

Service::Service(Options options)
    : m_options(std::move(options)), m_loginMode(SwitchKind::Login, *parseMode(SwitchKind::Login, "normal")),
      m_keyMode(SwitchKind::Key, *parseMode(SwitchKind::Key, "1")),
      m_portalKeyMode(SwitchKind::PortalKey, *parseMode(SwitchKind::PortalKey, "normal")),
      m_clockMode(SwitchKind::Clock, *parseMode(SwitchKind::Clock, "normal")),
      m_clockOffset(m_options.clockOffsetSeconds), m_down(m_options.downBitsPerSecond / 8),
      m_up(m_options.upBitsPerSecond / 8), m_random(std::random_device{}())
{
    m_loginMode.set(m_options.loginMode);
    m_keyMode.set(m_options.keyMode);
    m_portalKeyMode.set(m_options.portalKeyMode);
    m_clockMode.set(m_options.clockMode);

    const std::string& data = m_options.dataDir;
    m_usersPath = m_options.usersFile.empty() ? data + "/users.txt" : m_options.usersFile;
    m_updateDir = m_options.updateDir.empty() ? data + "/update" : m_options.updateDir;
    m_wwwDir = m_options.wwwDir.empty() ? data + "/www" : m_options.wwwDir;
    m_videoDir = data + "/video";

    // Incompressible, deterministic content; one period plus one piece so
    // that every piece is a contiguous slice.
    m_pattern.resize(kPatternPeriod + kFastPiece);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < kPatternPeriod; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        m_pattern[i] = static_cast<char>(x >> 56);
    }
    std::copy_n(m_pattern.begin(), kFastPiece, m_pattern.begin() + kPatternPeriod);
}

Service::~Service()
{
    stop();
    join();
}

std::string Service::load()
{
    std::ifstream in(m_usersPath, std::ios::binary);
    if (!in)
        return "cannot read the user file " + m_usersPath + " (see --users and --data)";
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = parseUsers(text.str());
    if (!parsed.error.empty())
        return m_usersPath + ": " + parsed.error;
    m_users.replace(std::move(parsed.users));
    return {};
}

Service::Listener& Service::addListener(Role role, const Endpoint& endpoint)
{
    auto l = std::make_unique<Listener>();
    l->role = role;
    l->endpoint = endpoint;
    m_listeners.push_back(std::move(l));
    return *m_listeners.back();
}

std::string Service::bind()
{
    if (m_options.web)
        addListener(Role::Web, *m_options.web);
    for (const auto& t : m_options.testServers)
        addListener(Role::Test, t);
    if (m_options.update)
        addListener(Role::Update, *m_options.update);
    if (m_options.videoDispatch)
        addListener(Role::Dispatch, *m_options.videoDispatch);

    for (auto& l : m_listeners) {
        configure(*l);
        errno = 0;
        if (l->endpoint.port == 0) {
            const int port = l->server.bind_to_any_port(l->endpoint.host);
            if (port <= 0)
                return "cannot listen on " + l->endpoint.host + ": " + std::strerror(errno);
            l->endpoint.port = port;
        } else if (!l->server.bind_to_port(l->endpoint.host, l->endpoint.port)) {
            const std::string why = "cannot listen on " + l->endpoint.host + ":" + std::to_string(l->endpoint.port) +
                                    ": " + std::strerror(errno);
            if (l->role != Role::Dispatch || m_options.videoDispatchGiven)
                return why;
            std::cerr << "quorvane-refsvc: warning: " << why << "; the sohu stand-in resolves no stream\n";
            l.reset();
        }
    }
    std::erase_if(m_listeners, [](const auto& l) { return !l; });
    std::string streamBase = "http://127.0.0.1:0";
    for (const auto& l : m_listeners)
        if (l->role == Role::Web)
            streamBase = "http://" + l->endpoint.host + ":" + std::to_string(l->endpoint.port);
    const std::string dispatchHost = m_options.videoDispatch ? m_options.videoDispatch->host : "127.0.0.10";
    m_videoSites = std::make_unique<VideoSiteStubs>(streamBase, streamBase, dispatchHost);
    for (const auto& d : m_options.downloads)
        if (std::to_string(d.size).find("404") != std::string::npos)
            std::cerr << "quorvane-refsvc: warning: the size of /speed/" << d.name
                      << " contains \"404\"; the measuring clients take such an answer head for a failure\n";
    return {};
}

std::string Service::start()
{
    for (auto& l : m_listeners) {
        Listener* raw = l.get();
        raw->thread = std::thread([raw] { raw->server.listen_after_bind(); });
    }
    // The library offers no notification when its accept loop runs, and
    // stop() before that point would be lost; so wait for it, bounded.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (auto& l : m_listeners) {
        while (!l->server.is_running()) {
            if (std::chrono::steady_clock::now() > deadline)
                return "the listener on " + l->endpoint.host + ":" + std::to_string(l->endpoint.port) +
                       " did not start";
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return {};
}

std::string Service::readyLine() const
{
    std::string web, update, test;
    for (const auto& l : m_listeners) {
        const std::string ep = l->endpoint.host + ":" + std::to_string(l->endpoint.port);
        switch (l->role) {
        case Role::Web:
            web = ep;
            break;
        case Role::Update:
            update = ep;
            break;
        case Role::Test:
            test += (test.empty() ? "" : ",") + ep;
            break;
        case Role::Dispatch:
            break;
        }
    }
    return "quorvane-refsvc ready web=" + (web.empty() ? "none" : web) +
           " update=" + (update.empty() ? "none" : update) + " test=" + (test.empty() ? "none" : test);
}

void Service::stop()
{
    {
        std::lock_guard lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopCv.notify_all();
    m_down.stop();
    m_up.stop();
    for (auto& l : m_listeners)
        l->server.stop();
}

void Service::join()
{
    for (auto& l : m_listeners)
        if (l->thread.joinable())
            l->thread.join();
}

bool Service::pause(std::chrono::milliseconds ms)
{
    std::unique_lock lock(m_stopMutex);
    return !m_stopCv.wait_for(lock, ms, [this] { return m_stopping.load(); });
}

std::string Service::newKey()
{
    // Called with m_keysMutex held.
    static const char digits[] = "0123456789ABCDEF";
    std::uint64_t v = m_random();
    std::string key(16, '0');
    for (auto& c : key) {
        c = digits[v & 15];
        v >>= 4;
    }
    return key;
}

std::time_t Service::serviceNow() const
{
    return std::time(nullptr) + static_cast<std::time_t>(m_clockOffset.load());
}

bool Service::applyFault(const Mode& mode, const Request& req, Response& res)
{
    if (mode.name == "garbage") {
        answerText(res, kGarbageAnswer);
        return true;
    }
    if (mode.name == "close") {
        dropConnection({req.local_addr, req.local_port, req.remote_addr, req.remote_port});
        res.status = 500;
        res.set_header("Connection", "close");
        return true;
    }
    if (mode.name == "delay" && !pause(std::chrono::milliseconds(mode.delayMs))) {
        answerText(res, "stopping\n", 503);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Listener set-up

void Service::configure(Listener& l)
{
    auto& s = l.server;
    const int threads = m_options.threadsPerListener;
    s.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which
    // would let a second service silently share (and split) an address.
    const bool ethernetSegments = l.role == Role::Test;
    s.set_socket_options([ethernetSegments](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (ethernetSegments) {
            int mss = 1460;
            setsockopt(sock, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
        }
    });
    s.set_tcp_nodelay(true);
    // The repeated-chunk upload sends request after request on one
    // connection; a short idle time keeps shut-down quick.
    s.set_keep_alive_max_count(1000);
    s.set_keep_alive_timeout(2);
    s.set_read_timeout(5);
    s.set_write_timeout(5);
    // Bodies are refused by their announced length before a byte of them is
    // read: the upload sink takes a measurement file, everything else a form.
    const bool sink = l.role == Role::Test;
    const std::uint64_t uploadLimit = m_options.maxUploadBody;
    s.set_payload_max_length(static_cast<std::size_t>(sink ? uploadLimit : Options::kMaxFormBody));

    s.set_pre_routing_handler([this, sink, uploadLimit](const Request& req, Response& res) {
        ++m_stats.requests;
        takeOver(req);
        if (req.path.rfind("/__control/", 0) == 0 && !isLoopbackPeer(req.remote_addr)) {
            answerText(res, "control is for loopback peers only\n", 403);
            return httplib::Server::HandlerResponse::Handled;
        }
        const bool upload = sink && req.path == "/speed/doload.do";
        const std::uint64_t limit = upload ? uploadLimit : Options::kMaxFormBody;
        const std::string length = req.get_header_value("Content-Length");
        std::uint64_t announced = 0;
        const bool lengthOk = length.find_first_not_of("0123456789") == std::string::npos && length.size() <= 19 &&
                              (length.empty() || (announced = std::stoull(length)) <= limit);
        // A chunked body has no length to check first; only the upload sink,
        // which counts as it reads, takes one.
        const bool chunked = req.has_header("Transfer-Encoding");
        if (!lengthOk || (chunked && !upload)) {
            ++m_stats.bodiesRefused;
            res.set_header("Connection", "close");
            answerText(res, chunked && !upload ? "a length is required\n" : "request body too large\n",
                       chunked && !upload ? 411 : 413);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_post_routing_handler([this](const Request&, Response& res) {
        if (res.has_header(kNoDateMarker)) {
            res.headers.erase(kNoDateMarker);
            return;
        }
        if (!res.has_header("Date"))
            res.set_header("Date", httpDate(serviceNow()));
    });
    const std::string name = l.role == Role::Web      ? "web"
                             : l.role == Role::Test   ? "test"
                             : l.role == Role::Update ? "update"
                                                      : "dispatch";
    s.set_logger([this, name](const Request& req, const Response& res) {
        if (m_options.quiet)
            return;
        std::string length = res.get_header_value("Content-Length");
        std::string line = localTimeNow() + " " + name + " " + req.local_addr + ":" + std::to_string(req.local_port) +
                           " " + req.remote_addr + ":" + std::to_string(req.remote_port) + " \"" + req.method + " " +
                           quorvane::sanitizeUtf8(redactSecrets(req.target)) + " " + req.version + "\" " +
                           std::to_string(res.status) + " " + (length.empty() ? "-" : length) + "\n";
        std::lock_guard lock(m_logMutex);
        std::cerr << line << std::flush;
    });

    addControl(s);
    switch (l.role) {
    case Role::Web:
        addWebProject(s);
        break;
    case Role::Test:
        addTestServer(s);
        break;
    case Role::Update:
        addUpdateServer(s);
        break;
    case Role::Dispatch:
        addVideoDispatch(s);
        break;
    }
}

void Service::addControl(httplib::Server& s)
{
    s.Get("/__control/stats", [this](const Request&, Response& res) {
        std::size_t active = 0, deferred = 0;
        {
            std::lock_guard lock(m_keysMutex);
            for (const auto& [key, isActive] : m_testKeys)
                (isActive ? active : deferred)++;
        }
        std::string out = m_stats.render();
        out += "keys_active=" + std::to_string(active) + "\nkeys_waiting=" + std::to_string(deferred) + "\n";
        out += "users=" + std::to_string(m_users.size()) + "\n";
        out += "login_mode=" + m_loginMode.get().name + "\nkey_mode=" + m_keyMode.get().name +
               "\nportal_key_mode=" + m_portalKeyMode.get().name + "\nclock_mode=" + m_clockMode.get().name + "\n";
        out += "down_bits_per_second=" + std::to_string(m_down.rate() * 8) +
               "\nup_bits_per_second=" + std::to_string(m_up.rate() * 8) + "\n";
        out += "clock_offset=" + std::to_string(m_clockOffset.load()) + "\n";
        answerText(res, out);
    });
    s.Post("/__control/reset", [this](const Request&, Response& res) {
        m_stats.reset();
        std::lock_guard lock(m_keysMutex);
        m_testKeys.clear();
        m_portalKeys.clear();
        answerText(res, "ok\n");
    });
    s.Post("/__control/(login|key|portal-key|clock)-mode", [this](const Request& req, Response& res) {
        // The mode may come as ?mode=M, as a form body mode=M or as the bare body.
        std::string mode = req.get_param_value("mode");
        if (mode.empty())
            mode = formValue(req.body, "mode").value_or(req.body);
        while (!mode.empty() && (mode.back() == '\n' || mode.back() == '\r' || mode.back() == ' '))
            mode.pop_back();
        const std::string which = req.matches[1];
        ModeSwitch& sw = which == "login"        ? m_loginMode
                         : which == "key"        ? m_keyMode
                         : which == "portal-key" ? m_portalKeyMode
                                                 : m_clockMode;
        std::string why;
        if (!sw.set(mode, &why)) {
            answerText(res, why + "\n", 400);
            return;
        }
        answerText(res, "ok\n");
    });
    s.Post("/__control/rate", [this](const Request& req, Response& res) {
        for (const char* dir : {"down", "up"}) {
            if (!req.has_param(dir))
                continue;
            auto bits = parseMegabits(req.get_param_value(dir));
            if (!bits) {
                answerText(res, std::string("bad ") + dir + " rate\n", 400);
                return;
            }
            (std::string(dir) == "down" ? m_down : m_up).setRate(*bits / 8);
        }
        answerText(res, "ok\n");
    });
    s.Post("/__control/clock-offset", [this](const Request& req, Response& res) {
        const std::string text = req.get_param_value("seconds");
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(text.c_str(), &end, 10);
        // The same century either way as --clock-offset: more would overflow
        // the clock's arithmetic, and no client date is that far off.
        if (text.empty() || *end != '\0' || errno == ERANGE || v < -kMaxClockOffset || v > kMaxClockOffset) {
            answerText(res, "expected seconds=N\n", 400);
            return;
        }
        m_clockOffset = v;
        answerText(res, "ok\n");
    });
}

void Service::addWebProject(httplib::Server& s)
{
    const std::string base = "/" + escapeRegex(m_options.webProject) + "/";
    auto bindGet = [this, &s](const std::string& pattern, void (Service::*h)(const Request&, Response&)) {
        s.Get(pattern, [this, h](const Request& req, Response& res) { (this->*h)(req, res); });
    };
    bindGet(base + escapeRegex(m_options.loginServlet), &Service::handleLogin);
    bindGet(base + escapeRegex(m_options.scoreServlet), &Service::handleScore);
    bindGet(base + escapeRegex(m_options.portalKeyServlet), &Service::handlePortalKey);
    bindGet(base + escapeRegex(m_options.portalPageServlet), &Service::handlePortalPage);
    bindGet("/speed/page/RegisterG\\.jsp", &Service::handleRegister);
    s.Post("/speed/page/RegisterG\\.jsp", [this](const Request& req, Response& res) { handleRegister(req, res); });
    bindGet("/speed/page/ForgetPsd\\.jsp", &Service::handleForgotPassword);
    s.Post("/speed/page/ForgetPsd\\.jsp",
           [this](const Request& req, Response& res) { handleForgotPassword(req, res); });
    bindGet("/speed/", &Service::handleClock);

    // Static pages for the page-load test; stand-ins for outside sites (the
    // video sites' player-information services) get their own listeners
    // next to the web project's when they are added.
    s.Get("/video/([^/]+)", [this](const Request& req, Response& res) { handleVideo(req, res); });
    s.Get("/www/(.*)",
          [this](const Request& req, Response& res) { serveFile(m_wwwDir, req.matches[1], req, res, nullptr); });
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
        if (!pause(std::chrono::milliseconds(p.holdMs))) {
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
        const std::string p = "/" + m_options.webProject + "/";
        answerPage(res, "Quorvane reference service",
                   "<ul>\n<li>login: " + htmlEscape(p + m_options.loginServlet) + "?u=NAME&amp;p=MD5</li>\n" +
                       "<li>score: " + htmlEscape(p + m_options.scoreServlet) + "?userid=ID</li>\n" +
                       "<li>portal key: " + htmlEscape(p + m_options.portalKeyServlet) + "</li>\n" +
                       "<li>portal page: " + htmlEscape(p + m_options.portalPageServlet) +
                       "?u=&amp;p=&amp;reqkey=&amp;pagetype=score|update|bbs</li>\n" +
                       "<li><a href=\"/speed/page/RegisterG.jsp\">registration</a></li>\n" +
                       "<li><a href=\"/speed/page/ForgetPsd.jsp\">forgotten password</a></li>\n" +
                       "<li>clock: HEAD /speed/</li>\n<li><a href=\"/__control/stats\">counters</a></li>\n</ul>");
    });
}

void Service::addTestServer(httplib::Server& s)
{
    s.Get("/speed/dovalid", [this](const Request& req, Response& res) { handleKey(req, res); });
    s.Post("/speed/dovalid", [this](const Request& req, Response& res) { handleKeyRelease(req, res); });
    s.Post("/speed/doload.do", [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
        handleUpload(req, res, reader);
    });
    s.Get("/speed/([^/]+)", [this](const Request& req, Response& res) { handleDownload(req, res); });
    s.Get("/download/([^/]+)", [this](const Request& req, Response& res) { handleDownload(req, res); });
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

void Service::addVideoSites(httplib::Server& s)
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

void Service::addVideoDispatch(httplib::Server& s)
{
    s.Get("/", [this](const Request& req, Response& res) {
        answerSite(
            res, m_videoSites->sohuDispatch(std::map<std::string, std::string>(req.params.begin(), req.params.end())));
    });
}

void Service::addUpdateServer(httplib::Server& s)
{
    s.Get("/update/(.+)", [this](const Request& req, Response& res) {
        ++m_stats.updateRequests;
        serveFile(m_updateDir, req.matches[1], req, res, &m_stats.updateBytes);
    });
}

// ---------------------------------------------------------------------------
// Web project

void Service::handleLogin(const Request& req, Response& res)
{
    ++m_stats.loginRequests;
    const Mode mode = m_loginMode.get();
    if (applyFault(mode, req, res))
        return;
    if (mode.name == "false") {
        ++m_stats.loginRefused;
        answerText(res, kLoginRefused);
        return;
    }
    if (mode.name == "repsd") {
        ++m_stats.loginRefused;
        answerText(res, kLoginPasswordReset);
        return;
    }
    const auto user = m_users.authenticate(req.get_param_value("u"), req.get_param_value("p"));
    if (!user) {
        ++m_stats.loginRefused;
        answerText(res, kLoginRefused);
        return;
    }
    ++m_stats.loginAccepted;
    answerText(res, loginSuccessAnswer(*user, req.remote_addr));
}

void Service::handleScore(const Request& req, Response& res)
{
    ++m_stats.scoreRequests;
    const auto user = m_users.byId(req.get_param_value("userid"));
    if (!user) {
        answerText(res, scoreAnswer(0, 0, 0));
        return;
    }
    answerText(res, scoreAnswer(user->scoreTotal, user->scoreBandwidth, user->scoreExperience));
}

void Service::handlePortalKey(const Request& req, Response& res)
{
    const Mode mode = m_portalKeyMode.get();
    if (applyFault(mode, req, res))
        return;
    if (mode.name == "empty") {
        answerText(res, "");
        return;
    }
    std::string key;
    {
        std::lock_guard lock(m_keysMutex);
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(m_portalKeys, [now](const auto& entry) { return entry.second < now; });
        key = newKey();
        m_portalKeys[key] = now + kPortalKeyLifetime;
    }
    ++m_stats.portalKeysIssued;
    answerText(res, key);
}

void Service::handlePortalPage(const Request& req, Response& res)
{
    bool keyValid = false;
    {
        std::lock_guard lock(m_keysMutex);
        const auto it = m_portalKeys.find(req.get_param_value("reqkey"));
        if (it != m_portalKeys.end()) {
            keyValid = it->second >= std::chrono::steady_clock::now();
            m_portalKeys.erase(it); // a key opens one page
        }
    }
    const auto user =
        keyValid ? m_users.authenticate(req.get_param_value("u"), req.get_param_value("p")) : std::nullopt;
    if (!user) {
        ++m_stats.portalPagesRefused;
        answerPage(res, "请求无效", "<p>请求已过期或用户信息有误，请从客户端重新打开此页面。</p>", 403);
        return;
    }
    ++m_stats.portalPagesShown;
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

void Service::handleRegister(const Request& req, Response& res)
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
    if (m_users.size() >= m_options.maxUsers) {
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
    if (auto why = m_users.add(std::move(u), m_options.maxUsers); !why.empty()) {
        answerPage(res, "用户注册", "<p>注册失败：" + htmlEscape(why) + "</p>\n" + form, 400);
        return;
    }
    ++m_stats.registrations;
    answerPage(res, "用户注册", "<p>注册成功，用户ID：" + htmlEscape(m_users.byName(name)->id) + "</p>");
}

void Service::handleForgotPassword(const Request& req, Response& res)
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
    ++m_stats.passwordResets;
    answerPage(res, "找回密码", "<p>密码已重置为 735119，请登录后修改。</p>");
}

void Service::handleClock(const Request& req, Response& res)
{
    ++m_stats.clockRequests;
    const Mode mode = m_clockMode.get();
    if (applyFault(mode, req, res))
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

// ---------------------------------------------------------------------------
// Test servers

void Service::handleKey(const Request& req, Response& res)
{
    ++m_stats.keyRequests;
    const Mode mode = m_keyMode.get();
    if (applyFault(mode, req, res))
        return;
    if (mode.name == "0") {
        answerText(res, keyAnswer('0', ""));
        return;
    }
    const std::string given = req.get_param_value("key");
    std::lock_guard lock(m_keysMutex);
    if (m_testKeys.size() >= kMaxTestKeys)
        m_testKeys.clear();
    // A client that was told to come back later brings its key back.
    if (auto it = m_testKeys.find(given); it != m_testKeys.end() && !it->second) {
        it->second = true;
        ++m_stats.keysIssued;
        answerText(res, keyAnswer('1', given));
        return;
    }
    const std::string key = newKey();
    if (mode.name == "2") {
        m_testKeys[key] = false;
        ++m_stats.keysDeferred;
        answerText(res, keyAnswer('2', key));
        return;
    }
    m_testKeys[key] = true;
    ++m_stats.keysIssued;
    answerText(res, keyAnswer('1', key));
}

void Service::handleKeyRelease(const Request& req, Response& res)
{
    std::string key = formValue(req.body, "key").value_or(req.get_param_value("key"));
    std::lock_guard lock(m_keysMutex);
    const auto it = m_testKeys.find(key);
    if (it == m_testKeys.end() || !it->second) {
        ++m_stats.releasesUnknown;
        answerText(res, "0");
        return;
    }
    m_testKeys.erase(it);
    ++m_stats.keysReleased;
    answerText(res, "1");
}

namespace
{

// Faults a download answers with on request, through its query:
// "status=N" (400..599) refuses with that status; "length=none" sends the
// body chunked, without Content-Length; "stall_after=BYTES" stops the body
// there and holds the connection open for "stall_ms" (default 10000) before
// dropping it.
struct DownloadFaults {
    int status = 0;
    bool noLength = false;
    long long stallAfter = -1;
    std::chrono::milliseconds stallMs{0};
};

constexpr long long kDefaultStallMs = 10000;
constexpr long long kMaxStallMs = 120000;

bool queryNumber(const std::string& text, long long low, long long high, long long& out)
{
    if (text.empty() || text.size() > 15 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const long long v = std::stoll(text);
    if (v < low || v > high)
        return false;
    out = v;
    return true;
}

DownloadFaults downloadFaults(const Request& req)
{
    DownloadFaults f;
    auto number = [&](const char* name, long long low, long long high, long long& into) {
        if (!req.has_param(name))
            return;
        long long v = 0;
        if (queryNumber(req.get_param_value(name), low, high, v))
            into = v;
    };
    long long status = 0;
    number("status", 400, 599, status);
    f.status = static_cast<int>(status);
    f.noLength = req.get_param_value("length") == "none";
    long long stallAfter = -1;
    number("stall_after", 0, 1ll << 40, stallAfter);
    f.stallAfter = stallAfter;
    long long stallMs = kDefaultStallMs;
    number("stall_ms", 0, kMaxStallMs, stallMs);
    f.stallMs = std::chrono::milliseconds(stallMs);
    return f;
}

} // namespace

void Service::handleDownload(const Request& req, Response& res)
{
    const std::string name = req.matches[1];
    const auto file = std::find_if(m_options.downloads.begin(), m_options.downloads.end(),
                                   [&](const DownloadFile& d) { return d.name == name; });
    if (file == m_options.downloads.end()) {
        res.status = 404;
        return;
    }
    ++m_stats.downloadRequests;
    const DownloadFaults faults = downloadFaults(req);
    if (faults.status) {
        answerText(res, "refused on request\n", faults.status);
        return;
    }
    res.set_header("Accept-Ranges", "bytes");
    const std::uint64_t total = file->size;
    std::uint64_t first = 0, length = 0;
    if (!answerRange(req, res, total, first, length))
        return;
    if (length == 0) {
        res.set_content("", "application/octet-stream");
        return;
    }
    // Sends the next piece of the body from `offset` on, throttled. Returns
    // its size; 0 when the answer is to end (service stopping, client gone,
    // a stall that ran out).
    auto sendPiece = [this, first, length, faults](std::size_t offset, httplib::DataSink& sink) -> std::size_t {
        if (m_stopping)
            return 0;
        const auto stallAt = faults.stallAfter >= 0 ? static_cast<std::uint64_t>(faults.stallAfter) : length;
        if (offset >= stallAt) {
            // Holds the connection open without a byte, as a server that
            // hangs mid-body does, then drops it.
            pause(faults.stallMs);
            return 0;
        }
        const std::size_t throttled = m_down.pieceSize();
        const std::size_t at = static_cast<std::size_t>((first + offset) % kPatternPeriod);
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({throttled ? throttled : kFastPiece, length - offset, stallAt - offset}));
        if (!m_down.acquire(n) || !sink.write(m_pattern.data() + at, n))
            return 0;
        m_stats.downloadBytes += n;
        if (offset + n == length)
            ++m_stats.downloadsCompleted;
        return n;
    };
    if (faults.noLength) {
        // Chunked: the answer names no length anywhere. The provider's
        // offset would count the chunk framing too, so the body offset is
        // kept here.
        auto sent = std::make_shared<std::uint64_t>(0);
        res.set_chunked_content_provider("application/octet-stream",
                                         [sendPiece, length, sent](std::size_t, httplib::DataSink& sink) {
                                             if (*sent >= length) {
                                                 sink.done();
                                                 return true;
                                             }
                                             const std::size_t n = sendPiece(static_cast<std::size_t>(*sent), sink);
                                             *sent += n;
                                             return n > 0;
                                         });
        return;
    }
    res.set_content_provider(
        static_cast<std::size_t>(length), "application/octet-stream",
        [sendPiece](std::size_t offset, std::size_t, httplib::DataSink& sink) { return sendPiece(offset, sink) > 0; });
}

void Service::handleUpload(const Request& req, Response& res, const httplib::ContentReader& reader)
{
    ++m_stats.uploadRequests;
    const std::string boundary = multipartBoundary(req.get_header_value(kUploadContentType));
    ++(boundary.empty() ? m_stats.uploadOther : m_stats.uploadMultipart);
    UploadCounter counter(boundary);
    // The measuring clients count a byte when their socket takes it. On a
    // throttled line a receive buffer grown to megabytes would let them
    // count far ahead of the line (and then stall); a buffer of about 10 ms
    // of the line keeps their one-second samples true.
    if (const auto rate = m_up.rate();
        rate > 0 && limitReceiveBuffer({req.local_addr, req.local_port, req.remote_addr, req.remote_port},
                                       static_cast<int>(std::clamp<std::uint64_t>(rate / 100, 16 * 1024, 1024 * 1024))))
        ++m_stats.uploadBuffersLimited;
    bool tooLarge = false;
    const bool complete = reader([this, &counter, &tooLarge](const char* data, std::size_t n) {
        // Only a chunked body gets here unchecked; its length is counted.
        if (counter.bodyBytes() + n > m_options.maxUploadBody) {
            tooLarge = true;
            return false;
        }
        if (m_stopping || !m_up.acquire(n))
            return false;
        counter.feed(data, n);
        m_stats.uploadBodyBytes += n;
        return true;
    });
    if (complete)
        counter.finish();
    m_stats.uploadPayloadBytes += counter.payloadBytes();
    ++(complete ? m_stats.uploadsCompleted : m_stats.uploadsBroken);
    if (tooLarge) {
        ++m_stats.bodiesRefused;
        res.set_header("Connection", "close");
        answerText(res, "request body too large\n", 413);
        return;
    }
    answerText(res, complete ? "ok" : "incomplete", complete ? 200 : 400);
}

// ---------------------------------------------------------------------------
// Static files (update server, pages)

void Service::serveFile(const std::string& root, const std::string& relative, const Request& req, Response& res,
                        std::atomic<std::uint64_t>* byteCounter)
{
    const std::string path = resolveUnder(root, relative);
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {
    };
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0)
            ::close(fd);
        res.status = 404;
        return;
    }
    const std::uint64_t total = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t first = 0, length = 0;
    if (!answerRange(req, res, total, first, length)) {
        ::close(fd);
        return;
    }
    res.set_header("Accept-Ranges", "bytes");
    if (length == 0) {
        ::close(fd);
        res.set_content("", contentTypeOf(path));
        return;
    }
    res.set_content_provider(
        static_cast<std::size_t>(length), contentTypeOf(path),
        [this, fd, first, length, byteCounter](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (m_stopping)
                return false;
            char buf[64 * 1024];
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buf, length - offset));
            const ssize_t got = ::pread(fd, buf, want, static_cast<off_t>(first + offset));
            // A file that shrank under us ends the answer early, which the
            // client sees as a short body rather than as invented bytes.
            if (got <= 0 || !sink.write(buf, static_cast<std::size_t>(got)))
                return false;
            if (byteCounter)
                *byteCounter += static_cast<std::uint64_t>(got);
            return true;
        },
        [fd](bool) { ::close(fd); });
}

void Service::handleVideo(const Request& req, Response& res)
{
    ++m_stats.videoRequests;
    const std::string path = resolveUnder(m_videoDir, req.matches[1]);
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {
    };
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        res.status = 404;
        return;
    }
    const DownloadFaults faults = downloadFaults(req);
    std::uint64_t first = 0, length = 0;
    if (faults.status || !answerRange(req, res, static_cast<std::uint64_t>(st.st_size), first, length)) {
        ::close(fd);
        if (faults.status)
            answerText(res, "refused on request\n", faults.status);
        return;
    }
    res.set_header("Accept-Ranges", "bytes");
    res.set_header("Cache-Control", "no-store");
    if (length == 0) {
        ::close(fd);
        res.set_content("", contentTypeOf(path));
        return;
    }
    // The players measure the line, so the body goes out at the line rate
    // in pieces that the limiter grants.
    auto sendPiece = [this, fd, first, length, faults](std::uint64_t offset, httplib::DataSink& sink) -> std::size_t {
        if (m_stopping)
            return 0;
        const auto stallAt = faults.stallAfter >= 0 ? static_cast<std::uint64_t>(faults.stallAfter) : length;
        if (offset >= stallAt) {
            pause(faults.stallMs);
            return 0;
        }
        char buf[64 * 1024];
        const std::size_t throttled = m_down.pieceSize();
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>({throttled ? std::min<std::uint64_t>(throttled, sizeof buf) : sizeof buf,
                                     length - offset, stallAt - offset}));
        const ssize_t got = ::pread(fd, buf, want, static_cast<off_t>(first + offset));
        if (got <= 0 || !m_down.acquire(static_cast<std::size_t>(got)) ||
            !sink.write(buf, static_cast<std::size_t>(got)))
            return 0;
        m_stats.videoBytes += static_cast<std::uint64_t>(got);
        if (offset + static_cast<std::uint64_t>(got) == length)
            ++m_stats.videosCompleted;
        return static_cast<std::size_t>(got);
    };
    const std::string type = contentTypeOf(path);
    if (faults.noLength) {
        auto sent = std::make_shared<std::uint64_t>(0);
        res.set_chunked_content_provider(
            type,
            [sendPiece, length, sent](std::size_t, httplib::DataSink& sink) {
                if (*sent >= length) {
                    sink.done();
                    return true;
                }
                const std::size_t n = sendPiece(*sent, sink);
                *sent += n;
                return n > 0;
            },
            [fd](bool) { ::close(fd); });
        return;
    }
    res.set_content_provider(
        static_cast<std::size_t>(length), type,
        [sendPiece](std::size_t offset, std::size_t, httplib::DataSink& sink) { return sendPiece(offset, sink) > 0; },
        [fd](bool) { ::close(fd); });
}

} // namespace refsvc
