// The web page test's page: the address checks, starts and returns, and runs
// in a real browser view against the reference service's pages, down to the
// record inside its archive, the history line and the latest result text.
#include "app/pages/webpage_performance.h"
#include "app/shell_fixture.h"
#include "common/flags.h"
#include "results/zip_reader.h"
#include "service/harness.h"
#include "ui/skin.h"
#include "webview/web_view.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

namespace quorvane
{
namespace
{

using ::testing::HasSubstr;
namespace text = measure::webpage_text;

// A loopback address nobody listens on (its port was free a moment ago).
std::string closedPortUrl()
{
    static const std::string url = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(fd);
        return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
    }();
    return url;
}

struct Archives {
    std::mutex mutex;
    std::vector<std::string> bytes;
};

class KeepingTransport final : public ArchiveTransport
{
public:
    explicit KeepingTransport(std::shared_ptr<Archives> a) : m_archives(std::move(a)) {}
    bool open(const UploadTarget&, std::string&) override { return true; }
    bool put(const std::string&, const std::string& bytes, std::string&) override
    {
        std::lock_guard lock(m_archives->mutex);
        m_archives->bytes.push_back(bytes);
        return true;
    }

private:
    std::shared_ptr<Archives> m_archives;
};

class WebpagePageTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        // As root the browser's sandbox cannot start (the program decides the
        // same at start-up); read when the first view is made.
        if (::geteuid() == 0)
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        flags::autoMode = 0;
        flags::autoAbortArmed = 0;
        flags::stopRequested = 0;
        flags::webTestRunning = 0;
        session.set({"7", "小明", "10.1.2.3", "广东省深圳市", "电信"});
        context.webpage.head = [](const std::string&) { return std::optional<std::string>(); };
        context.webpage.transport = [a = archives] { return std::make_unique<KeepingTransport>(a); };
        context.webpage.showResult = [this](QWidget*, const QString& t) { results.push_back(t); };
        context.webpage.networkAlive = [] { return true; };
        context.webpage.random = [] { return 1; };
    }

    void TearDown() override
    {
        page.reset();
        flags::autoMode = 0;
        flags::autoAbortArmed = 0;
        flags::stopRequested = 0;
        flags::webTestRunning = 0;
        ShellTest::TearDown();
    }

    CWebpagePerformanceDlg& makePage()
    {
        page = std::make_unique<CWebpagePerformanceDlg>(context, [this](const std::string& t) { latest = t; });
        page->resize(539, 557);
        page->show();
        return *page;
    }

    std::string serviceUrl(const std::string& target) const
    {
        return "http://127.0.0.1:" + std::to_string(service->web().port) + target;
    }

    void startService()
    {
        service = std::make_unique<refsvc_test::RefService>(
            std::vector<std::string>{"--web", "127.0.0.1:0", "--update", "none", "--test-server", "none"});
        ASSERT_TRUE(service->ok()) << service->log();
    }

    // The screen record of the one archive that was written (packed, then
    // either still waiting in Data or handed to the transport).
    std::string screenRecord()
    {
        std::vector<std::filesystem::path> zips;
        for (const auto& e : std::filesystem::directory_iterator("Data"))
            if (e.path().extension() == ".zip")
                zips.push_back(e.path());
        {
            std::lock_guard lock(archives->mutex);
            for (std::size_t i = 0; i < archives->bytes.size(); ++i) {
                const std::filesystem::path p = "sent" + std::to_string(i) + ".zip";
                std::ofstream(p, std::ios::binary) << archives->bytes[i];
                zips.push_back(p);
            }
        }
        std::string record;
        for (const auto& z : zips) {
            const auto entries = test::zipEntries(z);
            if (!entries)
                continue;
            for (const auto& [name, bytes] : *entries)
                if (name.starts_with("Pccollect_screen_"))
                    record = bytes;
        }
        return record;
    }

    std::string history()
    {
        std::ifstream in("HistoryRecord/HistoryRecord7.txt", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::shared_ptr<Archives> archives = std::make_shared<Archives>();
    std::unique_ptr<refsvc_test::RefService> service;
    std::unique_ptr<CWebpagePerformanceDlg> page;
    std::vector<QString> results;
    std::string latest;
};

TEST_F(WebpagePageTest, AddressChecksAndPortalPagesWithoutABrowser)
{
    CWebpagePerformanceDlg& p = makePage();
    const struct {
        const char* typed;
        const char* warning;
    } cases[] = {
        {"", text::kEmptyAddress},
        {"localhost", text::kBadAddress},
        {"www.example.com\nurl=x", text::kBadAddress},
    };
    for (const auto& c : cases) {
        dialogs.shown.clear();
        p.addressEdit()->setText(QString::fromUtf8(c.typed));
        QTest::keyClick(p.addressEdit(), Qt::Key_Return);
        ASSERT_EQ(dialogs.shown.size(), 1u) << c.typed;
        EXPECT_EQ(dialogs.shown[0].kind, "warning");
        EXPECT_EQ(dialogs.shown[0].text.toStdString(), c.warning);
    }
    EXPECT_EQ(p.view(), nullptr); // nothing started, no browser made
    EXPECT_TRUE(p.ready());

    // "更多" and "返回上一层" switch the pages; every button shows the hand.
    EXPECT_TRUE(p.portalPage()->isVisible());
    p.portalPage()->button(p.portalPage()->buttonCount() - 1)->click();
    EXPECT_FALSE(p.portalPage()->isVisible());
    EXPECT_TRUE(p.morePage()->isVisible());
    p.morePage()->button(p.morePage()->buttonCount() - 1)->click();
    EXPECT_TRUE(p.portalPage()->isVisible());
    for (const CPortalButtonsPage* pg :
         {static_cast<CPortalButtonsPage*>(p.portalPage()), static_cast<CPortalButtonsPage*>(p.morePage())})
        for (int i = 0; i < pg->buttonCount(); ++i)
            EXPECT_EQ(pg->button(i)->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(p.startButton()->cursor().shape(), Qt::PointingHandCursor);

    // An unreachable portal: warning, back on the portal page, no start.
    context.webpage.checkConnection = [](const std::string&, std::function<void(bool)> done) { done(false); };
    CWebpagePerformanceDlg& q = makePage();
    dialogs.shown.clear();
    q.portalPage()->button(0)->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text.toStdString(), text::kNoConnection);
    EXPECT_TRUE(q.portalPage()->isVisible());
    EXPECT_EQ(q.view(), nullptr);

    // Automatic: no network, or no sites, starts nothing.
    context.webpage.networkAlive = [] { return false; };
    context.webpage.autoSites = [](const std::string&) { return std::vector<std::string>{"a.example.com"}; };
    EXPECT_EQ(makePage().RunAutoTest(false, true), 0);
    context.webpage.networkAlive = [] { return true; };
    context.webpage.autoSites = [](const std::string&) { return std::vector<std::string>{}; };
    EXPECT_EQ(makePage().RunAutoTest(false, true), 0);
    EXPECT_EQ(page->view(), nullptr);
}

TEST_F(WebpagePageTest, ManualRunRecordsAndShowsTheResult)
{
    startService();
    CWebpagePerformanceDlg& p = makePage();
    const std::string address = serviceUrl("/test/page?grow_ms=300");
    QSignalSpy ended(&p, &CWebpagePerformanceDlg::measurementEnded);
    QSignalSpy recorded(&p, &CWebpagePerformanceDlg::recordHandled);
    p.addressEdit()->setText(QString::fromStdString(address));
    p.OnStart();
    EXPECT_FALSE(p.ready());
    EXPECT_EQ(flags::webTestRunning.load(), 1); // the exit confirmation sees it
    ASSERT_NE(p.view(), nullptr);
    EXPECT_TRUE(p.view()->isVisible());
    EXPECT_FALSE(p.portalPage()->isVisible());
    // A second press while it runs starts nothing; it only arms the next.
    p.OnStart();
    EXPECT_TRUE(p.ready());
    ASSERT_TRUE(ended.wait(30000));
    EXPECT_EQ(flags::webTestRunning.load(), 0);
    ASSERT_EQ(recorded.size(), 1);
    EXPECT_TRUE(recorded[0][0].toBool());

    const std::string seconds = p.view()->firstScreenText().toStdString();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_THAT(results[0].toStdString(), HasSubstr("首屏时间：" + seconds + "s"));
    EXPECT_TRUE(latest.empty()); // manual: no latest result text
    EXPECT_THAT(history(), HasSubstr(",手动,网页性能," + address + "," + seconds + " s;"));
    ASSERT_TRUE(testing::waitFor([&] { return !screenRecord().empty(); }, 10000));
    EXPECT_THAT(screenRecord(), HasSubstr("+++start+++\nurl=" + address + "\nfirstscreentime=" + seconds +
                                          "\nloadingtime=\nip=10.1.2.3\n"));
    EXPECT_THAT(screenRecord(), HasSubstr("testtype=1\n---end---"));

    // The return button goes back to the portal page.
    p.OnReturn();
    EXPECT_FALSE(p.view()->isVisible());
    EXPECT_TRUE(p.portalPage()->isVisible());
}

TEST_F(WebpagePageTest, AutomaticRunsInTheTrayAndRunsWithoutAFigure)
{
    startService();
    flags::autoMode = 1;
    flags::autoAbortArmed = 1;
    const int completed = flags::completedTaskCount.load();
    const std::string site = serviceUrl("/test/page?grow_ms=600");
    const std::vector<std::string> sites = {closedPortUrl(), site, serviceUrl("/test/page?answer=204"),
                                            serviceUrl("/test/page?answer=attachment")};
    context.webpage.autoSites = [sites](const std::string& userId) {
        EXPECT_EQ(userId, "7");
        return sites;
    };
    CWebpagePerformanceDlg& p = makePage();
    p.hide(); // the main window is in the tray
    QSignalSpy ended(&p, &CWebpagePerformanceDlg::measurementEnded);
    EXPECT_EQ(p.RunAutoTest(false, true), 2); // returns at once, measures on
    EXPECT_EQ(p.pageUnderTest(), site);
    ASSERT_TRUE(ended.wait(30000));
    EXPECT_TRUE(results.empty()); // no result window in automatic mode
    EXPECT_EQ(flags::completedTaskCount.load(), completed + 1);
    const std::string seconds = p.view()->firstScreenText().toStdString();
    EXPECT_THAT(latest,
                HasSubstr("最近一次网页性能结果：\n网站地址：" + site + "\n首屏时间：" + seconds + "s\n测速时间："));
    EXPECT_THAT(history(), HasSubstr(",自动,网页性能," + site + "," + seconds + " s;"));

    // The user stopped automatic testing while it ran: measured, not recorded.
    std::string before = history();
    flags::stopRequested = 1;
    QSignalSpy stoppedRecord(&p, &CWebpagePerformanceDlg::recordHandled);
    EXPECT_EQ(p.RunAutoTest(false, true), 2);
    ASSERT_TRUE(ended.wait(30000));
    flags::stopRequested = 0;
    ASSERT_EQ(stoppedRecord.size(), 1);
    EXPECT_FALSE(stoppedRecord[0][0].toBool());
    EXPECT_EQ(history(), before);
    // Measured as a shown page would be (the browser is warm now: the first
    // page of a new one waits for its processes), and back on its page.
    // Never early, and late by less than a throttled timer would make it.
    EXPECT_GE(p.view()->lastResult().seconds, 0.60 - 0.02);
    EXPECT_LE(p.view()->lastResult().seconds, 0.60 + 0.15);
    EXPECT_EQ(p.view()->parentWidget(), &p);

    // Nothing listens there, no content, a download: no record, no history
    // line, and no wait for the bound.
    for (const int pick : {0, 2, 3}) {
        before = history();
        context.webpage.random = [pick] { return pick; };
        CWebpagePerformanceDlg& q = makePage();
        q.hide();
        QSignalSpy failedEnd(&q, &CWebpagePerformanceDlg::measurementEnded);
        QSignalSpy failedRecord(&q, &CWebpagePerformanceDlg::recordHandled);
        EXPECT_EQ(q.RunAutoTest(false, true), 2);
        ASSERT_TRUE(failedEnd.wait(5000)) << sites[pick];
        ASSERT_EQ(failedRecord.size(), 1);
        EXPECT_FALSE(failedRecord[0][0].toBool()) << sites[pick];
        EXPECT_EQ(history(), before);
        EXPECT_THAT(q.resultLabel()->text().toStdString(), HasSubstr(text::kLoadFailed));
    }

    // The page goes while its view measures off screen: the view goes with it.
    context.webpage.random = [] { return 1; };
    CWebpagePerformanceDlg& r = makePage();
    r.hide();
    EXPECT_EQ(r.RunAutoTest(false, true), 2);
    ASSERT_TRUE(r.view()->measuresOffScreen());
    QPointer<CWebView> staged(r.view());
    page.reset();
    EXPECT_TRUE(staged.isNull());
    EXPECT_EQ(flags::webTestRunning.load(), 0);
}

} // namespace
} // namespace quorvane
