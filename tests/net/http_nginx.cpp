#include "net/http_nginx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quorvane::testing
{

namespace fs = std::filesystem;

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "qv-http-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp");
    m_path = pattern;
    // nginx workers run as nobody and must read what lies here.
    fs::permissions(m_path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::uint16_t freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool runCommand(const std::string& commandLine)
{
    return std::system(commandLine.c_str()) == 0;
}

namespace
{

bool canConnect(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

NginxServer::NginxServer(const fs::path& root, std::vector<TlsSite> tlsSites, std::string serverExtra)
{
    const fs::path dir = m_dir.path();
    fs::create_directories(dir / "logs");
    fs::create_directories(dir / "tmp");
    for (int attempt = 0; attempt < 3 && m_pid < 0; ++attempt) {
        m_port = freeLoopbackPort();
        m_tlsPorts.clear();
        std::ostringstream conf;
        conf << "daemon off;\nworker_processes 1;\npid " << (dir / "nginx.pid").string() << ";\n"
             << "error_log " << (dir / "logs/error.log").string() << " warn;\n"
             << "events { worker_connections 256; }\n"
             << "http {\n"
             << "  log_format counts '$status $body_bytes_sent $request_length $request_method $uri';\n"
             << "  access_log " << (dir / "logs/access.log").string() << " counts;\n"
             << "  client_body_temp_path " << (dir / "tmp/body").string() << ";\n"
             << "  proxy_temp_path " << (dir / "tmp/proxy").string() << ";\n"
             << "  fastcgi_temp_path " << (dir / "tmp/fastcgi").string() << ";\n"
             << "  uwsgi_temp_path " << (dir / "tmp/uwsgi").string() << ";\n"
             << "  scgi_temp_path " << (dir / "tmp/scgi").string() << ";\n"
             << "  types { application/octet-stream bin; text/plain txt; }\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << m_port << ";\n"
             << "    root " << root.string() << ";\n"
             << "    location = /speed/doload.do {\n"
             << "      client_max_body_size 0; client_body_buffer_size 1m;\n"
             << "      proxy_request_buffering on; proxy_pass_request_body off;\n"
             << "      proxy_set_header Content-Length \"\"; proxy_set_header Expect \"\";\n"
             << "      proxy_pass http://127.0.0.1:" << m_port << "/__sink_ok;\n"
             << "    }\n"
             << "    location = /__sink_ok { allow 127.0.0.1; deny all; return 200 \"ok\\n\"; }\n"
             << serverExtra << "\n"
             << "  }\n";
        for (const TlsSite& site : tlsSites) {
            const std::uint16_t tlsPort = freeLoopbackPort();
            m_tlsPorts.push_back(tlsPort);
            conf << "  server {\n    listen 127.0.0.1:" << tlsPort << " ssl;\n"
                 << "    ssl_certificate " << site.certFile << ";\n    ssl_certificate_key " << site.keyFile << ";\n"
                 << "    location / { return 200 \"secure answer\"; }\n  }\n";
        }
        conf << "}\n";
        std::ofstream(dir / "nginx.conf") << conf.str();

        const std::string prefix = dir.string() + "/";
        const std::string confPath = (dir / "nginx.conf").string();
        const char* argv[] = {"nginx", "-p", prefix.c_str(), "-c", confPath.c_str(), nullptr};
        pid_t pid = -1;
        if (::posix_spawn(&pid, "/usr/sbin/nginx", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            continue;
        m_pid = pid;
        bool ready = waitUntilListening(m_port);
        for (std::uint16_t tlsPort : m_tlsPorts)
            ready = ready && waitUntilListening(tlsPort);
        if (!ready)
            stop(); // most likely a port taken in between: try other ports
    }
}

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::waitUntilListening(std::uint16_t port) const
{
    // nginx says nothing when it is ready; its port answering is the sign.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (canConnect(port))
            return true;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string NginxServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void NginxServer::stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGQUIT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_pid = -1;
}

std::vector<std::string> NginxServer::accessLog() const
{
    std::vector<std::string> lines;
    std::ifstream in(m_dir.path() / "logs/access.log");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TestCertificates::TestCertificates()
{
    const std::string d = m_dir.path().string();
    m_ok = runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=QuorvaneTestCA -keyout " + d +
                      "/ca.key -out " + d + "/ca.pem >/dev/null 2>&1");
}

TlsSite TestCertificates::issue(const std::string& label, const std::string& name)
{
    const std::string d = m_dir.path().string();
    const bool ip = name.find_first_not_of("0123456789.") == std::string::npos;
    std::ofstream(m_dir.path() / (label + ".ext")) << "subjectAltName=" << (ip ? "IP:" : "DNS:") << name << "\n";
    const TlsSite site{d + "/" + label + ".pem", d + "/" + label + ".key"};
    m_ok = m_ok &&
           runCommand("openssl req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " + site.keyFile + " -out " +
                      d + "/" + label + ".csr >/dev/null 2>&1") &&
           runCommand("openssl x509 -req -days 2 -in " + d + "/" + label + ".csr -CA " + d + "/ca.pem -CAkey " + d +
                      "/ca.key -CAcreateserial -extfile " + d + "/" + label + ".ext -out " + site.certFile +
                      " >/dev/null 2>&1");
    ::chmod(site.keyFile.c_str(), 0644);
    return site;
}

TlsSite TestCertificates::selfSigned(const std::string& label, const std::string& name)
{
    const std::string d = m_dir.path().string();
    const TlsSite site{d + "/" + label + ".pem", d + "/" + label + ".key"};
    m_ok = m_ok && runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name +
                              " -addext subjectAltName=IP:" + name + " -keyout " + site.keyFile + " -out " +
                              site.certFile + " >/dev/null 2>&1");
    ::chmod(site.keyFile.c_str(), 0644);
    return site;
}

} // namespace quorvane::testing
