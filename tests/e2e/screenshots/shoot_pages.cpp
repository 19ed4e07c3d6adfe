// Draws the settings and history pages offscreen over a realistic
// installation (the shipped dist/ tree, a user with a few dozen results of
// every kind and some own sites) and saves them as PNG files:
//   settings-start.png     the settings page at its first section
//   settings-items.png     the test items with the user's own sites
//   settings-update.png    the update, service and help sections
//   history.png            the history page, every record
//   history-search.png     the history page searching "自动"
//   stop-dialog.png        the stop dialog of automatic testing, two days in
// Usage: quorvane-shoot-pages DIST_FOLDER OUTPUT_FOLDER
#include "app/history_record.h"
#include "app/settings_dlg.h"
#include "app/shell_dialogs.h"
#include "app/stop_speed_dlg.h"
#include "common/flags.h"
#include "config/user_documents.h"

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace quorvane;

namespace
{

void writeHistory(const std::filesystem::path& file)
{
    const char* servers[] = {"北京电信测速点", "上海联通测速点", "广州移动测速点"};
    const char* files[] = {"1MB测试文件", "5MB测试文件", "10MB测试文件"};
    const char* pages[] = {"http://127.0.0.1:18080/portal/news/index.html",
                           "http://127.0.0.1:18080/portal/shop/index.html"};
    const char* videos[] = {"优酷视频", "土豆视频", "酷6视频"};
    const char* reasons[] = {"CPU使用率 > 80%", "无线上网", "网卡流量 > 100KB/s", "多机上网"};
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 48; ++i) {
        const int day = 1 + i / 12;
        const int hour = 8 + i % 12;
        const char* mode = i % 3 == 0 ? "手动" : "自动";
        char line[256];
        switch (i % 5) {
        case 0:
            std::snprintf(line, sizeof line, "2024-06-%02d %02d:%02d:12,%s,带宽测速,%s,%.1fMb/s;", day, hour, i % 60,
                          mode, servers[i % 3], 82.0 + (i * 37 % 170) / 10.0);
            break;
        case 1:
            std::snprintf(line, sizeof line, "2024-06-%02d %02d:%02d:40,%s,文件下载,%s,%.2f KB/s;", day, hour, i % 60,
                          mode, files[i % 3], 9300.0 + i * 113 % 2100);
            break;
        case 2:
            std::snprintf(line, sizeof line, "2024-06-%02d %02d:%02d:05,%s,网页性能,%s,%.2f s;", day, hour, i % 60,
                          mode, pages[i % 2], 1.2 + (i * 17 % 90) / 100.0);
            break;
        case 3:
            std::snprintf(line, sizeof line, "2024-06-%02d %02d:%02d:51,%s,视频测速,%s,%.2f KB/s;", day, hour, i % 60,
                          mode, videos[i % 3], 2600.0 + i * 71 % 900);
            break;
        default:
            std::snprintf(line, sizeof line, "2024-06-%02d %02d:%02d:00,自动,自动测速,无效数据,%s;", day, hour, i % 60,
                          reasons[i % 4]);
        }
        out << line << '\n';
    }
}

bool save(QWidget& w, const std::filesystem::path& out, const char* name)
{
    // Offscreen drawing lags a change by a frame: let it settle first.
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();
    const bool ok = w.grab().save(QString::fromStdString((out / name).string()));
    std::printf("%s %s\n", ok ? "saved" : "FAILED", (out / name).c_str());
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIST_FOLDER OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::filesystem::path dist = std::filesystem::absolute(argv[1]);
    const std::filesystem::path out = std::filesystem::absolute(argv[2]);
    std::filesystem::create_directories(out);
    QApplication app(argc, argv);

    char tmpl[] = "/tmp/quorvane-shoot-pages-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    const std::filesystem::path inst = tmpl;
    std::filesystem::copy(dist, inst, std::filesystem::copy_options::recursive);
    std::filesystem::current_path(inst);
    std::filesystem::create_directories("HistoryRecord");
    writeHistory("HistoryRecord/HistoryRecord10001.txt");
    AddUserItem("10001", "2", "我的博客", "http://blog.example.cn/");
    AddUserItem("10001", "2", "单位门户", "http://www.example.com.cn/index.html");
    AddUserItem("10001", "2", "学校主页", "http://www.example.edu.cn/");
    AddUserItem("10001", "4", "系统镜像", "http://mirror.example.cn/iso/disk.iso");

    SessionStore session;
    session.set(UserSession{"10001", "测速达人", "", "", ""});
    CDataBase database;
    ShellDialogs dialogs;
    ShellContext context;
    context.session = &session;
    context.database = &database;
    context.dialogs = &dialogs;
    context.isAutoStart = [] { return true; };
    context.setAutoStart = [](bool) { return true; };
    context.installedVersion = [] { return std::string("V2.0.07-beta"); };
    context.historyFile = [](const std::string& id) { return "HistoryRecord/HistoryRecord" + id + ".txt"; };

    bool ok = true;
    CSettingsDlg settings(context);
    settings.resize(539, 557);
    settings.show();
    settings.OnInitDialog();
    ok &= save(settings, out, "settings-start.png");
    settings.OnMenuEntry(2);
    ok &= save(settings, out, "settings-items.png");
    settings.OnMenuEntry(3);
    ok &= save(settings, out, "settings-update.png");

    CHistoryRecord history(context);
    history.resize(539, 557);
    history.show();
    history.OnInitDialog();
    ok &= save(history, out, "history.png");
    history.searchEdit()->setText(QStringLiteral("自动"));
    ok &= save(history, out, "history-search.png");

    flags::scheduledTaskCount = 1532;
    flags::completedTaskCount = 1417;
    const long long startedAt = 1'700'000'000;
    CStopSpeedDlg::Status status;
    status.autoStartTime = startedAt;
    status.now = [startedAt] { return startedAt + 2 * 86400 + 3 * 3600 + 14 * 60 + 5; };
    status.latestResult = [] {
        return std::string(
            "最近一次带宽测速结果：\n测速服务器：广东电信-深圳\n估算带宽：94.3Mb/s\n测速时间：2026-12-08 "
            "09:41:07");
    };
    status.scores = [] { return ScoreValues{"1280", "860", "420"}; };
    CStopSpeedDlg stop(status);
    stop.show();
    ok &= save(stop, out, "stop-dialog.png");

    std::filesystem::current_path("/");
    std::filesystem::remove_all(inst);
    return ok ? 0 : 1;
}
