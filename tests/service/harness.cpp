#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace refsvc_test
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace
{

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

Address parseAddress(const std::string& text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return {};
    return {text.substr(0, colon), std::atoi(text.c_str() + colon + 1)};
}

std::string lower(std::string s)
{
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

std::string outDir()
{
    return QUORVANE_OUT_DIR;
}

std::string sourceDir()
{
    return QUORVANE_SOURCE_DIR;
}

// ---------------------------------------------------------------------------

RefService::RefService(std::vector<std::string> args, bool withLog)
{
    if (!withLog)
        args.push_back("--quiet");
    char logTemplate[] = "/tmp/refsvc-test-log-XXXXXX";
    const int logFd = mkstemp(logTemplate);
    if (logFd < 0)
        return;
    m_logPath = logTemplate;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(logFd);
        return;
    }

    const std::string program = outDir() + "/quorvane-refsvc";
    std::vector<std::string> argvText = {program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    const int spawned = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(logFd);
    if (spawned != 0) {
        m_pid = -1;
        close(out[0]);
        return;
    }
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));

    // The ready line, or the end of the output when the service gives up.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0)
            break;
        char buf[512];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (line.rfind("quorvane-refsvc ready ", 0) != 0 || line.find('\n') == std::string::npos)
        return;
    m_readyLine = line.substr(0, line.find('\n'));
    std::istringstream words(m_readyLine);
    std::string word;
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        if (value == "none")
            continue;
        if (key == "web")
            m_web = parseAddress(value);
        else if (key == "update")
            m_update = parseAddress(value);
        else if (key == "test") {
            std::istringstream list(value);
            std::string item;
            while (std::getline(list, item, ','))
                m_tests.push_back(parseAddress(item));
        }
    }
    m_ready = true;
}

RefService::~RefService()
{
    if (m_pid > 0 && !stop(SIGTERM, std::chrono::seconds(10))) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    if (m_pidfd >= 0)
        close(m_pidfd);
    if (!m_logPath.empty())
        unlink(m_logPath.c_str());
}

std::optional<int> RefService::stop(int signal, milliseconds limit)
{
    if (m_pid <= 0)
        return std::nullopt;
    kill(m_pid, signal);
    pollfd p{m_pidfd, POLLIN, 0};
    if (m_pidfd >= 0)
        poll(&p, 1, static_cast<int>(limit.count()));
    int status = 0;
    if (waitpid(m_pid, &status, m_pidfd >= 0 ? WNOHANG : 0) != m_pid)
        return std::nullopt;
    m_pid = -1;
    return status;
}

std::string RefService::log() const
{
    std::ifstream in(m_logPath);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::map<std::string, std::string> RefService::stats() const
{
    const Address at = !m_web.host.empty() ? m_web : !m_tests.empty() ? m_tests.front() : m_update;
    std::map<std::string, std::string> values;
    std::istringstream lines(get(at, "/__control/stats").body);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::uint64_t RefService::counter(const std::string& name) const
{
    const auto all = stats();
    const auto it = all.find(name);
    return it == all.end() ? UINT64_MAX : std::strtoull(it->second.c_str(), nullptr, 10);
}

bool RefService::counterAtLeast(const std::string& name, std::uint64_t value, std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::uint64_t now = counter(name);
        if (now != UINT64_MAX && now >= value) // UINT64_MAX: not reported
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool RefService::control(const std::string& pathAndQuery) const
{
    const Address at = !m_web.host.empty() ? m_web : !m_tests.empty() ? m_tests.front() : m_update;
    return roundTrip(at,
                     "POST " + pathAndQuery + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
               .status == 200;
}

// ---------------------------------------------------------------------------

std::string Reply::header(const std::string& lowerName) const
{
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

Reply parseReply(const std::string& raw, bool headRequest)
{
    Reply r;
    r.raw = raw;
    const auto end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    r.received = true;
    r.head = raw.substr(0, end + 2);
    if (r.head.rfind("HTTP/1.", 0) == 0 && r.head.size() > 12)
        r.status = std::atoi(r.head.c_str() + 9);
    std::size_t pos = r.head.find("\r\n") + 2;
    while (pos < r.head.size()) {
        const auto eol = r.head.find("\r\n", pos);
        const std::string line = r.head.substr(pos, eol - pos);
        pos = eol + 2;
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ')
            ++v;
        r.headers.emplace(lower(line.substr(0, colon)), line.substr(v));
    }
    r.body = headRequest ? std::string() : raw.substr(end + 4);
    if (r.has("content-length") && !headRequest) {
        const auto length = std::strtoull(r.header("content-length").c_str(), nullptr, 10);
        if (r.body.size() > length)
            r.body.resize(length);
    }
    return r;
}

int connectTo(const Address& to, milliseconds timeout)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(to.port));
    if (inet_pton(AF_INET, to.host.c_str(), &sa.sin_addr) != 1)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

Reply roundTrip(const Address& to, const std::string& request, milliseconds timeout, bool headRequest)
{
    const auto deadline = Clock::now() + timeout;
    const int fd = connectTo(to, timeout);
    if (fd < 0)
        return {};
    std::string raw;
    if (sendAll(fd, request))
        raw = readAnswer(fd, deadline, headRequest);
    close(fd);
    return parseReply(raw, headRequest);
}

std::string readAnswer(int fd, Clock::time_point deadline, bool headRequest)
{
    std::string raw;
    std::size_t wanted = std::string::npos; // total bytes, once the head is known
    while (raw.size() < wanted) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0)
            break;
        char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        raw.append(buf, static_cast<std::size_t>(n));
        if (wanted == std::string::npos && raw.find("\r\n\r\n") != std::string::npos) {
            // The head is parsed once; the body is then only counted.
            const Reply head = parseReply(raw, true);
            const std::size_t headSize = head.head.size() + 2;
            if (headRequest)
                wanted = headSize;
            else if (head.has("content-length"))
                wanted = headSize + std::strtoull(head.header("content-length").c_str(), nullptr, 10);
        }
    }
    return raw;
}

Reply get(const Address& to, const std::string& target, const std::string& extraHeaders)
{
    return roundTrip(to, "GET " + target + " HTTP/1.1\r\nHost: " + to.host + "\r\n" + extraHeaders +
                             "Connection: close\r\n\r\n");
}

Reply head(const Address& to, const std::string& target)
{
    return roundTrip(to, "HEAD " + target + " HTTP/1.1\r\nHost: " + to.host + "\r\nConnection: close\r\n\r\n",
                     milliseconds(10000), true);
}

// ---------------------------------------------------------------------------

TempDir::TempDir()
{
    char name[] = "/tmp/refsvc-test-XXXXXX";
    if (mkdtemp(name))
        m_path = name;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const
{
    const std::string path = m_path + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

} // namespace refsvc_test
