// Start-up decisions without real processes: the updater check against a
// scripted process table, and the routing of activations to the window.
#include "app/shell/startup.h"
#include "common/property_file.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <climits>

using namespace quorvane;
using platform::ActivationMessage;
using platform::ProcessInfo;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

namespace
{

class ScriptedProcesses final : public platform::ProcessControl
{
public:
    std::vector<ProcessInfo> running;
    std::optional<long> nextPid = 5150;
    struct Start {
        std::filesystem::path program;
        std::vector<std::string> args;
        std::filesystem::path cwd;
    };
    std::vector<Start> starts;

    std::vector<ProcessInfo> snapshot() const override { return running; }
    std::optional<long> startDetached(const std::filesystem::path& program, const std::vector<std::string>& args,
                                      const std::filesystem::path& cwd) override
    {
        starts.push_back({program, args, cwd});
        return nextPid;
    }
    std::optional<int> startAndWait(const std::filesystem::path&, const std::vector<std::string>&,
                                    const std::filesystem::path&, int) override
    {
        return std::nullopt;
    }
    platform::TerminateResult terminateByName(std::string_view, platform::NameCase) override
    {
        return platform::TerminateResult::NotFound;
    }
};

constexpr long kSelf = 300;

struct Install {
    TempDir dir;
    std::filesystem::path stateFile() const { return dir / "conf" / "update_process.properties"; }
    void writeState(const std::string& text) const { writeFile(stateFile(), text); }
    std::string state() const { return readFile(stateFile()); }
};

} // namespace

TEST(UpdaterCheck, EqualIdsStartNothing)
{
    Install install;
    ScriptedProcesses processes;
    // No file, no updater: both 0.
    auto check = EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf);
    EXPECT_FALSE(check.startAttempted);
    EXPECT_FALSE(std::filesystem::exists(install.stateFile())) << "nothing written";

    install.writeState("update_process_id=0\r\n");
    EXPECT_FALSE(EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf).startAttempted);

    // The updater we started last still runs; the name compares in any case
    // and the id as atol reads it.
    processes.running = {{1, "init", "init"}, {4711, "UPDATE", "UPDATE"}};
    install.writeState("update_process_id=4711 \r\n");
    check = EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf);
    EXPECT_FALSE(check.startAttempted);
    EXPECT_EQ(check.runningPid, 4711);
    EXPECT_EQ(check.storedPid, 4711);

    // Our own process is never taken for the updater.
    processes.running = {{kSelf, "Update", "Update"}};
    install.writeState("update_process_id=0\r\n");
    EXPECT_FALSE(EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf).startAttempted);
    EXPECT_TRUE(processes.starts.empty());
}

TEST(UpdaterCheck, DifferentIdsStartTheUpdaterAndStoreItsId)
{
    Install install;
    ScriptedProcesses processes;
    install.writeState("#user config\r\n#old stamp\r\nupdate_process_id=4711\r\nnew_app_ver=V2.0.08\r\n"
                       "pre_date=2000-01-01 00\\:00\\:00\r\n");
    auto check = EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf);
    ASSERT_EQ(processes.starts.size(), 1u);
    EXPECT_EQ(processes.starts[0].program, install.dir.path() / "Update");
    EXPECT_EQ(processes.starts[0].args, std::vector<std::string>{"update"});
    EXPECT_EQ(processes.starts[0].cwd, install.dir.path());
    EXPECT_EQ(check.startedPid, 5150);
    std::string state = install.state();
    EXPECT_NE(state.find("\r\nupdate_process_id=5150\r\n"), std::string::npos) << state;
    EXPECT_EQ(state.find("4711"), std::string::npos);
    EXPECT_NE(state.find("new_app_ver=V2.0.08\r\n"), std::string::npos);
    EXPECT_EQ(state.find("pre_date=2000-01-01"), std::string::npos) << "saved with the date stamp";

    // Another updater runs than the one we started: a further one starts.
    processes.running = {{77, "Update", "Update"}};
    processes.nextPid = 6000;
    check = EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf);
    EXPECT_EQ(check.runningPid, 77);
    EXPECT_EQ(check.storedPid, 5150);
    EXPECT_EQ(processes.starts.size(), 2u);
    EXPECT_NE(install.state().find("update_process_id=6000\r\n"), std::string::npos);
}

TEST(UpdaterCheck, AFailedStartLeavesTheStoredIdAlone)
{
    Install install;
    ScriptedProcesses processes;
    processes.nextPid = std::nullopt;
    const std::string before = "#user config\r\n#stamp\r\nupdate_process_id=4711\r\n";
    install.writeState(before);
    const auto check = EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf);
    EXPECT_TRUE(check.startAttempted);
    EXPECT_FALSE(check.startedPid.has_value());
    EXPECT_EQ(install.state(), before);
}

TEST(UpdaterCheck, TheStartedIdIsStoredWhateverTheKeyHeld)
{
    // A file that never learns the id makes every start of Quorvane launch
    // one more updater beside the running one. The key's value says nothing
    // about its presence: "null" is also what an absent key reads as.
    struct Case {
        const char* file;
        const char* why;
    };
    for (const Case& c : {Case{"new_app_ver=V2.0.08\r\n", "no key"},
                          Case{"update_process_id=null\r\nnew_app_ver=V2.0.08\r\n", "the text null"},
                          Case{"update_process_id=\r\nnew_app_ver=V2.0.08\r\n", "empty"},
                          Case{"update_process_id=4711\r\nnew_app_ver=V2.0.08\r\n", "another id"}}) {
        SCOPED_TRACE(c.why);
        Install install;
        ScriptedProcesses processes;
        std::vector<std::string> reported;
        PropertyFile::setDuplicateKeyReporter([&](const std::string& message) { reported.push_back(message); });
        processes.running = {{77, "Update", "Update"}};
        install.writeState(c.file);
        EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf);
        PropertyFile::setDuplicateKeyReporter({});
        const std::string state = install.state();
        EXPECT_TRUE(reported.empty()) << reported.front();
        EXPECT_NE(state.find("update_process_id=5150\r\n"), std::string::npos) << state;
        EXPECT_EQ(state.find("update_process_id="), state.rfind("update_process_id=")) << "one key: " << state;
        EXPECT_NE(state.find("new_app_ver=V2.0.08\r\n"), std::string::npos);

        // The next start finds the updater it stored and starts nothing.
        processes.running = {{5150, "Update", "Update"}};
        EXPECT_FALSE(EnsureUpdaterRunning(processes, install.dir.path(), "Update", kSelf).startAttempted);
        EXPECT_EQ(processes.starts.size(), 1u);
    }
}

TEST(StartupConfig, OnlyExactlyTrueMeansTheLoginWindowShows)
{
    TempDir dir;
    EXPECT_FALSE(loginWindowShown(dir.path())) << "no file";
    for (const auto& [value, shown] : std::vector<std::pair<std::string, bool>>{
             {"true", true}, {"True", false}, {"true ", false}, {"false", false}, {"", false}}) {
        writeFile(dir / "conf" / "config.properties", "manual=1\r\nlogin_window_show=" + value + "\r\n");
        EXPECT_EQ(loginWindowShown(dir.path()), shown) << '"' << value << '"';
    }
    EXPECT_EQ(activationFor(true), ActivationMessage::bringToFront());
    EXPECT_EQ(activationFor(false), ActivationMessage::post(1174, 128, 515));
}

namespace
{

class RecordingWindow final : public MainWindowHost
{
public:
    bool shown = false;
    std::vector<std::string> calls;
    bool isWindowShown() const override { return shown; }
    void onTrayNotify(long long wParam, long long lParam) override
    {
        calls.push_back("tray " + std::to_string(wParam) + " " + std::to_string(lParam));
    }
    void bringToFront() override { calls.push_back("front"); }
    int exec() override { return 0; }
};

} // namespace

TEST(Activation, TrayDoubleClickOnlyWhileTheWindowSitsInTheTray)
{
    RecordingWindow window;
    std::vector<std::function<void()>> posted;
    const auto post = [&](std::function<void()> task) { posted.push_back(std::move(task)); };
    const auto tray = ActivationMessage::post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK);

    // Hidden in the tray: the double-click is posted, not run on the spot.
    EXPECT_EQ(deliverActivation(tray, window, post), ActivationOutcome::TrayDoubleClick);
    EXPECT_EQ(window.calls, std::vector<std::string>{"front"});
    ASSERT_EQ(posted.size(), 1u);
    posted.front()();
    EXPECT_EQ(window.calls, (std::vector<std::string>{"front", "tray 128 515"}));

    // On screen: only brought to the front.
    window.calls.clear();
    posted.clear();
    window.shown = true;
    EXPECT_EQ(deliverActivation(tray, window, post), ActivationOutcome::BroughtToFront);
    EXPECT_EQ(window.calls, std::vector<std::string>{"front"});
    EXPECT_TRUE(posted.empty());

    // The foreground request never opens anything, shown or not.
    for (bool shown : {true, false}) {
        window.calls.clear();
        window.shown = shown;
        EXPECT_EQ(deliverActivation(ActivationMessage::bringToFront(), window, post),
                  ActivationOutcome::BroughtToFront);
        EXPECT_EQ(window.calls, std::vector<std::string>{"front"});
        EXPECT_TRUE(posted.empty());
    }
}

TEST(Activation, OtherMessagesAreIgnored)
{
    RecordingWindow window;
    std::vector<std::function<void()>> posted;
    const auto post = [&](std::function<void()> task) { posted.push_back(std::move(task)); };
    for (const auto& message : {ActivationMessage::post(WM_TRAY_NOTIFY, kTrayIconId, 517),
                                ActivationMessage::post(WM_TRAY_NOTIFY, 161, WM_LBUTTONDBLCLK),
                                ActivationMessage::post(1175, kTrayIconId, WM_LBUTTONDBLCLK)}) {
        EXPECT_EQ(deliverActivation(message, window, post), ActivationOutcome::Ignored)
            << platform::encodeActivation(message);
    }
    EXPECT_TRUE(window.calls.empty());
    EXPECT_TRUE(posted.empty());
}
