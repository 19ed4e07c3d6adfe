// A whole results path on a real 64 KiB file system that fills up in the
// middle of a series of automatic results and frees up again: every result
// must reach both collection servers exactly once.
#include "common/log_file.h"
#include "results/history.h"
#include "results/record.h"
#include "results/shipper.h"
#include "results/test_support.h"
#include "results/zip_reader.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace
{

// A tmpfs of 64 KiB that the test mounts and unmounts itself.
class SmallDisk
{
public:
    SmallDisk()
    {
        m_path = m_base.path() / "disk";
        std::filesystem::create_directory(m_path);
        if (::geteuid() != 0)
            m_why = "not root";
        else if (::mount("tmpfs", m_path.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
            m_why = std::strerror(errno);
        m_mounted = m_why.empty();
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(m_path.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    const std::string& why() const { return m_why; }
    const std::filesystem::path& path() const { return m_path; }

    // Takes every free block.
    void fill()
    {
        std::ofstream filler(m_path / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 64 && filler.write(block.data(), block.size()) && filler.flush(); ++i) {
        }
    }
    void free() { std::filesystem::remove(m_path / "filler"); }

private:
    TempDir m_base;
    std::filesystem::path m_path;
    std::string m_why;
    bool m_mounted = false;
};

// Both collection servers in memory: host -> archive name -> bytes.
class Servers
{
public:
    class Transport : public ArchiveTransport
    {
    public:
        explicit Transport(Servers& servers) : m_servers(servers) {}
        bool open(const UploadTarget& target, std::string&) override
        {
            m_host = target.host;
            return true;
        }
        bool put(const std::string& name, const std::string& bytes, std::string& error) override
        {
            std::lock_guard lock(m_servers.m_mutex);
            auto& files = m_servers.m_files[m_host];
            if (files.count(name)) {
                error = "the server holds " + name + " already";
                return false;
            }
            files[name] = bytes;
            return true;
        }

    private:
        Servers& m_servers;
        std::string m_host;
    };

    TransportFactory factory()
    {
        return [this] { return std::make_unique<Transport>(*this); };
    }

    // How often each monitor id arrived at `host`, over every archive.
    std::map<std::string, int> resultsAt(const std::string& host, const std::filesystem::path& scratch)
    {
        std::lock_guard lock(m_mutex);
        std::map<std::string, int> seen;
        for (const auto& [name, bytes] : m_files[host]) {
            spit(scratch / name, bytes);
            for (const auto& [entry, record] :
                 zipEntries(scratch / name).value_or(std::map<std::string, std::string>{})) {
                const auto at = record.find("monitorid=");
                ++seen[record.substr(at + 10, record.find('\n', at) - at - 10)];
            }
        }
        return seen;
    }
    std::size_t archivesAt(const std::string& host)
    {
        std::lock_guard lock(m_mutex);
        return m_files[host].size();
    }

private:
    std::mutex m_mutex;
    std::map<std::string, std::map<std::string, std::string>> m_files;
};

TestRecord result(int serial)
{
    return {RecordKind::Band,
            {{"monitorid", "m" + std::to_string(serial)}, {"bandwidth", "94.3"}},
            {},
            "北京电信1",
            "94.3",
            ""};
}

} // namespace

TEST(FullDisk, EveryResultReachesBothServersOnceAfterTheDiskFilledAndFreed)
{
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "needs root to mount a 64 KiB tmpfs (" << disk.why() << ")";
    const std::filesystem::path install = disk.path();
    spit(install / "conf/l_c_config_01.properties", "userid=20417\r\n");
    TempDir scratch;
    LogCollector log;
    Servers servers;
    StillClock clock(2024, 1, 2, 3, 0, 0);
    RecordShipper shipper(install, clock.service,
                          {[] { return UploadTarget{"", "", "main", "22", "u", "p", "/m"}; },
                           [](const std::string&) { return UploadTarget{"", "31", "region", "22", "u", "p", "/r"}; }},
                          servers.factory(), log.sink());
    ResultRecorder recorder(install, clock.service, log.sink(), gbkRecordEncoder(), shipper.hold());
    const UserSession user{"S-88", "小王", "10.1.2.3", "北京市", "电信"};

    // One automatic result an hour; the disk is full for the 4th to 7th.
    constexpr int kResults = 10, kFullFrom = 3, kFullUntil = 7;
    int written = 0, held = 0;
    std::string seenWhileFull;
    const long long logLinesLostBefore = CLogFile::linesLost();
    for (int i = 0; i < kResults; ++i) {
        if (i == kFullFrom)
            disk.fill();
        if (i == kFullUntil)
            disk.free();
        const WrittenRecord r = recorder.writeTestRecord(result(i), user, true);
        // What a page does on its record-ready message, written or not.
        shipper.shipRecord(r.fileName, "31");
        ASSERT_TRUE(shipper.waitIdle(10s));
        written += r.fileName.empty() ? 0 : 1;
        held += r.held ? 1 : 0;
        EXPECT_EQ(r.held, i >= kFullFrom && i < kFullUntil) << "result " << i << ": " << r.failure;
        if (r.held && seenWhileFull.empty())
            seenWhileFull = r.latestResultText;
        clock.advance(1h);
    }
    const std::map<std::string, int> atMain = servers.resultsAt("main", scratch.path());
    const std::map<std::string, int> atRegion = servers.resultsAt("region", scratch.path());
    std::cout << "while full the user saw:\n"
              << seenWhileFull << "\nresults " << kResults << ", written at once " << written << ", held " << held
              << ", archives packed and uploaded: main " << servers.archivesAt("main") << ", region "
              << servers.archivesAt("region") << "; results at main " << atMain.size() << ", at region "
              << atRegion.size() << "; log lines lost " << CLogFile::linesLost() - logLinesLostBefore << "\n";

    EXPECT_EQ(written, kResults - (kFullUntil - kFullFrom));
    EXPECT_EQ(held, kFullUntil - kFullFrom);
    EXPECT_NE(seenWhileFull.find("结果未能保存（No space left on device），已暂存"), std::string::npos);
    std::map<std::string, int> once;
    for (int i = 0; i < kResults; ++i)
        once["m" + std::to_string(i)] = 1;
    EXPECT_EQ(atMain, once) << "nothing lost, nothing twice\n" << log.all();
    EXPECT_EQ(atRegion, once) << log.all();
    EXPECT_EQ(ReadHistoryFile(historyFilePath(install, user.userId)).size(), std::size_t(kResults));
    EXPECT_EQ(shipper.hold()->size(), 0u);
    EXPECT_EQ(shipper.data().waitingArchives(), std::vector<std::string>{});
    EXPECT_EQ(shipper.regionalData().waitingArchives(), std::vector<std::string>{});
}
