// Which ICMP socket a user gets, in a network namespace of the test's own
// (ping_group_range is a per-namespace setting), as root and as a plain user.
#include "platform/icmp_socket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

using namespace quorvane::platform;

namespace
{

// Runs openIcmpSocket() in a child inside a fresh network namespace with the
// given ping_group_range, as the given user; "raw", "ping" or the failure text.
std::string openAs(const std::string& range, uid_t uid)
{
    int out[2];
    if (::pipe(out) != 0)
        return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        std::string answer;
        if (::unshare(CLONE_NEWNET) != 0) {
            answer = "unshare failed";
        } else {
            std::ofstream("/proc/sys/net/ipv4/ping_group_range") << range;
            if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) {
                answer = "setuid failed";
            } else {
                const IcmpOpenResult r = openIcmpSocket();
                answer = !r.socket ? r.failure : r.socket->framing() == IcmpFraming::IpHeader ? "raw" : "ping";
            }
        }
        [[maybe_unused]] const auto n = ::write(out[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string answer;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    return answer;
}

} // namespace

TEST(IcmpRights, PlainUsersGetThePingSocketOrAreToldWhatTheCountNeeds)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace and to become another user";
    constexpr uid_t nobody = 65534;
    struct Case {
        const char* range;
        uid_t uid;
        const char* expected; // the answer, or a text the failure must hold
    } cases[] = {
        {"1 0", 0, "raw"},
        {"0 2147483647", nobody, "ping"},
        {"65534 65534", nobody, "ping"},
        {"1 0", nobody, "net.ipv4.ping_group_range(1 0)"},
        {"0 100", nobody, "gid 65534"},
    };
    for (const auto& c : cases) {
        const std::string answer = openAs(c.range, c.uid);
        if (answer == "unshare failed")
            GTEST_SKIP() << "no network namespaces here";
        EXPECT_NE(answer.find(c.expected), std::string::npos) << c.range << " as " << c.uid << ": " << answer;
        if (std::string_view(c.expected).size() > 4) {
            EXPECT_NE(answer.find("sysctl -w net.ipv4.ping_group_range"), std::string::npos) << answer;
        }
    }
}
