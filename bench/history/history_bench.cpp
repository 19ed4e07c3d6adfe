// How long the history page takes to open on a 10,000-line history file:
// reading and cutting the file, and the whole page (grid and chart), each
// beside a plain line reader over the same file in the same run. The page
// must open in well under a second; the ratio shows what the grid costs over
// merely reading the bytes.
//
// Usage: bench_history_open [LINES]   (QT_QPA_PLATFORM=offscreen without a display)
#include "app/login/session.h"
#include "app/pages/history_record.h"
#include "results/history.h"
#include "results/history_table.h"

#include <QApplication>
#include <QTableWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace quorvane;
using SteadyClock = std::chrono::steady_clock;

namespace
{

double msSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// The best of a few runs: the machine is shared and noisy.
template <typename F> double best(int runs, F&& f)
{
    double b = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto t = SteadyClock::now();
        f();
        b = std::min(b, msSince(t));
    }
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 10000;

    char tmpl[] = "/tmp/quorvane-bench-history-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    const std::filesystem::path dir = tmpl;
    std::filesystem::create_directories(dir / "HistoryRecord");
    std::filesystem::create_directories(dir / "Config");
    const std::filesystem::path file = dir / "HistoryRecord" / "HistoryRecord1.txt";
    {
        const char* kinds[] = {",手动,带宽测速,北京电信,%d.%dMb/s;\n", ",自动,文件下载,5MB测试文件,%d.%d KB/s;\n",
                               ",自动,网页性能,http://news.example.cn/index.html,%d.%d s;\n",
                               ",自动,视频测速,优酷视频,%d.%d KB/s;\n", ",自动,自动测速,无效数据,无线上网%d%d;\n"};
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < lines; ++i) {
            char buf[160];
            const int n = std::snprintf(buf, sizeof buf, "2024-%02d-%02d %02d:%02d:%02d", 1 + i / 2000 % 12,
                                        1 + i / 80 % 28, i / 4 % 24, i % 60, i * 7 % 60);
            std::snprintf(buf + n, sizeof buf - n, kinds[i % 5], 10 + i % 90, i % 10);
            out << buf;
        }
    }

    std::size_t sink = 0;
    const double plain = best(5, [&] {
        std::ifstream in(file, std::ios::binary);
        for (std::string line; std::getline(in, line);)
            sink += line.size();
    });
    const double readOnly = best(5, [&] { sink += ReadHistoryFile(file).size(); });
    const double read = best(5, [&] { sink += historyRows(ReadHistoryFile(file)).size(); });

    SessionStore session;
    session.set(UserSession{"1", "", "", "", ""});
    CDataBase database;
    ShellContext context;
    context.session = &session;
    context.database = &database;
    context.historyFile = [file](const std::string&) { return file.string(); };
    std::filesystem::current_path(dir);
    CHistoryRecord page(context);
    page.resize(539, 557);
    page.show();
    const double open = best(3, [&] {
        page.OnInitDialog();
        QApplication::processEvents();
    });

    std::printf("history file of %d lines (%lld bytes)\n", lines,
                static_cast<long long>(std::filesystem::file_size(file)));
    std::printf("  plain line reader       %8.2f ms\n", plain);
    std::printf("  ReadHistoryFile         %8.2f ms   (%.1fx the plain reader)\n", readOnly, readOnly / plain);
    std::printf("  ReadHistoryFile + rows  %8.2f ms   (%.1fx the plain reader)\n", read, read / plain);
    std::printf("  history page opened     %8.2f ms   (%.1fx the plain reader)%s\n", open, open / plain,
                open < 1000 ? "" : "   SLOWER THAN ONE SECOND");
    std::printf("  rows shown %d (sink %zu)\n", page.grid() ? page.grid()->rowCount() : 0, sink);
    std::filesystem::remove_all(dir);
    return 0;
}
