// The ping loop against a scripted socket: which replies count, what a
// time-out or a failure does, and where the engine pauses.
#include "ping/icmp_message.h"
#include "ping/icmp_ping.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace quorvane;
using platform::IcmpFraming;
using platform::IoStatus;
using std::chrono::milliseconds;

namespace
{

constexpr std::uint16_t kOurId = 0x2A2A;

enum class Answer { Reply, OwnRequest, ForeignReply, Nothing };

struct Step {
    IoStatus send = IoStatus::Done;
    IoStatus receive = IoStatus::Done;
    Answer answer = Answer::Reply;
    int delayMs = 0;                 // clock time the answer takes
    std::string source = "10.0.0.5"; // where it comes from
};

std::uint32_t address(const std::string& text)
{
    return *platform::resolveIpv4(text); // dotted: no lookup
}

// Plays one step per send/receive pair, answering the request it was sent.
class ScriptedSocket final : public platform::IcmpSocket
{
public:
    ScriptedSocket(std::vector<Step> steps, test::FakeClock& clock) : m_steps(std::move(steps)), m_clock(clock) {}

    IcmpFraming framing() const override { return IcmpFraming::IpHeader; }
    std::uint16_t identifier() const override { return kOurId; }
    bool setTimeouts(milliseconds, milliseconds) override { return true; }
    IoStatus send(std::span<const std::uint8_t> message, std::uint32_t) override
    {
        if (m_next >= m_steps.size())
            return IoStatus::Failed;
        std::memcpy(&m_sequence, message.data() + 6, 2);
        std::memcpy(&m_stamp, message.data() + 8, 4);
        const auto status = m_steps[m_next].send;
        if (status != IoStatus::Done)
            ++m_next;
        return status;
    }
    IoStatus receive(std::span<std::uint8_t> buffer, std::size_t& length, std::uint32_t& source) override
    {
        if (m_next >= m_steps.size())
            return IoStatus::Failed;
        const Step& step = m_steps[m_next++];
        if (step.receive != IoStatus::Done)
            return step.receive;
        m_clock.advance(milliseconds(step.delayMs));
        const auto type = step.answer == Answer::OwnRequest ? kIcmpEchoRequest : kIcmpEchoReply;
        const auto id = static_cast<std::uint16_t>(step.answer == Answer::ForeignReply ? kOurId + 1 : kOurId);
        const auto icmp = BuildEchoMessage(type, id, m_sequence, m_stamp);
        std::fill(buffer.begin(), buffer.begin() + 20, 0);
        buffer[0] = 0x45;
        std::copy(icmp.begin(), icmp.end(), buffer.begin() + 20);
        length = 20 + icmp.size();
        source = address(step.source);
        return IoStatus::Done;
    }

private:
    std::vector<Step> m_steps;
    test::FakeClock& m_clock;
    std::size_t m_next = 0;
    std::uint16_t m_sequence = 0;
    std::uint32_t m_stamp = 0;
};

struct Harness {
    std::shared_ptr<test::FakeClock> clock = std::make_shared<test::FakeClock>();
    std::vector<std::string> log;
    std::vector<Step> steps;
    bool socketOpens = true;
    IcmpPinger pinger{clock, [this](std::string_view line) { log.emplace_back(line); },
                      [this] {
                          platform::IcmpOpenResult result;
                          if (socketOpens)
                              result.socket = std::make_unique<ScriptedSocket>(steps, *clock);
                          else
                              result.failure = "no CAP_NET_RAW";
                          return result;
                      }};
};

TEST(IcmpPing, CountsOnlyRepliesAndPausesAfterEveryDatagram)
{
    const Step timedOutSend{IoStatus::TimedOut};
    const Step timedOutReceive{IoStatus::Done, IoStatus::TimedOut};
    struct Case {
        const char* what;
        std::vector<Step> steps;
        int result;
        std::vector<int> rtts;
        std::vector<std::string> responders;
        int pauses; // of 1000 ms
    };
    const Case cases[] = {
        {"replies; one of 0 ms is no round-trip time",
         {{.delayMs = 7}, {.delayMs = 0}, {.delayMs = 3, .source = "10.0.0.6"}},
         0,
         {7, 3},
         {"10.0.0.5", "10.0.0.6"},
         3},
        {"time-outs go on without a pause", {timedOutSend, timedOutReceive, {.delayMs = 4}}, 0, {4}, {"10.0.0.5"}, 1},
        {"our own request and another program's reply cost a pause, count nothing",
         {{.answer = Answer::OwnRequest}, {.answer = Answer::ForeignReply, .delayMs = 2}},
         0,
         {},
         {},
         2},
        {"a send failure ends the ping", {{.delayMs = 1}, {IoStatus::Failed}}, -1, {1}, {"10.0.0.5"}, 1},
        {"a receive failure ends the ping", {{IoStatus::Done, IoStatus::Failed}}, -1, {}, {}, 0},
    };
    for (const auto& c : cases) {
        Harness h;
        h.steps = c.steps;
        ResponderList responders;
        std::vector<int> rtts{99};
        EXPECT_EQ(h.pinger.IcmpPing(rtts, "10.0.0.5", static_cast<int>(c.steps.size()), &responders), c.result)
            << c.what;
        EXPECT_EQ(rtts, c.rtts) << c.what;
        EXPECT_EQ(responders.distinct(), c.responders) << c.what;
        EXPECT_EQ(h.clock->sleeps(), std::vector<milliseconds>(static_cast<std::size_t>(c.pauses), milliseconds(1000)))
            << c.what;
        EXPECT_TRUE(h.log.empty()) << c.what;
    }
}

TEST(IcmpPing, WithoutASocketFailsAndSaysWhichRightIsMissingOnce)
{
    Harness h;
    h.socketOpens = false;
    std::vector<int> rtts;
    EXPECT_EQ(h.pinger.IcmpPing(rtts, "10.0.0.5", 2), -1);
    EXPECT_EQ(h.pinger.IcmpPing(rtts, "10.0.0.6", 2), -1);
    EXPECT_FALSE(h.pinger.PingOnce("10.0.0.5"));
    EXPECT_EQ(h.log, std::vector<std::string>{"no CAP_NET_RAW"});
}

TEST(PingOnce, WaitsForTheAnswerToItsOwnRequest)
{
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::optional<double> rtt;
    };
    const Case cases[] = {
        {"direct answer", {{.delayMs = 12}}, 12.0},
        {"other traffic first",
         {{.answer = Answer::OwnRequest, .delayMs = 1},
          {.answer = Answer::ForeignReply, .delayMs = 1},
          {.delayMs = 1, .source = "10.0.0.9"},
          {.delayMs = 2}},
         5.0},
        {"no answer in time", {{.answer = Answer::ForeignReply}, {IoStatus::Done, IoStatus::TimedOut}}, std::nullopt},
        {"traffic until the deadline", {{.answer = Answer::ForeignReply, .delayMs = 1000}, {}}, std::nullopt},
    };
    for (const auto& c : cases) {
        Harness h;
        h.steps = c.steps;
        EXPECT_EQ(h.pinger.PingOnce("10.0.0.5", milliseconds(1000)), c.rtt) << c.what;
        EXPECT_TRUE(h.clock->sleeps().empty()) << c.what;
    }
}

} // namespace
