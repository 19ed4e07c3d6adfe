#include "platform/single_instance.h"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvane::platform
{
namespace
{

constexpr std::string_view kPost = "post";
constexpr std::string_view kForeground = "foreground";
constexpr std::string_view kAck = "ok\n";
// A message line is a few dozen bytes; anything longer is not ours.
constexpr qsizetype kMaxLine = 96;
constexpr int kClientGraceMs = 3000;
// Leaves room for a runtime folder path inside sockaddr_un's 108 bytes.
constexpr std::size_t kMaxKeyName = 48;

// Only the spelling encodeActivation writes: no leading zeros, no "-0", so
// that one message has one line and a line cannot smuggle padding.
template <typename T> bool parseNumber(std::string_view text, T& out)
{
    const std::string_view digits = text.substr(text.starts_with('-') ? 1 : 0);
    if (digits.empty() || (digits.front() == '0' && (digits.size() > 1 || digits.size() < text.size())))
        return false;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

// A folder we may keep a lock and socket in: a real folder (not a link),
// owned by us, closed to group and others.
bool isPrivateFolder(const std::filesystem::path& dir)
{
    struct stat st {
    };
    if (::lstat(dir.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

std::uint64_t fnv1a(std::string_view text)
{
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

std::string encodeActivation(const ActivationMessage& message)
{
    if (message.kind == ActivationMessage::Kind::BringToFront)
        return std::string(kForeground);
    return std::string(kPost) + " " + std::to_string(message.message) + " " + std::to_string(message.wParam) + " " +
           std::to_string(message.lParam);
}

std::optional<ActivationMessage> decodeActivation(std::string_view line)
{
    if (line == kForeground)
        return ActivationMessage::bringToFront();
    std::string_view fields[4];
    std::size_t count = 0;
    while (!line.empty()) {
        if (count == 4)
            return std::nullopt;
        const auto blank = line.find(' ');
        fields[count++] = line.substr(0, blank);
        if (blank == std::string_view::npos)
            break;
        line.remove_prefix(blank + 1);
        if (line.empty())
            return std::nullopt; // trailing blank
    }
    if (count != 4 || fields[0] != kPost)
        return std::nullopt;
    ActivationMessage m = ActivationMessage::post(0, 0, 0);
    if (!parseNumber(fields[1], m.message) || !parseNumber(fields[2], m.wParam) || !parseNumber(fields[3], m.lParam))
        return std::nullopt;
    return m;
}

std::optional<std::filesystem::path> userRuntimeDirectory()
{
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && xdg[0] == '/') {
        if (isPrivateFolder(xdg))
            return std::filesystem::path(xdg);
    }
    const std::filesystem::path fallback = "/tmp/quorvane-" + std::to_string(::getuid());
    // mkdir fails on anything already there; the check below then decides
    // whether what is there is ours and private.
    ::mkdir(fallback.c_str(), 0700);
    if (isPrivateFolder(fallback))
        return fallback;
    return std::nullopt;
}

std::string instanceKey(std::string_view instanceName, unsigned uid)
{
    std::string key;
    for (std::size_t i = 0; i < instanceName.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(instanceName[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                           c == '-' || (c == '.' && i != 0);
        if (plain) {
            key.push_back(static_cast<char>(c));
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            key += hex;
        }
    }
    if (key.size() > kMaxKeyName) {
        char hash[20];
        std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(fnv1a(instanceName)));
        key.resize(kMaxKeyName - 17);
        // Never leave half of a %XX behind.
        if (const auto pct = key.rfind('%'); pct != std::string::npos && pct + 3 > key.size())
            key.resize(pct);
        key += hash;
    }
    return key + "-u" + std::to_string(uid);
}

LocalSingleInstance::LocalSingleInstance(std::string instanceName)
    : LocalSingleInstance(std::move(instanceName), userRuntimeDirectory())
{
}

LocalSingleInstance::LocalSingleInstance(std::string instanceName,
                                         std::optional<std::filesystem::path> runtimeDirectory)
    : m_name(std::move(instanceName)), m_dir(std::move(runtimeDirectory))
{
}

LocalSingleInstance::~LocalSingleInstance()
{
    stopAccepting();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

std::filesystem::path LocalSingleInstance::lockFile() const
{
    return m_dir ? *m_dir / (instanceKey(m_name, ::getuid()) + ".lock") : std::filesystem::path();
}

std::filesystem::path LocalSingleInstance::socketFile() const
{
    return m_dir ? *m_dir / (instanceKey(m_name, ::getuid()) + ".sock") : std::filesystem::path();
}

bool LocalSingleInstance::claim()
{
    if (m_lockFd >= 0)
        return true;
    if (!m_dir)
        return true;
    // Close-on-exec: a program we start (the updater) must not inherit the
    // lock and keep this instance "running" after we are gone.
    const int fd = ::open(lockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return !held;
    }
    m_lockFd = fd;
    return true;
}

bool LocalSingleInstance::activateRunning(const ActivationMessage& message, int timeoutMs)
{
    const std::string path = socketFile().string();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (ok) {
        const std::string line = encodeActivation(message) + "\n";
        pollfd pfd{fd, POLLOUT, 0};
        ok = ::poll(&pfd, 1, remainingMs(deadline)) == 1 &&
             ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    }
    if (ok) {
        std::string reply;
        char buf[16];
        while (reply.size() < kAck.size()) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, remainingMs(deadline)) != 1)
                break;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            reply.append(buf, static_cast<std::size_t>(n));
        }
        ok = reply.starts_with(kAck);
    }
    ::close(fd);
    return ok;
}

bool LocalSingleInstance::acceptActivations(std::function<void(const ActivationMessage&)> handler)
{
    stopAccepting();
    if (m_lockFd < 0)
        return false;
    const QString path = QString::fromStdString(socketFile().string());
    // We hold the lock, so a socket file left here belongs to an instance
    // that died without cleaning up.
    QLocalServer::removeServer(path);
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(path))
        return false;

    QLocalServer* raw = server.get();
    auto shared = std::make_shared<std::function<void(const ActivationMessage&)>>(std::move(handler));
    QObject::connect(raw, &QLocalServer::newConnection, raw, [raw, shared] {
        while (QLocalSocket* socket = raw->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            // A client that never finishes its line is dropped, so it cannot
            // pile up connections.
            QTimer::singleShot(kClientGraceMs, socket, [socket] { socket->abort(); });
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, shared] {
                // canReadLine/readLine keep unread bytes in Qt's buffer.
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > kMaxLine)
                        socket->abort();
                    return;
                }
                QByteArray line = socket->readLine(kMaxLine + 1);
                if (line.endsWith('\n'))
                    line.chop(1);
                const auto message = decodeActivation(std::string_view(line.constData(), line.size()));
                if (message) {
                    (*shared)(*message);
                    socket->write(kAck.data(), static_cast<qint64>(kAck.size()));
                    socket->flush();
                }
                socket->disconnectFromServer();
            });
        }
    });
    m_server = std::move(server);
    return true;
}

void LocalSingleInstance::stopAccepting()
{
    if (!m_server)
        return;
    m_server->close();
    m_server.reset();
}

} // namespace quorvane::platform
