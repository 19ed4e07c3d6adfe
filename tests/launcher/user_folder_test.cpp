#include "launcher/user_folder.h"

#include "common/property_file.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>

namespace fs = std::filesystem;
using namespace quorvane::launcher;
using quorvane::test::fileEntry;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

namespace
{

using Tree = quorvane::test::TreeSnapshot;

// The installer's lock file aside.
Tree snapshot(const fs::path& root)
{
    return quorvane::test::snapshotTree(root, {std::string(quorvane::update::kInstallLock)});
}

std::string property(const fs::path& folder, const std::string& key)
{
    quorvane::PropertyFile file((folder / "conf/update_process.properties").string());
    file.load();
    return file.get(key);
}

// A packaged release made from the build's own installation tree (conf/,
// Config/, help/ as the build copies them) with small stand-in programs
// that say which release they belong to.
struct Release {
    static constexpr const char* kPrograms[] = {"Quorvane", "Update", "Velomark", "quorvane-cli"};
    TempDir temp;
    fs::path packaged = temp / "usr/lib/quorvane";
    fs::path user = temp / "home/.local/share/quorvane";

    void package(const std::string& version, const std::string& appVer)
    {
        fs::remove_all(packaged);
        fs::create_directories(packaged);
        for (const char* folder : {"conf", "Config", "help"})
            fs::copy(fs::path(QUORVANE_OUT_DIR) / folder, packaged / folder, fs::copy_options::recursive);
        for (const char* program : kPrograms)
            writeFile(packaged / program, "#!/bin/sh\necho " + std::string(program) + " " + version + "\n");
        writeFile(packaged / "packaged-release", version + "\n");
        writeFile(packaged / "conf/update_process.properties",
                  "update_process_id=0\r\nnew_app_ver=" + appVer + "\r\nnew_app_seq=0\r\n");
        writeFile(packaged / ("conf/added-in-" + version + ".properties"), "k=" + version + "\r\n");
    }

    // What a user and the updaters leave in a folder over time.
    void useFolder()
    {
        writeFile(user / "conf/config.properties", "login_window_show=false\r\nmine=1\r\n");
        writeFile(user / "conf/update_process.properties", "update_process_id=4242\r\nnew_app_ver=V-old\r\n");
        writeFile(user / "Config/settings.xml", "<settings mine='1'/>");
        writeFile(user / "Data/Pccollect_band_2026120811.dat", "record");
        writeFile(user / "Data2/Pccollect_band_2026120811.dat", "record");
        writeFile(user / "HistoryRecord/history_7.txt", "line");
        writeFile(user / "auto.txt", "log");
        writeFile(user / "help/index.html", "an old help page");
    }

    FolderOutcome prepare(const quorvane::update::InstallOptions& install = {})
    {
        PrepareOptions options;
        options.install = install;
        return prepareUserFolder(packaged, user, options);
    }
};

// The user's own files after any start: as the user left them.
void expectUserFilesKept(const fs::path& user)
{
    EXPECT_EQ(readFile(user / "conf/config.properties"), "login_window_show=false\r\nmine=1\r\n");
    EXPECT_EQ(readFile(user / "Config/settings.xml"), "<settings mine='1'/>");
    EXPECT_EQ(readFile(user / "Data/Pccollect_band_2026120811.dat"), "record");
    EXPECT_EQ(readFile(user / "Data2/Pccollect_band_2026120811.dat"), "record");
    EXPECT_EQ(readFile(user / "HistoryRecord/history_7.txt"), "line");
    EXPECT_EQ(readFile(user / "auto.txt"), "log");
    EXPECT_EQ(property(user, "update_process_id"), "4242");
}

} // namespace

TEST(ReleaseVersions, OrderAsNumbersThenText)
{
    struct Case {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"0.2.0", "0.1.0", 1}, {"1.10", "1.9", 1},  {"1.0", "1", 0},         {"01.2", "1.2", 0},
        {"", "0.0.1", -1},     {"0.1.0", "", 1},    {"1.2a", "1.2", 1},      {"2", "10", -1},
        {"0.1.0", "0.1.0", 0}, {"9.9.9", "10", -1}, {"1.2.3", "1.2.10", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareReleaseVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(compareReleaseVersions(c.b, c.a), -c.order) << c.b << " vs " << c.a;
    }
}

TEST(UserFiles, ConfigurationDataHistoryAndLogsAreTheUsers)
{
    struct Case {
        const char* path;
        bool users;
    } cases[] = {
        {"conf/config.properties", true},
        {"Config/settings.xml", true},
        {"Data/a.dat", true},
        {"Data2/a.dat", true},
        {"HistoryRecord/h.txt", true},
        {"auto.txt", true},
        {"Quorvane", false},
        {"help/index.html", false},
        {"help/notes.txt", false},
        {"config/x", false},
        {"confx/y", false},
        {"Image/logo.png", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isUserFile(c.path), c.users) << c.path;
}

TEST(UserFolder, FollowsTheXdgDataHome)
{
    struct Case {
        const char* xdg;
        const char* home;
        std::optional<fs::path> folder;
    } cases[] = {
        {"/x/data", "/home/u", fs::path("/x/data/quorvane")},
        {nullptr, "/home/u", fs::path("/home/u/.local/share/quorvane")},
        {"", "/home/u", fs::path("/home/u/.local/share/quorvane")},
        {"relative/data", "/home/u", fs::path("/home/u/.local/share/quorvane")},
        {nullptr, nullptr, std::nullopt},
        {nullptr, "relative", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto env = [&c](const char* name) -> const char* {
            return std::string_view(name) == "XDG_DATA_HOME" ? c.xdg
                   : std::string_view(name) == "HOME"        ? c.home
                                                             : nullptr;
        };
        EXPECT_EQ(userProgramFolder(env), c.folder) << (c.xdg ? c.xdg : "(unset)");
    }
}

TEST(PrepareUserFolder, FirstStartCopiesTheWholeReleaseIntoAPrivateFolder)
{
    Release r;
    r.package("0.1.0", "V2.0.07-beta");
    quorvane::test::TempDir registryDir;
    quorvane::platform::IniRegistryStore registry(registryDir / "registry.ini");
    PrepareOptions options;
    options.registry = &registry;

    const FolderOutcome outcome = prepareUserFolder(r.packaged, r.user, options);
    ASSERT_EQ(outcome.action, FolderAction::Created) << outcome.detail;

    Tree expected = snapshot(r.packaged);
    expected.erase("packaged-release");
    expected[".packaged-release"] = fileEntry("0.1.0\n", fs::perms(0644));
    // The stand-in programs are packaged without their execute bits: a new
    // file that starts as a script does is made executable.
    for (const char* program : Release::kPrograms)
        expected[program] = fileEntry(readFile(r.packaged / program), fs::perms(0755));
    Tree got = snapshot(r.user);
    // The version records are written back as a property file.
    EXPECT_EQ(property(r.user, "new_app_ver"), "V2.0.07-beta");
    EXPECT_EQ(property(r.user, "update_process_id"), "0");
    got.erase("conf/update_process.properties");
    expected.erase("conf/update_process.properties");
    EXPECT_EQ(got, expected);
    EXPECT_EQ(fs::status(r.user).permissions() & fs::perms::mask, fs::perms::owner_all);
    EXPECT_EQ(fs::status(r.user / "Quorvane").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(registry.readString(quorvane::platform::kUninstallKey, quorvane::platform::kDisplayVersion),
              "V2.0.07-beta");
    EXPECT_TRUE(updaterNeverStarted(r.user));

    // A second start finds the folder current and changes nothing.
    const Tree before = snapshot(r.user);
    EXPECT_EQ(r.prepare().action, FolderAction::Current);
    EXPECT_EQ(snapshot(r.user), before);
}

TEST(PrepareUserFolder, PackageVersionsDecideWhetherProgramsAreBroughtIn)
{
    struct Case {
        const char* name;
        const char* folderHas; // the packaged version the folder received
        const char* packaged;
        FolderAction action;
    } cases[] = {
        {"newer package", "0.1.0", "0.2.0", FolderAction::BroughtIn},
        {"same package", "0.2.0", "0.2.0", FolderAction::Current},
        // The folder holds what an updater installed after the package's
        // release; an older package must not take it back.
        {"older package", "0.3.0", "0.2.0", FolderAction::Current},
        {"folder never stamped", "", "0.2.0", FolderAction::BroughtIn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Release r;
        r.package("0.1.0", "V-old");
        ASSERT_EQ(r.prepare().action, FolderAction::Created);
        r.useFolder();
        writeFile(r.user / "Quorvane", "the folder's own program");
        if (*c.folderHas)
            writeFile(r.user / ".packaged-release", std::string(c.folderHas) + "\n");
        else
            fs::remove(r.user / ".packaged-release");
        r.package(c.packaged, "V-new");

        const FolderOutcome outcome = r.prepare();
        EXPECT_EQ(outcome.action, c.action) << outcome.detail;
        expectUserFilesKept(r.user);
        if (c.action == FolderAction::BroughtIn) {
            EXPECT_EQ(readFile(r.user / "Quorvane"), "#!/bin/sh\necho Quorvane " + std::string(c.packaged) + "\n");
            EXPECT_EQ(readFile(r.user / "help/index.html"), readFile(r.packaged / "help/index.html"));
            // A configuration file the user lacks is added, none replaced.
            EXPECT_EQ(readFile(r.user / ("conf/added-in-" + std::string(c.packaged) + ".properties")),
                      "k=" + std::string(c.packaged) + "\r\n");
            EXPECT_EQ(property(r.user, "new_app_ver"), "V-new");
            EXPECT_EQ(readFile(r.user / ".packaged-release"), std::string(c.packaged) + "\n");
        } else {
            EXPECT_EQ(readFile(r.user / "Quorvane"), "the folder's own program");
            EXPECT_EQ(property(r.user, "new_app_ver"), "V-old");
        }
    }
}

TEST(PrepareUserFolder, FolderLeftWithDataButNoProgramsIsFilledAroundTheData)
{
    Release r;
    r.package("0.1.0", "V1");
    r.useFolder(); // what a removed installation's user kept
    const FolderOutcome outcome = r.prepare();
    ASSERT_EQ(outcome.action, FolderAction::Created) << outcome.detail;
    expectUserFilesKept(r.user);
    EXPECT_TRUE(fs::exists(r.user / "Quorvane"));
    EXPECT_EQ(readFile(r.user / "help/index.html"), readFile(r.packaged / "help/index.html"));
}

TEST(PrepareUserFolder, RefusesWhatIsNoPackagedRelease)
{
    Release r;
    r.package("0.1.0", "V1");
    fs::remove(r.packaged / "packaged-release");
    const FolderOutcome outcome = r.prepare();
    EXPECT_EQ(outcome.action, FolderAction::Failed);
    EXPECT_FALSE(outcome.runnable());
    EXPECT_FALSE(fs::exists(r.user));
}

// A step that fails, or a launcher killed at any step, leaves the old
// release whole (or the new one, when it died past the point of no return),
// the user's files untouched, and the next start finishes the job.
TEST(PrepareUserFolder, InterruptedAnywhereTheNextStartFinishes)
{
    // The first release, and for a bring-in the user's files and the next
    // release; the tree the folder holds before the interrupted start.
    const auto setUp = [](Release& r, bool creating) {
        r.package("0.1.0", "V1");
        if (creating)
            return Tree{};
        EXPECT_EQ(r.prepare().action, FolderAction::Created);
        r.useFolder();
        Tree old = snapshot(r.user);
        r.package("0.2.0", "V2");
        return old;
    };
    // How many disk steps each start takes, counted on a rehearsal.
    std::map<bool, int> steps;
    for (const bool creating : {true, false}) {
        Release r;
        setUp(r, creating);
        quorvane::update::InstallOptions count;
        count.stepHook = [&steps, creating](int) { return ++steps[creating], true; };
        ASSERT_TRUE(r.prepare(count).runnable());
        ASSERT_GT(steps[creating], 8);
    }

    struct Case {
        bool kill; // killed, or the step failed
        bool creating;
        int step;
    };
    std::vector<Case> cases;
    for (const bool creating : {true, false})
        for (const int step : {1, steps[creating] / 2, steps[creating] - 1, steps[creating]})
            for (const bool kill : {true, false})
                cases.push_back({kill, creating, step});
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kill ? "killed" : "failed") + (c.creating ? " creating" : " bringing in") +
                     " at step " + std::to_string(c.step) + " of " + std::to_string(steps[c.creating]));
        Release r;
        const Tree old = setUp(r, c.creating);
        quorvane::update::InstallOptions hook;
        hook.stepHook = [&c](int step) {
            if (step == c.step && c.kill)
                ::raise(SIGKILL);
            return step != c.step;
        };
        if (c.kill) {
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                r.prepare(hook);
                ::_exit(0);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        } else {
            // Before the point of no return (the journal's commit) a failed
            // step undoes the start; past it, a failed tidying step costs
            // nothing but leftovers.
            const FolderOutcome failed = r.prepare(hook);
            if (c.step <= steps[c.creating] / 2) {
                EXPECT_EQ(failed.action, FolderAction::Failed);
            }
            if (!failed.runnable()) {
                EXPECT_EQ(snapshot(r.user), old);
            }
        }

        const FolderOutcome next = r.prepare();
        EXPECT_TRUE(next.runnable()) << next.detail;
        EXPECT_EQ(readFile(r.user / "Quorvane"),
                  "#!/bin/sh\necho Quorvane " + std::string(c.creating ? "0.1.0" : "0.2.0") + "\n");
        EXPECT_EQ(readFile(r.user / ".packaged-release"), c.creating ? "0.1.0\n" : "0.2.0\n");
        EXPECT_EQ(property(r.user, "new_app_ver"), c.creating ? "V1" : "V2");
        EXPECT_FALSE(fs::exists(r.user / std::string(quorvane::update::kInstallJournal)));
        if (!c.creating)
            expectUserFilesKept(r.user);
    }
}

TEST(UpdaterRecord, AFreshFolderNeverStartedOneAndTheRecordKeepsTheRest)
{
    TempDir dir;
    struct Case {
        const char* file; // nullptr: no file
        bool never;
    } cases[] = {
        {nullptr, true},
        {"new_app_ver=V1\r\n", true},
        {"update_process_id=null\r\n", true},
        {"update_process_id=0\r\nnew_app_ver=V1\r\n", true},
        {"update_process_id=311\r\nnew_app_ver=V1\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file ? c.file : "(none)");
        fs::remove_all(dir / "conf");
        fs::create_directories(dir / "conf");
        if (c.file)
            writeFile(dir / "conf/update_process.properties", c.file);
        EXPECT_EQ(updaterNeverStarted(dir.path()), c.never);
        ASSERT_TRUE(recordUpdaterStarted(dir.path(), 977));
        EXPECT_FALSE(updaterNeverStarted(dir.path()));
        EXPECT_EQ(property(dir.path(), "update_process_id"), "977");
        if (c.file && std::string_view(c.file).find("new_app_ver") != std::string_view::npos) {
            EXPECT_EQ(property(dir.path(), "new_app_ver"), "V1");
        }
    }
}
