// The video test's logic with the player and the resolver at their seams:
// the player's measurement call, the completeness rule, the site table, the
// figures of a stream and the automatic entry down to its record. The real
// download runs against the reference service in stream_player_refsvc_test.cpp.
#include "measure/video_test.h"
#include "common/codepage.h"
#include "measure/stream_player.h"
#include "measure/support.h"

#include <gtest/gtest.h>

using namespace quorvane;
using namespace quorvane::measure;
using namespace std::chrono_literals;

namespace
{

std::string info(const std::string& payload)
{
    return InvokeRequest(invoke::kInfo, payload);
}

class VideoTest : public ::testing::Test
{
protected:
    void SetUp() override { test::resetFlags(); }
    void TearDown() override
    {
        test::resetFlags();
        flags::videoTestRunning = 0;
    }

    std::unique_ptr<VideoSpeedTest> engine(std::vector<std::string> pages,
                                           std::function<std::string(const std::string&)> resolve, bool network = true)
    {
        VideoTestSettings s;
        s.installDir = inst.path();
        s.networkAlive = [network] { return network; };
        s.random = [this] { return draw++; };
        s.pages = [pages](const std::string&) { return pages; };
        s.resolve = std::move(resolve);
        s.callPlayer = [this](const std::string& r) { sent.push_back(r); };
        s.waitPlayer = [this] { ++waits; };
        auto e = std::make_unique<VideoSpeedTest>(std::move(s));
        e->setUser({"10001", "测速达人", "10.1.2.3", "广东省深圳市", "电信"});
        return e;
    }

    test::Installation inst;
    test::SteppingClock clock{test::localTime(2024, 1, 2, 3, 4, 5)};
    std::vector<std::string> sent;
    int waits = 0;
    int draw = 0;
};

} // namespace

TEST_F(VideoTest, OnlySixNonEmptyPiecesCompleteAMeasurement)
{
    struct Case {
        std::string request;
        std::size_t pieces;
        bool complete;
    };
    const Case cases[] = {
        {info("512.00#120#366008#300.25#366008#1340"), 6, true},
        {info("512.00#120##366008#300.25#366008#1340"), 6, true}, // an empty piece between two
        {info("#512.00#120#366008#300.25#366008#1340#"), 6, true},
        {info("512.00#120#366008#300.25#366008"), 5, false},
        {info("1#2#3#4#5#6#7"), 7, false},
        {info(""), 0, false},
        {"<invoke name=\"VideoInfomation\">no string at all</invoke>", 0, false},
        {"VideoInfomation<string>1#2#3#4#5#6", 6, true}, // cut short: the rest is the payload
        {InvokeRequest(invoke::kQuit, "1#2#3#4#5#6"), 0, false},
        // Six values of a stream that loaded nothing measured no line.
        {info("0.00#0#1000#0.00#0#80"), 6, false},
        {info("0.00#0#0#0.00#x#3000"), 6, false},
        // A stream cut short is a measurement, not a complete one.
        {info("64.00#40#366008#50.00#1024#900"), 6, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        test::resetFlags();
        flags::autoMode = 1;
        flags::videoTestRunning = 1;
        auto test = engine({}, nullptr);
        test->PlayManual("http://v.example/a.mp4");
        const auto r = test->OnFlashCall(c.request);
        EXPECT_EQ(test->info().size(), c.pieces);
        EXPECT_EQ(r.complete, c.complete);
        EXPECT_EQ(r.recordReady, c.complete);
        EXPECT_EQ(flags::completedTaskCount.load(), c.complete ? 1 : 0);
        EXPECT_EQ(flags::videoTestRunning.load(), 0); // every call ends the run

        // A measurement that did not complete writes nothing.
        ServiceClock service("", nullptr, std::shared_ptr<Clock>(&clock, [](Clock*) {}));
        ResultRecorder recorder(inst.path(), service, nullptr);
        EXPECT_EQ(test->OnRecordReady(recorder, nullptr, "").written, c.complete);
        std::filesystem::remove_all(inst / "Data");
        std::filesystem::create_directories(inst / "Data");
    }
}

TEST_F(VideoTest, QuitAndStoppedAutomaticRuns)
{
    auto test = engine({}, nullptr);
    EXPECT_TRUE(test->OnFlashCall(InvokeRequest(invoke::kQuit, "")).quit);
    EXPECT_FALSE(test->OnFlashCall(info("1#2#3#4#5#6")).quit);

    // An automatic run the user stopped completes but writes no record.
    flags::autoAbortArmed = 1;
    flags::stopRequested = 1;
    const auto r = test->OnFlashCall(info("1#2#3#4#5#6"));
    EXPECT_TRUE(r.complete);
    EXPECT_FALSE(r.recordReady);
}

TEST(VideoRecord, IfCompletedAllowsOneByteShort)
{
    struct Case {
        const char *load, *total;
        int expected;
    };
    const Case cases[] = {
        {"999", "1000", 1},  {"998", "1000", 0}, {"1000", "1000", 1},
        {"1200", "1000", 1}, {"0", "0", 0}, // unknown size: nothing proves the stream complete
        {"5", "", 0},        {"abc", "2", 0},    {"99999999999999999999999", "5", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IfCompleted(c.load, c.total), c.expected) << c.load << " / " << c.total;
}

TEST(VideoRecord, SiteTableNamesTheAddress)
{
    struct Case {
        const char* address;
        const char* mediatype;
        const char* name;
    };
    const Case cases[] = {
        {"http://v.ku6.com/show/x.html", "3", "酷6"},
        {"http://www.letv.com/ptv/vplay/1.html", "4", "乐视"},
        {"http://v.youku.com/v_show/id_X.html", "1", "优酷"},
        {"http://www.tudou.com/programs/view/x/", "2", "土豆"},
        {"http://video.sina.com.cn/v/b/1.html#123", "5", "新浪"},
        {"http://tv.sohu.com/2013/n1.shtml", "10", "搜狐"},
        {"http://host/youku/tudou", "1", "优酷"}, // label order, not position
        {"http://host/tudou/ku6", "3", "酷6"},
        {"http://127.0.0.1:18080/video/sample.mp4", "0", "其他"},
        {"", "0", "其他"},
    };
    for (const Case& c : cases) {
        const VideoSite& s = VideoSiteOf(c.address);
        EXPECT_STREQ(s.mediatype, c.mediatype) << c.address;
        EXPECT_STREQ(s.name, c.name) << c.address;
    }
    // Each preset button's id finds its site; sina has none.
    for (const auto& [id, label] : std::vector<std::pair<std::string, std::string>>{
             {"3", "ku6"}, {"4", "letv"}, {"1", "youku"}, {"2", "tudou"}, {"10", "sohu"}, {"", "sina"}}) {
        const auto it = std::find_if(VideoSites().begin(), VideoSites().end(),
                                     [&](const VideoSite& s) { return s.label == label; });
        ASSERT_NE(it, VideoSites().end());
        EXPECT_EQ(it->presetId, id);
    }
}

TEST(VideoPlayer, RequestsAreTheMovieProtocol)
{
    EXPECT_EQ(InvokeRequest(invoke::kPlay, "http://h/a.flv?x=1&y=2"),
              "<invoke name=\"videoStartPaly\" returntype=\"xml\"><arguments><string>http://h/a.flv?x=1&y=2"
              "</string></arguments></invoke>");
    const auto call = ParseInvoke(InvokeRequest(invoke::kAutoPlay, "http://h/a.flv?x=1&y=2"));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->name, "autoVideoStartPaly");
    EXPECT_EQ(call->argument, "http://h/a.flv?x=1&y=2");
    for (const char* bad : {"", "<invoke>", "<invoke name=\"", "<invoke name=\"\">"})
        EXPECT_FALSE(ParseInvoke(bad)) << bad;
    EXPECT_EQ(ParseInvoke("<invoke name=\"videoStopPaly\"><string>cut")->argument, "cut");

    // Ids of the site answers may hold what a request line cannot carry.
    EXPECT_EQ(RequestableUrl("http://h/fileid/ab\\:c d\"e?K=1&x=%41"), "http://h/fileid/ab%5C:c%20d%22e?K=1&x=%41");
    EXPECT_EQ(RequestableUrl("http://h/\xE8\xA7\x86\x7F"), "http://h/%E8%A7%86%7F");
}

TEST(VideoPlayer, MeterTurnsArrivalsIntoTheSixValues)
{
    using TP = StreamMeter::TimePoint;
    const TP t0{};
    struct Arrival {
        int ms;
        std::uint64_t bytes;
    };
    struct Case {
        const char* what;
        std::vector<Arrival> arrivals;
        int endMs;
        std::optional<std::uint64_t> announced;
        StreamEnd how;
        std::string payload;
    };
    const Case cases[] = {
        {"steady 100 KB/s for three seconds",
         {{100, 0}, {200, 102400}, {1200, 102400}, {2200, 102400}, {3200, 102400}},
         3210,
         409600,
         StreamEnd::Completed,
         "133.33#200#409600#133.33#409600#3210"},
        {"a burst in the second second is the maximum",
         {{50, 10240}, {1050, 204800}, {2050, 10240}},
         2100,
         225280,
         StreamEnd::Completed,
         "200.00#50#225280#110.00#225280#2100"},
        {"one piece: the average is over the whole request",
         {{300, 51200}},
         500,
         51200,
         StreamEnd::Completed,
         "100.00#300#51200#100.00#51200#500"},
        {"early end keeps the announced size",
         {{10, 1024}, {510, 1024}},
         600,
         4096,
         StreamEnd::EarlyEnd,
         "4.00#10#4096#4.00#2048#600"},
        {"no length, clean end: the loaded size",
         {{10, 1024}, {510, 1024}},
         600,
         std::nullopt,
         StreamEnd::Completed,
         "4.00#10#2048#4.00#2048#600"},
        {"no length, stalled: unknown size",
         {{10, 1024}},
         15010,
         std::nullopt,
         StreamEnd::Stalled,
         "1.00#10#0#0.07#1024#15010"},
        {"no byte at all", {}, 80, 1000, StreamEnd::HttpError, "0.00#0#1000#0.00#0#80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StreamMeter meter(t0);
        for (const Arrival& a : c.arrivals)
            meter.onBytes(t0 + std::chrono::milliseconds(a.ms), a.bytes);
        const StreamFigures f = meter.finish(t0 + std::chrono::milliseconds(c.endMs), c.announced, c.how);
        EXPECT_EQ(VideoInfoPayload(f), c.payload);
        EXPECT_EQ(VideoInfoPieces(info(VideoInfoPayload(f))).size(), 6u); // every figure is a piece
    }
}

TEST_F(VideoTest, AutomaticEntryResolvesPlaysAndReplays)
{
    const std::vector<std::string> pages = {"http://h/youku/v_show/id_A.html", "http://h/tudou/view/B/"};
    std::vector<std::string> resolved;
    std::string answer;
    auto test = engine(pages, [&](const std::string& page) {
        resolved.push_back(page);
        return answer;
    });

    // No stream: 1, and the retry replays the kept page.
    draw = 1;
    EXPECT_EQ(test->RunAutoTest(false, true), 1);
    EXPECT_EQ(test->RunAutoTest(true, true), 1);
    EXPECT_EQ(resolved, (std::vector<std::string>{pages[1], pages[1]}));
    EXPECT_TRUE(sent.empty());

    answer = "http://files.h/get/0001.flv";
    EXPECT_EQ(test->RunAutoTest(true, true), 2);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], InvokeRequest(invoke::kAutoPlay, answer));
    EXPECT_EQ(waits, 1); // it waited for the run
    const std::string log = inst.read("auto.txt");
    EXPECT_NE(log.find("视频地址：" + pages[1]), std::string::npos);
    EXPECT_NE(log.find("回调Flex的videoStartPaly方法播放视频 自动测速......."), std::string::npos);

    EXPECT_EQ(engine({}, nullptr)->RunAutoTest(false, true), 0);
    EXPECT_EQ(engine(pages, nullptr, false)->RunAutoTest(false, true), 0);
    auto throwing = engine(pages, [](const std::string&) -> std::string { throw std::runtime_error("bad page"); });
    EXPECT_EQ(throwing->RunAutoTest(false, true), 0);
}

TEST_F(VideoTest, AutomaticRunWritesItsRecordUnderThePagesSite)
{
    inst.write("conf/l_c_config_01.properties", "#user config\r\nuserid=10001\r\n");
    const std::string page = "http://h/youku/v_show/id_XMTA0.html";
    const std::string stream = "http://files.h/player/getFlvPath/sid/1_00/st/flv/fileid/ABC?K=k0";
    auto test = engine({page}, [&](const std::string&) { return stream; });
    flags::autoMode = 1;
    ASSERT_EQ(test->RunAutoTest(false, true), 2);
    const auto r = test->OnFlashCall(info("150.12#35#366008#146.40#366007#2542"));
    ASSERT_TRUE(r.recordReady);
    EXPECT_EQ(flags::completedTaskCount.load(), 1);

    ServiceClock service("", nullptr, std::shared_ptr<Clock>(&clock, [](Clock*) {}));
    ResultRecorder recorder(inst.path(), service, nullptr);
    const auto result = test->OnRecordReady(recorder, nullptr, "");
    ASSERT_TRUE(result.written);
    EXPECT_EQ(result.record.fileName, "Pccollect_videospeed_2024010203.dat");
    EXPECT_EQ(inst.read("Data/Pccollect_videospeed_2024010203.dat"),
              utf8ToGbk("+++start+++\r\nurl=" + stream +
                        "\r\nmediatype=1\r\ntotalsize=366008\r\ntotaltime=2542\r\nloadsize=366007\r\n"
                        "loadingtime=35\r\nspeed=146.40\r\nifcompleted=1\r\nip=10.1.2.3\r\n"
                        "location=广东省深圳市 电信\r\nuserid=10001\r\ndtime=2024-01-02 03:04:05\r\ntesttype=0\r\n"
                        "MAXSPEED=150.12\r\n---end---\r\n"));
    EXPECT_EQ(inst.read("HistoryRecord/HistoryRecord10001.txt"),
              "2024-01-02 03:04:05,自动,视频测速,优酷,146.40 KB/s;\n");
    EXPECT_EQ(result.record.latestResultText, "最近一次视频测速结果：\n视频地址：" + stream.substr(0, 50) +
                                                  "\n平均速率：146.40 KB/s\n测速时间： 2024-01-02 03:04:05");
    // The message may come twice; the measurement is recorded once.
    EXPECT_FALSE(test->OnRecordReady(recorder, nullptr, "").written);
}

TEST_F(VideoTest, ManualRunIsNamedByItsStream)
{
    auto test = engine({}, nullptr);
    flags::autoAbortArmed = 1;
    test->PlayManual("http://127.0.0.1:18080/video/sample.mp4");
    EXPECT_EQ(flags::autoAbortArmed.load(), 0);
    EXPECT_EQ(flags::videoTestRunning.load(), 1);
    // A stop gets no call back from the player: the page is free again.
    test->Stop();
    EXPECT_EQ(sent.back(), InvokeRequest(invoke::kStop, "http://127.0.0.1:18080/video/sample.mp4"));
    EXPECT_EQ(flags::videoTestRunning.load(), 0);
    test->PlayManual("http://127.0.0.1:18080/video/sample.mp4");
    ASSERT_TRUE(test->OnFlashCall(info("9#1#10#8#10#1200")).recordReady);
    ServiceClock service("", nullptr, std::shared_ptr<Clock>(&clock, [](Clock*) {}));
    ResultRecorder recorder(inst.path(), service, nullptr);
    ASSERT_TRUE(test->OnRecordReady(recorder, nullptr, "").written);
    const std::string record = gbkToUtf8(inst.read("Data/Pccollect_videospeed_2024010203.dat"));
    EXPECT_NE(record.find("\r\nmediatype=0\r\n"), std::string::npos);
    EXPECT_NE(record.find("\r\ntesttype=1\r\n"), std::string::npos);
    EXPECT_EQ(inst.read("HistoryRecord/HistoryRecord10001.txt"), "2024-01-02 03:04:05,手动,视频测速,其他,8 KB/s;\n");
}

TEST(VideoPresets, ButtonsFindTheirPagesInTheShippedSettings)
{
    test::Installation inst;
    const auto presets = ReadVideoPresets("");
    for (const VideoSite& s : VideoSites()) {
        if (*s.presetId == '\0')
            continue;
        const std::string page = PresetPageFor(presets, s);
        EXPECT_EQ(VideoSiteOf(page).label, std::string(s.label)) << s.label << ": " << page;
    }
    // An id of another site's page still wins: the user chose it.
    const std::map<std::string, std::string> mine = {{"3", "http://h/youku/x.html"}, {"7", "http://h/ku6/y.html"}};
    EXPECT_EQ(PresetPageFor(mine, VideoSites()[0]), "http://h/youku/x.html");
    EXPECT_EQ(PresetPageFor(mine, VideoSites()[1]), "");
}
