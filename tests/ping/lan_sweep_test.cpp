// The sweep's address list, its batches, stop and time-out, and the count
// with its log lines, with pings played by the test.
#include "common/flags.h"
#include "ping/lan_sweep.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>

using namespace quorvane;
using std::chrono::milliseconds;

namespace
{

TEST(SweepAddressList, TheOwnSlash24WhateverTheMask)
{
    struct Case {
        std::string address, mask;
        std::size_t size;
        std::string first, last;
    };
    const Case cases[] = {
        {"192.168.1.37", "255.255.255.0", 254, "192.168.1.1", "192.168.1.254"},
        {"10.1.2.3", "255.255.0.0", 254, "10.1.2.1", "10.1.2.254"},
        {"172.16.5.200", "255.255.255.252", 254, "172.16.5.1", "172.16.5.254"},
        {"10.1.2.3", "", 254, "10.1.2.1", "10.1.2.254"}, // mask unknown
        {"10.1.2.3", "255.255.255.255", 0, "", ""},
        {"", "255.255.255.0", 0, "", ""},
        {"10.1.2", "255.255.255.0", 0, "", ""},
        {"10.1.2.3.4", "255.255.255.0", 0, "", ""},
        {"10.1.256.3", "255.255.255.0", 0, "", ""},
        {"10.1.2.3 ", "255.255.255.0", 0, "", ""},
    };
    for (const auto& c : cases) {
        const auto list = SweepAddressList(c.address, c.mask);
        ASSERT_EQ(list.size(), c.size) << c.address << " " << c.mask;
        if (c.size) {
            EXPECT_EQ(list.front(), c.first);
            EXPECT_EQ(list.back(), c.last);
            EXPECT_EQ(std::set<std::string>(list.begin(), list.end()).size(), c.size) << "no duplicates";
        }
    }
    const auto list = SweepAddressList("192.168.1.37", "255.255.255.0");
    EXPECT_NE(std::find(list.begin(), list.end(), "192.168.1.37"), list.end());
}

std::vector<std::string> addresses(int n)
{
    std::vector<std::string> list;
    for (int i = 1; i <= n; ++i)
        list.push_back("10.9.0." + std::to_string(i));
    return list;
}

// A sweep whose pings are played by `answer` and counted; the log lines are
// kept, and each "ended" line notes how many pings had finished by then.
struct Sweep {
    std::shared_ptr<test::FakeClock> clock = std::make_shared<test::FakeClock>();
    std::mutex mutex;
    std::vector<std::string> log;
    std::vector<int> doneAtBatchEnd;
    std::multiset<std::string> pinged;
    // Pinged address -> the sources of the replies its requests get (at most
    // one per request).
    std::map<std::string, std::vector<std::string>> answers;
    std::optional<platform::Ipv4Interface> lan;
    std::pair<int, int> parameters{50, 3};
    std::function<void(const std::string&)> duringPing, afterPing;

    std::size_t pingedCount()
    {
        std::lock_guard lock(mutex);
        return pinged.size();
    }
    std::size_t batchesEnded()
    {
        std::lock_guard lock(mutex);
        return doneAtBatchEnd.size();
    }

    LanSweep sweep{LanSweep::Environment{
        clock,
        [this](std::string_view line) {
            std::lock_guard lock(mutex);
            log.emplace_back(line);
            if (line == "50个PingThread都已正常结束...")
                doneAtBatchEnd.push_back(static_cast<int>(pinged.size()));
        },
        [this](const std::string& address, int count, ResponderList& responders) {
            if (duringPing)
                duringPing(address);
            {
                std::lock_guard lock(mutex);
                if (const auto it = answers.find(address); it != answers.end()) {
                    for (std::size_t i = 0; i < it->second.size() && i < static_cast<std::size_t>(count); ++i)
                        responders.add(it->second[i]);
                }
                pinged.insert(address + "#" + std::to_string(count));
            }
            if (afterPing)
                afterPing(address);
        },
        [this] { return lan; },
        [this](int& threads, int& count) { std::tie(threads, count) = parameters; },
    }};
};

TEST(ScanAddresses, BatchesOfThreadsStartedFiftyFiveMillisecondsApart)
{
    struct Case {
        int addresses, threads, count;
        std::vector<int> doneAtBatchEnd;
        int countUsed;
    };
    const Case cases[] = {
        {254, 50, 2, {50, 100, 150, 200, 250, 254}, 2},
        {3, 50, 1, {3}, 1},
        {4, 0, 0, {1, 2, 3, 4}, 1},        // at least one thread and one request
        {120, 64, 99, {50, 100, 120}, 10}, // at most 50 threads and 10 requests
    };
    for (const auto& c : cases) {
        Sweep s;
        s.sweep.ScanAddresses(addresses(c.addresses), c.threads, c.count);
        const std::string where = std::to_string(c.addresses) + "/" + std::to_string(c.threads);
        EXPECT_EQ(s.doneAtBatchEnd, c.doneAtBatchEnd) << where;
        std::multiset<std::string> expected;
        for (const auto& a : addresses(c.addresses))
            expected.insert(a + "#" + std::to_string(c.countUsed));
        EXPECT_EQ(s.pinged, expected) << where;
        EXPECT_EQ(s.clock->sleeps(), std::vector<milliseconds>(static_cast<std::size_t>(c.addresses), milliseconds(55)))
            << where;
        const auto batches = c.doneAtBatchEnd.size();
        ASSERT_EQ(s.log.size(), 3 * batches) << where;
        for (std::size_t b = 0; b < batches; ++b) {
            EXPECT_EQ(s.log[3 * b], "开启50个线程PingThread...");
            EXPECT_EQ(s.log[3 * b + 1], "....................等待....................");
        }
    }
}

TEST(ScanAddresses, StopRequestEndsTheSweepBeforeTheNextStart)
{
    Sweep s;
    std::promise<void> threeDone;
    std::atomic<int> done{0};
    // The last thing a ping does, so the test may end once three have.
    s.afterPing = [&](const std::string&) {
        if (++done == 3)
            threeDone.set_value();
    };
    s.clock->onSleep = [&] {
        if (s.clock->sleeps().size() == 3)
            flags::stopRequested = 1;
    };
    s.sweep.ScanAddresses(addresses(254), 50, 2);
    flags::stopRequested = 0;
    threeDone.get_future().wait(); // the started threads run to their end
    EXPECT_EQ(s.log, std::vector<std::string>{"开启50个线程PingThread..."});
    EXPECT_EQ(done.load(), 3);
}

TEST(ScanAddresses, ABatchWaitsTenSecondsAndALateThreadStillReports)
{
    Sweep s;
    s.answers = {{"10.9.0.2", {"10.9.0.2"}}};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> lateDone;
    // 10.9.0.2 hangs: once the other 49 of its batch have ended, clock time
    // passes until the batch gives up waiting for it.
    s.duringPing = [&](const std::string& address) {
        if (address != "10.9.0.2")
            return;
        for (int i = 0; i < 10'000 && s.pingedCount() < 49; ++i)
            std::this_thread::sleep_for(milliseconds(1));
        for (int i = 0; i < 10'000 && s.batchesEnded() == 0; ++i) {
            s.clock->advance(milliseconds(1000));
            std::this_thread::sleep_for(milliseconds(1));
        }
        released.wait();
    };
    s.afterPing = [&](const std::string& address) {
        if (address == "10.9.0.2")
            lateDone.set_value();
    };
    s.sweep.ScanAddresses(addresses(60), 50, 1);
    EXPECT_EQ(s.doneAtBatchEnd, (std::vector<int>{49, 59}));
    EXPECT_TRUE(s.sweep.responders().empty());

    release.set_value();
    lateDone.get_future().wait();
    EXPECT_EQ(s.sweep.responders(), std::vector<std::string>{"10.9.0.2"});
}

TEST(CountLanMachines, OtherAnsweringMachinesOfTheSwept24)
{
    const platform::Ipv4Interface lan{"eth0", "192.168.1.37", "255.255.255.0", true, false};
    const std::vector<std::string> self(3, "192.168.1.37"), gateway(3, "192.168.1.1");
    struct Case {
        const char* what;
        std::optional<platform::Ipv4Interface> lan;
        std::map<std::string, std::vector<std::string>> answers;
        int result;
        std::vector<std::string> tail; // log lines after the sweep
    };
    const Case cases[] = {
        {"only the machine and its gateway",
         lan,
         {{"192.168.1.37", self}, {"192.168.1.1", gateway}},
         0,
         {"可ping通的机器数：2(包括本机与网关)", "192.168.1.1", "192.168.1.37"}},
        {"two more machines, one answering thrice; a reply from outside the LAN is no machine of it",
         lan,
         {{"192.168.1.37", self},
          {"192.168.1.1", gateway},
          {"192.168.1.100", std::vector<std::string>(3, "192.168.1.100")},
          {"192.168.1.5", {"192.168.1.5"}},
          {"192.168.1.200", {"203.0.113.9"}}},
         2,
         {"可ping通的机器数：4(包括本机与网关)", "192.168.1.1", "192.168.1.100", "192.168.1.37", "192.168.1.5"}},
        {"nobody answers (no right to ping)", lan, {}, -2, {"可ping通的机器数：0(包括本机与网关)"}},
    };
    for (const auto& c : cases) {
        Sweep s;
        s.lan = c.lan;
        s.answers = c.answers;
        EXPECT_EQ(s.sweep.CountLanMachines(), c.result) << c.what;
        ASSERT_GE(s.log.size(), 2u + 18u) << c.what;
        EXPECT_EQ(s.log[0], "本机IP：192.168.1.37") << c.what;
        EXPECT_EQ(s.log[1], "局域网IP数：254") << c.what;
        EXPECT_EQ(std::vector<std::string>(s.log.begin() + 20, s.log.end()), c.tail) << c.what;
        EXPECT_EQ(s.pinged.size(), 254u) << c.what;
        EXPECT_EQ(s.pinged.count("192.168.1.37#3"), 1u) << c.what;
    }
}

TEST(CountLanMachines, NoLanOrASingleHostMaskSweepsNothing)
{
    const std::optional<platform::Ipv4Interface> cases[] = {
        std::nullopt,
        platform::Ipv4Interface{"ppp0", "100.64.3.4", "255.255.255.255", true, false},
    };
    for (const auto& lan : cases) {
        Sweep s;
        s.lan = lan;
        EXPECT_EQ(s.sweep.CountLanMachines(), 0);
        EXPECT_TRUE(s.log.empty());
        EXPECT_TRUE(s.pinged.empty());
    }
}

} // namespace
