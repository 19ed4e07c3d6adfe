// The file download test's timed download (TimedGet) beside curl -w on the
// same file, from the reference service (throttled like an access line) and
// from nginx (unthrottled loopback), alternating in the same run. Prints the
// medians of connect time, load time and bytes, and TimedGet ÷ curl.
//
// TimedGet's load time is its second connection's set-up, request and body;
// curl's time_total is the same span of its one connection. Connect times
// on loopback are far below a millisecond, TimedGet's unit.
//
//   bench_download [--rounds N] [--size-mb MB] [--rate-mbit R]
#include "net/http_get.h"
#include "net/http_nginx.h"
#include "service/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace quorvane;

namespace
{

struct Sample {
    double connectMs = 0, loadMs = 0;
    std::uint64_t bytes = 0;
    bool ok = false;
};

Sample timedGet(const std::string& url)
{
    ByteCounterHandle counter;
    std::atomic<std::int64_t> length{0};
    std::atomic<std::uint32_t> connectMs{0}, loadMs{0};
    Sample s;
    s.ok = CHttpGet().TimedGet(url, counter, length, connectMs, loadMs, 30);
    s.connectMs = connectMs;
    s.loadMs = loadMs;
    s.bytes = counter.bytes();
    s.ok = s.ok && static_cast<std::int64_t>(s.bytes) == length;
    return s;
}

Sample curl(const std::string& url)
{
    Sample s;
    const std::string command =
        "curl -s -o /dev/null -w '%{time_connect} %{time_total} %{size_download}' '" + url + "'";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return s;
    double connect = 0, total = 0;
    unsigned long long bytes = 0;
    s.ok = std::fscanf(p, "%lf %lf %llu", &connect, &total, &bytes) == 3;
    s.ok = ::pclose(p) == 0 && s.ok;
    s.connectMs = connect * 1000;
    s.loadMs = total * 1000;
    s.bytes = bytes;
    return s;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string ratio(double a, double b)
{
    // TimedGet counts whole milliseconds: below one, a ratio says nothing.
    if (a < 1 && b < 1)
        return "n/a (both below 1 ms)";
    if (b < 1e-9)
        return "n/a";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", a / b);
    return buf;
}

void compare(const char* server, const std::string& url, int rounds)
{
    std::vector<double> tc, tl, cc, cl;
    std::uint64_t tBytes = 0, cBytes = 0;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        // Alternating, so that neither always meets a warm or a cold server.
        Sample t, c;
        if (i % 2 == 0) {
            t = timedGet(url);
            c = curl(url);
        } else {
            c = curl(url);
            t = timedGet(url);
        }
        if (!t.ok || !c.ok) {
            ++failures;
            continue;
        }
        tc.push_back(t.connectMs);
        tl.push_back(t.loadMs);
        cc.push_back(c.connectMs);
        cl.push_back(c.loadMs);
        tBytes = t.bytes;
        cBytes = c.bytes;
    }
    std::printf("%s  %s  rounds=%zu failed=%d\n", server, url.c_str(), tl.size(), failures);
    std::printf("  connect ms   TimedGet %8.3f   curl %8.3f   ratio %s\n", median(tc), median(cc),
                ratio(median(tc), median(cc)).c_str());
    std::printf("  load ms      TimedGet %8.3f   curl %8.3f   ratio %s\n", median(tl), median(cl),
                ratio(median(tl), median(cl)).c_str());
    std::printf("  bytes        TimedGet %llu   curl %llu   %s\n", static_cast<unsigned long long>(tBytes),
                static_cast<unsigned long long>(cBytes), tBytes == cBytes ? "equal" : "DIFFERENT");
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    int sizeMb = 20;
    std::string rate = "100";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--size-mb") == 0) {
            sizeMb = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--rate-mbit") == 0) {
            rate = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: bench_download [--rounds N] [--size-mb MB] [--rate-mbit R]\n");
            return 2;
        }
    }
    const std::string name = "bench.bin";
    refsvc_test::RefService service({"--web", "127.0.0.1:0", "--update", "none", "--test-server", "127.0.0.1:0",
                                     "--download", name + "=" + std::to_string(sizeMb) + "M", "--down-mbit", rate});
    if (!service.ok()) {
        std::fprintf(stderr, "the reference service did not start:\n%s\n", service.log().c_str());
        return 1;
    }
    testing::TempDir root;
    {
        std::ofstream file(root.path() / name, std::ios::binary);
        const std::string block(1 << 20, 'q');
        for (int i = 0; i < sizeMb; ++i)
            file << block;
    }
    std::filesystem::permissions(root.path(), std::filesystem::perms::all, std::filesystem::perm_options::add);
    testing::NginxServer nginx(root.path());
    if (!nginx.running()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    const auto& test = service.testServers().at(0);
    std::printf("file %d MiB; reference service throttled to %s Mbit/s, nginx unthrottled\n", sizeMb, rate.c_str());
    compare("refsvc", "http://" + test.host + ":" + std::to_string(test.port) + "/download/" + name, rounds);
    compare("nginx ", nginx.url("/" + name), rounds);
    return 0;
}
