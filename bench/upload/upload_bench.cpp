// Sends 200 archives of 2 KB to a loopback OpenSSH server twice per round:
// once with the built-in upload run, once with OpenSSH's sftp client in batch
// mode, and prints both times and their ratio (median of the rounds).
//
// Usage: bench_upload [rounds]   (root: it creates the server's test user)
#include "results/sftp.h"
#include "results/sshd_fixture.h"
#include "results/upload.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace quorvane;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int kArchives = 200;
constexpr std::size_t kArchiveBytes = 2048;

std::vector<std::string> makeArchives(const std::filesystem::path& dir, std::mt19937& random)
{
    std::filesystem::create_directories(dir);
    std::vector<std::string> names;
    for (int i = 0; i < kArchives; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "20240102%06d_1024_Pccollect.zip", i);
        std::string bytes(kArchiveBytes, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        std::ofstream(dir / name, std::ios::binary) << bytes;
        names.push_back(name);
    }
    return names;
}

std::size_t countFiles(const std::filesystem::path& dir)
{
    std::error_code ec;
    std::size_t n = 0;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = std::clamp(argc > 1 ? std::atoi(argv[1]) : 5, 1, 20);
    test::SshdServer server;
    server.allowClientKey();
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "sshd: %s\n", error.c_str());
        return 1;
    }
    char pattern[] = "/tmp/qv-bench-upload-XXXXXX";
    const std::filesystem::path work = ::mkdtemp(pattern);
    struct RemoveOnExit {
        std::filesystem::path path;
        ~RemoveOnExit()
        {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } cleanup{work};
    std::mt19937 random(7);
    std::vector<double> ours, theirs;

    for (int round = 0; round < rounds; ++round) {
        // Built-in run.
        const std::string ourDir = server.makeRemoteDir("ours" + std::to_string(round));
        DataDirectory data(work / ("Data" + std::to_string(round)));
        makeArchives(data.path(), random);
        UploadRunner runner(
            data, sftpTransportFactory({work / "conf" / "known_hosts", std::chrono::seconds(60), nullptr, true, {}}),
            nullptr);
        const UploadTarget target{
            "",    "", "127.0.0.1", std::to_string(server.port()), test::SshdServer::kUser, test::SshdServer::kPassword,
            ourDir};
        auto start = Clock::now();
        const auto report = runner.runNow(target);
        ours.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (!report || report->failed || report->sent != kArchives ||
            countFiles(server.remotePath(ourDir)) != kArchives) {
            std::fprintf(stderr, "built-in run failed: %s\n", report ? report->failure.c_str() : "busy");
            return 1;
        }

        // OpenSSH's client, same server, same number and size of files.
        const std::string theirDir = server.makeRemoteDir("openssh" + std::to_string(round));
        const std::filesystem::path source = work / ("src" + std::to_string(round));
        const auto names = makeArchives(source, random);
        const std::filesystem::path batch = work / ("batch" + std::to_string(round));
        {
            std::ofstream out(batch);
            out << "cd ." << theirDir << "\n";
            for (const auto& name : names)
                out << "put " << (source / name).string() << "\n";
        }
        const std::string command = "sftp -q -b " + batch.string() + " -i " + server.clientKey().string() + " -P " +
                                    std::to_string(server.port()) +
                                    " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"
                                    " -o BatchMode=yes " +
                                    test::SshdServer::kUser + "@127.0.0.1 >/dev/null";
        start = Clock::now();
        const int rc = std::system(command.c_str());
        theirs.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (rc != 0 || countFiles(server.remotePath(theirDir)) != kArchives) {
            std::fprintf(stderr, "sftp -b failed (%d)\n%s\n", rc, server.log().c_str());
            return 1;
        }
        std::printf("round %d: built-in %.3f s, OpenSSH sftp -b %.3f s\n", round + 1, ours.back(), theirs.back());
    }
    server.stop();

    const double a = median(ours), b = median(theirs);
    std::printf("%d archives of %zu bytes to loopback sshd, median of %d rounds:\n", kArchives, kArchiveBytes, rounds);
    std::printf("  built-in upload run: %.3f s\n", a);
    std::printf("  OpenSSH sftp -b:     %.3f s\n", b);
    std::printf("  ratio built-in / OpenSSH: %.2f (below 1 is faster)\n", a / b);
    return 0;
}
