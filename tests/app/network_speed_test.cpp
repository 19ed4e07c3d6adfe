// The bandwidth page driven through the real test engine, with the network
// parts replaced: the key handshake answers from a script, the transfers
// report prepared samples, pings answer at once, time only pretends to pass
// and the packed record goes to a recording transport.
#include "app/pages/network_speed.h"
#include "app/shell_fixture.h"
#include "common/flags.h"
#include "measure/bandwidth_figures.h"
#include "ui/picture_ctrl_dashboard.h"
#include "ui/skin.h"
#include "ui/tray_presence.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>

#include <atomic>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <mutex>
#include <set>
#include <thread>

namespace quorvane
{
namespace
{

using measure::Direction;
using measure::DirectionSummary;
using ::testing::HasSubstr;
namespace text = measure::bandwidth_text;

// Time that passes as fast as it is waited for (with a real millisecond per
// wait, so a pinging loop cannot spin).
class FastClock final : public Clock
{
public:
    Steady::time_point now() const override { return Steady::time_point(std::chrono::nanoseconds(m_ns.load())); }
    System::time_point wallNow() const override { return System::now(); }
    void sleepFor(std::chrono::milliseconds d) override
    {
        m_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    std::atomic<long long> m_ns{1'000'000'000};
};

struct Uploads {
    std::mutex mutex;
    std::vector<std::string> names;
    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return names.size();
    }
};

class RecordingTransport final : public ArchiveTransport
{
public:
    explicit RecordingTransport(std::shared_ptr<Uploads> uploads) : m_uploads(std::move(uploads)) {}
    bool open(const UploadTarget&, std::string&) override { return true; }
    bool put(const std::string& name, const std::string&, std::string&) override
    {
        std::lock_guard lock(m_uploads->mutex);
        m_uploads->names.push_back(name);
        return true;
    }

private:
    std::shared_ptr<Uploads> m_uploads;
};

class NetworkSpeedTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        flags::autoMode = 0;
        flags::bandwidthTestRunning = 0;
        const std::filesystem::path dist = std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist" / "Config";
        std::filesystem::create_directories("Config");
        for (const char* f : {"addr_server.xml", "dest_config.xml", "operator_config.xml", "province_config.xml"})
            std::filesystem::copy_file(dist / f, std::filesystem::path("Config") / f);
        writeProps("config.properties",
                   {{"url_down_file", "download.dat"}, {"upload_local_file_path", "conf/upload.dat"}});
        std::ofstream("conf/upload.dat") << std::string(4096, 'u');
        writeProps("ipconfig.properties", {{"52-54-00-12-34-56", "3"}});
        session.set({"7", "小明", "10.1.2.3", "广东省深圳市", "电信"});

        auto& s = context.bandwidth.engine;
        s.clock = std::make_shared<FastClock>();
        s.validate = [this](const std::string&, const std::string& url, const std::string&, std::string& response) {
            ++validations;
            validatedUrl = url;
            response = keyAnswer;
            return keyResult;
        };
        s.release = [this](const std::string&, const std::string&, const std::string& body, std::string&) {
            std::lock_guard lock(m_mutex);
            released.push_back(body);
            return 0;
        };
        s.pinger = [](const std::string&) { return std::optional<double>(4.0); };
        s.networkAlive = [this] { return networkAlive; };
        s.random = [] { return 4242; };
        s.macAddress = [] { return std::string("52-54-00-12-34-56"); };
        s.measureDirection = [this](Direction d, const std::string&, const std::string&,
                                    const measure::SampleEvents& events) {
            if (d == Direction::Download && holdDownload)
                holdDownload->wait();
            const std::uint64_t bytes = d == Direction::Download ? 2621440 : 1048576; // 2.5 and 1 MB/s
            DirectionSummary s(d);
            s.started = true;
            const bool whole = cutShort.count(d) == 0;
            for (int i = 1; i <= (whole ? measure::kSamplesPerDirection : 9); ++i) {
                s.samples.push_back(bytes);
                if (events.sample)
                    events.sample(d, i, bytes);
            }
            if (!whole)
                return s; // a transfer that ended before its 15 samples
            s.completed = true;
            s.averageMBps = measure::AverageSpeed(s.samples);
            s.jitter = measure::Jitter(s.samples);
            s.peakText = measure::PeakSpeedText(s.samples);
            s.jitterText = measure::FormatFixed(s.jitter, 6);
            return s;
        };
        context.bandwidth.head = [](const std::string&) { return std::optional<std::string>(); };
        context.bandwidth.transport = [u = uploads] { return std::make_unique<RecordingTransport>(u); };
        context.bandwidth.contractBandwidths = [](const std::string&) {
            return std::vector<std::pair<std::string, std::string>>{{"1", "2M"}, {"3", "10M"}, {"5", "50M"}};
        };
    }

    void TearDown() override
    {
        page.reset();
        flags::bandwidthTestRunning = 0;
        ShellTest::TearDown();
    }

    CNetworkSpeed& makePage()
    {
        page = std::make_unique<CNetworkSpeed>(context, [this](const std::string& t) { latest = t; });
        page->resize(539, 557);
        return *page;
    }

    QStringList fields() const
    {
        QStringList out;
        for (int i = 0; i < 4; ++i)
            out << page->resultField(i)->text();
        return out;
    }

    std::string keyAnswer = "1,k3y";
    int keyResult = 0;
    bool networkAlive = true;
    std::atomic<int> validations{0};
    std::string validatedUrl;
    std::vector<std::string> released;
    std::shared_future<void>* holdDownload = nullptr;
    std::set<Direction> cutShort;
    std::shared_ptr<Uploads> uploads = std::make_shared<Uploads>();
    std::string latest;
    std::unique_ptr<CNetworkSpeed> page;

private:
    std::mutex m_mutex;
};

const QStringList kNoData(4, QString::fromUtf8(text::kNoData));

TEST_F(NetworkSpeedTest, BeforeARunTheListsFollowTheUserAndNothingIsShown)
{
    CNetworkSpeed& p = makePage();
    EXPECT_EQ(p.provinceList()->currentText(), QStringLiteral("广东"));
    EXPECT_EQ(p.serverList()->currentText(), QStringLiteral("广东深圳电信"));
    EXPECT_EQ(p.contractList()->currentText(), QStringLiteral("10M")); // the stored id 3
    EXPECT_EQ(fields(), kNoData);
    EXPECT_EQ(p.startButton()->text(), QStringLiteral("手动测速"));
    EXPECT_EQ(p.explainButton()->text(), QStringLiteral("查看测速说明"));
    EXPECT_EQ(p.explainButton()->toolTip(), QString::fromUtf8(text::kExplainTooltip));
    EXPECT_EQ(p.speedGauge()->text(), QStringLiteral("0 Mb/s"));
    EXPECT_EQ(p.rankBar()->label(), QString());

    // Another province lists its own servers once the pick has settled.
    const int beijing = p.provinceList()->findText(QStringLiteral("北京"));
    ASSERT_GE(beijing, 0);
    p.provinceList()->setCurrentIndex(beijing);
    Q_EMIT p.provinceList()->activated(beijing);
    EXPECT_TRUE(testing::waitFor([&] { return p.serverList()->currentText().startsWith(QStringLiteral("北京")); }));

    // A contracted bandwidth is stored for this machine at once.
    const int fifty = p.contractList()->findText(QStringLiteral("50M"));
    p.contractList()->setCurrentIndex(fifty);
    Q_EMIT p.contractList()->activated(fifty);
    EXPECT_EQ(prop("ipconfig.properties", "52-54-00-12-34-56"), "5");

    // A later login from elsewhere: the lists follow at the next paint.
    session.set({"8", "小红", "10.1.2.4", "北京市", "联通"});
    p.show();
    p.update();
    EXPECT_TRUE(testing::waitFor([&] {
        return p.provinceList()->currentText() == QStringLiteral("北京") &&
               p.serverList()->currentText() == QStringLiteral("北京联通");
    }));
}

TEST_F(NetworkSpeedTest, AManualRunShowsItsFiguresAndShipsItsRecord)
{
    std::promise<void> gate;
    std::shared_future<void> hold = gate.get_future().share();
    holdDownload = &hold;
    CNetworkSpeed& p = makePage();
    QSignalSpy ended(&p, &CNetworkSpeed::runEnded);
    QSignalSpy record(&p, &CNetworkSpeed::recordHandled);

    p.startButton()->click();
    // While the download runs: the button is off, the flag that keeps the
    // user on this page is up, and a second start is ignored.
    ASSERT_TRUE(testing::waitFor([&] { return !p.startButton()->isEnabled(); }));
    EXPECT_EQ(flags::bandwidthTestRunning.load(), 1);
    EXPECT_TRUE(p.speedGauge()->animating());
    EXPECT_EQ(fields(), kNoData);
    p.StartManualTest();
    gate.set_value();

    ASSERT_TRUE(testing::waitFor([&] { return ended.count() == 1; }, 20000));
    EXPECT_TRUE(ended.at(0).at(0).toBool());
    EXPECT_EQ(validations.load(), 1);
    EXPECT_THAT(validatedUrl, HasSubstr("/speed/dovalid?key=4242&flag=true"));
    EXPECT_EQ(released, std::vector<std::string>{"key=k3y"});

    EXPECT_EQ(fields(), (QStringList{"2.50", "20.0M", "1.00", "8.0M"}));
    EXPECT_EQ(p.rankBar()->position(), 540);
    EXPECT_EQ(p.rankBar()->label(), QStringLiteral("猎豹"));
    EXPECT_EQ(p.speedGauge()->text(), QStringLiteral("0 Mb/s")); // at rest after the upload
    EXPECT_FALSE(p.speedGauge()->animating());
    EXPECT_FALSE(p.rankBar()->animating());
    EXPECT_TRUE(p.startButton()->isEnabled());
    EXPECT_EQ(flags::bandwidthTestRunning.load(), 0);
    // Which phase the pretend echoes fall in depends on thread timing.
    EXPECT_THAT(p.latencyLabel()->text().toStdString(), HasSubstr("4.0 ms"));

    // The record went in, the history line too, and the packed record was
    // handed to the upload; a manual result sets no latest result text.
    ASSERT_EQ(record.count(), 1);
    EXPECT_TRUE(record.at(0).at(0).toBool());
    EXPECT_TRUE(record.at(0).at(1).toString().startsWith(QStringLiteral("Pccollect_band_")));
    std::ifstream history("HistoryRecord/HistoryRecord7.txt");
    std::string line;
    std::getline(history, line);
    EXPECT_THAT(line, HasSubstr(",手动,带宽测速,广东深圳电信,20.0Mb/s;"));
    EXPECT_TRUE(testing::waitFor([&] { return uploads->count() == 1; }));
    EXPECT_TRUE(latest.empty());

    // Log-off clears the page for whoever comes next.
    p.ResetResults();
    EXPECT_EQ(fields(), kNoData);
    EXPECT_EQ(p.rankBar()->label(), QString());
}

TEST_F(NetworkSpeedTest, RefusedAndFailedStartsSayWhyAndLeaveNoRecord)
{
    struct Case {
        const char* name;
        bool alive;
        std::string answer;
        int result;
        bool otherServer; // the user picked a server that is not the recommended one
        bool runs;        // a run thread starts (and then fails)
        std::vector<std::pair<std::string, const char*>> dialogs;
    };
    const Case cases[] = {
        {"no network", false, "1,k", 0, false, false, {{"warning", text::kNoNetwork}}},
        {"busy server", true, "0,k", 0, false, true, {{"warning", text::kServerBusy}}},
        {"no answer", true, "", 2, false, true, {{"warning", text::kValidationFailed}}},
        {"garbage answer", true, "<html>", 0, false, true, {{"warning", text::kValidationFailed}}},
        {"mismatch declined", true, "1,k", 0, true, false, {{"select", text::kMismatch}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dialogs.shown.clear();
        dialogs.selectAnswers = {ui::kIdNo};
        networkAlive = c.alive;
        keyAnswer = c.answer;
        keyResult = c.result;
        CNetworkSpeed& p = makePage();
        QSignalSpy ended(&p, &CNetworkSpeed::runEnded);
        if (c.otherServer) {
            const int beijing = p.provinceList()->findText(QStringLiteral("北京"));
            p.provinceList()->setCurrentIndex(beijing);
            Q_EMIT p.provinceList()->activated(beijing);
            ASSERT_TRUE(
                testing::waitFor([&] { return p.serverList()->currentText().startsWith(QStringLiteral("北京")); }));
        }
        p.StartManualTest();
        if (c.runs) {
            ASSERT_TRUE(testing::waitFor([&] { return ended.count() == 1; }));
            EXPECT_FALSE(ended.at(0).at(0).toBool());
        } else {
            QCoreApplication::processEvents();
            EXPECT_EQ(ended.count(), 0);
        }
        ASSERT_EQ(dialogs.shown.size(), c.dialogs.size());
        for (std::size_t i = 0; i < c.dialogs.size(); ++i) {
            EXPECT_EQ(dialogs.shown[i].kind, c.dialogs[i].first);
            EXPECT_EQ(dialogs.shown[i].text, QString::fromUtf8(c.dialogs[i].second));
        }
        EXPECT_EQ(fields(), kNoData);
        EXPECT_TRUE(p.startButton()->isEnabled());
        EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord7.txt"));
        page.reset();
    }
}

TEST_F(NetworkSpeedTest, ResultsAreJudgedAgainstTheChosenContractAndAShortfallReachesTheTray)
{
    std::ofstream("Config/settings7.xml")
        << "<auto><contractNotice><enabled>true</enabled><percent>50</percent><count>3</count></contractNotice></auto>";
    CNetworkSpeed& p = makePage();
    QSignalSpy ended(&p, &CNetworkSpeed::runEnded);
    QSignalSpy recorded(&p, &CNetworkSpeed::recordHandled);
    ui::StandInTrayPresence tray;
    QObject::connect(&p, &CNetworkSpeed::shortfallNotice, &tray, &ui::TrayPresence::showMessage);

    // The id stored for this machine was never picked on the page: no share.
    p.StartManualTest();
    ASSERT_TRUE(testing::waitFor([&] { return ended.count() == 1; }, 20000));
    EXPECT_EQ(fields().at(CNetworkSpeed::kDownBandwidth), QStringLiteral("20.0M"));
    EXPECT_EQ(p.shareLabel()->text(), QString());

    // Picking one judges the result on show at once: 20.0 Mb of 50 Mbit/s.
    const int fifty = p.contractList()->findText(QStringLiteral("50M"));
    p.contractList()->setCurrentIndex(fifty);
    Q_EMIT p.contractList()->activated(fifty);
    EXPECT_EQ(p.shareLabel()->text(), QStringLiteral("达到签约带宽的 41%"));

    // Automatic results below half of it: the third one in a row tells the
    // user through the tray, once; the latest result text carries the share.
    flags::autoMode = 1;
    for (int round = 1; round <= 4; ++round) {
        SCOPED_TRACE(round);
        const int before = static_cast<int>(recorded.count());
        ASSERT_EQ(p.RunAutoTest(false, true), 2);
        ASSERT_TRUE(testing::waitFor([&] { return recorded.count() == before + 1; }));
        EXPECT_THAT(latest, HasSubstr("估算带宽：20.0Mb/s\n达到签约带宽的 41%\n测速时间："));
        EXPECT_EQ(tray.noticeWindow()->isVisible(), round == 3); // not again in the same episode
        if (round == 3) {
            EXPECT_EQ(tray.noticeWindow()->title(), QStringLiteral("带宽低于签约带宽的 50%"));
            EXPECT_THAT(tray.noticeWindow()->text().toStdString(), HasSubstr("41%、41%、41%"));
            tray.noticeWindow()->hide(); // the user clicks it away
        }
    }
    flags::autoMode = 0;
}

TEST_F(NetworkSpeedTest, ADirectionCutShortShowsNoFigure)
{
    const QString none = QString::fromUtf8(text::kNoData);
    struct Case {
        std::set<Direction> cut;
        QStringList fields;
        bool rankShown;
    };
    // One page: a run after one without a rank shows its bar again.
    const Case cases[] = {
        {{Direction::Download}, {none, none, "1.00", "8.0M"}, false},
        {{Direction::Upload}, {"2.50", "20.0M", none, none}, true},
        {{Direction::Download, Direction::Upload}, {none, none, none, none}, false},
    };
    CNetworkSpeed& p = makePage();
    p.show();
    QSignalSpy ended(&p, &CNetworkSpeed::runEnded);
    for (const Case& c : cases) {
        cutShort = c.cut;
        const auto before = ended.count();
        p.StartManualTest();
        ASSERT_TRUE(testing::waitFor([&] { return ended.count() == before + 1; }, 20000));
        QCoreApplication::processEvents();
        EXPECT_FALSE(ended.last().at(0).toBool());
        EXPECT_EQ(fields(), c.fields);
        EXPECT_EQ(p.rankBar()->isVisible(), c.rankShown);
    }
    EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord7.txt"));
}

// A silent login that failed at start and succeeded later: the automatic
// round picks that user's server and writes that user's record.
TEST_F(NetworkSpeedTest, AutomaticRoundAfterALateLoginIsThatUsers)
{
    session.set({});
    CNetworkSpeed& p = makePage();
    QSignalSpy recorded(&p, &CNetworkSpeed::recordHandled);
    session.set({"7", "小明", "10.1.2.3", "广东省深圳市", "电信"});
    flags::autoMode = 1;
    int result = -1;
    std::thread scheduler([&] { result = p.RunAutoTest(false, true); });
    const bool handled = recorded.wait(20000);
    scheduler.join();
    flags::autoMode = 0;
    flags::completedTaskCount = 0;
    ASSERT_TRUE(handled);
    EXPECT_EQ(result, 2);
    EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord.txt"));
    std::ifstream history("HistoryRecord/HistoryRecord7.txt");
    std::string line;
    std::getline(history, line);
    EXPECT_THAT(line, HasSubstr(",自动,带宽测速,广东深圳电信,20.0Mb/s;"));
}

TEST(NetworkSpeedTexts, ResultFieldsAndLatencyLine)
{
    EXPECT_EQ(speedText(2.5f), QStringLiteral("2.50"));
    EXPECT_EQ(bandwidthText(0.04f), QStringLiteral("0.0M"));
    EXPECT_EQ(bandwidthText(38.125f), QStringLiteral("38.1M"));
    measure::LatencyReport r;
    r.idleMs = 12.34;
    r.uploadMs = 0.054;
    EXPECT_EQ(latencyText(r), QStringLiteral("时延  空闲：12.3 ms    下载时：—    上传时：0.05 ms"));
}

} // namespace
} // namespace quorvane
