#include "measure/latency.h"
#include "measure/support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>

using namespace quorvane;
using namespace quorvane::measure;
using namespace std::chrono_literals;

TEST(Latency, MedianOfTheAnswers)
{
    const std::pair<std::vector<double>, std::optional<double>> cases[] = {
        {{}, std::nullopt}, {{7}, 7.0}, {{9, 1}, 5.0}, {{30, 1, 2}, 2.0}, {{4, 100, 3, 2, 1000}, 4.0}};
    for (const auto& [values, median] : cases)
        EXPECT_EQ(Median(values), median) << values.size();
}

TEST(Latency, TcpConnectRoundTripAnswersOnlyWhereSomethingListens)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length), 0);
    const int port = ntohs(at.sin_port);

    const auto rtt = TcpConnectPinger(port)("127.0.0.1");
    ASSERT_TRUE(rtt.has_value());
    EXPECT_GE(*rtt, 0.0);
    ::close(listener);
    EXPECT_FALSE(TcpConnectPinger(port)("127.0.0.1").has_value()); // refused
    EXPECT_FALSE(TcpConnectPinger(port)("not-an-address").has_value());
    EXPECT_FALSE(TcpConnectPinger(0)("127.0.0.1").has_value());
}

TEST(Latency, ProbeSortsTheAnswersByThePhaseTheyLeftIn)
{
    auto clock = std::make_shared<test::SteppingClock>(test::localTime(2024, 1, 2, 3, 4, 5), 1ms);
    std::mutex mutex;
    std::condition_variable pinged;
    int calls = 0;
    double answer = 1.0;
    LatencyProbe probe(
        [&](const std::string& host) -> std::optional<double> {
            EXPECT_EQ(host, "127.0.0.6");
            std::lock_guard lock(mutex);
            ++calls;
            pinged.notify_all();
            return answer;
        },
        clock);
    auto phase = [&](LatencyProbe::Phase p, double value, int more) {
        {
            std::lock_guard lock(mutex);
            answer = value;
        }
        probe.setPhase(p);
        std::unique_lock lock(mutex);
        const int until = calls + more;
        ASSERT_TRUE(pinged.wait_for(lock, 30s, [&] { return calls >= until; }));
    };
    probe.start("127.0.0.6");
    phase(LatencyProbe::Phase::Idle, 1.0, 5);
    phase(LatencyProbe::Phase::Download, 50.0, 5);
    phase(LatencyProbe::Phase::Upload, 20.0, 5);
    const LatencyReport report = probe.stop();
    EXPECT_EQ(report.idleMs, 1.0);
    EXPECT_EQ(report.downloadMs, 50.0);
    EXPECT_EQ(report.uploadMs, 20.0);
    EXPECT_GE(report.idleCount, 5);
    EXPECT_GE(report.downloadCount, 4);
    // Stopped means stopped.
    const int after = calls;
    clock->sleepFor(10s);
    EXPECT_EQ(calls, after);

    // Without a host or a pinger there is nothing to report.
    LatencyProbe idle(nullptr, clock);
    idle.start("127.0.0.6");
    EXPECT_FALSE(idle.stop().idleMs.has_value());
}
