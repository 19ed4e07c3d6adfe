// The single-instance claim and the activation hand-over, in one process:
// the claim is a real lock file, the hand-over a real local socket.
#include "platform/processes.h"
#include "platform/single_instance.h"
#include "platform/test_support.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

using namespace quorvane::platform;
using quorvane::test::TempDir;

namespace
{

QCoreApplication& app()
{
    static int argc = 1;
    static char name[] = "single_instance_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

// A runtime folder as the session would give it: ours and private.
struct RuntimeDir {
    TempDir dir;
    RuntimeDir() { ::chmod(dir.path().c_str(), 0700); }
    const std::filesystem::path& path() const { return dir.path(); }
};

// Runs `work` on another thread while this thread's event loop serves the
// socket; the result, or nothing when the time ran out.
template <typename F> auto serveWhile(F work, int timeoutMs) -> std::optional<decltype(work())>
{
    QEventLoop loop;
    std::optional<decltype(work())> result;
    std::thread worker([&] {
        auto value = work();
        QMetaObject::invokeMethod(
            &loop,
            [&loop, &result, value] {
                result = value;
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    worker.join();
    return result;
}

// Connects to a socket path and sends raw bytes; returns what came back
// before the server closed the connection (or the time ran out).
std::string sendRaw(const std::filesystem::path& socket, const std::string& bytes)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[64];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

} // namespace

TEST(SingleInstance, OneClaimPerNameUntilReleased)
{
    RuntimeDir run;
    auto first = std::make_unique<LocalSingleInstance>("Quorvane", run.path());
    LocalSingleInstance second("Quorvane", run.path());
    LocalSingleInstance otherName("QuorvaneCopy", run.path());
    LocalSingleInstance otherSession("Quorvane", RuntimeDir().path());

    EXPECT_TRUE(first->claim());
    EXPECT_FALSE(second.claim());
    EXPECT_TRUE(otherName.claim());
    first.reset();
    EXPECT_TRUE(second.claim()) << "the claim ends with its holder";
}

TEST(SingleInstance, AStartedProgramDoesNotInheritTheClaim)
{
    // Quorvane starts the updater, which outlives it; the updater must not
    // keep Quorvane's claim, or Quorvane could never start again.
    RuntimeDir run;
    TempDir work;
    auto first = std::make_unique<LocalSingleInstance>("Quorvane", run.path());
    ASSERT_TRUE(first->claim());
    LinuxProcessControl processes;
    const auto pid = processes.startDetached(FAKE_PROGRAM, {"sleep=20000"}, work.path());
    ASSERT_TRUE(pid.has_value());
    first.reset();
    LocalSingleInstance again("Quorvane", run.path());
    EXPECT_TRUE(again.claim());
    ::kill(static_cast<pid_t>(*pid), SIGKILL);
}

TEST(SingleInstance, ActivationReachesTheRunningInstance)
{
    app();
    RuntimeDir run;
    LocalSingleInstance first("Quorvane", run.path());
    ASSERT_TRUE(first.claim());
    std::vector<ActivationMessage> received;
    ASSERT_TRUE(first.acceptActivations([&](const ActivationMessage& m) { received.push_back(m); }));

    for (const auto& message : {ActivationMessage::post(1174, 128, 515), ActivationMessage::bringToFront()}) {
        LocalSingleInstance second("Quorvane", run.path());
        ASSERT_FALSE(second.claim());
        EXPECT_EQ(serveWhile([&] { return second.activateRunning(message, 5000); }, 10000), true);
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received.back(), message);
    }
    EXPECT_EQ(received.size(), 2u);
}

TEST(SingleInstance, NobodyListeningMeansNoAnswer)
{
    app();
    RuntimeDir run;
    LocalSingleInstance first("Quorvane", run.path());
    ASSERT_TRUE(first.claim());
    LocalSingleInstance second("Quorvane", run.path());

    // Still starting: claimed, not yet accepting.
    // No wait for a missing socket: waiting out this limit would outlast the
    // test's own time-out.
    EXPECT_FALSE(second.activateRunning(ActivationMessage::bringToFront(), 600000));

    // Ending: accepted once, then stopped.
    ASSERT_TRUE(first.acceptActivations([](const ActivationMessage&) {}));
    first.stopAccepting();
    EXPECT_FALSE(second.activateRunning(ActivationMessage::bringToFront(), 2000));
}

TEST(SingleInstance, GarbageGetsNoAnswerAndReachesNoHandler)
{
    app();
    RuntimeDir run;
    LocalSingleInstance first("Quorvane", run.path());
    ASSERT_TRUE(first.claim());
    int calls = 0;
    ASSERT_TRUE(first.acceptActivations([&](const ActivationMessage&) { ++calls; }));
    for (const std::string& bytes :
         {std::string("post 1174 128\n"), std::string(4096, 'x'), std::string("foreground"), std::string("\n")}) {
        EXPECT_EQ(serveWhile([&] { return sendRaw(first.socketFile(), bytes); }, 10000), "") << bytes.substr(0, 20);
    }
    EXPECT_EQ(calls, 0);
    // The server still serves well-formed requests afterwards.
    EXPECT_EQ(serveWhile([&] { return sendRaw(first.socketFile(), "foreground\n"); }, 10000), "ok\n");
    EXPECT_EQ(calls, 1);
}

TEST(SingleInstance, AStaleSocketFromACrashIsReplaced)
{
    app();
    RuntimeDir run;
    LocalSingleInstance first("Quorvane", run.path());
    // What a killed instance leaves behind: a socket file nobody listens on.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, first.socketFile().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_TRUE(std::filesystem::exists(first.socketFile()));

    ASSERT_TRUE(first.claim());
    int calls = 0;
    ASSERT_TRUE(first.acceptActivations([&](const ActivationMessage&) { ++calls; }));
    LocalSingleInstance second("Quorvane", run.path());
    EXPECT_EQ(serveWhile([&] { return second.activateRunning(ActivationMessage::bringToFront(), 5000); }, 10000), true);
    EXPECT_EQ(calls, 1);
}

TEST(SingleInstance, RuntimeFolderMustBePrivate)
{
    TempDir open;
    ::chmod(open.path().c_str(), 0755);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", open.path().c_str(), 1);
    const auto chosen = userRuntimeDirectory();
    ::chmod(open.path().c_str(), 0700);
    const auto privateChoice = userRuntimeDirectory();
    if (old)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");

    ASSERT_TRUE(chosen.has_value());
    EXPECT_NE(*chosen, open.path()) << "a folder others may enter is not used";
    EXPECT_EQ(*chosen, "/tmp/quorvane-" + std::to_string(::getuid()));
    struct stat st {
    };
    ASSERT_EQ(::stat(chosen->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(privateChoice, open.path());
}
