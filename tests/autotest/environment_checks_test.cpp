// The environment checks against fake /proc and /sys trees and a threshold
// document in a temporary program folder, with the clock played by the test.
#include "autotest/system_environment.h"
#include "common/flags.h"
#include "config/work_dir.h"
#include "platform/system_figures.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

using namespace quorvane;
using std::chrono::milliseconds;
using test::writeFile;

namespace
{

const char* kThresholds = R"(<?xml version="1.0" encoding="UTF-8"?>
<threshold>
  <CPUThreshold><value>80</value></CPUThreshold>
  <MemoryThreshold><value>90</value></MemoryThreshold>
  <Anti-Virus-Software><item name="Avp.exe"/><item name="clamd"/></Anti-Virus-Software>
  <FlowThreshold><down_speed>2000</down_speed><up_speed>100</up_speed></FlowThreshold>
</threshold>
)";

struct Nic {
    std::string name;
    int index;
    std::string address;
    std::string operstate = "up";
    std::string wireless = ""; // "", "wireless", "phy80211" or "uevent"
    std::uint64_t rxGrowth = 0, txGrowth = 0;
};

struct Process {
    long pid;
    std::string exe; // symlink target; "" when unreadable
    std::string comm;
};

class EnvironmentChecksTest : public test::WorkDirTest
{
protected:
    std::filesystem::path proc() const { return dir() / "fake" / "proc"; }
    std::filesystem::path net() const { return dir() / "fake" / "sys" / "class" / "net"; }

    void cpu(std::uint64_t busy, std::uint64_t idle)
    {
        writeFile(proc() / "stat",
                  "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) + " 0 0 0 0 0 0\ncpu0 1 2 3 4\n");
    }
    // `used` of 100 per cent of memory in use; commitment far past its
    // limit, which must not matter.
    void memory(std::uint64_t used)
    {
        writeFile(proc() / "meminfo", "MemTotal: 100000 kB\nMemAvailable: " + std::to_string(100'000 - used * 1000) +
                                          " kB\nCommitLimit: 50000 kB\nCommitted_AS: 900000 kB\n");
    }
    void process(const Process& p)
    {
        const auto d = proc() / std::to_string(p.pid);
        writeFile(d / "stat", std::to_string(p.pid) + " (" + p.comm + ") S 1 1");
        writeFile(d / "comm", p.comm + "\n");
        if (!p.exe.empty())
            std::filesystem::create_symlink(p.exe, d / "exe");
    }
    void nic(const Nic& n, std::uint64_t rx, std::uint64_t tx)
    {
        const auto d = net() / n.name;
        writeFile(d / "ifindex", std::to_string(n.index) + "\n");
        writeFile(d / "address", n.address + "\n");
        writeFile(d / "operstate", n.operstate + "\n");
        writeFile(d / "flags", n.name == "lo" ? "0x9\n" : "0x1003\n");
        writeFile(d / "uevent", "INTERFACE=" + n.name + (n.wireless == "uevent" ? "\nDEVTYPE=wlan\n" : "\n"));
        if (n.wireless == "wireless" || n.wireless == "phy80211")
            std::filesystem::create_directories(d / n.wireless);
        writeFile(d / "statistics" / "rx_bytes", std::to_string(rx) + "\n");
        writeFile(d / "statistics" / "tx_bytes", std::to_string(tx) + "\n");
    }

    // Interfaces whose counters grow during the sample's first second.
    void interfaces(const std::vector<Nic>& nics)
    {
        for (const auto& n : nics)
            nic(n, 1'000'000'000, 2'000'000'000);
        clock->onSleep = [this, nics] {
            if (clock->sleeps().back() == milliseconds(1000) && ++secondsSlept == 1)
                for (const auto& n : nics)
                    nic(n, 1'000'000'000 + n.rxGrowth, 2'000'000'000 + n.txGrowth);
        };
    }

    SystemEnvironmentChecks make()
    {
        return SystemEnvironmentChecks({clock, [this](std::string_view line) { log.emplace_back(line); }, proc(),
                                        dir() / "fake" / "sys", [this] { return lanCount; }});
    }

    std::shared_ptr<test::FakeClock> clock = std::make_shared<test::FakeClock>();
    std::vector<std::string> log;
    int lanCount = 0;
    int secondsSlept = 0;
};

const Nic kWired{"eth0", 2, "52:54:00:aa:bb:01"};

TEST(MemoryLoad, ShareOfMemoryAndSwapInUse)
{
    struct Case {
        const char* what;
        const char* meminfo;
        std::optional<long> percent;
    };
    const Case cases[] = {
        // Without swap the commit limit is half the memory and not enforced:
        // a desktop that committed 90 % of memory used half of it.
        {"commitment far past its limit",
         "MemTotal: 8000000 kB\nMemAvailable: 4000000 kB\nSwapTotal: 0 kB\n"
         "SwapFree: 0 kB\nCommitLimit: 4000000 kB\nCommitted_AS: 7200000 kB\n",
         50},
        {"swap counts on both sides", "MemTotal: 1000 kB\nMemAvailable: 200 kB\nSwapTotal: 1000 kB\nSwapFree: 500 kB\n",
         65},
        {"rounded down", "MemTotal: 1000 kB\nMemAvailable: 1 kB\n", 99},
        {"all in use", "MemTotal: 1000 kB\nMemAvailable: 0 kB\nSwapTotal: 10 kB\nSwapFree: 0 kB\n", 100},
        {"free figures above the totals",
         "MemTotal: 1000 kB\nMemAvailable: 5000 kB\nSwapTotal: 10 kB\nSwapFree: 99 kB\n", 0},
        {"kernel without MemAvailable", "MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 50 kB\nCached: 150 kB\n", 70},
        {"no total", "MemAvailable: 10 kB\n", std::nullopt},
        {"total 0", "MemTotal: 0 kB\nMemAvailable: 0 kB\n", std::nullopt},
        {"no free figure", "MemTotal: 1000 kB\nCommitted_AS: 10 kB\n", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::parseMemoryLoad(c.meminfo), c.percent) << c.what;
}

TEST_F(EnvironmentChecksTest, FiguresAgainstTheirLimits)
{
    struct Case {
        std::string what;
        int cpuBusy;    // of 100 ticks; -1: the processor times vanish
        long memoryUsed; // of 100; -1: no meminfo
        bool thresholds;
        std::vector<Process> processes;
        std::vector<Nic> nics;
        int code;
        std::string log; // the lines joined by " | "
    };
    const std::string fit = "CPU使用率: 10% | 内存使用率: 50% | 未开启杀毒软件 | 有线上网 | ";
    const std::string quiet = "网卡流量-上传：0.000000 下载：0.000000";
    const std::string down6M = "网卡流量-上传：0.000000 下载：1171.875000";
    const Nic wlan{"wlp2s0", 3, "52:54:00:aa:bb:02", "up", "phy80211"};
    const Nic in6M{"eth0", 2, "52:54:00:aa:bb:01", "up", "", 6'000'000, 0};
    // clang-format off
    const Case cases[] = {
        {"all quiet", 10, 50, true, {}, {kWired}, 0, fit + quiet},
        {"processor at its limit", 80, 50, true, {}, {kWired}, 0,
         "CPU使用率: 80% | 内存使用率: 50% | 未开启杀毒软件 | 有线上网 | " + quiet},
        {"processor one above", 81, 50, true, {}, {kWired}, 1, "CPU使用率: 81%"},
        {"memory at its limit", 10, 90, true, {}, {kWired}, 0,
         "CPU使用率: 10% | 内存使用率: 90% | 未开启杀毒软件 | 有线上网 | " + quiet},
        {"memory one above", 10, 91, true, {}, {kWired}, 2, "CPU使用率: 10% | 内存使用率: 91%"},
        {"unreadable counters pass", -1, -1, true, {}, {kWired}, 0,
         "CPU使用率: 4294966297% | 内存使用率: 4294966297% | 未开启杀毒软件 | 有线上网 | " + quiet},
        {"anti-virus in other case", 10, 50, true, {{1, "/sbin/init", "init"}, {40, "/opt/AVP.EXE", "AVP.EXE"}},
         {kWired}, 3, "CPU使用率: 10% | 内存使用率: 50% | 开启了杀毒软件"},
        {"anti-virus by kernel name", 10, 50, true, {{41, "", "CLAMD"}}, {kWired}, 3,
         "CPU使用率: 10% | 内存使用率: 50% | 开启了杀毒软件"},
        {"no listed process", 10, 50, true, {{1, "/sbin/init", "init"}, {42, "/usr/bin/avp2", "avp2"}}, {kWired}, 0,
         fit + quiet},
        {"wireless device", 10, 50, true, {}, {kWired, wlan}, 4,
         "CPU使用率: 10% | 内存使用率: 50% | 未开启杀毒软件 | 无线上网"},
        {"wlan by device type", 10, 50, true, {}, {{"wl0", 3, "52:54:00:aa:bb:02", "up", "uevent"}}, 4,
         "CPU使用率: 10% | 内存使用率: 50% | 未开启杀毒软件 | 无线上网"},
        {"wireless but down", 10, 50, true, {}, {kWired, {"wlan0", 3, "52:54:00:aa:bb:02", "down", "wireless"}}, 0,
         fit + quiet},
        {"6,000,000 bytes in", 10, 50, true, {}, {in6M}, 0, fit + down6M},
        {"one hardware address counted once", 10, 50, true, {},
         {in6M, {"br0", 5, "52:54:00:AA:BB:01", "up", "", 6'000'000, 0},
          {"lo", 1, "00:00:00:00:00:00", "unknown", "", 9'000'000, 9'000'000},
          {"tun0", 6, "", "unknown", "", 9'000'000, 9'000'000}},
         0, fit + down6M},
        {"upload over its limit", 10, 50, true, {}, {{"eth0", 2, "52:54:00:aa:bb:01", "up", "", 0, 768'000}}, 5,
         fit + "网卡流量-上传：150.000000 下载：0.000000"},
        {"no document: any traffic rejects", 100, 100, false, {{40, "/opt/avp.exe", "avp.exe"}},
         {{"eth0", 2, "52:54:00:aa:bb:01", "up", "", 1, 0}}, 5,
         "CPU使用率: 100% | 内存使用率: 100% | 未开启杀毒软件 | 有线上网 | 网卡流量-上传：0.000000 下载：0.000195"},
        {"no document: no traffic passes", 100, 100, false, {}, {kWired}, 0,
         "CPU使用率: 100% | 内存使用率: 100% | 未开启杀毒软件 | 有线上网 | " + quiet},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir() / "fake");
        std::filesystem::remove("Config/threshold_config.xml");
        log.clear();
        secondsSlept = 0;
        if (c.thresholds)
            writeFile("Config/threshold_config.xml", kThresholds);
        cpu(1000, 1000);
        if (c.memoryUsed >= 0)
            memory(static_cast<std::uint64_t>(c.memoryUsed));
        for (const auto& p : c.processes)
            process(p);
        interfaces(c.nics);

        auto checks = make();
        checks.CollectLoad();
        if (c.cpuBusy >= 0)
            cpu(1000 + static_cast<std::uint64_t>(c.cpuBusy), 1100 - static_cast<std::uint64_t>(c.cpuBusy));
        else
            std::filesystem::remove(proc() / "stat");
        EXPECT_EQ(checks.CheckEnvironment(), c.code);
        std::string joined;
        for (const auto& line : log)
            joined += (joined.empty() ? "" : " | ") + line;
        EXPECT_EQ(joined, c.log);
    }
}

TEST_F(EnvironmentChecksTest, ExaminingEveryFigureKeepsTheFirstFailure)
{
    writeFile("Config/threshold_config.xml", kThresholds);
    cpu(0, 0);
    memory(95);
    process({40, "/usr/sbin/clamd", "clamd"});
    interfaces(
        {{"eth0", 2, "52:54:00:aa:bb:01", "up", "", 0, 768'000}, {"wlan0", 3, "02:00:00:00:00:07", "up", "wireless"}});
    auto checks = make();
    checks.CollectLoad();
    cpu(99, 1);
    const auto report = checks.Examine(true);
    EXPECT_EQ(report.code, 1);
    EXPECT_EQ(report.cpu, 99);
    EXPECT_EQ(report.memory, 95);
    EXPECT_EQ(report.antiVirus, "clamd");
    EXPECT_EQ(report.wireless, "wlan0");
    EXPECT_EQ(report.upKBps, 150.0);
    EXPECT_EQ(report.upLimitKBps, 100);
    EXPECT_EQ(log.size(), 5u); // every figure logged
}

TEST_F(EnvironmentChecksTest, StopDuringTheSampleEndsItWithNoTraffic)
{
    writeFile("Config/threshold_config.xml", kThresholds);
    cpu(0, 0);
    memory(1);
    interfaces({{"eth0", 2, "52:54:00:aa:bb:01", "up", "", 900'000'000, 900'000'000}});
    const auto grow = clock->onSleep;
    clock->onSleep = [&] {
        grow();
        if (clock->sleeps().back() == milliseconds(1000))
            flags::stopRequested = 1;
    };
    auto checks = make();
    const int code = checks.CheckEnvironment();
    flags::stopRequested = 0;
    EXPECT_EQ(code, 0);
    EXPECT_EQ(log.back(), "网卡流量-上传：0.000000 下载：0.000000");
    EXPECT_EQ(clock->sleeps(), (std::vector<milliseconds>{milliseconds(55), milliseconds(1000)}));

    std::uint64_t received = 7, sent = 7;
    flags::stopRequested = 1;
    EXPECT_EQ(checks.SampleAdapterTraffic(received, sent, 5000), 0);
    flags::stopRequested = 0;
    EXPECT_EQ(received + sent, 14u) << "outputs untouched";

    std::filesystem::remove_all(net());
    EXPECT_EQ(checks.SampleAdapterTraffic(received, sent, 5000), 1);
    EXPECT_FALSE(checks.IsWirelessConnection()) << "no adapter information counts as wired";
}

TEST_F(EnvironmentChecksTest, AnAdapterThatComesOrResetsDuringTheSampleAddsNothing)
{
    writeFile("Config/threshold_config.xml", kThresholds);
    nic({"eth0", 2, "52:54:00:aa:bb:01"}, 5'000'000'000, 5'000'000'000);
    clock->onSleep = [&] {
        nic({"eth0", 2, "52:54:00:aa:bb:01"}, 10, 10); // driver reloaded
        nic({"usb0", 7, "52:54:00:aa:bb:09"}, 4'000'000'000, 0);
    };
    auto checks = make();
    std::uint64_t received = 1, sent = 1;
    EXPECT_EQ(checks.SampleAdapterTraffic(received, sent, 5000), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(sent, 0u);
}

TEST_F(EnvironmentChecksTest, OtherMachinesOnTheLan)
{
    auto checks = make();
    for (const auto& [found, code, line] :
         {std::tuple{3, 6, "多机上网：3台机器(不包括自己)"}, std::tuple{0, 0, "多机上网：0台机器(不包括自己)"},
          std::tuple{-2, 0, "多机上网：0台机器(不包括自己)"}}) {
        lanCount = found;
        EXPECT_EQ(checks.CheckLanMachines(), code) << found;
        EXPECT_EQ(log.back(), line);
    }
}

} // namespace
