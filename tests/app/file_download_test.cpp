// The file download page driven through the real test engine, with the
// transfer scripted: the presets in the URL box, the start refusals, the
// live labels and chart points of timer 1, the final labels, the record and
// its upload.
#include "app/pages/file_download.h"
#include "app/shell_fixture.h"
#include "common/codepage.h"
#include "common/flags.h"
#include "zip_reader.h"

#include <QComboBox>
#include <QLabel>
#include <QLineSeries>
#include <QSignalSpy>

#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <mutex>
#include <thread>

namespace quorvane
{
namespace
{

using ::testing::HasSubstr;
namespace text = measure::download_text;

// Waits pass at once.
class InstantClock final : public Clock
{
public:
    Steady::time_point now() const override { return Steady::now(); }
    System::time_point wallNow() const override { return System::now(); }
    void sleepFor(std::chrono::milliseconds) override {}
};

class CountingTransport final : public ArchiveTransport
{
public:
    explicit CountingTransport(std::shared_ptr<std::atomic<int>> puts) : m_puts(std::move(puts)) {}
    bool open(const UploadTarget&, std::string&) override { return true; }
    bool put(const std::string&, const std::string&, std::string&) override
    {
        ++*m_puts;
        return true;
    }

private:
    std::shared_ptr<std::atomic<int>> m_puts;
};

// Archives stay in Data, where the test reads them.
class ClosedTransport final : public ArchiveTransport
{
public:
    bool open(const UploadTarget&, std::string& error) override
    {
        error = "closed";
        return false;
    }
    bool put(const std::string&, const std::string&, std::string&) override { return false; }
};

class FileDownloadPageTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        flags::autoMode = 0;
        flags::downloadTestRunning = 0;
        std::filesystem::create_directories("Config");
        std::ofstream("Config/settings7.xml")
            << "<auto><autoFile>"
               "<item><name>1MB测试文件</name><value>http://h/1MB.bin</value><id>0</id></item>"
               "<item><name>5MB测试文件</name><value>http://h/5MB.bin</value><id>1</id></item>"
               "</autoFile></auto>";
        session.set({"7", "小明", "10.1.2.3", "广东省深圳市", "电信"});

        auto& s = context.download.engine;
        s.clock = std::make_shared<InstantClock>();
        s.networkAlive = [] { return true; };
        s.timedGet = [this](const std::string& url, ByteCounterHandle& counter, std::atomic<std::int64_t>& length,
                            std::atomic<std::uint32_t>& connectMs, std::atomic<std::uint32_t>& loadMs, int) {
            requested = url;
            auto bytes = std::make_shared<ByteCounter>(0);
            counter.publish(bytes);
            connectMs = 12;
            length = 2 * 1048576;
            *bytes += 65536;
            hold.wait(); // the test watches the page's timer meanwhile
            *bytes += 1048576 - 65536;
            loadMs = 1500;
            return true;
        };
        context.download.head = [](const std::string&) { return std::optional<std::string>(); };
        context.download.transport = [p = puts] { return std::make_unique<CountingTransport>(p); };
    }

    void TearDown() override
    {
        release(); // a failed check must not leave the transfer waiting
        page.reset();
        flags::downloadTestRunning = 0;
        ShellTest::TearDown();
    }

    CFileDownload& makePage()
    {
        page = std::make_unique<CFileDownload>(
            context, [this](const std::string& t) { latest = t; }, nullptr);
        page->resize(539, 557);
        return *page;
    }

    QStringList labels() const
    {
        QStringList out;
        for (int i = 0; i < 5; ++i)
            out << page->resultLabel(i)->text();
        return out;
    }

    void release()
    {
        std::call_once(m_released, [this] { gate.set_value(); });
    }

    std::promise<void> gate;
    std::shared_future<void> hold = gate.get_future().share();
    std::once_flag m_released;
    std::string requested;
    std::shared_ptr<std::atomic<int>> puts = std::make_shared<std::atomic<int>>(0);
    std::string latest;
    std::unique_ptr<CFileDownload> page;
};

const QStringList kNoValues(5, QString::fromUtf8(text::kNoValue));

// A few seconds: the page's own one-second timer has to tick.
TEST_F(FileDownloadPageTest, PresetRunShowsLiveFiguresThenRecordsAndShips)
{
    CFileDownload& p = makePage();
    QSignalSpy ended(&p, &CFileDownload::runEnded);
    QSignalSpy record(&p, &CFileDownload::recordHandled);
    EXPECT_EQ(p.urlBox()->count(), 2);
    EXPECT_EQ(p.urlBox()->itemText(1), QStringLiteral("5MB测试文件"));
    EXPECT_EQ(p.urlBox()->currentText(), QString());
    EXPECT_EQ(labels(), kNoValues);
    EXPECT_EQ(p.startButton()->text(), QStringLiteral("开始下载"));

    // Nothing chosen: the warning, no run.
    p.startButton()->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, QString::fromUtf8(text::kNoUrl));
    EXPECT_TRUE(p.startButton()->isEnabled());

    // 1124: the picked name becomes its URL.
    p.urlBox()->setCurrentIndex(1);
    Q_EMIT p.urlBox()->activated(1);
    ASSERT_TRUE(testing::waitFor([&] { return p.urlBox()->currentText() == QStringLiteral("http://h/5MB.bin"); }));

    p.startButton()->click();
    ASSERT_TRUE(testing::waitFor([&] { return !p.startButton()->isEnabled(); }));
    EXPECT_EQ(flags::downloadTestRunning.load(), 1);
    EXPECT_TRUE(p.speedTimer().isActive());
    // The first tick of timer 1 shows the size and the first second.
    ASSERT_TRUE(testing::waitFor([&] { return p.speedSeries()->count() >= 1; }, 5000));
    EXPECT_EQ(labels().mid(0, 3), (QStringList{"2048.00", "0.01", "64.00"}));
    EXPECT_DOUBLE_EQ(p.speedSeries()->at(0).y(), 0.5); // 64 KB/s
    EXPECT_EQ(labels().mid(3), (QStringList{"--", "--"}));
    p.StartManualTest(); // a second start while it runs is ignored
    release();

    ASSERT_TRUE(testing::waitFor([&] { return ended.count() == 1; }, 10000));
    EXPECT_TRUE(ended.at(0).at(0).toBool());
    EXPECT_EQ(requested, "http://h/5MB.bin");
    EXPECT_EQ(labels().mid(3), (QStringList{"1.50", "682.67"})); // 1 MB in 1.5 s
    EXPECT_FALSE(p.speedTimer().isActive());
    EXPECT_TRUE(p.startButton()->isEnabled());
    EXPECT_EQ(flags::downloadTestRunning.load(), 0);
    EXPECT_EQ(dialogs.shown.size(), 1u);

    ASSERT_EQ(record.count(), 1);
    EXPECT_TRUE(record.at(0).at(0).toBool());
    EXPECT_TRUE(record.at(0).at(1).toString().startsWith(QStringLiteral("Pccollect_filedown_")));
    std::ifstream history("HistoryRecord/HistoryRecord7.txt");
    std::string line;
    std::getline(history, line);
    EXPECT_THAT(line, HasSubstr(",手动,文件下载,5MB测试文件,682.67 KB/s;"));
    EXPECT_TRUE(testing::waitFor([&] { return puts->load() == 1; }));
    EXPECT_TRUE(latest.empty()); // manual

    // Log-off clears the page.
    p.ResetResults();
    EXPECT_EQ(labels(), kNoValues);
    EXPECT_EQ(p.speedSeries()->count(), 0);
}

// The silent login at start failed and a retry on the timer succeeded while
// the window stayed in the tray: the next automatic round is that user's.
TEST_F(FileDownloadPageTest, AutomaticRoundAfterALateLoginIsThatUsers)
{
    session.set({});
    writeProps("l_c_config_01.properties", {{"userid", "7"}});
    std::filesystem::create_directories("Data");
    context.download.transport = [] { return std::make_unique<ClosedTransport>(); };
    std::vector<std::string> targetsOf;
    context.download.engine.targets = [&](const std::string& userId) {
        targetsOf.push_back(userId);
        return std::vector<std::string>{"http://h/5MB.bin"};
    };
    release(); // the transfer runs straight through
    CFileDownload& p = makePage();
    QSignalSpy record(&p, &CFileDownload::recordHandled);

    session.set({"7", "小明", "10.1.2.3", "广东省深圳市", "电信"});
    flags::autoMode = 1;
    int result = -1;
    std::thread scheduler([&] { result = p.RunAutoTest(false, true); });
    const bool handled = record.wait(10000);
    scheduler.join();
    flags::autoMode = 0;
    flags::completedTaskCount = 0;
    ASSERT_TRUE(handled);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(targetsOf, std::vector<std::string>{"7"});

    std::string bytes;
    for (const auto& e : std::filesystem::directory_iterator("Data"))
        if (e.path().extension() == ".zip")
            for (const auto& [name, content] :
                 test::zipEntries(e.path()).value_or(std::map<std::string, std::string>{}))
                bytes += content;
    const std::string text = gbkToUtf8(bytes);
    EXPECT_THAT(text, HasSubstr("\nwebsite=2\n")); // the user's presets
    EXPECT_THAT(text, HasSubstr("\nip=10.1.2.3\nlocation=广东省深圳市 电信\nuserid=7\n"));
    EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord.txt"));
    std::ifstream history("HistoryRecord/HistoryRecord7.txt");
    std::string line;
    std::getline(history, line);
    EXPECT_THAT(line, HasSubstr(",自动,文件下载,5MB测试文件,682.67 KB/s;"));
    EXPECT_THAT(latest, HasSubstr("文件类型：5MB测试文件"));
}

// A data folder that cannot be written: the page says the result was not
// saved, the history gains no line for it, and both go in with the next
// result once there is room.
TEST_F(FileDownloadPageTest, AResultThatCannotBeSavedIsSaidAndCaughtUpLater)
{
    std::ofstream("Data") << "a file where the folder belongs";
    CFileDownload& p = makePage();
    QSignalSpy ended(&p, &CFileDownload::runEnded);
    QSignalSpy record(&p, &CFileDownload::recordHandled);
    release();
    p.urlBox()->setCurrentIndex(1);
    Q_EMIT p.urlBox()->activated(1);
    ASSERT_TRUE(testing::waitFor([&] { return p.urlBox()->currentText() == QStringLiteral("http://h/5MB.bin"); }));

    p.startButton()->click();
    ASSERT_TRUE(testing::waitFor([&] { return ended.count() == 1 && record.count() == 1; }, 10000));
    EXPECT_FALSE(record.at(0).at(0).toBool());
    const auto* status = p.findChild<QLabel*>(QStringLiteral("recordStatus"));
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->isVisibleTo(&p));
    EXPECT_THAT(status->text().toStdString(), HasSubstr("结果未能保存（Not a directory），已暂存"));
    EXPECT_FALSE(std::filesystem::exists("HistoryRecord/HistoryRecord7.txt"));

    std::filesystem::remove("Data");
    p.startButton()->click();
    ASSERT_TRUE(testing::waitFor([&] { return ended.count() == 2 && record.count() == 2; }, 10000));
    EXPECT_TRUE(record.at(1).at(0).toBool());
    EXPECT_FALSE(status->isVisibleTo(&p));
    std::ifstream history("HistoryRecord/HistoryRecord7.txt");
    int lines = 0;
    for (std::string line; std::getline(history, line);)
        lines += line.find(",手动,文件下载,5MB测试文件,") != std::string::npos ? 1 : 0;
    EXPECT_EQ(lines, 2);
}

} // namespace
} // namespace quorvane
