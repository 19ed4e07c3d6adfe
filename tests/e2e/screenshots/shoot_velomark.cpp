// Velomark's window drawn offscreen against a running update server:
//   quorvane-shoot-velomark release DIR
//       writes a demo release (manifest and files) into the server folder DIR
//   quorvane-shoot-velomark shoot PROGRAM_DIR BASE_URL OUTPUT_DIR
//       velomark-notes.png     the release notes with the agreement ticked
//       velomark-download.png  part way through the download
// The program folder is only read: the download is given up after the shot,
// and no program is ended or started.
#include "common/md5.h"
#include "platform/registry_store.h"
#include "update/velomark/velomark_services.h"
#include "update/velomark/velomark_wnd.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPixmap>

#include <cstdio>
#include <fstream>
#include <thread>

namespace
{

namespace fs = std::filesystem;
using quorvane::velomark::VelomarkFlow;

constexpr int kFiles = 7;

std::string localPath(int i)
{
    static const char* const names[kFiles] = {
        "Quorvane",        "Update",        "Velomark", "quorvane-cli", "Config/dest_config.xml",
        "help/index.html", "Image/logo.png"};
    return names[i];
}

int writeRelease(const fs::path& dir)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n  <Version>V2.0.08</Version>\n"
                      "  <UpdateInfo>\n"
                      "    <i>1. 带宽测速：上传阶段的采样更加平稳</i>\n"
                      "    <i>2. 文件下载测试：支持断点续传的服务器</i>\n"
                      "    <i>3. 网页测试：首屏时间的计算更准确</i>\n"
                      "    <i>4. 修复了托盘菜单偶尔不响应的问题</i>\n"
                      "  </UpdateInfo>\n  <versions>\n"
                      "    <versionid seq=\"1\">V2.0.07-beta</versionid>\n"
                      "    <versionid seq=\"2\">V2.0.08</versionid>\n";
    for (int i = 0; i < kFiles; ++i) {
        std::string content(300 * 1024 + i * 977, '\0');
        for (std::size_t k = 0; k < content.size(); ++k)
            content[k] = static_cast<char>((k * 7 + i) & 0xff);
        const fs::path file = dir / "v2" / localPath(i);
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        xml += "    <File seq=\"2\" serpath=\"v2/" + localPath(i) + "\" localpath=\"" + localPath(i) + "\" verify=\"" +
               quorvane::md5Hex(content) + "\" size=\"" + std::to_string(content.size()) + "\"/>\n";
    }
    xml += "  </versions>\n</update>\n";
    std::ofstream(dir / "update.xml", std::ios::binary) << xml;
    return 0;
}

// Ends nothing and starts nothing: the shots must not touch the desktop's
// real programs.
class NoProcesses : public quorvane::platform::ProcessControl
{
public:
    std::vector<quorvane::platform::ProcessInfo> snapshot() const override { return {}; }
    std::optional<long> startDetached(const fs::path&, const std::vector<std::string>&, const fs::path&) override
    {
        return std::nullopt;
    }
    std::optional<int> startAndWait(const fs::path&, const std::vector<std::string>&, const fs::path&, int) override
    {
        return std::nullopt;
    }
    quorvane::platform::TerminateResult terminateByName(std::string_view, quorvane::platform::NameCase) override
    {
        return quorvane::platform::TerminateResult::NotFound;
    }
};

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

bool save(QWidget& w, const fs::path& file)
{
    QCoreApplication::processEvents();
    if (w.grab().save(QString::fromStdString(file.string()), "PNG"))
        return true;
    std::fprintf(stderr, "cannot save %s\n", file.c_str());
    return false;
}

int shoot(const fs::path& programDir, const std::string& base, const fs::path& outDir)
{
    const fs::path work = fs::temp_directory_path() / ("qv-velomark-shot-" + std::to_string(::getpid()));
    fs::create_directories(work);
    fs::copy(programDir / "conf", work / "conf", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    {
        std::ofstream conf(work / "conf" / "config.properties", std::ios::app);
        conf << "update_server_path=" << base << "\r\n";
    }
    quorvane::platform::IniRegistryStore registry(work / "registry.ini");
    NoProcesses processes;
    quorvane::velomark::Services services = quorvane::velomark::realServices(work, registry, processes);
    // The last files wait until the shot of the download is taken.
    std::atomic<bool> release{false};
    auto download = services.download;
    services.download = [download, &release](const std::string& url, const fs::path& file,
                                             const std::atomic<bool>& cancel,
                                             const quorvane::update::FetchLimits& limits) {
        if (url.find(localPath(kFiles - 1)) != std::string::npos ||
            url.find(localPath(kFiles - 2)) != std::string::npos)
            for (int i = 0; i < 6000 && !release && !cancel; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return download(url, file, cancel, limits);
    };

    int status = 0;
    {
        quorvane::velomark::CVelomarkWnd wnd(work, services);
        wnd.setMessenger([](const QString& text) { std::fprintf(stderr, "message: %s\n", text.toUtf8().constData()); });
        wnd.show();
        wnd.flow().start();
        if (!waitFor([&] { return wnd.flow().state() == VelomarkFlow::State::AwaitingAgreement; }, 30000)) {
            std::fprintf(stderr, "the release notes were not shown\n");
            status = 1;
        } else {
            wnd.findChild<QCheckBox*>(QStringLiteral("Check_tongyi"))->setChecked(true);
            if (!save(wnd, outDir / "velomark-notes.png"))
                status = 1;
            wnd.findChild<QAbstractButton*>(QStringLiteral("btn_ok"))->click();
            if (!waitFor([&] { return wnd.flow().filesDone() >= kFiles - 2; }, 60000))
                std::fprintf(stderr, "warning: the download did not get far; the shot shows where it stands\n");
            if (!save(wnd, outDir / "velomark-download.png"))
                status = 1;
            release = true;
            wnd.findChild<QAbstractButton*>(QStringLiteral("btn_no"))->click();
        }
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "release")
        return writeRelease(argv[2]);
    if (argc == 5 && std::string(argv[1]) == "shoot") {
        QApplication app(argc, argv);
        return shoot(argv[2], argv[3], argv[4]);
    }
    std::fprintf(stderr, "usage: %s release DIR | shoot PROGRAM_DIR BASE_URL OUTPUT_DIR\n", argv[0]);
    return 2;
}
