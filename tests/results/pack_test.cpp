#include "results/pack.h"
#include "results/record.h"
#include "results/test_support.h"
#include "results/zip_reader.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

using namespace quorvane;
using namespace quorvane::test;

namespace
{

using Entries = std::map<std::string, std::string>;

struct PackingSetup {
    TempDir dir;
    LogCollector log;
    StillClock clock{2024, 1, 2, 3, 4, 5};
    DataDirectory data{dir.path() / "Data"};
    DataDirectory regional{dir.path() / "Data2"};
    Packer packer{data, clock.service, log.sink()};

    std::filesystem::path record(const std::string& name, const std::string& bytes)
    {
        spit(data.path() / name, bytes);
        return data.path() / name;
    }
    std::optional<Entries> archive(const std::string& name) const { return zipEntries(data.path() / name); }
};

const std::string kScreen = "+++start+++\nurl=http://x/\nloadingtime=\n---end---";
const std::string kBand = "+++start+++\nmonitorid=7\n---end---";

} // namespace

TEST(Packing, OneRecordBecomesOneArchiveAndLeavesData)
{
    PackingSetup s;
    const auto record = s.record("Pccollect_screen_2024010203.dat", kScreen);
    EXPECT_EQ(s.packer.PackRecord(record), "20240102030405_1024_Pccollect.zip");
    EXPECT_EQ(listNames(s.data.path()), std::vector<std::string>{"20240102030405_1024_Pccollect.zip"});
    // The record lies at the top of the archive, bytes unchanged.
    EXPECT_EQ(s.archive("20240102030405_1024_Pccollect.zip"), (Entries{{"Pccollect_screen_2024010203.dat", kScreen}}));
    EXPECT_EQ(s.log.all(), "");
}

TEST(Packing, RecordsOfOneSecondShareAnArchive)
{
    PackingSetup s;
    const std::string name = "20240102030405_1024_Pccollect.zip";
    EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_screen_2024010203.dat", kScreen)), name);
    EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_band_2024010203.dat", kBand)), name);
    EXPECT_EQ(s.archive(name),
              (Entries{{"Pccollect_screen_2024010203.dat", kScreen}, {"Pccollect_band_2024010203.dat", kBand}}));

    s.clock.advance(std::chrono::seconds(1));
    EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_error_2024010203.dat", "e")),
              "20240102030406_1024_Pccollect.zip");
    EXPECT_EQ(listNames(s.data.path()).size(), 2u);
}

TEST(Packing, ArchiverFailureKeepsTheRecordForTheNextPacking)
{
    PackingSetup s;
    // Something in the way of the archive's temporary file makes writing
    // the archive fail, as a full disk or a broken archiver would.
    std::filesystem::create_directories(s.data.path() / "20240102030405_1024_Pccollect.zip.tmp" / "x");
    const auto first = s.record("Pccollect_band_2024010203.dat", kBand);
    EXPECT_EQ(s.packer.PackRecord(first), "");
    EXPECT_TRUE(std::filesystem::exists(first)) << "the record must survive a failed packing";
    EXPECT_TRUE(s.log.contains("record not packed")) << s.log.all();

    // The obstacle goes; the next record's packing takes the stranded one along.
    std::filesystem::remove_all(s.data.path() / "20240102030405_1024_Pccollect.zip.tmp");
    s.clock.advance(std::chrono::seconds(2));
    const auto second = s.record("Pccollect_screen_2024010203.dat", kScreen);
    EXPECT_EQ(s.packer.PackRecord(second), "20240102030407_1024_Pccollect.zip");
    EXPECT_EQ(s.archive("20240102030407_1024_Pccollect.zip"),
              (Entries{{"Pccollect_band_2024010203.dat", kBand}, {"Pccollect_screen_2024010203.dat", kScreen}}));
    EXPECT_EQ(listNames(s.data.path()), std::vector<std::string>{"20240102030407_1024_Pccollect.zip"});
}

TEST(Packing, TwoWaitingRecordsOfOneNameGoIntoSeparateArchives)
{
    PackingSetup s;
    ResultRecorder recorder(s.dir.path(), s.clock.service, s.log.sink());
    TestRecord band{RecordKind::Band, {{"monitorid", "first"}}, {}, "srv", "1.0", ""};
    // Packing fails for the first record; the second of the same hour is
    // written beside it.
    std::filesystem::create_directories(s.data.path() / "20240102030405_1024_Pccollect.zip.tmp" / "x");
    const auto a = recorder.writeTestRecord(band, {}, false);
    EXPECT_EQ(s.packer.PackRecord(s.data.path() / a.fileName), "");
    std::filesystem::remove_all(s.data.path() / "20240102030405_1024_Pccollect.zip.tmp");
    band.fields[0].value = "second";
    const auto b = recorder.writeTestRecord(band, {}, false);
    ASSERT_EQ(b.fileName, "Pccollect_band_2024010203.dat.2");

    const std::string archive = s.packer.PackRecord(s.data.path() / b.fileName);
    EXPECT_EQ(archive, "20240102030405_1024_Pccollect.zip");
    const auto names = listNames(s.data.path());
    ASSERT_EQ(names,
              (std::vector<std::string>{"20240102030405_1024_Pccollect.zip", "20240102030406_1024_Pccollect.zip"}));
    // Each archive holds one of them, under the record's proper name.
    const auto one = s.archive(names[0]);
    const auto other = s.archive(names[1]);
    ASSERT_TRUE(one && other);
    ASSERT_EQ(one->count("Pccollect_band_2024010203.dat"), 1u);
    ASSERT_EQ(other->count("Pccollect_band_2024010203.dat"), 1u);
    EXPECT_NE(one->at("Pccollect_band_2024010203.dat").find("monitorid=second"), std::string::npos);
    EXPECT_NE(other->at("Pccollect_band_2024010203.dat").find("monitorid=first"), std::string::npos);
}

TEST(Packing, NeverTouchesAnArchiveBeingSentOrAlreadySent)
{
    PackingSetup s;
    const std::string t0 = "20240102030405_1024_Pccollect.zip";
    const std::string t1 = "20240102030406_1024_Pccollect.zip";
    ASSERT_EQ(s.packer.PackRecord(s.record("Pccollect_screen_2024010203.dat", kScreen)), t0);

    // An upload is sending t0: a record of the same second must not be added
    // to it, or it would be deleted unsent with the archive.
    auto sending = s.data.beginSending(t0);
    ASSERT_TRUE(sending);
    EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_band_2024010203.dat", kBand)), t1);
    EXPECT_EQ(s.archive(t0), (Entries{{"Pccollect_screen_2024010203.dat", kScreen}}));
    EXPECT_TRUE(s.data.endSending(*sending, true));

    // Sent and gone: a new t0 would overwrite the server's copy.
    EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_error_2024010203.dat", "e")), t1);
    EXPECT_EQ(s.archive(t1),
              (Entries{{"Pccollect_band_2024010203.dat", kBand}, {"Pccollect_error_2024010203.dat", "e"}}));
}

TEST(Packing, RegionalCopyIsTheSameArchive)
{
    PackingSetup s;
    const std::string name = s.packer.PackRecord(s.record("Pccollect_screen_2024010203.dat", kScreen), &s.regional);
    ASSERT_EQ(name, "20240102030405_1024_Pccollect.zip");
    EXPECT_EQ(slurp(s.regional.path() / name), slurp(s.data.path() / name));
    EXPECT_EQ(listNames(s.regional.path()), std::vector<std::string>{name});

    // A second record of that second reaches both copies.
    s.packer.PackRecord(s.record("Pccollect_band_2024010203.dat", kBand), &s.regional);
    EXPECT_EQ(zipEntries(s.regional.path() / name)->size(), 2u);
    EXPECT_EQ(slurp(s.regional.path() / name), slurp(s.data.path() / name));

    // The main copy went (say, with a program that has since restarted), the
    // regional one still waits: a third record must not replace it.
    std::filesystem::remove(s.data.path() / name);
    EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_error_2024010203.dat", "e"), &s.regional),
              "20240102030406_1024_Pccollect.zip");
    EXPECT_EQ(zipEntries(s.regional.path() / name)->size(), 2u);
}

TEST(Packing, LeftoversOfAnInterruptedRunAreSortedOut)
{
    PackingSetup s;
    // A record written whole before the crash but not yet renamed, one torn
    // mid-write, and a half-written archive.
    spit(s.data.path() / ".Pccollect_band_2024010202.dat.tmp", kBand);
    spit(s.data.path() / ".Pccollect_screen_2024010202.dat.tmp", "+++start+++\nurl=htt");
    spit(s.data.path() / "20240102020000_1024_Pccollect.zip.tmp", "PK\x03\x04");
    // A record the crash left unpacked.
    spit(s.data.path() / "Pccollect_filedown_2024010202.dat", "+++start+++\n---end---");

    const auto name = s.packer.PackRecord(s.record("Pccollect_error_2024010203.dat", "e"));
    EXPECT_EQ(listNames(s.data.path()), std::vector<std::string>{name});
    EXPECT_EQ(s.archive(name), (Entries{{"Pccollect_band_2024010202.dat", kBand},
                                        {"Pccollect_filedown_2024010202.dat", "+++start+++\n---end---"},
                                        {"Pccollect_error_2024010203.dat", "e"}}));
}

TEST(Packing, FullDiskKeepsTheRecord)
{
    PackingSetup s;
    std::filesystem::create_directories(s.data.path());
    if (::mount("tmpfs", s.data.path().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    struct Unmount {
        std::filesystem::path p;
        ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
    } unmount{s.data.path()};

    // A record of incompressible bytes that fits on the disk once but not
    // twice: the archive cannot be written beside it.
    std::string noise(40 * 1024, '\0');
    std::uint32_t x = 12345;
    for (char& c : noise) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    const auto record = s.record("Pccollect_band_2024010203.dat", noise);
    ASSERT_EQ(slurp(record).size(), noise.size());
    EXPECT_EQ(s.packer.PackRecord(record), "");
    EXPECT_EQ(slurp(record), noise);
    EXPECT_EQ(listNames(s.data.path()), std::vector<std::string>{"Pccollect_band_2024010203.dat"});
    EXPECT_TRUE(s.log.contains("record not packed")) << s.log.all();
}

TEST(Packing, WaitingRecordNames)
{
    EXPECT_TRUE(isWaitingRecordName("Pccollect_band_2024010203.dat"));
    EXPECT_TRUE(isWaitingRecordName("Pccollect_videospeed_2024010203.dat.12"));
    EXPECT_FALSE(isWaitingRecordName(".Pccollect_band_2024010203.dat.tmp"));
    EXPECT_FALSE(isWaitingRecordName("Pccollect_band_202401020.dat"));
    EXPECT_FALSE(isWaitingRecordName("Pccollect_band_2024010203.dat."));
    EXPECT_FALSE(isWaitingRecordName("Pccollect__2024010203.dat"));
    EXPECT_FALSE(isWaitingRecordName("notes.txt"));
}
