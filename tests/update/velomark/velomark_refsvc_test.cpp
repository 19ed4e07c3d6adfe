// Velomark with its real downloader and installer against the reference
// service's update server: a release placed in the server's folder ends up
// in a temporary program folder, or, when something is wrong, nothing does.
#include "hostile_server.h"
#include "release_key.h"
#include "service/harness.h"
#include "update/velomark/velomark_services.h"
#include "update/velomark/velomark_support.h"
#include "update/version_records.h"

#include <QCheckBox>
#include <QListWidget>

#include <fstream>
#include <functional>

namespace quorvane::test
{
namespace
{

namespace fs = std::filesystem;
using velomark::VelomarkFlow;

// A release of three files, one bigger than a few 200 KiB ranges.
std::vector<ReleaseFileSpec> releaseFiles()
{
    std::string big(700 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
    return {{"Quorvane", big, ""},
            {"Config/threshold_config.xml", "<threshold v=\"2\"/>", ""},
            {"help/whatsnew.html", "<p/>", ""}};
}

struct ServedRelease {
    refsvc_test::TempDir folder;
    std::unique_ptr<refsvc_test::RefService> service;
    std::string base;

    explicit ServedRelease(const std::vector<ReleaseFileSpec>& files,
                           const std::function<void(const std::string& manifest, ServedRelease&)>& sign = {})
    {
        const std::string manifest = manifestFor(files);
        folder.write("update.xml", manifest);
        if (sign)
            sign(manifest, *this);
        for (const auto& f : files)
            writeFile(fs::path(folder.path()) / "v2" / f.localpath, f.content);
        service = std::make_unique<refsvc_test::RefService>(std::vector<std::string>{
            "--web", "none", "--test-server", "none", "--update", "127.0.0.1:0", "--update-dir", folder.path()});
        if (service->ok())
            base = "http://127.0.0.1:" + std::to_string(service->update().port) + "/update/";
    }
};

struct Outcome {
    QStringList messages;
    QStringList notes;
    bool finished = false;
};

// Runs Velomark's window over the installation; agrees when `agree`,
// otherwise closes the window once the notes are shown.
Outcome runVelomark(VelomarkInstallation& inst, bool agree)
{
    testing::qtApp();
    velomark::CVelomarkWnd wnd(inst.program, velomark::realServices(inst.program, inst.registry, inst.processes));
    Outcome out;
    wnd.setMessenger([&](const QString& text) { out.messages << text; });
    QObject::connect(&wnd.flow(), &VelomarkFlow::finished, [&] { out.finished = true; });
    wnd.show();
    wnd.flow().start();
    if (!testing::waitFor([&] { return out.finished || wnd.flow().state() == VelomarkFlow::State::AwaitingAgreement; },
                          30000))
        return out;
    auto* list = wnd.findChild<QListWidget*>(QStringLiteral("list_update"));
    for (int i = 0; i < list->count(); ++i)
        out.notes << list->item(i)->text();
    if (out.finished)
        return out;
    if (!agree) {
        wnd.findChild<QAbstractButton*>(QStringLiteral("close_btn"))->click();
        return out;
    }
    wnd.findChild<QCheckBox*>(QStringLiteral("Check_tongyi"))->setChecked(true);
    wnd.findChild<QAbstractButton*>(QStringLiteral("btn_ok"))->click();
    testing::waitFor([&] { return out.finished; }, 120000);
    return out;
}

TEST(VelomarkRefsvc, InstallsTheServedReleaseAndRecordsItsVersion)
{
    const auto files = releaseFiles();
    ServedRelease served(files);
    ASSERT_TRUE(served.service->ok()) << served.service->log();
    VelomarkInstallation inst(served.base);
    writeFile(inst.program / "Quorvane", "old program");

    const Outcome out = runVelomark(inst, true);
    ASSERT_TRUE(out.finished);
    EXPECT_EQ(out.notes, (QStringList{"修复了下载页的问题", "更快的带宽测速"}));
    EXPECT_EQ(out.messages, QStringList{"软件已经更新完成！"});
    for (const auto& f : files)
        EXPECT_EQ(readFile(inst.program / fs::u8path(f.localpath)), f.content) << f.localpath;
    EXPECT_EQ(inst.displayVersion(), "V2.0.08");
    EXPECT_EQ(inst.newAppVer(), "V2.0.08");
    EXPECT_FALSE(fs::exists(inst.program / "TmpUpdate"));
    EXPECT_EQ(inst.processes.calls, (std::vector<std::string>{"terminate Quorvane", "wait Quorvane update"}));
}

TEST(VelomarkRefsvc, NothingIsInstalledWhenAFileNeverMatchesOrTheUserCloses)
{
    struct Case {
        const char* name;
        bool badDigest;
        bool agree;
        const char* message; // "" for none
    };
    const Case cases[] = {
        {"digest never matches", true, true, "文件下载失败！"},
        {"closed before agreeing", false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto files = releaseFiles();
        if (c.badDigest)
            files[1].verify = std::string(32, 'a');
        ServedRelease served(files);
        ASSERT_TRUE(served.service->ok()) << served.service->log();
        VelomarkInstallation inst(served.base);
        writeFile(inst.program / "Quorvane", "old program");
        const std::uint64_t before = served.service->counter("update_requests");

        const Outcome out = runVelomark(inst, c.agree);
        EXPECT_EQ(out.messages, c.message[0] ? QStringList{QString::fromUtf8(c.message)} : QStringList{});
        EXPECT_EQ(readFile(inst.program / "Quorvane"), "old program");
        EXPECT_FALSE(fs::exists(inst.program / "Config/threshold_config.xml"));
        EXPECT_EQ(inst.displayVersion(), "V2.0.07-beta");
        EXPECT_EQ(inst.newAppVer(), "V2.0.07-beta");
        EXPECT_FALSE(fs::exists(inst.program / "TmpUpdate"));
        if (!c.agree) {
            // Only the manifest was asked for.
            EXPECT_TRUE(inst.processes.calls.empty());
            EXPECT_GT(served.service->counter("update_requests"), before);
        }
    }
}

// With a release key configured, only a manifest its owner signed installs.
TEST(VelomarkRefsvc, AConfiguredKeyInstallsOnlyASignedRelease)
{
    const testing::ReleaseKey key, stranger;
    struct Case {
        const char* name;
        const testing::ReleaseKey* signer; // nullptr: no signature served
        bool installs;
        std::string installed = "V2.0.07-beta"; // what an updater last installed
        int installedSequence = 0;
    };
    const Case cases[] = {
        {"signed by the key", &key, true},
        {"no signature", nullptr, false},
        {"signed by another key", &stranger, false},
        // DisplayVersion still says V2.0.07-beta: Update installed the
        // later release without replacing the program itself.
        {"a replayed older signed manifest", &key, false, "V2.0.09", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto files = releaseFiles();
        ServedRelease served(files, [&](const std::string& manifest, ServedRelease& r) {
            if (c.signer)
                r.folder.write("update.xml.sig", c.signer->sign(manifest));
        });
        ASSERT_TRUE(served.service->ok()) << served.service->log();
        VelomarkInstallation inst(served.base);
        {
            std::ofstream conf(inst.program / "conf/config.properties", std::ios::app);
            conf << "update_public_key=" << key.rawPublic() << "\r\n";
        }
        writeFile(inst.program / "Quorvane", "old program");
        ASSERT_TRUE(update::WriteInstalledRelease(inst.program, {c.installed, c.installedSequence}));
        const Outcome out = runVelomark(inst, true);
        EXPECT_EQ(out.messages, QStringList{c.installs ? "软件已经更新完成！" : "更新配置文件不安全，已停止更新！"});
        EXPECT_EQ(readFile(inst.program / "Quorvane"), c.installs ? files[0].content : "old program");
        EXPECT_EQ(inst.newAppVer(), c.installs ? "V2.0.08" : c.installed);
    }
}

// A connection cut again and again gives the download up; the next attempt
// continues after the bytes already there instead of fetching them again.
TEST(VelomarkHostile, AFileCutShortIsResumed)
{
    const std::string big = testing::patternBytes(2 * 204800 + 1000);
    auto cuts = std::make_shared<std::atomic<int>>(0);
    testing::HostileFile file{.content = big};
    // The second range breaks after 1000 bytes on its first try and on all
    // five repairs.
    file.cutAfter = [cuts](std::int64_t first) -> std::int64_t {
        return first >= 204800 && first < 409600 && (*cuts)++ < 6 ? 1000 : -1;
    };
    testing::HostileServer server(
        {{"/update/update.xml", {.content = manifestFor({{"big.bin", big, ""}})}}, {"/update/v2/big.bin", file}});
    VelomarkInstallation inst(server.url("/update/"));
    const Outcome out = runVelomark(inst, true);
    EXPECT_EQ(out.messages, QStringList{"软件已经更新完成！"});
    EXPECT_EQ(readFile(inst.program / "big.bin"), big);
    EXPECT_EQ(server.requests("/update/v2/big.bin", "0-204799"), 1);
    EXPECT_EQ(server.requests("/update/v2/big.bin", "210800-409599"), 1);
}

// Closing the window while the server holds the file's first request.
TEST(VelomarkHostile, CancelAnswersWhileTheServerHoldsARequest)
{
    testing::HostileServer server({{"/update/update.xml", {.content = manifestFor({{"big.bin", "bytes", ""}})}},
                                   {"/update/v2/big.bin", {.silent = true}}});
    VelomarkInstallation inst(server.url("/update/"));
    testing::qtApp();
    velomark::CVelomarkWnd wnd(inst.program, velomark::realServices(inst.program, inst.registry, inst.processes));
    wnd.setMessenger([](const QString&) {});
    wnd.show();
    wnd.flow().start();
    ASSERT_TRUE(testing::waitFor([&] { return wnd.flow().state() == VelomarkFlow::State::AwaitingAgreement; }, 30000));
    wnd.findChild<QCheckBox*>(QStringLiteral("Check_tongyi"))->setChecked(true);
    wnd.findChild<QAbstractButton*>(QStringLiteral("btn_ok"))->click();
    ASSERT_TRUE(testing::waitFor([&] { return server.requests("/update/v2/big.bin") > 0; }, 30000));
    const auto clicked = std::chrono::steady_clock::now();
    wnd.findChild<QAbstractButton*>(QStringLiteral("btn_no"))->click();
    EXPECT_LT(std::chrono::steady_clock::now() - clicked, std::chrono::seconds(3));
    EXPECT_FALSE(fs::exists(inst.program / "big.bin"));
}

} // namespace
} // namespace quorvane::test
