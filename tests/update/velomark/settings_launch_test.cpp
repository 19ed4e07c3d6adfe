// The settings page's update check, wired as the program wires it, finds a
// new release on the reference service's update server and starts the
// built Velomark from the program folder, which then asks the server for
// the manifest itself.
#include "app/pages/settings_dlg.h"
#include "app/shell/program_context.h"
#include "app/shell_fixture.h"
#include "platform/processes.h"
#include "platform/test_support.h"
#include "service/harness.h"

#include <QSignalSpy>

#include <csignal>

namespace quorvane
{
namespace
{

class SettingsLaunchTest : public testing::ShellTest
{
};

TEST_F(SettingsLaunchTest, ANewReleaseStartsTheVelomarkBesideTheProgram)
{
    refsvc_test::TempDir folder;
    folder.write("update.xml", "<?xml version=\"1.0\"?>\n<update><Version>V2.0.08</Version><UpdateInfo/>"
                               "<versions><versionid seq=\"1\">V2.0.07-beta</versionid></versions></update>\n");
    refsvc_test::RefService service(
        {"--web", "none", "--test-server", "none", "--update", "127.0.0.1:0", "--update-dir", folder.path()});
    ASSERT_TRUE(service.ok()) << service.log();
    std::ofstream(m_dir / "conf/config.properties", std::ios::app)
        << "update_server_path=http://127.0.0.1:" << service.update().port
        << "/update/\r\nupdate_ver_file_name=update.xml\r\nupdate_ver_xml=update.xml\r\n";
    writeProps("update_process.properties", {{"update_process_id", "0"}, {"new_app_ver", "V2.0.07-beta"}});
    test::installProgram(VELOMARK_PROGRAM, m_dir / "Velomark");
    ::setenv("XDG_CONFIG_HOME", (m_dir / "cfg").c_str(), 1);

    const ShellContext real = programContext(m_dir, session, database, dialogs);
    context.startProgram = real.startProgram;
    context.fetchManifest = real.fetchManifest;
    CSettingsDlg frame(context);
    frame.show();
    frame.OnInitDialog();
    QSignalSpy done(frame.page(), &CBasicSettingDlg::updateCheckFinished);
    frame.page()->button("checkUpdate")->click();
    ASSERT_TRUE(done.wait(10000));
    EXPECT_TRUE(dialogs.shown.empty());

    const std::uint64_t checkRequests = service.counter("update_requests");
    const std::filesystem::path program = m_dir / "Velomark";
    long pid = 0;
    const bool seen = test::waitUntil(
        [&] {
            for (const auto& p : platform::LinuxProcessControl().snapshot()) {
                std::error_code ec;
                if (p.exeName == "Velomark" &&
                    std::filesystem::read_symlink("/proc/" + std::to_string(p.pid) + "/exe", ec) == program)
                    pid = p.pid;
            }
            return pid != 0 && service.counter("update_requests") > checkRequests;
        },
        30000);
    if (pid != 0)
        test::killIfNamed(pid, "Velomark");
    EXPECT_TRUE(seen) << "Velomark did not start from the program folder and fetch the manifest";
}

} // namespace
} // namespace quorvane
