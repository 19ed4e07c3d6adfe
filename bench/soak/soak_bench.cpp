// A thousand automatic rounds on a clock running 20,000 times faster than
// real time: the real scheduler and queue, the real environment checks on a
// fake /proc and /sys tree (some rounds rejected for memory load or other
// machines on the LAN), and stand-in tests that succeed, fail, ask for
// retries, throw, and now and then hang past their limit. Prints resident
// memory, open descriptors and threads at round 10 and at the last round,
// with their ratios (target: at most 1.05), and checks that every rejected
// round left its error record.
//
// Usage: bench_auto_soak [ROUNDS]   (default 1000; runs in a temporary folder)
#include "autotest/clock_loop.h"
#include "autotest/invalid_round.h"
#include "autotest/scheduler.h"
#include "autotest/system_environment.h"
#include "common/flags.h"
#include "results/record.h"
#include "results/service_time.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

using namespace quorvane;
namespace fs = std::filesystem;

namespace
{

// Clock time runs `factor` times faster than real time; waits wait the
// scaled real time.
class AcceleratedClock final : public Clock
{
public:
    explicit AcceleratedClock(double factor) : m_factor(factor) {}
    Steady::time_point now() const override
    {
        return Steady::time_point(std::chrono::duration_cast<Steady::duration>((Steady::now() - m_start) * m_factor));
    }
    System::time_point wallNow() const override
    {
        return m_wallStart + std::chrono::duration_cast<System::duration>(now().time_since_epoch());
    }
    void sleepFor(std::chrono::milliseconds d) override
    {
        std::this_thread::sleep_for(std::chrono::duration_cast<Steady::duration>(d / m_factor));
    }
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Steady::time_point deadline,
                   const std::function<bool()>& ready) override
    {
        const auto real =
            m_start + std::chrono::duration_cast<Steady::duration>(deadline.time_since_epoch() / m_factor);
        return cv.wait_until(lock, real, ready);
    }

private:
    double m_factor;
    Steady::time_point m_start = Steady::now();
    System::time_point m_wallStart = System::now();
};

struct Figures {
    long rssKb = 0;
    long fds = 0;
    long threads = 0;
};

Figures measure()
{
    Figures f;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            f.rssKb = std::stol(line.substr(6));
        else if (line.rfind("Threads:", 0) == 0)
            f.threads = std::stol(line.substr(8));
    }
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++f.fds;
    return f;
}

void write(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Results by call: mostly done, sometimes a retry or a failure, now and then
// a throw or (for the video stand-in) a run past the round's limit.
class StandIn final : public AutoTask
{
public:
    StandIn(int seed, std::shared_ptr<Clock> clock, bool mayHang)
        : m_seed(seed), m_clock(std::move(clock)), m_mayHang(mayHang)
    {
    }
    int RunAutoTest(bool, bool) override
    {
        const int n = ++m_calls * 7 + m_seed;
        if (m_mayHang && n % 97 == 0) {
            m_clock->sleepFor(std::chrono::minutes(20)); // past the 15-minute limit
            return 2;
        }
        if (n % 23 == 0)
            throw std::runtime_error("stand-in failure");
        if (n % 5 == 0) {
            if (onRetry && n % 3 == 0)
                onRetry();
            return 1;
        }
        if (n % 11 == 0)
            return 0;
        ++flags::completedTaskCount;
        return 2;
    }
    std::atomic<int> releases{0};
    void ReleaseKey() override { ++releases; }
    std::function<void()> onRetry; // set before the rounds start

private:
    int m_seed;
    std::atomic<int> m_calls{0};
    std::shared_ptr<Clock> m_clock;
    bool m_mayHang;
};

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (rounds < 11) {
        std::fprintf(stderr, "usage: bench_auto_soak [ROUNDS >= 11]\n");
        return 2;
    }
    const fs::path dir = fs::temp_directory_path() / ("quorvane-soak-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    write("Config/threshold_config.xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<threshold><CPUThreshold><value>100</value></CPUThreshold>"
          "<MemoryThreshold><value>90</value></MemoryThreshold><Anti-Virus-Software><item name=\"clamd\"/>"
          "</Anti-Virus-Software><FlowThreshold><down_speed>2000</down_speed><up_speed>100</up_speed>"
          "</FlowThreshold></threshold>\n");
    const fs::path proc = dir / "fake/proc", sys = dir / "fake/sys";
    write(proc / "stat", "cpu  1000 0 0 1000 0 0 0 0 0 0\n");
    auto memory = [&](int percent) {
        write(proc / "meminfo",
              "MemTotal: 100 kB\nCommitLimit:    1000 kB\nCommitted_AS:   " + std::to_string(percent * 10) + " kB\n");
    };
    memory(40);
    write(proc / "1/comm", "init\n");
    write(proc / "4242/comm", "bash\n");
    const fs::path eth = sys / "class/net/eth0";
    write(eth / "address", "52:54:00:12:34:56\n");
    write(eth / "operstate", "up\n");
    write(eth / "uevent", "INTERFACE=eth0\n");
    write(eth / "statistics/rx_bytes", "1000\n");
    write(eth / "statistics/tx_bytes", "1000\n");

    auto clock = std::make_shared<AcceleratedClock>(20000.0);
    std::atomic<int> lanCalls{0};
    SystemEnvironmentChecks checks({clock, [](std::string_view) {}, proc, sys,
                                    [&] {
                                        // Another machine answers every seventh round.
                                        return ++lanCalls % 7 == 3 ? 2 : 0;
                                    }});

    ServiceClock serviceClock(std::string(), nullptr, clock);
    ResultRecorder recorder(dir, serviceClock, [](const std::string&) {});
    int rejected = 0;
    InvalidRounds invalid({&recorder, nullptr, &serviceClock,
                           [] {
                               return UserSession{"soak", "", "", "", ""};
                           },
                           nullptr, nullptr, [](const std::string&) {}});

    ClockLoop loop(clock);
    Figures early, late;
    bool earlyTaken = false;
    SchedulerHost host;
    host.post = [&](std::function<void()> f) { loop.post(std::move(f)); };
    host.setRoundTimer = [&](int ms) { loop.setTimer(ms); };
    host.killRoundTimer = [&] { loop.killTimer(); };
    host.selectedModules = [] { return std::vector<std::string>{"1", "2", "3", "4"}; };
    host.cpuMemoryPeriod = [] { return 15; };
    host.wlanPeriod = [] { return 30; };
    host.recordInvalidRound = [&](int code) {
        ++rejected;
        invalid.RecordInvalidRound(code);
    };
    host.setInvalidRoundSummary = [&](int code) { invalid.SetInvalidRoundSummary(code); };

    SchedulerSettings settings;
    settings.logFile = dir / "auto.txt";
    AutoScheduler* schedulerRef = nullptr;
    host.roundEnded = [&] {
        loop.post([&] {
            const int n = schedulerRef->roundsStarted();
            // Memory load over its limit every fifth round.
            memory(n % 5 == 4 ? 95 : 40);
            if (n == 10 && !earlyTaken) {
                early = measure();
                earlyTaken = true;
            }
        });
    };
    const auto start = std::chrono::steady_clock::now();
    int started = 0;
    int releases = 0;
    {
        AutoScheduler scheduler(std::move(host), checks, clock, settings);
        schedulerRef = &scheduler;
        StandIn bandwidth(1, clock, false), web(2, clock, false), video(3, clock, true), download(4, clock, false);
        // Now and then the machine gets busy while the bandwidth test waits
        // to retry: the retry is refused and the key given back.
        bandwidth.onRetry = [&] { memory(95); };
        scheduler.registerTask(TaskKind::Bandwidth, &bandwidth);
        scheduler.registerTask(TaskKind::WebPage, &web);
        scheduler.registerTask(TaskKind::Video, &video);
        scheduler.registerTask(TaskKind::FileDownload, &download);
        loop.setTimerHandler([&] { scheduler.OnRoundTimer(); });
        scheduler.StartAutoByUser();
        loop.run([&] { return scheduler.roundsStarted() >= rounds && !scheduler.roundRunning(); });
        loop.runPending();
        late = measure();
        started = scheduler.roundsStarted();
        releases = bandwidth.releases;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    int errorRecords = 0;
    for (const auto& e : fs::directory_iterator(dir / "Data"))
        if (e.path().filename().string().rfind("Pccollect_error_", 0) == 0)
            ++errorRecords;

    std::printf("rounds: %d in %.1f s real (%.0f h of clock time)\n", started, seconds, seconds * 20000 / 3600);
    std::printf("tasks requested %d, completed %d; bandwidth keys released after a refused retry: %d\n",
                flags::scheduledTaskCount.load(), flags::completedTaskCount.load(), releases);
    std::printf("%-22s %12s %12s %8s\n", "", "round 10", "last round", "ratio");
    auto row = [](const char* name, long a, long b) {
        std::printf("%-22s %12ld %12ld %8.3f\n", name, a, b, a ? static_cast<double>(b) / a : 0.0);
    };
    row("resident memory (kB)", early.rssKb, late.rssKb);
    row("open descriptors", early.fds, late.fds);
    row("threads", early.threads, late.threads);
    std::printf("rejected rounds %d, error records %d, lost %d\n", rejected, errorRecords, rejected - errorRecords);
    const bool grew =
        late.rssKb > early.rssKb * 1.05 || late.fds > early.fds * 1.05 || late.threads > early.threads * 1.05;
    std::printf("%s\n", grew || rejected != errorRecords ? "TARGET MISSED" : "target met");
    fs::current_path("/");
    std::error_code ec;
    fs::remove_all(dir, ec);
    return grew || rejected != errorRecords ? 1 : 0;
}
