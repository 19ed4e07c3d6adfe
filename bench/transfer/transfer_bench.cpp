// Runs one bandwidth-test transfer (ParallelGet or ParallelUpload over five
// connections for the full window) and samples its live counter the way the
// bandwidth test does: wait 2 s, then 15 one-second samples, average over
// samples 6 to 15. Prints the sampled rate, the rate over the whole window,
// where the process spent its processor time, and that time per gigabit
// moved (user + system seconds over the counted bits), to set beside
// iperf3's own for the same direction.
//
//   transfer_bench get URL [--window MS] [--threads N]
//   transfer_bench upload URL FILE [--window MS] [--threads N] [--program-dir DIR]
//
// Output: one line of "key=value" pairs, rates in Mbit/s (10^6 bits).
#include "net/http_get.h"
#include "net/http_upload.h"

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace quorvane;
using Steady = std::chrono::steady_clock;

namespace
{

double seconds(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double mbit(double bytes, double secondsSpan)
{
    return bytes * 8.0 / 1e6 / secondsSpan;
}

int usage()
{
    std::fprintf(stderr, "usage: transfer_bench get URL [--window MS] [--threads N]\n"
                         "       transfer_bench upload URL FILE [--window MS] [--threads N] [--program-dir DIR]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return usage();
    const std::string mode = argv[1];
    const std::string url = argv[2];
    std::string file;
    int next = 3;
    if (mode == "upload") {
        if (argc < 4)
            return usage();
        file = argv[3];
        next = 4;
    } else if (mode != "get") {
        return usage();
    }
    std::chrono::milliseconds window{18000};
    int threads = 5;
    std::string programDir = ".";
    for (int i = next; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--window") == 0)
            window = std::chrono::milliseconds(std::stol(argv[i + 1]));
        else if (std::strcmp(argv[i], "--threads") == 0)
            threads = std::stoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--program-dir") == 0)
            programDir = argv[i + 1];
        else
            return usage();
    }

    ByteCounterHandle counter;
    std::atomic<bool> running{true};
    bool ok = false;
    const auto start = Steady::now();
    std::thread transfer([&] {
        if (mode == "get") {
            CHttpDownloadGet::Options options;
            options.window = window;
            ok = CHttpDownloadGet(options).ParallelGet(url, counter, threads);
        } else {
            ParallelUploadOptions options;
            options.window = window;
            options.programDir = programDir;
            ok = ParallelUpload(url, file, counter, threads, options);
        }
        running = false;
    });

    // The bandwidth test's sampler: 2 s of ramp-up, then one-second samples.
    std::vector<double> samples;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(2000));
    auto tick = start + std::chrono::milliseconds(2000);
    std::uint64_t previous = counter.bytes();
    for (int i = 0; i < 15 && running; ++i) {
        tick += std::chrono::seconds(1);
        std::this_thread::sleep_until(tick);
        const std::uint64_t current = counter.bytes();
        samples.push_back(static_cast<double>(current - previous));
        previous = current;
    }
    transfer.join();
    const double elapsed = std::chrono::duration<double>(Steady::now() - start).count();
    const double total = static_cast<double>(counter.bytes());

    double sum = 0;
    int counted = 0;
    for (std::size_t i = 5; i < samples.size(); ++i) {
        if (samples[i] > 0) {
            sum += samples[i];
            ++counted;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("mode=%s ok=%d sampled_mbit=%.1f window_mbit=%.1f bytes=%.0f seconds=%.2f samples=%zu "
                "cpu_user=%.2f cpu_sys=%.2f cpu_s_per_gbit=%.3f",
                mode.c_str(), ok ? 1 : 0, counted ? mbit(sum, counted) : 0.0, mbit(total, elapsed), total, elapsed,
                samples.size(), seconds(usage.ru_utime), seconds(usage.ru_stime),
                total > 0 ? (seconds(usage.ru_utime) + seconds(usage.ru_stime)) / (total * 8 / 1e9) : 0.0);
    std::printf(" per_second_mbit=");
    for (std::size_t i = 0; i < samples.size(); ++i)
        std::printf("%s%.0f", i ? "," : "", mbit(samples[i], 1.0));
    std::printf("\n");
    WaitForTransferThreads(std::chrono::seconds(5));
    return ok ? 0 : 1;
}
