#include "service.h"

#include "answers.h"
#include "replies.h"

#include "common/codepage.h"

#include <httplib.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
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

constexpr long long kMaxClockOffset = 100ll * 365 * 86400;

bool isLoopbackPeer(const std::string& addr)
{
    return addr.rfind("127.", 0) == 0 || addr == "::1" || addr.rfind("::ffff:127.", 0) == 0;
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

} // namespace

struct Service::Listener {
    Role role;
    Endpoint endpoint;
    httplib::Server server;
    std::thread thread;
};

// ---------------------------------------------------------------------------
// Life cycle

namespace
{

std::string updateDirOf(const Options& o)
{
    return o.updateDir.empty() ? o.dataDir + "/update" : o.updateDir;
}

} // namespace

Service::Service(Options options)
    : m_options(std::move(options)),
      m_usersPath(m_options.usersFile.empty() ? m_options.dataDir + "/users.txt" : m_options.usersFile),
      m_state(m_options), m_web(m_state), m_test(m_state), m_update(m_state, updateDirOf(m_options))
{
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
    m_web.users().replace(std::move(parsed.users));
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
    m_web.setStreamBase(streamBase, dispatchHost);
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
    m_state.stop();
    for (auto& l : m_listeners)
        l->server.stop();
}

void Service::join()
{
    for (auto& l : m_listeners)
        if (l->thread.joinable())
            l->thread.join();
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
        ++m_state.stats.requests;
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
            ++m_state.stats.bodiesRefused;
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
            res.set_header("Date", httpDate(m_state.serviceNow()));
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
        m_web.addRoutes(s);
        break;
    case Role::Test:
        m_test.addRoutes(s);
        break;
    case Role::Update:
        m_update.addRoutes(s);
        break;
    case Role::Dispatch:
        m_web.addDispatchRoutes(s);
        break;
    }
}

void Service::addControl(httplib::Server& s)
{
    s.Get("/__control/stats", [this](const Request&, Response& res) {
        const auto [active, deferred] = m_test.keyCounts();
        std::string out = m_state.stats.render();
        out += "keys_active=" + std::to_string(active) + "\nkeys_waiting=" + std::to_string(deferred) + "\n";
        out += "users=" + std::to_string(m_web.users().size()) + "\n";
        out += "login_mode=" + m_web.loginMode().get().name + "\nkey_mode=" + m_test.keyMode().get().name +
               "\nportal_key_mode=" + m_web.portalKeyMode().get().name +
               "\nclock_mode=" + m_web.clockMode().get().name + "\n";
        out += "down_bits_per_second=" + std::to_string(m_state.down.rate() * 8) +
               "\nup_bits_per_second=" + std::to_string(m_state.up.rate() * 8) + "\n";
        out += "clock_offset=" + std::to_string(m_state.clockOffset.load()) + "\n";
        answerText(res, out);
    });
    s.Get("/__control/carried", [this](const Request&, Response& res) {
        std::string out;
        char line[256];
        for (const CarriedBody& b : m_state.carried()) {
            std::snprintf(line, sizeof line,
                          " length=%llu bytes=%llu first_piece=%llu request_ms=%.3f first_ms=%.3f last_ms=%.3f\n",
                          static_cast<unsigned long long>(b.length), static_cast<unsigned long long>(b.bytes),
                          static_cast<unsigned long long>(b.firstPiece), b.requestMs, b.firstMs, b.lastMs);
            out += "type=" + b.type + line;
        }
        answerText(res, out);
    });
    s.Get("/__control/line", [this](const Request&, Response& res) {
        std::string out;
        for (const auto& [name, line] : {std::pair{"down", &m_state.down}, std::pair{"up", &m_state.up}})
            for (const auto& [second, bytes] : line->carriedSeconds())
                out += std::string("dir=") + name + " second=" + std::to_string(second) +
                       " bytes=" + std::to_string(bytes) + "\n";
        answerText(res, out);
    });
    s.Post("/__control/reset", [this](const Request&, Response& res) {
        m_state.stats.reset();
        m_test.forgetKeys();
        m_web.forgetKeys();
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
        ModeSwitch& sw = which == "login"        ? m_web.loginMode()
                         : which == "key"        ? m_test.keyMode()
                         : which == "portal-key" ? m_web.portalKeyMode()
                                                 : m_web.clockMode();
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
            (std::string(dir) == "down" ? m_state.down : m_state.up).setRate(*bits / 8);
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
        m_state.clockOffset = v;
        answerText(res, "ok\n");
    });
}

} // namespace refsvc
