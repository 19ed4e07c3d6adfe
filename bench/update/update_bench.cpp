// The segmented downloader (ten connections, 200 KiB ranges) beside aria2c
// with ten connections (-x10 -s10; its smallest piece is 1 MiB, it refuses
// -k200K), a single curl, and curl asking for the same 200 KiB ranges one
// after the other on one connection, fetching the same file from nginx on
// loopback, alternating in one run. Prints the median
// wall time of each and the downloader's time divided by the others'.
//
// Every run writes a fresh file in the same folder and is checked against
// the original afterwards; a run that delivered other bytes counts as failed.
// The tools' times include starting their process (a few milliseconds).
//
//   bench_update [--rounds N] [--size-mb MB] [--connections N]
#include "net/http_nginx.h"
#include "update/segmented_download.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace quorvane;
namespace fs = std::filesystem;

namespace
{

using Clock = std::chrono::steady_clock;

bool sameFile(const fs::path& a, const fs::path& b)
{
    std::error_code ec;
    if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec)
        return false;
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(1 << 20), q(1 << 20);
    while (x && y) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount() || std::memcmp(p.data(), q.data(), static_cast<std::size_t>(x.gcount())) != 0)
            return false;
    }
    return true;
}

double ours(const std::string& url, const fs::path& out, int connections)
{
    update::DownloadTask task;
    task.maxSegments = connections;
    const auto t0 = Clock::now();
    update::StartDownload(url, task, out.string());
    task.waitFinished(std::chrono::minutes(10));
    const auto t1 = Clock::now();
    return task.allDone() ? std::chrono::duration<double>(t1 - t0).count() : -1;
}

double command(const std::string& line)
{
    const auto t0 = Clock::now();
    const int rc = std::system(line.c_str());
    const auto t1 = Clock::now();
    return rc == 0 ? std::chrono::duration<double>(t1 - t0).count() : -1;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 5, sizeMb = 256, connections = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--size-mb") == 0)
            sizeMb = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--connections") == 0)
            connections = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: bench_update [--rounds N] [--size-mb MB] [--connections N]\n");
            return 2;
        }
    }
    testing::TempDir root, outDir;
    const fs::path original = root.path() / "release.bin";
    {
        std::ofstream file(original, std::ios::binary);
        std::mt19937_64 gen(42);
        std::vector<std::uint64_t> block((1 << 20) / 8);
        for (int i = 0; i < sizeMb; ++i) {
            for (auto& w : block)
                w = gen();
            file.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
        }
    }
    testing::NginxServer nginx(root.path());
    if (!nginx.running()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    const std::string url = nginx.url("/release.bin");
    const fs::path out = outDir.path() / "release.bin";
    const std::string d = outDir.path().string();
    // curl asking for the downloader's ranges one after the other on one
    // connection, each answer appended to the file in order: the cost of
    // the range shape itself, beside the single stream.
    const fs::path ranges = root.path() / "ranges.cfg";
    {
        std::ofstream cfg(ranges);
        const std::int64_t size = static_cast<std::int64_t>(sizeMb) << 20;
        for (std::int64_t first = 0; first < size; first += update::kSegmentSize)
            cfg << (first > 0 ? "next\n" : "") << "url = \"" << url << "\"\nrange = " << first << "-"
                << std::min(first + update::kSegmentSize, size) - 1 << "\n";
    }

    struct Tool {
        const char* name;
        std::function<double()> run;
        std::vector<double> times;
        int failed = 0;
    } tools[] = {
        {"downloader", [&] { return ours(url, out, connections); }, {}, 0},
        {"aria2c -x10 -s10 -k1M",
         [&] {
             return command("aria2c -q -x10 -s10 -k1M --allow-overwrite=true --auto-file-renaming=false -d '" + d +
                            "' -o release.bin '" + url + "'");
         },
         {},
         0},
        {"curl", [&] { return command("curl -s -f -o '" + out.string() + "' '" + url + "'"); }, {}, 0},
        {"curl, 200 KiB ranges in turn",
         [&] { return command("curl -s -f -K '" + ranges.string() + "' >'" + out.string() + "'"); },
         {},
         0},
    };
    std::printf("file %d MiB from nginx on loopback, downloader with %d connections, %d rounds\n", sizeMb, connections,
                rounds);
    for (int r = 0; r < rounds; ++r) {
        // A different tool goes first each round, so none always meets the
        // page cache in the same state.
        for (std::size_t k = 0; k < std::size(tools); ++k) {
            Tool& t = tools[(k + static_cast<std::size_t>(r)) % std::size(tools)];
            std::error_code ec;
            fs::remove(out, ec);
            fs::remove(out.string() + ".aria2", ec);
            const double s = t.run();
            if (s < 0 || !sameFile(out, original))
                ++t.failed;
            else
                t.times.push_back(s);
        }
    }
    const double base = median(tools[0].times);
    for (const Tool& t : tools) {
        const double m = median(t.times);
        std::printf("  %-30s median %7.3f s  %8.1f MiB/s  runs %zu failed %d  downloader/this %.3f\n", t.name, m,
                    m > 0 ? sizeMb / m : 0.0, t.times.size(), t.failed, m > 0 ? base / m : 0.0);
    }
    return 0;
}
