#include "results/sftp.h"
#include "results/shipper.h"
#include "results/test_support.h"
#include "results/upload.h"

#include <gtest/gtest.h>

#include <condition_variable>

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace
{

// A collection server in memory. Each put can be held until the test lets
// it go, and can be told to fail.
struct FakeServer {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> opened; // hosts, one per connection
    std::vector<std::chrono::steady_clock::time_point> openedAt;
    std::vector<std::string> stored;          // names in the order they arrived
    std::map<std::string, std::string> files; // what the server holds
    std::string refuseOpen;                   // non-empty: open fails with it
    std::string failOn;                       // put of this name fails
    bool holdPuts = false;
    int putsStarted = 0;
    std::function<void(const std::string&)> duringPut; // runs inside a put

    void release()
    {
        std::lock_guard g(mutex);
        holdPuts = false;
        changed.notify_all();
    }
    bool waitPutsStarted(int n)
    {
        std::unique_lock g(mutex);
        return changed.wait_for(g, 5s, [&] { return putsStarted >= n; });
    }
};

class FakeTransport : public ArchiveTransport
{
public:
    explicit FakeTransport(FakeServer& server) : m_server(server) {}
    bool open(const UploadTarget& target, std::string& error) override
    {
        std::lock_guard g(m_server.mutex);
        m_server.opened.push_back(target.host);
        m_server.openedAt.push_back(std::chrono::steady_clock::now());
        error = m_server.refuseOpen;
        return error.empty();
    }
    bool put(const std::string& name, const std::string& bytes, std::string& error) override
    {
        std::unique_lock g(m_server.mutex);
        ++m_server.putsStarted;
        m_server.changed.notify_all();
        m_server.changed.wait_for(g, 5s, [&] { return !m_server.holdPuts; });
        if (m_server.duringPut) {
            auto hook = m_server.duringPut;
            g.unlock();
            hook(name);
            g.lock();
        }
        if (name == m_server.failOn) {
            error = "disk full";
            return false;
        }
        m_server.stored.push_back(name);
        m_server.files[name] = bytes;
        return true;
    }

private:
    FakeServer& m_server;
};

struct RunSetup {
    TempDir dir;
    LogCollector log;
    FakeServer server;
    DataDirectory data{dir.path() / "Data"};
    UploadRunner runner{data, [this] { return std::make_unique<FakeTransport>(server); }, log.sink()};
    UploadTarget target{"", "", "127.0.0.1", "2222", "u", "p", "/up"};

    void archive(const std::string& stamp, const std::string& bytes = "zip")
    {
        spit(data.path() / (stamp + "_1024_Pccollect.zip"), bytes);
    }
};

} // namespace

TEST(UploadRun, SendsEverythingInNameOrderOverOneConnection)
{
    RunSetup s;
    s.archive("20240102030407", "c");
    s.archive("20240102030405", "a");
    s.archive("20240102030406", "b");
    spit(s.data.path() / "Pccollect_band_2024010203.dat", "a record is not sent"); // only archives travel

    const auto report = s.runner.runNow(s.target);
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->failed) << report->failure;
    EXPECT_EQ(report->sent, 3u);
    EXPECT_EQ(s.server.opened, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(s.server.stored,
              (std::vector<std::string>{"20240102030405_1024_Pccollect.zip", "20240102030406_1024_Pccollect.zip",
                                        "20240102030407_1024_Pccollect.zip"}));
    EXPECT_EQ(s.server.files["20240102030406_1024_Pccollect.zip"], "b");
    EXPECT_EQ(listNames(s.data.path()), std::vector<std::string>{"Pccollect_band_2024010203.dat"});
}

TEST(UploadRun, FirstFailureStopsTheRunAndKeepsWhatIsLeft)
{
    RunSetup s;
    s.archive("20240102030405");
    s.archive("20240102030406");
    s.archive("20240102030407");
    s.server.failOn = "20240102030406_1024_Pccollect.zip";

    const auto report = s.runner.runNow(s.target);
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->failed);
    EXPECT_EQ(report->sent, 1u);
    EXPECT_EQ(s.server.stored, std::vector<std::string>{"20240102030405_1024_Pccollect.zip"});
    EXPECT_EQ(listNames(s.data.path()),
              (std::vector<std::string>{"20240102030406_1024_Pccollect.zip", "20240102030407_1024_Pccollect.zip"}));
    EXPECT_TRUE(s.log.contains("disk full")) << s.log.all();

    // The next run sends what waited.
    s.server.failOn.clear();
    EXPECT_EQ(s.runner.runNow(s.target)->sent, 2u);
    EXPECT_TRUE(listNames(s.data.path()).empty());
}

TEST(UploadRun, RefusedConnectionDeletesNothingAndEmptyFolderConnectsNowhere)
{
    RunSetup s;
    EXPECT_EQ(s.runner.runNow(s.target)->sent, 0u);
    EXPECT_TRUE(s.server.opened.empty()) << "nothing waits, so no connection";

    s.archive("20240102030405");
    s.server.refuseOpen = "login refused";
    const auto report = s.runner.runNow(s.target);
    EXPECT_TRUE(report->failed);
    EXPECT_EQ(report->failure, "login refused");
    EXPECT_EQ(listNames(s.data.path()).size(), 1u);
}

TEST(UploadRun, RequestDuringARunIsDroppedButItsArchiveStillGoes)
{
    RunSetup s;
    s.archive("20240102030405");
    s.server.holdPuts = true;
    ASSERT_TRUE(s.runner.StartUpload(s.target));
    ASSERT_TRUE(s.server.waitPutsStarted(1));

    // A new result arrives while the first archive is on its way.
    s.archive("20240102030409");
    EXPECT_FALSE(s.runner.StartUpload(s.target)) << "one run per folder";
    EXPECT_FALSE(s.runner.runNow(s.target)) << "one run per folder";
    s.server.release();
    ASSERT_TRUE(s.runner.waitIdle(5s));

    EXPECT_EQ(s.server.opened.size(), 1u);
    EXPECT_EQ(s.server.stored.size(), 2u);
    EXPECT_TRUE(listNames(s.data.path()).empty());
    EXPECT_EQ(s.runner.lastReport().sent, 2u);

    // Once idle, a new request starts a new run.
    s.archive("20240102030411");
    EXPECT_TRUE(s.runner.StartUpload(s.target));
    ASSERT_TRUE(s.runner.waitIdle(5s));
    EXPECT_EQ(s.server.opened.size(), 2u);
    EXPECT_TRUE(listNames(s.data.path()).empty());
}

TEST(UploadRun, ArchiveReplacedWhileSendingIsNotDeleted)
{
    RunSetup s;
    s.archive("20240102030405", "old");
    bool replaced = false;
    // The regional copy of a newer archive of the same name lands while the
    // old one is on the wire: the new file must be sent, not deleted.
    s.server.duringPut = [&](const std::string& name) {
        if (!replaced) {
            replaced = true;
            spit(s.dir.path() / "new.tmp", "old+new");
            std::filesystem::rename(s.dir.path() / "new.tmp", s.data.path() / name);
        }
    };
    const auto report = s.runner.runNow(s.target);
    EXPECT_FALSE(report->failed);
    EXPECT_EQ(s.server.files["20240102030405_1024_Pccollect.zip"], "old+new");
    EXPECT_EQ(s.server.stored.size(), 2u);
    EXPECT_TRUE(listNames(s.data.path()).empty());
}

TEST(UploadRun, EndingTheProgramLetsTheCurrentTransferFinishAndKeepsTheRest)
{
    RunSetup s;
    s.archive("20240102030405");
    s.archive("20240102030406");
    s.archive("20240102030407");
    s.server.holdPuts = true;
    auto runner = std::make_unique<UploadRunner>(
        s.data, [&] { return std::make_unique<FakeTransport>(s.server); }, s.log.sink());
    ASSERT_TRUE(runner->StartUpload(s.target));
    ASSERT_TRUE(s.server.waitPutsStarted(1));

    runner->requestStop();
    EXPECT_FALSE(runner->StartUpload(s.target));
    s.server.release();
    runner.reset();
    EXPECT_EQ(s.server.stored, std::vector<std::string>{"20240102030405_1024_Pccollect.zip"});
    EXPECT_EQ(listNames(s.data.path()),
              (std::vector<std::string>{"20240102030406_1024_Pccollect.zip", "20240102030407_1024_Pccollect.zip"}));
}

TEST(RecordShipping, MainRunFollowsTheRegionalRunByASecond)
{
    TempDir dir;
    LogCollector log;
    FakeServer server;
    StillClock clock(2024, 1, 2, 3, 4, 5);
    RecordShipper shipper(
        dir.path(), clock.service,
        {[] { return UploadTarget{"", "", "main", "22", "u", "p", "/m"}; },
         [](const std::string&) { return UploadTarget{"", "", "region", "22", "u", "p", "/r"}; }},
        [&] { return std::make_unique<FakeTransport>(server); }, log.sink());
    const std::string record = "Pccollect_band_2024010203.dat";

    spit(dir.path() / "Data" / record, "+++start+++\nmonitorid=1\n---end---");
    const auto start = std::chrono::steady_clock::now();
    const std::string archive = shipper.shipRecord(record, "31");
    ASSERT_EQ(archive, "20240102030405_1024_Pccollect.zip") << log.all();
    ASSERT_TRUE(shipper.waitIdle(10s));
    ASSERT_EQ(server.opened, (std::vector<std::string>{"region", "main"}));
    EXPECT_GE(server.openedAt[1] - start, RecordShipper::kRegionalHeadStart);
    EXPECT_EQ(server.stored, (std::vector<std::string>{archive, archive}));
    EXPECT_TRUE(listNames(dir.path() / "Data").empty());
    EXPECT_TRUE(listNames(dir.path() / "Data2").empty());

    // The program ends while the main run still waits: it ends without
    // connecting, and its archive waits for the next start.
    clock.advance(1h);
    spit(dir.path() / "Data" / record, "+++start+++\nmonitorid=2\n---end---");
    const std::string waiting = shipper.shipRecord(record, "31");
    shipper.requestStop();
    ASSERT_TRUE(shipper.waitIdle(10s));
    EXPECT_EQ(std::count(server.opened.begin(), server.opened.end(), "main"), 1);
    EXPECT_EQ(listNames(dir.path() / "Data"), std::vector<std::string>{waiting});
}

// A shipper whose regional targets know only the region "31".
struct ShippingSetup {
    TempDir dir;
    LogCollector log;
    FakeServer server;
    StillClock clock{2024, 1, 2, 3, 4, 5};
    RecordShipper shipper{dir.path(),
                          clock.service,
                          {[] { return UploadTarget{"", "", "main", "22", "u", "p", "/m"}; },
                           [](const std::string& id) {
                               return id == "31" ? UploadTarget{"", "31", "region", "22", "u", "p", "/r"}
                                                 : UploadTarget{};
                           }},
                          [this] { return std::make_unique<FakeTransport>(server); },
                          log.sink()};

    std::string ship(const std::string& geographyId)
    {
        const std::string record = "Pccollect_band_2024010203.dat";
        spit(dir.path() / "Data" / record, "+++start+++\nmonitorid=" + std::to_string(++serial) + "\n---end---");
        const std::string archive = shipper.shipRecord(record, geographyId);
        EXPECT_TRUE(shipper.waitIdle(10s));
        clock.advance(1s);
        return archive;
    }
    int serial = 0;
};

TEST(RecordShipping, GeographyIdsThatNameNoRegionalServerMakeNoCopy)
{
    for (const std::string id : {"", "null", " NULL ", "  ", "zz"}) {
        SCOPED_TRACE("geography id \"" + id + "\"");
        ShippingSetup s;
        const std::string archive = s.ship(id);
        ASSERT_NE(archive, "") << s.log.all();
        EXPECT_EQ(s.server.opened, std::vector<std::string>{"main"});
        EXPECT_EQ(s.server.stored, std::vector<std::string>{archive});
        EXPECT_TRUE(listNames(s.dir.path() / "Data2").empty());
        EXPECT_TRUE(listNames(s.dir.path() / "Data").empty());
    }
}

TEST(RecordShipping, BlockedRegionalFolderStillShipsMainAndCatchesUpLater)
{
    ShippingSetup s;
    // Data2 cannot exist while a file holds its name.
    std::filesystem::remove_all(s.dir.path() / "Data2");
    spit(s.dir.path() / "Data2", "in the way");
    const std::string first = s.ship("31");
    ASSERT_NE(first, "") << s.log.all();
    EXPECT_EQ(s.server.files.count(first), 1u) << "the main server has it";
    EXPECT_TRUE(s.log.contains("regional copy of " + first + " waits")) << s.log.all();

    std::filesystem::remove(s.dir.path() / "Data2");
    const std::string second = s.ship("31");
    // Both archives reached the regional server too, and nothing waits.
    EXPECT_EQ(std::count(s.server.stored.begin(), s.server.stored.end(), first), 2);
    EXPECT_EQ(std::count(s.server.stored.begin(), s.server.stored.end(), second), 2);
    EXPECT_TRUE(listNames(s.dir.path() / "Data2").empty());
    EXPECT_EQ(listNames(s.dir.path() / "Data"), std::vector<std::string>{"Data2-pending"});
    EXPECT_TRUE(listNames(s.shipper.packer().pendingRegionalDir()).empty());
}

TEST(UploadTargets, ShippedConfigurationPointsAtTheLoopbackCollector)
{
    // The readers look in the working directory, as the program does.
    TempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::copy(std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist", dir.path(),
                          std::filesystem::copy_options::recursive);
    std::filesystem::current_path(dir.path());
    const auto targets = RecordShipper::configuredTargets();
    const UploadTarget main = targets.main();
    const UploadTarget region = targets.regional("sh");
    const UploadTarget none = targets.regional("zz");
    std::filesystem::current_path(previous);

    EXPECT_EQ(main.host, "127.0.0.1");
    EXPECT_EQ(main.port, "2222");
    EXPECT_EQ(main.username, "qvdemo");
    EXPECT_EQ(main.password, "qvdemo-2222");
    EXPECT_EQ(main.dir, "/pccollect");
    EXPECT_EQ(region.dir, "/region/sh");
    EXPECT_EQ(region.host, "127.0.0.1");
    EXPECT_EQ(none.host, "") << "an unknown region has no server";

    // The collector's host key ships with it, and a stranger is not trusted.
    const SftpOptions sftp = installationSftpOptions(dir.path(), nullptr);
    EXPECT_FALSE(sftp.trustOnFirstUse);
    const std::string knownHosts = slurp(sftp.knownHostsFile);
    const std::string publicKey =
        slurp(std::filesystem::path(QUORVANE_SOURCE_DIR) / "service/data/sshd/ssh_host_ed25519_key.pub");
    const std::string keyWords = publicKey.substr(0, publicKey.find(' ', publicKey.find(' ') + 1)); // type and key
    for (const auto& target : {main, region})
        EXPECT_NE(knownHosts.find("[" + target.host + "]:" + target.port + " " + keyWords + "\n"), std::string::npos)
            << knownHosts;
}
