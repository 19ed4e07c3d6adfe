// Upload runs against a real OpenSSH server on a loopback port.
#include "results/record.h"
#include "results/sftp.h"
#include "results/shipper.h"
#include "results/sshd_fixture.h"
#include "results/test_support.h"
#include "results/zip_reader.h"

#include <gtest/gtest.h>

#include <libssh/sftp.h>

#include <optional>

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace
{

std::size_t countOf(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++n;
    return n;
}

class SftpUpload : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
    }

    UploadTarget target(const std::string& dir, const std::string& password = SshdServer::kPassword) const
    {
        return {"", "", "127.0.0.1", std::to_string(server.port()), SshdServer::kUser, password, dir};
    }
    // Each fixture server has a fresh key: these runs trust it on first use,
    // explicitly.
    SftpOptions options(bool trustOnFirstUse = true)
    {
        return {install.path() / "conf" / "known_hosts", 20s, log.sink(), trustOnFirstUse, {}};
    }

    std::string archive(DataDirectory& dir, int second, std::size_t size = 2048)
    {
        char name[64];
        std::snprintf(name, sizeof name, "202401020304%02d_1024_Pccollect.zip", second);
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(second)) & 0xff);
        spit(dir.path() / name, bytes);
        return name;
    }

    SshdServer server;
    TempDir install;
    LogCollector log;
};

} // namespace

TEST_F(SftpUpload, ThreeWaitingArchivesGoInOneRunAndLeave)
{
    const std::string dir = server.makeRemoteDir("up");
    DataDirectory data(install.path() / "Data");
    UploadRunner runner(data, sftpTransportFactory(options()), log.sink());
    std::vector<std::string> names = {archive(data, 5), archive(data, 6), archive(data, 7)};
    std::map<std::string, std::string> sent;
    for (const auto& name : names)
        sent[name] = slurp(data.path() / name);

    const auto report = runner.runNow(target(dir));
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->failed) << report->failure << "\n" << server.log();
    EXPECT_EQ(report->sent, 3u);
    EXPECT_TRUE(listNames(data.path()).empty());
    EXPECT_EQ(listNames(server.remotePath(dir)), names);
    for (const auto& name : names)
        EXPECT_EQ(slurp(server.remotePath(dir) / name), sent[name]) << name;
    // The first key the server showed is now remembered.
    EXPECT_NE(slurp(install.path() / "conf/known_hosts").find("[127.0.0.1]:" + std::to_string(server.port())),
              std::string::npos);
    EXPECT_TRUE(log.contains("trusted on first use")) << log.all();
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(install.path() / "conf/known_hosts").permissions() & perms::all,
              perms::owner_read | perms::owner_write);
}

TEST_F(SftpUpload, RefusedLoginAndUnknownFolderKeepTheArchives)
{
    const std::string dir = server.makeRemoteDir("up");
    DataDirectory data(install.path() / "Data");
    UploadRunner runner(data, sftpTransportFactory(options()), log.sink());
    archive(data, 5);
    archive(data, 6);

    auto report = runner.runNow(target(dir, "wrong password"));
    EXPECT_TRUE(report->failed);
    EXPECT_NE(report->failure.find("login refused"), std::string::npos) << report->failure;
    EXPECT_FALSE(log.contains(SshdServer::kUser)) << "the user name stays out of the log:\n" << log.all();
    EXPECT_EQ(listNames(data.path()).size(), 2u);

    report = runner.runNow(target(dir + "/missing"));
    EXPECT_TRUE(report->failed);
    EXPECT_NE(report->failure.find("no directory"), std::string::npos) << report->failure;
    EXPECT_EQ(listNames(data.path()).size(), 2u);
    EXPECT_TRUE(listNames(server.remotePath(dir)).empty());

    // Nothing configured at all (a region without a server).
    report = runner.runNow(UploadTarget{});
    EXPECT_TRUE(report->failed);
    EXPECT_EQ(listNames(data.path()).size(), 2u);
}

TEST_F(SftpUpload, FullRemoteDiskStopsTheRunAndLeavesNoTornFile)
{
    const std::string dir = server.makeRemoteDir("full");
    if (!server.mountSmallDisk(dir, 64 * 1024))
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    DataDirectory data(install.path() / "Data");
    UploadRunner runner(data, sftpTransportFactory(options()), log.sink());
    const std::string small = archive(data, 5, 2048);
    const std::string big = archive(data, 6, 200 * 1024); // larger than the disk
    const std::string after = archive(data, 7, 2048);

    const auto report = runner.runNow(target(dir));
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->failed) << server.log();
    EXPECT_EQ(report->sent, 1u);
    EXPECT_EQ(listNames(data.path()), (std::vector<std::string>{big, after}));
    // The server keeps only the whole archive, never a cut-off one.
    EXPECT_EQ(listNames(server.remotePath(dir)), std::vector<std::string>{small});
    EXPECT_TRUE(log.contains(big)) << log.all();
}

TEST_F(SftpUpload, RegionalAndMainRunsInParallel)
{
    // Records written, packed, copied and sent as a record-ready handler
    // does it, both runs against the same server in separate folders.
    const std::string mainDir = server.makeRemoteDir("main");
    const std::string regionalDir = server.makeRemoteDir("region");
    spit(install.path() / "conf/l_c_config_01.properties", "userid=20417\r\n");
    StillClock clock(2024, 1, 2, 3, 4, 5);
    std::vector<std::string> regionsAsked;
    RecordShipper shipper(install.path(), clock.service,
                          {[&] { return target(mainDir); },
                           [&](const std::string& geographyId) {
                               regionsAsked.push_back(geographyId);
                               return target(regionalDir);
                           }},
                          sftpTransportFactory(options()), log.sink());
    ResultRecorder recorder(install.path(), clock.service, log.sink());

    std::vector<std::string> archives;
    for (int i = 0; i < 3; ++i) {
        const auto written = recorder.writeTestRecord(
            {RecordKind::Screen, {{"url", "http://127.0.0.1/" + std::to_string(i)}}, {}, "page", "1.0", ""},
            {"S-1", "", "10.0.0.1", "", ""}, false);
        archives.push_back(shipper.shipRecord(written.fileName, "31"));
        clock.advance(1s);
    }
    ASSERT_TRUE(shipper.waitIdle(60s));
    EXPECT_EQ(regionsAsked, (std::vector<std::string>{"31", "31", "31"}));
    std::sort(archives.begin(), archives.end());
    EXPECT_EQ(archives.front(), "20240102030405_1024_Pccollect.zip");

    // Runs started while another was active were dropped, yet everything
    // went to both servers and left both folders.
    EXPECT_TRUE(listNames(install.path() / "Data").empty()) << log.all();
    EXPECT_TRUE(listNames(install.path() / "Data2").empty()) << log.all();
    EXPECT_EQ(listNames(server.remotePath(mainDir)), archives);
    EXPECT_EQ(listNames(server.remotePath(regionalDir)), archives);
    const auto entries = zipEntries(server.remotePath(regionalDir) / archives[2]);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->count("Pccollect_screen_2024010203.dat"), 1u);
    EXPECT_NE(entries->at("Pccollect_screen_2024010203.dat").find("url=http://127.0.0.1/2\n"), std::string::npos);

    // Without a geography id nothing is copied for a region.
    const auto written = recorder.writeTestRecord({RecordKind::Screen, {}, {}, "page", "1.0", ""}, {}, false);
    shipper.shipRecord(written.fileName, "");
    ASSERT_TRUE(shipper.waitIdle(60s));
    EXPECT_EQ(regionsAsked.size(), 3u);
    EXPECT_EQ(listNames(server.remotePath(mainDir)).size(), 4u);
    EXPECT_EQ(listNames(server.remotePath(regionalDir)).size(), 3u);
}

TEST_F(SftpUpload, ChangedHostKeyIsRefusedAndLogged)
{
    const std::string dir = server.makeRemoteDir("up");
    DataDirectory data(install.path() / "Data");
    UploadRunner runner(data, sftpTransportFactory(options()), log.sink());
    archive(data, 5);
    ASSERT_EQ(runner.runNow(target(dir))->sent, 1u) << log.all();
    const std::string remembered = slurp(install.path() / "conf/known_hosts");

    // The same address now answers with another key.
    server.stop();
    ASSERT_TRUE(server.replaceHostKey());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    const std::string waiting = archive(data, 6);
    const auto report = runner.runNow(target(dir));
    EXPECT_TRUE(report->failed);
    EXPECT_NE(report->failure.find("host key"), std::string::npos) << report->failure;
    EXPECT_EQ(listNames(data.path()), std::vector<std::string>{waiting});
    EXPECT_EQ(listNames(server.remotePath(dir)).size(), 1u);
    EXPECT_TRUE(log.contains("has changed")) << log.all();
    EXPECT_EQ(slurp(install.path() / "conf/known_hosts"), remembered) << "the changed key is not learnt";
}

TEST_F(SftpUpload, UnknownHostKeysAreRefusedUnlessFirstUseTrustIsOn)
{
    const std::filesystem::path source = QUORVANE_SOURCE_DIR;
    const std::string dir = server.makeRemoteDir("up");
    // The demo collector's committed key, so the shipped known_hosts knows it.
    server.stop();
    ASSERT_TRUE(server.useHostKey(source / "service/data/sshd/ssh_host_ed25519_key"));
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    std::string shipped = slurp(source / "dist/conf/known_hosts");
    const std::string demoHost = "[127.0.0.1]:2222 ";
    ASSERT_NE(shipped.find(demoHost), std::string::npos);
    // The same line for the port this test's server listens on.
    shipped.replace(shipped.find(demoHost), demoHost.size(), "[127.0.0.1]:" + std::to_string(server.port()) + " ");

    struct Case {
        const char* what;
        std::optional<std::string> knownHosts; // nothing: no file
        bool trustOnFirstUse;
        bool sent;
        const char* logged; // nullptr: nothing about host keys
    } cases[] = {
        {"the shipped key", shipped, false, true, nullptr},
        {"no known_hosts file", std::nullopt, false, false, "is not known"},
        {"a file that knows other hosts only", "[127.0.0.1]:1 ssh-ed25519 " + shipped.substr(shipped.rfind(' ') + 1),
         false, false, "is not known"},
        {"first-use trust asked for", std::nullopt, true, true, "trusted on first use"},
    };
    int sentSoFar = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::filesystem::path knownHosts = install.path() / "conf" / "known_hosts";
        std::filesystem::remove(knownHosts);
        if (c.knownHosts)
            spit(knownHosts, *c.knownHosts);
        DataDirectory data(install.path() / "Data");
        LogCollector log; // this case's own
        SftpOptions opts = options(c.trustOnFirstUse);
        opts.log = log.sink();
        UploadRunner runner(data, sftpTransportFactory(opts), log.sink());
        const std::string name = archive(data, 10 + sentSoFar);
        const std::size_t passwordsBefore = countOf(server.log(), "password for");

        const auto report = runner.runNow(target(dir));
        ASSERT_TRUE(report);
        EXPECT_EQ(report->failed, !c.sent) << report->failure << "\n" << log.all();
        EXPECT_EQ(listNames(data.path()), c.sent ? std::vector<std::string>{} : std::vector<std::string>{name});
        sentSoFar += c.sent ? 1 : 0;
        EXPECT_EQ(listNames(server.remotePath(dir)).size(), static_cast<std::size_t>(sentSoFar));
        if (c.logged) {
            EXPECT_TRUE(log.contains(c.logged)) << log.all();
        } else {
            EXPECT_FALSE(log.contains("host key")) << log.all();
        }
        if (!c.sent) {
            // Refused before the password went out.
            EXPECT_EQ(countOf(server.log(), "password for"), passwordsBefore) << server.log();
        }
        if (c.knownHosts) {
            EXPECT_EQ(slurp(knownHosts), *c.knownHosts) << "nothing learnt without first-use trust";
        }
        EXPECT_FALSE(log.contains(SshdServer::kUser)) << log.all();
        std::filesystem::remove_all(data.path());
    }
}

TEST_F(SftpUpload, LargeArchiveGoesWholeWhateverEachWriteTakes)
{
    const std::string dir = server.makeRemoteDir("big");
    const std::filesystem::path remote = server.remotePath(dir);
    struct Case {
        const char* server;
        std::size_t maxPerWrite; // 0: whatever sftp_write takes
    } cases[] = {
        {"takes every write whole", 0},
        {"takes a few KiB of each write", 7001},
    };
    int second = 20;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        DataDirectory data(install.path() / "Data");
        const std::string name = archive(data, second++, 700 * 1024);
        const std::string bytes = slurp(data.path() / name);
        // Sent once before, by a run that then stopped before deleting it
        // here: the server holds an older file of that name.
        spit(remote / name, "older");
        SftpOptions opts = options();
        int writes = 0;
        bool partialSeen = true;
        if (c.maxPerWrite) {
            opts.write = [&](sftp_file_struct* file, const void* data, std::size_t size) {
                // While the archive travels the collector sees only the old
                // file under its name.
                if (writes++ == 1)
                    partialSeen = slurp(remote / name) != "older";
                return sftp_write(file, data, std::min(size, c.maxPerWrite));
            };
        }
        UploadRunner runner(data, sftpTransportFactory(opts), log.sink());
        const auto report = runner.runNow(target(dir));
        ASSERT_TRUE(report);
        EXPECT_FALSE(report->failed) << report->failure;
        EXPECT_EQ(report->sent, 1u);
        EXPECT_EQ(slurp(remote / name), bytes);
        if (c.maxPerWrite) {
            EXPECT_GE(writes, static_cast<int>(bytes.size() / c.maxPerWrite));
            EXPECT_FALSE(partialSeen);
        }
        EXPECT_EQ(listNames(remote).size(), static_cast<std::size_t>(second - 20)) << "no temporary file stays";
        EXPECT_TRUE(listNames(data.path()).empty());
    }
}
