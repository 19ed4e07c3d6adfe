#include "options.h"

#include "behaviour.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace refsvc
{

namespace
{

bool parseInt(const std::string& text, long long min, long long max, long long& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    out = v;
    return true;
}

// Splits "a,b,c" into its non-empty parts.
std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == ',') {
            if (!current.empty())
                parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        parts.push_back(current);
    return parts;
}

// A servlet or context name becomes one path segment; anything that would
// change the path's shape is refused.
bool isPlainSegment(const std::string& s)
{
    if (s.empty() || s == "." || s == "..")
        return false;
    for (unsigned char c : s)
        if (c <= ' ' || c == '/' || c == '?' || c == '#' || c == '%' || c == '\\' || c >= 0x7f)
            return false;
    return true;
}

} // namespace

std::optional<std::uint64_t> parseSize(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    std::string digits = text;
    std::uint64_t unit = 1;
    switch (text.back()) {
    case 'k':
    case 'K':
        unit = 1024;
        break;
    case 'm':
    case 'M':
        unit = 1024ull * 1024;
        break;
    case 'g':
    case 'G':
        unit = 1024ull * 1024 * 1024;
        break;
    default:
        break;
    }
    if (unit != 1)
        digits.pop_back();
    long long v = 0;
    // 1 TiB is far beyond any useful download and keeps products in range.
    if (!parseInt(digits, 0, (1ll << 40) / static_cast<long long>(unit), v))
        return std::nullopt;
    return static_cast<std::uint64_t>(v) * unit;
}

std::optional<Endpoint> parseEndpoint(const std::string& text, int defaultPort)
{
    Endpoint e;
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        e.host = text;
        e.port = defaultPort;
    } else {
        e.host = text.substr(0, colon);
        long long port = 0;
        if (!parseInt(text.substr(colon + 1), 0, 65535, port))
            return std::nullopt;
        e.port = static_cast<int>(port);
    }
    if (e.host.empty())
        return std::nullopt;
    return e;
}

std::optional<std::uint64_t> parseMegabits(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e6)
        return std::nullopt;
    return static_cast<std::uint64_t>(std::llround(v * 1e6));
}

bool isLoopbackHost(const std::string& host)
{
    if (host == "localhost" || host == "::1")
        return true;
    in_addr v4{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

ParseResult parseOptions(const std::vector<std::string>& args)
{
    ParseResult result;
    Options& o = result.options;
    bool testServersGiven = false;

    // Each option takes exactly one value, given as "--name value" or
    // "--name=value"; the switches take none.
    using Setter = std::function<std::string(const std::string&)>;
    auto endpointOrNone = [](std::optional<Endpoint>& slot, int defaultPort) {
        return [&slot, defaultPort](const std::string& v) -> std::string {
            if (v == "none") {
                slot.reset();
                return {};
            }
            auto e = parseEndpoint(v, defaultPort);
            if (!e)
                return "expected HOST:PORT or none, got \"" + v + "\"";
            slot = *e;
            return {};
        };
    };
    auto segment = [](std::string& slot) {
        return [&slot](const std::string& v) -> std::string {
            if (!isPlainSegment(v))
                return "\"" + v + "\" is not a plain path segment";
            slot = v;
            return {};
        };
    };
    auto text = [](std::string& slot) {
        return [&slot](const std::string& v) -> std::string {
            slot = v;
            return {};
        };
    };
    auto rate = [](std::vector<std::uint64_t*> slots) {
        return [slots](const std::string& v) -> std::string {
            auto bits = parseMegabits(v);
            if (!bits)
                return "expected megabits per second, got \"" + v + "\"";
            for (auto* s : slots)
                *s = *bits;
            return {};
        };
    };
    auto mode = [](std::string& slot, SwitchKind kind) {
        return [&slot, kind](const std::string& v) -> std::string {
            std::string why;
            if (!parseMode(kind, v, &why))
                return why;
            slot = v;
            return {};
        };
    };

    const std::map<std::string, Setter> valued = {
        {"--web", endpointOrNone(o.web, 18080)},
        {"--update", endpointOrNone(o.update, 18081)},
        {"--video-dispatch",
         [&, set = endpointOrNone(o.videoDispatch, 80)](const std::string& v) {
             o.videoDispatchGiven = true;
             return set(v);
         }},
        {"--test-server",
         [&](const std::string& v) -> std::string {
             testServersGiven = true;
             if (v == "none")
                 return {};
             for (const auto& item : splitList(v)) {
                 auto e = parseEndpoint(item, 8080);
                 if (!e)
                     return "expected HOST[:PORT], got \"" + item + "\"";
                 o.testServers.push_back(*e);
             }
             return {};
         }},
        {"--web-project", segment(o.webProject)},
        {"--login-servlet", segment(o.loginServlet)},
        {"--score-servlet", segment(o.scoreServlet)},
        {"--portal-page-servlet", segment(o.portalPageServlet)},
        {"--portal-key-servlet", segment(o.portalKeyServlet)},
        {"--data", text(o.dataDir)},
        {"--users", text(o.usersFile)},
        {"--update-dir", text(o.updateDir)},
        {"--www-dir", text(o.wwwDir)},
        {"--download",
         [&](const std::string& v) -> std::string {
             const auto eq = v.find('=');
             if (eq == std::string::npos)
                 return "expected NAME=SIZE, got \"" + v + "\"";
             DownloadFile f;
             f.name = v.substr(0, eq);
             auto size = parseSize(v.substr(eq + 1));
             if (!isPlainSegment(f.name) || !size)
                 return "expected NAME=SIZE, got \"" + v + "\"";
             f.size = *size;
             o.downloads.push_back(f);
             return {};
         }},
        {"--rate-mbit", rate({&o.downBitsPerSecond, &o.upBitsPerSecond})},
        {"--down-mbit", rate({&o.downBitsPerSecond})},
        {"--up-mbit", rate({&o.upBitsPerSecond})},
        {"--login-mode", mode(o.loginMode, SwitchKind::Login)},
        {"--key-mode", mode(o.keyMode, SwitchKind::Key)},
        {"--portal-key-mode", mode(o.portalKeyMode, SwitchKind::PortalKey)},
        {"--clock-mode", mode(o.clockMode, SwitchKind::Clock)},
        {"--clock-offset",
         [&](const std::string& v) -> std::string {
             long long s = 0;
             if (!parseInt(v, -100ll * 365 * 86400, 100ll * 365 * 86400, s))
                 return "expected seconds, got \"" + v + "\"";
             o.clockOffsetSeconds = s;
             return {};
         }},
        {"--max-upload-body",
         [&](const std::string& v) -> std::string {
             auto size = parseSize(v);
             if (!size || *size < 64 * 1024)
                 return "expected a size of at least 64K, got \"" + v + "\"";
             o.maxUploadBody = *size;
             return {};
         }},
        {"--max-users",
         [&](const std::string& v) -> std::string {
             long long n = 0;
             if (!parseInt(v, 1, 10000000, n))
                 return "expected a user count from 1 to 10000000, got \"" + v + "\"";
             o.maxUsers = static_cast<std::size_t>(n);
             return {};
         }},
        {"--threads",
         [&](const std::string& v) -> std::string {
             long long n = 0;
             if (!parseInt(v, 4, 1024, n))
                 return "expected a thread count from 4 to 1024, got \"" + v + "\"";
             o.threadsPerListener = static_cast<int>(n);
             return {};
         }},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "--help" || name == "-h") {
            result.showHelp = true;
            continue;
        }
        if (name == "--quiet" || name == "-q") {
            o.quiet = true;
            continue;
        }
        if (name == "--allow-remote") {
            o.allowRemote = true;
            continue;
        }
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const auto it = valued.find(name);
        if (it == valued.end()) {
            result.error = "unknown option \"" + name + "\"";
            return result;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                result.error = name + " needs a value";
                return result;
            }
            value = args[++i];
        }
        if (auto why = it->second(*value); !why.empty()) {
            result.error = name + ": " + why;
            return result;
        }
    }

    if (!o.allowRemote) {
        std::vector<const Endpoint*> listeners;
        for (const auto* slot : {&o.web, &o.update, &o.videoDispatch})
            if (*slot)
                listeners.push_back(&**slot);
        for (const auto& t : o.testServers)
            listeners.push_back(&t);
        for (const auto* e : listeners) {
            if (!isLoopbackHost(e->host)) {
                result.error = "\"" + e->host + "\" is not a loopback address; --allow-remote listens there anyway";
                return result;
            }
        }
    }

    // The shipped server catalogue names these eight.
    if (!testServersGiven)
        for (int last = 2; last <= 9; ++last)
            o.testServers.push_back({"127.0.0." + std::to_string(last), 8080});
    // The bandwidth test's file first, then the file download test's presets
    // that the shipped settings name under /download/.
    if (o.downloads.empty()) {
        o.downloads.push_back({"download.dat", 100ull * 1024 * 1024});
        for (unsigned mb : {1u, 5u, 10u, 20u, 50u})
            o.downloads.push_back({std::to_string(mb) + "MB.bin", mb * 1024ull * 1024});
    }
    return result;
}

std::string helpText(const std::string& programName)
{
    return "Usage: " + programName + R"( [OPTION]...
Reference measurement service on loopback: web project, clock, test servers
and update server, with state in memory. Stops cleanly on SIGINT or SIGTERM.
Prints one line "quorvane-refsvc ready web=... update=... test=..." on
standard output once every listener accepts connections.

Listeners (HOST:PORT; port 0 picks a free port; "none" switches it off;
loopback addresses only, unless --allow-remote is given):
  --web HOST:PORT            web project and clock        [127.0.0.1:18080]
  --update HOST:PORT         update server, path /update/ [127.0.0.1:18081]
  --test-server HOST[:PORT]  a test server; repeat or give a comma list
                             [127.0.0.2:8080 to 127.0.0.9:8080]
  --video-dispatch HOST[:PORT]  sohu's dispatch service; the site answers
                             name HOST alone, so clients reach it on port 80
                             [127.0.0.10:80; skipped when it cannot listen]
The web project also stands in for the six video sites: pages under
/portal/video/SITE/, their services (/fetch.htm, /v.php, /player/...,
/v, /v_play.php, /videinfo.jhtml) beside it.
Web project names:
  --web-project NAME         context name                 [qvweb]
  --login-servlet NAME                                    [loginCheck]
  --score-servlet NAME                                    [scoreQuery]
  --portal-page-servlet NAME                              [portalPage]
  --portal-key-servlet NAME                               [portalKey]
Data:
  --data DIR                 data folder [refsvc/ beside the program]
  --users FILE               user file                    [DIR/users.txt]
  --update-dir DIR           update server folder         [DIR/update]
  --www-dir DIR              static pages under /www/     [DIR/www]
  --download NAME=SIZE       generated download file /speed/NAME (also
                             /download/NAME) on every test server; SIZE takes
                             K, M, G; repeatable [download.dat=100M and
                             1MB.bin, 5MB.bin, 10MB.bin, 20MB.bin, 50MB.bin]
Line rate (megabits of 10^6 bits per second; 0 = unthrottled):
  --rate-mbit R              both directions
  --down-mbit R              downloads from the test servers
  --up-mbit R                uploads to the test servers
Answers (also switchable at run time, see below):
  --login-mode MODE          normal, false, repsd, garbage, close, delay[:MS]
  --key-mode MODE            1, 0, 2, garbage, close, delay[:MS]
  --portal-key-mode MODE     normal, empty, garbage, close, delay[:MS]
  --clock-mode MODE          normal, error, redirect, nodate, close, delay[:MS]
  --clock-offset SECONDS     shift of the service clock (Date headers)
  "close" drops the connection without answering; "delay" answers normally
  after MS milliseconds (default 40000, past the clients' time-outs).
Limits:
  --max-upload-body SIZE     largest body of one upload to /speed/doload.do
                             [1G]; other requests take at most 8K
  --max-users N              users in memory, registrations included [10000]
Other:
  --allow-remote             listen on addresses other than loopback
  --threads N                worker threads per listener  [32]
  -q, --quiet                no request log on standard error
  -h, --help                 this text

Control (loopback peers only, on every listener):
  GET  /__control/stats                 counters, one "name=value" per line
  GET  /__control/carried               the latest throttled bodies as the line
                                        carried them, one per line
  GET  /__control/line                  bytes each direction of the line carried
                                        in each second, one second per line
  POST /__control/reset                 counters to zero, keys forgotten
  POST /__control/login-mode?mode=M     likewise key-mode, portal-key-mode,
                                        clock-mode
  POST /__control/rate?down=R&up=R      line rate in megabits per second
  POST /__control/clock-offset?seconds=S
)";
}

} // namespace refsvc
