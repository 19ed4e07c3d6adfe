#include "common/durable_file.h"
#include "results/history.h"
#include "results/history_table.h"
#include "results/record.h"
#include "results/test_support.h"

#include <gtest/gtest.h>

using namespace quorvane;
using namespace quorvane::test;

namespace
{

const std::filesystem::path kExpected = std::filesystem::path(QUORVANE_SOURCE_DIR) / "tests/results/expected";

UserSession beijingUser()
{
    return {"S-88", "小王", "10.1.2.3", "北京市", "电信"};
}

// An installation whose login data file names user 20417 (records take the
// user id from there, not from the session).
struct Installation {
    TempDir dir;
    LogCollector log;
    Installation() { spit(dir.path() / "conf/l_c_config_01.properties", "#user config\r\nuserid=20417\r\n"); }
    std::filesystem::path data() const { return dir.path() / "Data"; }
    std::vector<std::vector<std::string>> history(const std::string& userId = "S-88") const
    {
        return ReadHistoryFile(historyFilePath(dir.path(), userId));
    }
};

TestRecord bandRecord()
{
    return {RecordKind::Band,
            {{"monitorid", "1101"},
             {"upmaxspeed", "2.51"},
             {"upavgspeed", "2.10"},
             {"downmaxspeed", "12.80"},
             {"downavgspeed", "11.79"},
             {"bandwidth", "94.3"},
             {"realbandwidth", "null"}},
            {{"pingrtt", "12"}, {"downspeedjt", "0.35"}, {"upspeedjt", "0.08"}},
            "北京电信1",
            "94.3",
            ""};
}

} // namespace

TEST(RecordFiles, EveryKindIsWrittenByteForByte)
{
    Installation inst;
    StillClock clock(2024, 1, 2, 3, 4, 5);
    ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink());
    const UserSession user = beijingUser();

    const auto band = recorder.writeTestRecord(bandRecord(), user, false);
    EXPECT_EQ(band.fileName, "Pccollect_band_2024010203.dat");
    EXPECT_EQ(slurp(inst.data() / band.fileName), slurp(kExpected / "band.dat"));

    const auto screen = recorder.writeTestRecord(
        {RecordKind::Screen,
         {{"url", "http://127.0.0.1:18080/portal/a,b.html"}, {"firstscreentime", "1.234"}, {"loadingtime", ""}},
         {},
         "http://127.0.0.1:18080/portal/a,b.html",
         "1.234",
         ""},
        user, false);
    EXPECT_EQ(screen.fileName, "Pccollect_screen_2024010203.dat");
    EXPECT_EQ(slurp(inst.data() / screen.fileName), slurp(kExpected / "screen.dat"));

    const auto video = recorder.writeTestRecord({RecordKind::VideoSpeed,
                                                 {{"url", "http://127.0.0.1:18080/video/clip.flv"},
                                                  {"mediatype", "2"},
                                                  {"totalsize", "5120"},
                                                  {"totaltime", "30"},
                                                  {"loadsize", "5119"},
                                                  {"loadingtime", "2.5"},
                                                  {"speed", "340.2"},
                                                  {"ifcompleted", "1"}},
                                                 {{"MAXSPEED", "410.7"}},
                                                 "视频站",
                                                 "340.2",
                                                 "http://127.0.0.1:18080/video/clip.flv"},
                                                user, true);
    EXPECT_EQ(video.fileName, "Pccollect_videospeed_2024010203.dat");
    EXPECT_EQ(slurp(inst.data() / video.fileName), slurp(kExpected / "videospeed.dat"));

    const auto error = recorder.writeErrorRecord(5, user);
    EXPECT_EQ(error.fileName, "Pccollect_error_2024010203.dat");
    EXPECT_EQ(slurp(inst.data() / error.fileName), slurp(kExpected / "error.dat"));

    // An automatic file download at the end of a year, with a login answer
    // that carried no location: "location=" and one blank.
    StillClock lateClock(2024, 12, 31, 23, 59, 58);
    ResultRecorder lateRecorder(inst.dir.path(), lateClock.service, inst.log.sink());
    const auto filedown = lateRecorder.writeTestRecord({RecordKind::FileDown,
                                                        {{"url", "http://127.0.0.2:8080/files/test.bin"},
                                                         {"website", "3"},
                                                         {"totalsize", "10.00"},
                                                         {"downloadsize", "10.00"},
                                                         {"speed", "512.00"},
                                                         {"connecttime", "0.03"},
                                                         {"loadingtime", "20.00"}},
                                                        {},
                                                        "视频文件",
                                                        "512.00",
                                                        ""},
                                                       {"S-88", "", "10.1.2.3", "", ""}, true);
    EXPECT_EQ(filedown.fileName, "Pccollect_filedown_2024123123.dat");
    EXPECT_EQ(slurp(inst.data() / filedown.fileName), slurp(kExpected / "filedown.dat"));
    EXPECT_TRUE(inst.log.all().empty()) << inst.log.all();
}

TEST(RecordFiles, HistoryLinesAndLatestResultTexts)
{
    Installation inst;
    StillClock clock(2024, 1, 2, 3, 4, 5);
    ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink());

    const auto manual = recorder.writeTestRecord(bandRecord(), beijingUser(), false);
    EXPECT_TRUE(manual.historyWritten);
    EXPECT_TRUE(manual.latestResultText.empty()) << "a manual test leaves the latest result alone";

    const auto automatic = recorder.writeTestRecord(bandRecord(), beijingUser(), true);
    EXPECT_EQ(automatic.latestResultText,
              "最近一次带宽测速结果：\n测速服务器：北京电信1\n估算带宽：94.3Mb/s\n测速时间：2024-01-02 03:04:05");

    TestRecord download{RecordKind::FileDown, {}, {}, "视频文件", "512.00", ""};
    EXPECT_EQ(recorder.writeTestRecord(download, beijingUser(), true).latestResultText,
              "最近一次文件下载结果：\n文件类型：视频文件\n平均速率：512.00 KB/s\n 测速时间：2024-01-02 03:04:05");
    TestRecord page{RecordKind::Screen, {}, {}, "http://127.0.0.1/x", "1.234", ""};
    EXPECT_EQ(recorder.writeTestRecord(page, beijingUser(), true).latestResultText,
              "最近一次网页性能结果：\n网站地址：http://127.0.0.1/x\n首屏时间：1.234s\n测速时间：2024-01-02 03:04:05");
    // The video text shows the first 50 characters of the stream address.
    const std::string stream = "http://127.0.0.1:18080/" + std::string(40, 'v') + "/stream.flv";
    TestRecord video{RecordKind::VideoSpeed, {}, {}, "站点", "340.2", stream};
    EXPECT_EQ(recorder.writeTestRecord(video, beijingUser(), true).latestResultText,
              "最近一次视频测速结果：\n视频地址：" + stream.substr(0, 50) +
                  "\n平均速率：340.2 KB/s\n测速时间： 2024-01-02 03:04:05");

    const auto entries = inst.history();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0],
              (std::vector<std::string>{"2024-01-02 03:04:05", "手动", "带宽测速", "北京电信1", "94.3Mb/s"}));
    EXPECT_EQ(entries[1][1], "自动");
    EXPECT_EQ(entries[2],
              (std::vector<std::string>{"2024-01-02 03:04:05", "自动", "文件下载", "视频文件", "512.00 KB/s"}));
    EXPECT_EQ(entries[3][4], "1.234 s");
    EXPECT_EQ(entries[4], (std::vector<std::string>{"2024-01-02 03:04:05", "自动", "视频测速", "站点", "340.2 KB/s"}));
}

TEST(RecordFiles, ANameCannotSplitItsHistoryEntry)
{
    Installation inst;
    StillClock clock(2024, 1, 2, 3, 4, 5);
    ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink());
    const std::pair<const char*, const char*> names[] = {
        {"http://a.cn/x;jsessionid=1", "http://a.cn/x；jsessionid=1"},
        {"电信 A,1号", "电信 A,1号"}, // the table joins a comma back
        {"two\nlines\r", "two lines "},
    };
    for (const auto& [name, shown] : names)
        recorder.writeTestRecord({RecordKind::Screen, {}, {}, name, "1.234", ""}, beijingUser(), false);
    const auto rows = historyRows(inst.history());
    ASSERT_EQ(rows.size(), std::size(names));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].cells[3], names[i].second);
        EXPECT_EQ(rows[i].cells[4], "1.234 s");
    }
}

TEST(RecordFiles, ValuesCannotBreakTheEnvelope)
{
    // A typed address with a line break must not forge a field or end the
    // record early for the server's parser.
    const auto bytes = recordBytes(RecordKind::Screen, {{"url", "http://x/\n---end---\r\nip=6.6.6.6"}});
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "+++start+++\nurl=http://x/ ---end---  ip=6.6.6.6\n---end---");
}

TEST(RecordFiles, ARecordThatCannotBeWrittenIsSaidHeldAndWrittenLater)
{
    const RecordEncoder noConverter = [](std::string_view) { return std::optional<std::string>(); };
    struct Case {
        const char* what;
        int error; // injected at `step` (0 creating the file, 1 writing it); 0: none
        int step;
        bool dataIsAFile;
        RecordEncoder encode;
        const char* failure;
        bool held;
    } cases[] = {
        {"full disk when creating", ENOSPC, 0, false, gbkRecordEncoder(), "No space left on device", true},
        {"full disk when writing", ENOSPC, 1, false, gbkRecordEncoder(), "No space left on device", true},
        {"folder taken away", EACCES, 0, false, gbkRecordEncoder(), "Permission denied", true},
        {"read-only mount", EROFS, 0, false, gbkRecordEncoder(), "Read-only file system", true},
        {"a file named Data is in the way", 0, 0, true, gbkRecordEncoder(), "Not a directory", true},
        // Anything but GBK would be misread by the collector: nothing to hold.
        {"the GBK converter cannot be opened", 0, 0, false, noConverter, "GBK code page converter", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        StillClock clock(2024, 1, 2, 3, 4, 5);
        ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink(), c.encode);
        if (c.dataIsAFile)
            spit(inst.data(), "not a folder");
        WrittenRecord written;
        {
            std::optional<ScopedWriteFault> fault;
            if (c.error)
                fault.emplace(c.error, c.step, 1); // once: auto.txt is still written
            written = recorder.writeTestRecord(bandRecord(), beijingUser(), true);
        }
        EXPECT_EQ(written.fileName, "");
        EXPECT_NE(written.failure.find(c.failure), std::string::npos) << written.failure;
        EXPECT_EQ(written.held, c.held);
        EXPECT_NE(written.latestResultText.find("\n结果未能保存（"), std::string::npos) << written.latestResultText;
        EXPECT_TRUE(inst.log.contains("record not written")) << inst.log.all();
        EXPECT_NE(slurp(inst.dir.path() / "auto.txt").find(c.failure), std::string::npos);
        // The history gains no line for a result that exists nowhere else.
        EXPECT_FALSE(written.historyWritten);
        EXPECT_TRUE(inst.history().empty());
        EXPECT_TRUE(!std::filesystem::is_directory(inst.data()) || listNames(inst.data()).empty());

        // Room again, two hours later: the held result keeps its own hour.
        std::filesystem::remove(inst.data());
        clock.advance(std::chrono::hours(2));
        const RecordHold::Flushed flushed = recorder.writeHeld();
        EXPECT_EQ(flushed.waiting, 0u);
        if (!c.held) {
            EXPECT_TRUE(flushed.written.empty());
            continue;
        }
        EXPECT_EQ(flushed.written, std::vector<std::string>{"Pccollect_band_2024010203.dat"});
        EXPECT_NE(slurp(inst.data() / "Pccollect_band_2024010203.dat").find("dtime=2024-01-02 03:04:05\n"),
                  std::string::npos);
        ASSERT_EQ(inst.history().size(), 1u);
        EXPECT_EQ(inst.history()[0][0], "2024-01-02 03:04:05");
    }
}

TEST(RecordFiles, TheHoldIsBoundedAndWaitsForAHistoryLineAlone)
{
    Installation inst;
    StillClock clock(2024, 1, 2, 3, 4, 5);
    ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink());
    {
        ScopedWriteFault full(ENOSPC);
        for (std::size_t i = 0; i < RecordHold::kCapacity + 1; ++i) {
            EXPECT_TRUE(recorder.writeRejectedRound(1, {}, beijingUser()).held);
            clock.advance(std::chrono::hours(1));
        }
    }
    EXPECT_EQ(recorder.hold().size(), RecordHold::kCapacity);
    EXPECT_EQ(recorder.hold().lost(), 1u);
    EXPECT_TRUE(inst.log.contains("result lost, 100 results wait already: Pccollect_error_2024010203.dat"));
    EXPECT_EQ(recorder.writeHeld().written.size(), RecordHold::kCapacity);
    EXPECT_EQ(inst.history().size(), 100u);
    EXPECT_EQ(inst.history().front()[0], "2024-01-02 04:04:05") << "the oldest went";

    // The record goes in (three write steps), its history line does not.
    std::filesystem::remove_all(inst.dir.path() / "HistoryRecord");
    WrittenRecord written;
    {
        ScopedWriteFault historyFails(EROFS, 3, 1);
        written = recorder.writeTestRecord(bandRecord(), beijingUser(), false);
    }
    EXPECT_NE(written.fileName, "");
    EXPECT_FALSE(written.historyWritten);
    EXPECT_EQ(recorder.hold().size(), 1u);
    recorder.writeHeld();
    EXPECT_EQ(inst.history().size(), 1u);
    EXPECT_EQ(listNames(inst.data()).size(), RecordHold::kCapacity + 1) << "one record each, none twice";
}

TEST(RecordFiles, TheProgramsEndWritesWhatItCanAndLogsTheRest)
{
    for (const bool stillFull : {false, true}) {
        SCOPED_TRACE(stillFull ? "the disk is still full" : "there is room again");
        Installation inst;
        StillClock clock(2024, 1, 2, 3, 4, 5);
        std::optional<ScopedWriteFault> full(std::in_place, ENOSPC);
        {
            ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink());
            EXPECT_TRUE(recorder.writeTestRecord(bandRecord(), beijingUser(), false).held);
            if (!stillFull)
                full.reset();
        }
        full.reset();
        EXPECT_EQ(std::filesystem::exists(inst.data() / "Pccollect_band_2024010203.dat"), !stillFull);
        EXPECT_EQ(inst.history().size(), stillFull ? 0u : 1u);
        EXPECT_EQ(inst.log.contains("result lost at the program's end: Pccollect_band_2024010203.dat"), stillFull)
            << inst.log.all();
    }
}

TEST(RecordFiles, MissingDataFolderIsCreated)
{
    Installation inst;
    StillClock clock(2024, 1, 2, 3, 4, 5);
    ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink());
    ASSERT_FALSE(std::filesystem::exists(inst.data()));
    EXPECT_EQ(recorder.writeErrorRecord(1, beijingUser()).fileName, "Pccollect_error_2024010203.dat");
    EXPECT_TRUE(std::filesystem::is_regular_file(inst.data() / "Pccollect_error_2024010203.dat"));
}

TEST(RecordFiles, SameKindAndHourNeverOverwritesAWaitingRecord)
{
    Installation inst;
    StillClock clock(2024, 1, 2, 3, 4, 5);
    ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink());
    TestRecord first = bandRecord();
    first.fields[0].value = "first";
    TestRecord second = bandRecord();
    second.fields[0].value = "second";

    // The first record was never packed (say the disk was full then).
    const auto a = recorder.writeTestRecord(first, beijingUser(), false);
    clock.advance(std::chrono::minutes(20));
    const auto b = recorder.writeTestRecord(second, beijingUser(), false);
    EXPECT_EQ(a.fileName, "Pccollect_band_2024010203.dat");
    EXPECT_EQ(b.fileName, "Pccollect_band_2024010203.dat.2");
    EXPECT_NE(slurp(inst.data() / a.fileName).find("monitorid=first\n"), std::string::npos);
    const std::string secondBytes = slurp(inst.data() / b.fileName);
    EXPECT_NE(secondBytes.find("monitorid=second\n"), std::string::npos);
    EXPECT_EQ(secondBytes.find("first"), std::string::npos);
    // No temporary file stays behind.
    EXPECT_EQ(listNames(inst.data()), (std::vector<std::string>{a.fileName, b.fileName}));
}

TEST(RejectedRounds, ReasonTextsSummaryAndHistory)
{
    const RejectionThresholds limits{85, 90, 2000};
    EXPECT_EQ(rejectionReasonText(1, limits), "CPU使用率 > 85%");
    EXPECT_EQ(rejectionReasonText(2, limits), "内存使用率 > 90%");
    EXPECT_EQ(rejectionReasonText(3, limits), "开启了杀毒软件");
    EXPECT_EQ(rejectionReasonText(4, limits), "无线上网");
    EXPECT_EQ(rejectionReasonText(5, limits), "网卡流量 > 2000KB/s");
    EXPECT_EQ(rejectionReasonText(6, limits), "多机上网");
    EXPECT_EQ(rejectionReasonText(0, limits), "");
    EXPECT_EQ(rejectionReasonText(7, limits), "");
    EXPECT_EQ(invalidRoundSummary("无线上网", {2024, 1, 2, 3, 4, 5}),
              "最近一次自动测速结果：\n数据无效（原因：无线上网）。\n测速时间： 2024-01-02 03:04:05");

    Installation inst;
    StillClock clock(2024, 1, 2, 3, 4, 5);
    ResultRecorder recorder(inst.dir.path(), clock.service, inst.log.sink());
    RecordTime when;
    EXPECT_TRUE(recorder.recordInvalidRound(1, limits, beijingUser(), &when));
    EXPECT_EQ(when, (RecordTime{2024, 1, 2, 3, 4, 5}));
    EXPECT_EQ(slurp(historyFilePath(inst.dir.path(), "S-88")),
              "2024-01-02 03:04:05,自动,自动测速,无效数据,CPU使用率 > 85%;\n");

    // An unknown code writes nothing at all.
    EXPECT_FALSE(recorder.recordInvalidRound(9, limits, beijingUser()));
    EXPECT_EQ(recorder.writeErrorRecord(9, beijingUser()).fileName, "");
    EXPECT_EQ(inst.history().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(inst.data()));
}
