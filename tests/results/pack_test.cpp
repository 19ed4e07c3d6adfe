#include "common/durable_file.h"
#include "common/md5.h"
#include "results/pack.h"
#include "results/record.h"
#include "results/test_support.h"
#include "results/zip_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
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
const std::string kOtherBand = "+++start+++\nmonitorid=8\n---end---";

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

// Every record of every archive in a folder, as "entry=contents", counted.
std::map<std::string, int> packedRecords(const std::filesystem::path& dir)
{
    std::map<std::string, int> counts;
    for (const auto& name : listNames(dir)) {
        if (name.ends_with(".zip")) {
            for (const auto& [entry, bytes] : zipEntries(dir / name).value_or(Entries{}))
                ++counts[entry + "=" + bytes];
        }
    }
    return counts;
}

TEST(PackingAfterACrash, EveryRecordIsPackedExactlyOnce)
{
    const std::string band = "Pccollect_band_2024010203.dat";
    const std::string screen = "Pccollect_screen_2024010203.dat";
    const std::string archive = "20240102030405_1024_Pccollect.zip";
    // What the interrupted packing was making: both records in one archive.
    std::string archiveBytes;
    {
        PackingSetup scratch;
        scratch.record(screen, kScreen);
        ASSERT_EQ(scratch.packer.PackRecord(scratch.record(band, kBand)), archive);
        archiveBytes = slurp(scratch.data.path() / archive);
    }
    auto journal = [&](bool regional, bool whole) {
        std::string text = "archive " + archive + "\nregional " + (regional ? "1" : "0") + "\nrecord " + md5Hex(kBand) +
                           " " + band + "\nrecord " + md5Hex(kScreen) + " " + screen + "\n";
        return whole ? text + "end\n" : text;
    };
    using Lay = std::function<void(PackingSetup&)>;
    const Lay records = [&](PackingSetup& s) {
        s.record(band, kBand);
        s.record(screen, kScreen);
    };
    struct Case {
        const char* crashedWhen;
        Lay lay;
        bool regional;
        std::map<std::string, int> expected; // besides the new record
    } cases[] = {
        {"after writing records, before naming them (twice for one name)",
         [&](PackingSetup& s) {
             spit(s.data.path() / ("." + band + ".k3J9aQ.writing"), kBand);
             spit(s.data.path() / ("." + band + ".tmp"), kOtherBand);
             spit(s.data.path() / ("." + screen + ".Zz0000.writing"), "+++start+++\nurl=htt"); // torn
         },
         false,
         {{band + "=" + kBand, 1}, {band + "=" + kOtherBand, 1}}},
        {"while building the archive",
         [&](PackingSetup& s) {
             records(s);
             spit(s.data.path() / (archive + ".tmp"), archiveBytes.substr(0, 40));
         },
         false,
         {{band + "=" + kBand, 1}, {screen + "=" + kScreen, 1}}},
        {"while writing the journal",
         [&](PackingSetup& s) {
             records(s);
             spit(s.data.path() / (archive + ".tmp"), archiveBytes);
             spit(s.data.path() / "packing.journal", journal(false, false));
         },
         false,
         {{band + "=" + kBand, 1}, {screen + "=" + kScreen, 1}}},
        {"after the journal, before publishing the archive",
         [&](PackingSetup& s) {
             records(s);
             spit(s.data.path() / (archive + ".tmp"), archiveBytes);
             spit(s.data.path() / "packing.journal", journal(false, true));
         },
         false,
         {{band + "=" + kBand, 1}, {screen + "=" + kScreen, 1}}},
        {"after publishing the archive, before deleting its records",
         [&](PackingSetup& s) {
             records(s);
             spit(s.data.path() / archive, archiveBytes);
             spit(s.data.path() / "packing.journal", journal(false, true));
         },
         false,
         {{band + "=" + kBand, 1}, {screen + "=" + kScreen, 1}}},
        {"after deleting the records, before removing the journal",
         [&](PackingSetup& s) {
             spit(s.data.path() / archive, archiveBytes);
             spit(s.data.path() / "packing.journal", journal(false, true));
         },
         false,
         {{band + "=" + kBand, 1}, {screen + "=" + kScreen, 1}}},
        {"after publishing, before deleting the records and making the regional copy",
         [&](PackingSetup& s) {
             records(s);
             spit(s.data.path() / archive, archiveBytes);
             spit(s.data.path() / "packing.journal", journal(true, true));
         },
         true,
         {{band + "=" + kBand, 1}, {screen + "=" + kScreen, 1}}},
        {"after publishing; a new record took the name of a journalled one",
         [&](PackingSetup& s) {
             s.record(band, kBand);
             s.record(screen, kScreen + "new");
             spit(s.data.path() / archive, archiveBytes);
             spit(s.data.path() / "packing.journal", journal(false, true));
         },
         false,
         {{band + "=" + kBand, 1}, {screen + "=" + kScreen, 1}, {screen + "=" + kScreen + "new", 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.crashedWhen);
        PackingSetup s;
        c.lay(s);
        // The program starts again and the next result is packed.
        Packer restarted(s.data, s.clock.service, s.log.sink());
        s.clock.advance(std::chrono::minutes(30));
        const std::string next = "Pccollect_error_2024010203.dat";
        EXPECT_NE(restarted.PackRecord(s.record(next, "e"), c.regional ? &s.regional : nullptr), "") << s.log.all();
        if (c.regional) {
            EXPECT_EQ(restarted.retryRegionalCopies(s.regional), 0u) << s.log.all();
        }

        auto expected = c.expected;
        expected[next + "=e"] = 1;
        EXPECT_EQ(packedRecords(s.data.path()), expected);
        EXPECT_EQ(packedRecords(s.regional.path()), (c.regional ? expected : std::map<std::string, int>{}));
        for (const auto& name : listNames(s.data.path()))
            EXPECT_TRUE(name.ends_with(".zip") || name == "Data2-pending") << name << " left behind";
        EXPECT_TRUE(listNames(restarted.pendingRegionalDir()).empty());
    }
}

TEST(Packing, FailingRegionalCopyNeverHoldsBackTheMainArchive)
{
    const std::string first = "20240102030405_1024_Pccollect.zip";
    using Step = std::function<void(PackingSetup&)>;
    struct Case {
        const char* why;
        Step block, unblock;
    } cases[] = {
        {"Data2 cannot be created", [](PackingSetup& s) { spit(s.regional.path(), "a file in the way"); },
         [](PackingSetup& s) { std::filesystem::remove(s.regional.path()); }},
        {"the copy cannot be written",
         [&](PackingSetup& s) { std::filesystem::create_directories(s.regional.path() / (first + ".tmp") / "x"); },
         [&](PackingSetup& s) { std::filesystem::remove_all(s.regional.path() / (first + ".tmp")); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        PackingSetup s;
        c.block(s);
        EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_screen_2024010203.dat", kScreen), &s.regional), first);
        EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_band_2024010203.dat", kBand), &s.regional), first);
        EXPECT_EQ(s.archive(first)->size(), 2u) << "the main archive is published all the same";
        EXPECT_TRUE(s.log.contains("regional copy of " + first + " waits")) << s.log.all();
        EXPECT_EQ(s.packer.retryRegionalCopies(s.regional), 1u) << "still blocked";
        // The main run sends and deletes its archive meanwhile.
        auto sending = s.data.beginSending(first);
        ASSERT_TRUE(sending);
        ASSERT_TRUE(s.data.endSending(*sending, true));

        c.unblock(s);
        s.clock.advance(std::chrono::seconds(1));
        EXPECT_EQ(s.packer.PackRecord(s.record("Pccollect_error_2024010203.dat", "e"), &s.regional),
                  "20240102030406_1024_Pccollect.zip");
        EXPECT_EQ(s.packer.retryRegionalCopies(s.regional), 0u) << s.log.all();
        EXPECT_EQ(packedRecords(s.regional.path()),
                  (std::map<std::string, int>{{"Pccollect_screen_2024010203.dat=" + kScreen, 1},
                                              {"Pccollect_band_2024010203.dat=" + kBand, 1},
                                              {"Pccollect_error_2024010203.dat=e", 1}}));
        EXPECT_TRUE(listNames(s.packer.pendingRegionalDir()).empty());
    }
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

TEST(Packing, AFailedJournalWriteLeavesEveryRecordForExactlyOneLaterArchive)
{
    for (const int error : {ENOSPC, EROFS, EACCES}) {
        SCOPED_TRACE(std::strerror(error));
        PackingSetup s;
        const auto band = s.record("Pccollect_band_2024010203.dat", kBand);
        s.record("Pccollect_screen_2024010203.dat", kScreen);
        {
            // The journal is the first file packing writes itself.
            ScopedWriteFault full(error);
            EXPECT_EQ(s.packer.PackRecord(band), "");
        }
        EXPECT_EQ(listNames(s.data.path()),
                  (std::vector<std::string>{"Pccollect_band_2024010203.dat", "Pccollect_screen_2024010203.dat"}));
        s.clock.advance(std::chrono::seconds(1));
        EXPECT_NE(s.packer.PackRecord(band), "");
        EXPECT_EQ(packedRecords(s.data.path()),
                  (std::map<std::string, int>{{"Pccollect_band_2024010203.dat=" + kBand, 1},
                                              {"Pccollect_screen_2024010203.dat=" + kScreen, 1}}));
    }
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
