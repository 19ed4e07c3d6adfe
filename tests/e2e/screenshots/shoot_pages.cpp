// Draws the settings and history pages offscreen over a realistic
// installation (the shipped dist/ tree, a user with a few dozen results of
// every kind and some own sites) and saves them as PNG files:
//   settings-start.png     the settings page at its first section
//   settings-items.png     the test items with the user's own sites
//   settings-update.png    the update, service and help sections
//   history.png            the history page, every record
//   history-search.png     the history page searching "自动"
//   shortfall-notice.png   the tray stand-in with the notice that automatic
//                          bandwidth results stayed below half of a 100M
//                          contract three times in a row (with --shortfall:
//                          three real automatic runs against the reference
//                          service's test servers, throttled by the caller)
//   stop-dialog.png        the stop dialog of automatic testing, two days in
// Usage: quorvane-shoot-pages DIST_FOLDER OUTPUT_FOLDER [--shortfall]
#include "app/pages/history_record.h"
#include "app/pages/network_speed.h"
#include "app/pages/settings_dlg.h"
#include "app/shell/stop_speed_dlg.h"
#include "app/shell/window_dialogs.h"
#include "common/flags.h"
#include "config/user_documents.h"
#include "ui/tray_presence.h"

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPainter>
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
            // A bad evening now and then, below half of the 100M contract.
            std::snprintf(line, sizeof line, "2024-06-%02d %02d:%02d:12,%s,带宽测速,%s,%.1fMb/s;", day, hour, i % 60,
                          mode, servers[i % 3], i % 20 == 10 ? 36.0 + i % 7 : 82.0 + (i * 37 % 170) / 10.0);
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

// Uploads go nowhere here: the shots are about the page and the tray.
class NoUpload final : public ArchiveTransport
{
public:
    bool open(const UploadTarget&, std::string& error) override
    {
        error = "no collection server for screenshots";
        return false;
    }
    bool put(const std::string&, const std::string&, std::string&) override { return false; }
};

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

// Three automatic runs of the bandwidth page against the reference service;
// the stand-in and its notice drawn side by side as the desktop shows them.
bool shootShortfall(const ShellContext& base, const std::filesystem::path& out)
{
    ShellContext context = base;
    context.bandwidth.head = [](const std::string&) { return std::optional<std::string>(); };
    context.bandwidth.transport = [] { return std::make_unique<NoUpload>(); };
    context.bandwidth.engine.macAddress = [] { return std::string("52-54-00-12-34-56"); };
    std::ofstream("conf/ipconfig.properties", std::ios::binary)
        << "#user config\r\n52-54-00-12-34-56=6\r\ncontract_chosen_52-54-00-12-34-56=true\r\n";
    WriteShortfallSettings("10001", ShortfallSettings{true, 50, 3});

    CNetworkSpeed page(context, nullptr);
    ui::StandInTrayPresence tray;
    tray.setIcon(ui::appIcon(128), QStringLiteral("后台运行中，双击打开"));
    tray.add();
    QObject::connect(&page, &CNetworkSpeed::shortfallNotice, &tray, &ui::TrayPresence::showMessage);
    flags::autoMode = 1;
    for (int round = 1; round <= 3; ++round) {
        QEventLoop recorded;
        QObject::connect(&page, &CNetworkSpeed::recordHandled, &recorded, &QEventLoop::quit);
        const int result = page.RunAutoTest(false, true);
        std::printf("automatic run %d: %d\n", round, result);
        if (result != 2) {
            std::ifstream log("auto.txt");
            std::printf("FAILED: the run did not complete; auto.txt says:\n%s\n",
                        std::string(std::istreambuf_iterator<char>(log), {}).c_str());
            return false;
        }
        recorded.exec();
    }
    flags::autoMode = 0;
    if (!tray.noticeWindow()->isVisible()) {
        std::printf("FAILED: no notice after three automatic runs\n");
        return false;
    }
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();
    const QPixmap standIn = tray.window()->grab();
    const QPixmap notice = tray.noticeWindow()->grab();
    QPixmap canvas(std::max(standIn.width(), notice.width()) + 24, standIn.height() + notice.height() + 30);
    canvas.fill(QColor(0x3a, 0x4a, 0x5c)); // a desktop behind them
    QPainter p(&canvas);
    p.drawPixmap(canvas.width() - 12 - standIn.width(), 12, standIn);
    p.drawPixmap(canvas.width() - 12 - notice.width(), 12 + standIn.height() + 6, notice);
    p.end();
    const bool ok = canvas.save(QString::fromStdString((out / "shortfall-notice.png").string()));
    std::printf("%s %s\n", ok ? "saved" : "FAILED", (out / "shortfall-notice.png").c_str());
    return ok;
}

int main(int argc, char** argv)
{
    const bool shortfall = argc == 4 && std::string(argv[3]) == "--shortfall";
    if (argc != 3 && !shortfall) {
        std::fprintf(stderr, "usage: %s DIST_FOLDER OUTPUT_FOLDER [--shortfall]\n", argv[0]);
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
    session.set(UserSession{"10001", "测速达人", "10.1.2.3", "广东省深圳市", "电信"});
    CDataBase database;
    WindowDialogs dialogs;
    ShellContext context;
    context.session = &session;
    context.database = &database;
    context.dialogs = &dialogs;
    context.isAutoStart = [] { return true; };
    context.setAutoStart = [](bool) { return true; };
    context.installedVersion = [] { return std::string("V2.0.07-beta"); };
    context.historyFile = [](const std::string& id) { return "HistoryRecord/HistoryRecord" + id + ".txt"; };
    context.firstAdapterMac = [] { return std::string("52-54-00-12-34-56"); };
    // The user picked a 100M contract on the bandwidth page of this machine.
    std::ofstream("conf/ipconfig.properties", std::ios::binary)
        << "#user config\r\n52-54-00-12-34-56=6\r\ncontract_chosen_52-54-00-12-34-56=true\r\n";

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
    if (shortfall)
        ok &= shootShortfall(context, out);

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
