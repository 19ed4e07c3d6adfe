// Velomark's flow and window over a scripted server: what is fetched, how
// often, what ends up in the program folder and which version is recorded.
#include "update/velomark/velomark_support.h"

#include <QCheckBox>
#include <QListWidget>
#include <QProgressBar>

#include <condition_variable>
#include <map>

namespace quorvane::test
{
namespace
{

using velomark::CVelomarkWnd;
using velomark::VelomarkFlow;
namespace fs = std::filesystem;

constexpr const char* kBase = "http://srv/update/";

// Answers downloads from a map of URL to bytes; counts the fetches.
struct ScriptedServer {
    std::mutex lock;
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> firstAnswer; // served once, before `files`
    std::map<std::string, int> fetches;
    int active = 0, mostActive = 0;
    int holdUntilActive = 0; // the first downloads wait until this many run at once
    std::condition_variable changed;
    bool blockForever = false; // downloads wait for the cancel flag

    velomark::Services services(VelomarkInstallation& inst)
    {
        velomark::Services s;
        s.registry = &inst.registry;
        s.processes = &inst.processes;
        s.download = [this](const std::string& url, const fs::path& file, const std::atomic<bool>& cancel,
                            const update::FetchLimits&) {
            std::unique_lock l(lock);
            ++fetches[url];
            mostActive = std::max(mostActive, ++active);
            changed.notify_all();
            // Once that many ran together, the rest no longer wait.
            if (active >= holdUntilActive)
                holdUntilActive = 0;
            // No time window: the gate opens when enough run, or on cancel.
            const auto bound = std::chrono::steady_clock::now() + std::chrono::minutes(2);
            while (active < holdUntilActive && !cancel && std::chrono::steady_clock::now() < bound)
                changed.wait_for(l, std::chrono::milliseconds(50));
            while (blockForever && !cancel) {
                l.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                l.lock();
            }
            --active;
            std::string bytes;
            if (auto f = firstAnswer.find(url); f != firstAnswer.end()) {
                bytes = f->second;
                firstAnswer.erase(f);
            } else if (auto g = files.find(url); g != files.end()) {
                bytes = g->second;
            } else {
                return false;
            }
            writeFile(file, bytes);
            return true;
        };
        return s;
    }
    void setBlocking(bool on)
    {
        std::lock_guard l(lock);
        blockForever = on;
    }
    int fetchCount(const std::string& url)
    {
        std::lock_guard l(lock);
        return fetches[url];
    }
};

struct VelomarkRun {
    VelomarkInstallation inst;
    ScriptedServer server;
    std::unique_ptr<CVelomarkWnd> wnd;
    QStringList messages;
    bool finished = false;

    explicit VelomarkRun(const std::vector<ReleaseFileSpec>& files, const std::string& version = "V2.0.08")
        : inst(kBase)
    {
        testing::qtApp();
        server.files[std::string(kBase) + "update.xml"] = manifestFor(files, version);
        for (const auto& f : files)
            server.files[std::string(kBase) + "v2/" + f.localpath] = f.content;
    }
    void open(velomark::Services* custom = nullptr)
    {
        wnd = std::make_unique<CVelomarkWnd>(inst.program, custom ? *custom : server.services(inst));
        wnd->setMessenger([this](const QString& text) { messages << text; });
        QObject::connect(&wnd->flow(), &VelomarkFlow::finished, [this] { finished = true; });
        wnd->show();
        wnd->flow().start();
    }
    bool awaitAgreement()
    {
        return testing::waitFor(
            [&] { return finished || wnd->flow().state() == VelomarkFlow::State::AwaitingAgreement; });
    }
    template <class T> T* child(const char* name) { return wnd->findChild<T*>(QString::fromLatin1(name)); }
    void agreeAndStart()
    {
        child<QCheckBox>("Check_tongyi")->setChecked(true);
        child<QAbstractButton>("btn_ok")->click();
    }
    bool awaitEnd()
    {
        return testing::waitFor([&] { return finished; }, 20000);
    }
    QStringList lines()
    {
        QStringList out;
        auto* list = child<QListWidget>("list_update");
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->text();
        return out;
    }
};

const std::vector<ReleaseFileSpec> kTwoFiles = {{"Quorvane", "new program bytes", ""},
                                                {"Config/threshold_config.xml", "<threshold/>", ""}};

TEST(VelomarkFlow, NotesAgreementDownloadInstallAndVersions)
{
    VelomarkRun run(kTwoFiles);
    writeFile(run.inst.program / "Quorvane", "old program bytes");
    run.open();
    ASSERT_TRUE(run.awaitAgreement());
    EXPECT_EQ(run.lines(), (QStringList{"修复了下载页的问题", "更快的带宽测速"}));
    EXPECT_TRUE(run.child<QCheckBox>("Check_tongyi")->isEnabled());
    EXPECT_FALSE(run.child<QAbstractButton>("btn_ok")->isEnabled());
    EXPECT_EQ(run.child<QProgressBar>("Pro_")->maximum(), 2);

    run.agreeAndStart();
    ASSERT_TRUE(run.awaitEnd());
    EXPECT_EQ(run.messages, QStringList{"软件已经更新完成！"});
    EXPECT_EQ(readFile(run.inst.program / "Quorvane"), "new program bytes");
    EXPECT_EQ(readFile(run.inst.program / "Config/threshold_config.xml"), "<threshold/>");
    EXPECT_EQ(run.inst.displayVersion(), "V2.0.08");
    EXPECT_EQ(run.inst.newAppVer(), "V2.0.08");
    EXPECT_FALSE(fs::exists(run.inst.program / "TmpUpdate"));
    EXPECT_FALSE(fs::exists(run.inst.program / "tmp"));
    EXPECT_EQ(run.inst.processes.calls, (std::vector<std::string>{"terminate Quorvane", "wait Quorvane update"}));
    const QStringList lines = run.lines();
    EXPECT_EQ(lines.first(), "开始准备下载");
    EXPECT_TRUE(lines.contains("文件:threshold_config.xml"));
    EXPECT_EQ(lines.count("下载完成"), 2);
    EXPECT_EQ(lines.last(), QString(53, '-'));
    EXPECT_EQ(run.child<QProgressBar>("Pro_")->format(), "100%");
}

// Every way the flow ends without installing: the message, how often each
// file was fetched, and that the program folder and versions are untouched.
TEST(VelomarkFlow, EndingsThatInstallNothing)
{
    struct Case {
        const char* name;
        std::vector<ReleaseFileSpec> files;
        std::string version;
        bool dropManifest;
        bool failInstall;
        const char* message;
        int fetchesOfBad; // fetches of "bad.bin", -1 when not asked
        std::vector<std::string> processCalls;
    };
    const std::string wrong(32, '0');
    const std::vector<Case> cases = {
        {"manifest missing", kTwoFiles, "V2.0.08", true, false, "文件下载失败！", -1, {}},
        {"already current", kTwoFiles, "V2.0.07-beta", false, false, "软件已是最新版本！", -1, {}},
        {"digest never matches",
         {{"Quorvane", "x", ""}, {"bad.bin", "bytes", wrong}},
         "V2.0.08",
         false,
         false,
         "文件下载失败！",
         5,
         {"terminate Quorvane", "detach Quorvane update"}},
        {"path outside the folder",
         {{"../escape", "x", ""}},
         "V2.0.08",
         false,
         false,
         "更新配置文件不安全，已停止更新！",
         -1,
         {}},
        {"install fails",
         kTwoFiles,
         "V2.0.08",
         false,
         true,
         "文件安装失败，软件保持原来的版本！",
         -1,
         {"terminate Quorvane", "detach Quorvane update"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VelomarkRun run(c.files, c.version);
        if (c.dropManifest)
            run.server.files.erase(std::string(kBase) + "update.xml");
        writeFile(run.inst.program / "Quorvane", "old program bytes");
        velomark::Services services = run.server.services(run.inst);
        if (c.failInstall)
            services.installOptions.stepHook = [](int step) { return step < 3; };
        run.open(&services);
        ASSERT_TRUE(run.awaitAgreement());
        if (!run.finished) {
            run.agreeAndStart();
            ASSERT_TRUE(run.awaitEnd());
        }
        EXPECT_EQ(run.messages, QStringList{QString::fromUtf8(c.message)});
        if (c.fetchesOfBad >= 0) {
            EXPECT_EQ(run.server.fetchCount(std::string(kBase) + "v2/bad.bin"), c.fetchesOfBad);
        }
        EXPECT_EQ(readFile(run.inst.program / "Quorvane"), "old program bytes");
        EXPECT_FALSE(fs::exists(run.inst.program / "escape"));
        EXPECT_FALSE(fs::exists(run.inst.dir / "escape"));
        EXPECT_EQ(run.inst.displayVersion(), "V2.0.07-beta");
        EXPECT_EQ(run.inst.newAppVer(), "V2.0.07-beta");
        EXPECT_FALSE(fs::exists(run.inst.program / "TmpUpdate"));
        EXPECT_EQ(run.inst.processes.calls, c.processCalls);
    }
}

TEST(VelomarkFlow, ABadCopyIsFetchedAgainUntilItMatches)
{
    VelomarkRun run(kTwoFiles);
    run.server.firstAnswer[std::string(kBase) + "v2/Quorvane"] = "truncated program bytes that are longer";
    run.open();
    ASSERT_TRUE(run.awaitAgreement());
    run.agreeAndStart();
    ASSERT_TRUE(run.awaitEnd());
    EXPECT_EQ(run.messages, QStringList{"软件已经更新完成！"});
    EXPECT_EQ(run.server.fetchCount(std::string(kBase) + "v2/Quorvane"), 2);
    EXPECT_EQ(readFile(run.inst.program / "Quorvane"), "new program bytes");
}

TEST(VelomarkFlow, AtMostFourFilesDownloadAtOnce)
{
    std::vector<ReleaseFileSpec> files;
    for (int i = 0; i < 7; ++i)
        files.push_back({"f" + std::to_string(i), "content " + std::to_string(i), ""});
    VelomarkRun run(files);
    run.open();
    ASSERT_TRUE(run.awaitAgreement());
    {
        std::lock_guard l(run.server.lock);
        run.server.holdUntilActive = 4;
    }
    run.agreeAndStart();
    ASSERT_TRUE(run.awaitEnd());
    EXPECT_EQ(run.server.mostActive, 4);
    EXPECT_EQ(readFile(run.inst.program / "f6"), "content 6");
}

// The user gives up: before agreeing, or while the files download.
TEST(VelomarkWindow, GivingUpInstallsNothing)
{
    for (const char* button : {"btn_no", "close_btn"}) {
        for (const bool downloading : {false, true}) {
            SCOPED_TRACE(std::string(button) + (downloading ? " while downloading" : " before agreeing"));
            VelomarkRun run(kTwoFiles);
            writeFile(run.inst.program / "Quorvane", "old program bytes");
            run.open();
            ASSERT_TRUE(run.awaitAgreement());
            if (downloading) {
                run.server.setBlocking(true);
                run.agreeAndStart();
                ASSERT_TRUE(testing::waitFor([&] {
                    std::lock_guard l(run.server.lock);
                    return run.server.active > 0;
                }));
            }
            run.child<QAbstractButton>(button)->click();
            EXPECT_FALSE(run.wnd->isVisible());
            EXPECT_EQ(run.wnd->result(), QDialog::Rejected);
            EXPECT_EQ(readFile(run.inst.program / "Quorvane"), "old program bytes");
            EXPECT_EQ(run.inst.newAppVer(), "V2.0.07-beta");
            EXPECT_FALSE(fs::exists(run.inst.program / "TmpUpdate"));
            EXPECT_TRUE(run.messages.isEmpty());
            // Quorvane, ended for the download, comes back.
            EXPECT_EQ(run.inst.processes.calls,
                      downloading ? (std::vector<std::string>{"terminate Quorvane", "detach Quorvane update"})
                                  : std::vector<std::string>{});
        }
    }
}

TEST(VelomarkWindow, ControlsAndTheAgreementBox)
{
    VelomarkRun run(kTwoFiles);
    run.server.setBlocking(true); // the manifest waits
    run.open();
    EXPECT_EQ(run.wnd->size(), QSize(538, 700));
    for (const char* name : {"list_update", "Pro_", "Check_tongyi", "btn_ok", "btn_no", "close_btn"})
        EXPECT_NE(run.wnd->findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;
    EXPECT_EQ(run.lines(), QStringList{"正在下载更新配置文件！请稍等..."});
    EXPECT_FALSE(run.child<QCheckBox>("Check_tongyi")->isEnabled());
    EXPECT_FALSE(run.child<QAbstractButton>("btn_ok")->isEnabled());
    run.server.setBlocking(false);
    ASSERT_TRUE(run.awaitAgreement());

    auto* agree = run.child<QCheckBox>("Check_tongyi");
    auto* ok = run.child<QAbstractButton>("btn_ok");
    // Unticked, the start button does nothing, even when asked directly.
    run.wnd->flow().begin();
    EXPECT_EQ(run.wnd->flow().state(), VelomarkFlow::State::AwaitingAgreement);
    agree->setChecked(true);
    EXPECT_TRUE(ok->isEnabled());
    agree->setChecked(false);
    EXPECT_FALSE(ok->isEnabled());
    EXPECT_EQ(run.wnd->flow().state(), VelomarkFlow::State::AwaitingAgreement);
    EXPECT_TRUE(run.inst.processes.calls.empty());
}

TEST(VelomarkWindow, MessageWindowNamesItsParts)
{
    testing::qtApp();
    velomark::CVelomarkMsgDlg dialog(QStringLiteral("文件下载失败！"));
    auto* text = dialog.findChild<QLabel*>(QStringLiteral("txt_q"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(), "文件下载失败！");
    ASSERT_NE(dialog.findChild<QAbstractButton*>(QStringLiteral("btn_ok")), nullptr);
    auto* close = dialog.findChild<QAbstractButton*>(QStringLiteral("close_btn"));
    ASSERT_NE(close, nullptr);
    dialog.show();
    close->click();
    EXPECT_EQ(dialog.result(), velomark::CVelomarkMsgDlg::kQuitRequested);
}

} // namespace
} // namespace quorvane::test
