#pragma once
// Command line of quorvane-refsvc. Parsing is a pure function so that the
// tests can check every option without starting a server.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace refsvc
{

struct Endpoint {
    std::string host;
    int port = 0; // 0: the kernel picks a free port (reported on the ready line)
};

struct DownloadFile {
    std::string name; // served as /speed/<name> on every test server
    std::uint64_t size = 0;
};

struct Options {
    // Listeners. An unset optional means the listener is switched off.
    std::optional<Endpoint> web = Endpoint{"127.0.0.1", 18080};
    std::optional<Endpoint> update = Endpoint{"127.0.0.1", 18081};
    std::vector<Endpoint> testServers; // filled with the defaults when none is given
    // The sohu stand-in's dispatch service. Its address travels in the
    // site's answers without a port, so it listens on port 80: a default
    // that cannot be bound (no root) only switches it off.
    std::optional<Endpoint> videoDispatch = Endpoint{"127.0.0.10", 80};
    bool videoDispatchGiven = false;

    // Names inside the web project.
    std::string webProject = "qvweb";
    std::string loginServlet = "loginCheck";
    std::string scoreServlet = "scoreQuery";
    std::string portalPageServlet = "portalPage";
    std::string portalKeyServlet = "portalKey";

    // Fixed data. Empty paths are derived from dataDir.
    std::string dataDir;
    std::string usersFile;
    std::string updateDir;
    std::string wwwDir;

    std::vector<DownloadFile> downloads; // filled with the default when none is given

    // Line rate per direction in bits per second; 0 = unthrottled.
    std::uint64_t downBitsPerSecond = 0;
    std::uint64_t upBitsPerSecond = 0;

    // Initial behaviours of the switchable answers (see Behaviour).
    std::string loginMode = "normal";
    std::string keyMode = "1";
    std::string portalKeyMode = "normal";
    std::string clockMode = "normal";
    long long clockOffsetSeconds = 0;

    int threadsPerListener = 32;
    bool quiet = false;

    // Listeners stay on loopback unless this is set: the service answers
    // anyone with logins, keys and gigabytes, and trusts its control paths
    // to loopback peers only.
    bool allowRemote = false;

    // Request bodies: the upload sink takes one measurement file per request
    // (multipart framing included, or the repeated 32 KiB chunk); every other
    // request carries at most a small form.
    std::uint64_t maxUploadBody = 1ull << 30;
    // (The HTTP library's own limit of url-encoded forms is the same.)
    static constexpr std::uint64_t kMaxFormBody = 8 * 1024;

    // Users held in memory, those of the users file included; registrations
    // beyond it are refused.
    std::size_t maxUsers = 10000;
};

struct ParseResult {
    Options options;
    bool showHelp = false;
    std::string error; // non-empty: the command line was not understood
};

ParseResult parseOptions(const std::vector<std::string>& args);

std::string helpText(const std::string& programName);

// "1024", "64K", "100M", "2G" (binary multiples). Empty optional when invalid.
std::optional<std::uint64_t> parseSize(const std::string& text);

// "host:port" with a numeric port; "host" alone takes defaultPort.
std::optional<Endpoint> parseEndpoint(const std::string& text, int defaultPort);

// Megabits (10^6 bits) per second as decimal text, such as "50" or "2.5".
std::optional<std::uint64_t> parseMegabits(const std::string& text);

// 127.0.0.0/8, ::1 or "localhost".
bool isLoopbackHost(const std::string& host);

} // namespace refsvc
