// The first-screen measurement in a real browser view against pages whose
// behaviour is known: they grow, navigate frames, or fail at chosen moments
// measured from their own navigation start, so the figure can be checked
// against the truth (in-page timestamps, not the test's own wall clock).
// Every figure is checked twice: with the view's window shown, and with it
// hidden as it is while the program sits in the tray.
#include "service/harness.h"
#include "support/loopback_port.h"
#include "support/qt_app.h"
#include "webview/web_view.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <vector>

namespace
{

using quorvane::CWebView;
using End = quorvane::measure::FirstScreenResult::End;

class WebViewTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // As root the browser's sandbox cannot start (the program decides the
        // same at start-up); read when the first view is made.
        if (::geteuid() == 0)
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        quorvane::testing::qtApp();
        service = new refsvc_test::RefService({"--web", "127.0.0.1:0", "--update", "none", "--test-server", "none"});
        window = new QWidget();
        window->resize(600, 600);
        view = new CWebView(window);
        window->show();
        // The first page of a new browser waits for its processes to start.
        QSignalSpy warm(view, &CWebView::firstScreen);
        view->NavigateForTest(url("/test/page?hold_ms=0"));
        warm.wait(30000);
    }
    static void TearDownTestSuite()
    {
        delete window; // takes the view along
        delete service;
        window = nullptr;
        view = nullptr;
        service = nullptr;
    }
    void TearDown() override
    {
        window->show();
        view->setBound(quorvane::measure::kFirstScreenBound);
    }

    static QString url(const std::string& target)
    {
        return QString::fromStdString("http://127.0.0.1:" + std::to_string(service->web().port) + target);
    }

    // Runs one measurement; the view's own bounds end every one of them.
    static quorvane::measure::FirstScreenResult measure(const QString& address, qint64* tookMs = nullptr)
    {
        QSignalSpy spy(view, &CWebView::firstScreen);
        QElapsedTimer took;
        took.start();
        view->NavigateForTest(address);
        EXPECT_TRUE(spy.wait(45000)) << address.toStdString();
        if (tookMs)
            *tookMs = took.elapsed();
        EXPECT_FALSE(view->running());
        EXPECT_FALSE(view->measuresOffScreen());
        return view->lastResult();
    }

    // Waits until the view holds a document at `path`: the measured page,
    // not the empty one a new browser starts with, which on a loaded machine
    // can take seconds.
    static bool documentAt(const QString& path)
    {
        return quorvane::testing::waitFor([&] { return ask(QStringLiteral("location.pathname")).toString() == path; },
                                          20000);
    }

    // The page's answer to `script`, or an invalid value after a second. The
    // answer lives on the heap: a busy page may answer after the wait, and
    // an answer written into a returned frame would corrupt the stack.
    static QVariant ask(const QString& script)
    {
        auto answer = std::make_shared<std::optional<QVariant>>();
        view->browser()->page()->runJavaScript(script, [answer](const QVariant& v) { *answer = v; });
        quorvane::testing::waitFor([&] { return answer->has_value(); }, 1000);
        return answer->value_or(QVariant());
    }

    static refsvc_test::RefService* service;
    static QWidget* window;
    static CWebView* view;
};

refsvc_test::RefService* WebViewTest::service = nullptr;
QWidget* WebViewTest::window = nullptr;
CWebView* WebViewTest::view = nullptr;

TEST_F(WebViewTest, FiguresAgainstPagesWithAKnownMomentShownAndInTheTray)
{
    ASSERT_TRUE(service->ok()) << service->log();
    const struct {
        const char* target;
        End end;
        double seconds; // the truth
        double late = 0.15;
    } cases[] = {
        // Hidden, the browser would run this page's timer about once a second.
        {"/test/page?grow_ms=300", End::Height, 0.30},
        // Without a doctype the body is as tall as the view: not a first screen.
        {"/test/page?quirks=1&grow_ms=800", End::Height, 0.80},
        // A frame created at 500 ms restarts the clock: 800 - 500.
        {"/test/page?frame_ms=500&grow_ms=800", End::Height, 0.30},
        // Dialogs and errors of the page neither block nor end anything.
        {"/test/page?errors=1&grow_ms=300", End::Height, 0.30},
        // Pop-ups the user did not ask for are refused; the page measures on.
        // Refusing a hundred holds the page's own thread, so on a busy
        // machine the page itself grows late.
        {"/test/page?popups=100&grow_ms=400", End::Height, 0.40, 0.55},
        // Only the view's own script reports: the page's forged ends do not count.
        {"/test/page?forge=1&grow_ms=500", End::Height, 0.50},
        // Exactly 600 pixels is not taller than the first screen; 601 is, at once.
        {"/test/page?body_px=600&hold_ms=1000", End::Complete, -1},
        {"/test/page?body_px=601&hold_ms=1000", End::Height, -1},
    };
    for (const bool shown : {true, false}) {
        window->setVisible(shown);
        for (const auto& c : cases) {
            const auto r = measure(url(c.target));
            const std::string what = std::string(c.target) + (shown ? " shown" : " in the tray");
            EXPECT_EQ(r.end, c.end) << what << " ended " << quorvane::measure::EndName(r.end) << " " << r.error;
            if (c.seconds >= 0) {
                // Never early; late by less than a throttled timer (about a
                // second) would make it, with room for a busy machine.
                EXPECT_GE(r.seconds, c.seconds - 0.02) << what;
                EXPECT_LE(r.seconds, c.seconds + c.late) << what;
                // Painted and given animation frames, as a page on screen is.
                EXPECT_TRUE(r.fcpMs.has_value()) << what;
                EXPECT_GT(r.animationFrames, 0) << what;
            }
            if (!r.failed()) {
                EXPECT_EQ(view->firstScreenText().toStdString(), quorvane::measure::FirstScreenText(r.seconds));
            }
        }
        EXPECT_EQ(view->isVisible(), shown); // back where it was
    }
}

TEST_F(WebViewTest, NavigationsWithoutADocumentFailAtOnce)
{
    ASSERT_TRUE(service->ok());
    const QString noListener =
        QString::fromStdString("http://127.0.0.1:" + std::to_string(quorvane::testing::freeLoopbackPort()) + "/");
    // Each fails for its own reason, never the bound's.
    const std::pair<QString, std::string> cases[] = {
        {url("/nonexistent"), "HTTP 404"},
        {noListener, "net::ERR_CONNECTION_REFUSED"},
        {url("/test/page?answer=204"), "the answer held no page"},
        {url("/test/page?answer=attachment"), "the answer is a file to download"},
    };
    for (const bool shown : {true, false}) {
        window->setVisible(shown);
        for (const auto& [c, reason] : cases) {
            // A loaded machine may take seconds to start the browser first.
            qint64 took = 0;
            const auto r = measure(c, &took);
            EXPECT_EQ(r.end, End::LoadFailed) << c.toStdString() << " ended " << quorvane::measure::EndName(r.end);
            EXPECT_EQ(r.error, reason) << c.toStdString();
            EXPECT_LT(took, quorvane::measure::kFirstScreenBound.count()) << c.toStdString();
            EXPECT_TRUE(view->firstScreenText().isEmpty());
        }
    }

    // The page's process dies while its document loads (before that, the
    // process may be the one that was started for an empty page).
    QSignalSpy spy(view, &CWebView::firstScreen);
    view->NavigateForTest(url("/test/page?hold_ms=20000"));
    ASSERT_TRUE(documentAt(QStringLiteral("/test/page")));
    ASSERT_TRUE(spy.isEmpty());
    ::kill(static_cast<pid_t>(view->browser()->page()->renderProcessPid()), SIGKILL);
    ASSERT_TRUE(spy.wait(static_cast<int>(quorvane::measure::kFirstScreenBound.count()) + 5000));
    EXPECT_EQ(view->lastResult().end, End::LoadFailed);
    EXPECT_THAT(view->lastResult().error, ::testing::StartsWith("the page's process ended"));
    // The next page gets a new process.
    EXPECT_EQ(measure(url("/test/page?grow_ms=100")).end, End::Height);
}

TEST_F(WebViewTest, BoundsLoopsAndAPageHiddenWhileItMeasures)
{
    ASSERT_TRUE(service->ok());
    view->setBound(std::chrono::milliseconds(2000));
    const auto never = measure(url("/test/page?hold_ms=20000"));
    EXPECT_EQ(never.end, End::Bound);
    EXPECT_NEAR(never.seconds, 2.0, 0.1);

    // The window goes to the tray in the middle: the figure would be the
    // throttled page's, so there is none.
    QSignalSpy spy(view, &CWebView::firstScreen);
    view->NavigateForTest(url("/test/page?grow_ms=1500"));
    ASSERT_TRUE(documentAt(QStringLiteral("/test/page")));
    ASSERT_TRUE(spy.isEmpty());
    window->hide();
    ASSERT_TRUE(spy.wait(5000)); // the bound is 2 s
    EXPECT_EQ(view->lastResult().end, End::Hidden);
    EXPECT_TRUE(view->lastResult().failed());
    window->show();

    // A page that navigates every 300 ms restarts the bound each time; the
    // run is given up, with no figure.
    view->setBound(std::chrono::milliseconds(1000));
    view->setNavigationLoopLimit(std::chrono::milliseconds(3000));
    const auto loop = measure(url("/test/page?loop_ms=300"));
    view->setNavigationLoopLimit(quorvane::measure::kNavigationLoopLimit);
    EXPECT_EQ(loop.end, End::NavigationLoop);
    EXPECT_TRUE(loop.failed());
}

TEST_F(WebViewTest, ThePageStopsAfterItsFigure)
{
    ASSERT_TRUE(service->ok());
    // The page fetches every 50 ms for as long as it runs.
    ASSERT_EQ(measure(url("/test/page?grow_ms=200&ping_ms=50")).end, End::Height);
    QTest::qWait(200);
    const auto before = service->counter("requests");
    QTest::qWait(600);
    EXPECT_LE(service->counter("requests"), before + 1); // the second reading itself
}

TEST_F(WebViewTest, AClickedPopUpIsMeasuredInTheView)
{
    ASSERT_TRUE(service->ok());
    QSignalSpy restarted(view, &CWebView::restartedOnPopup);
    QSignalSpy ended(view, &CWebView::firstScreen);
    view->NavigateForTest(url("/test/page?hold_ms=20000"));
    QPoint link;
    ASSERT_TRUE(quorvane::testing::waitFor(
        [&] {
            const QVariantList l =
                ask(QStringLiteral(
                        "(function(){var a = document.getElementById('popup'); if (!a) return null;"
                        "var r = a.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2];})()"))
                    .toList();
            if (l.size() == 2)
                link = QPoint(qRound(l[0].toDouble()), qRound(l[1].toDouble()));
            return !link.isNull();
        },
        10000));

    // A click can reach the view before its renderer takes input on a
    // loaded machine; it is repeated (a few times at most) until it opens
    // the pop-up.
    QWidget* target = view->browser()->focusProxy() ? view->browser()->focusProxy() : view->browser();
    for (int click = 0; click < 4 && restarted.isEmpty(); ++click) {
        QTest::mouseClick(target, Qt::LeftButton, {}, link);
        restarted.wait(2000);
    }
    ASSERT_TRUE(ended.wait(30000));
    ASSERT_EQ(restarted.size(), 1);
    EXPECT_THAT(restarted[0][0].toUrl().toString().toStdString(), ::testing::HasSubstr("/test/page?grow_ms=500"));
    EXPECT_EQ(view->lastResult().end, End::Height);
    // Never early, and earlier than a throttled timer would make it: those
    // fire on the next whole second. A busy machine may hold the window
    // thread, which runs the browser's work, for some hundred milliseconds.
    EXPECT_GE(view->lastResult().seconds, 0.50 - 0.02);
    EXPECT_LT(view->lastResult().seconds, 0.95);
}

// A measurement's browser lives only while it runs: the page's process ends
// after the figure, and the next measurement starts a fresh browser, warmed
// before its navigation, so that its figure is still the page's alone. A
// page asked for during the warm-up replaces the one asked before it.
TEST_F(WebViewTest, TheBrowserIsReleasedAfterItsFigureAndMadeAfreshForTheNext)
{
    ASSERT_TRUE(service->ok()) << service->log();
    window->hide(); // as in the tray
    const auto ended = [](qint64 pid) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
    };
    std::vector<qint64> processes;
    view->setIdleReleaseDelay(std::chrono::milliseconds(100));
    for (int run = 0; run < 2; ++run) {
        QSignalSpy released(view, &CWebView::idleReleased);
        QSignalSpy spy(view, &CWebView::firstScreen);
        view->NavigateForTest(url("/test/page?hold_ms=20000"));
        view->NavigateForTest(url("/test/page?grow_ms=300"));
        qint64 pid = 0;
        QElapsedTimer took;
        took.start();
        while (spy.isEmpty() && took.elapsed() < 45000) {
            if (view->browser() && view->browser()->page()->renderProcessPid() > 0)
                pid = view->browser()->page()->renderProcessPid();
            spy.wait(10);
        }
        ASSERT_EQ(spy.size(), 1) << "run " << run;
        EXPECT_EQ(view->lastResult().end, End::Height) << view->lastResult().error;
        EXPECT_GE(view->lastResult().seconds, 0.30 - 0.02) << "run " << run;
        EXPECT_LE(view->lastResult().seconds, 0.30 + 0.15) << "run " << run;
        EXPECT_EQ(view->browser(), nullptr);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(quorvane::testing::waitFor([&] { return ended(pid); }, 10000)) << "its page process lives on";
        processes.push_back(pid);
        QTest::qWait(200);
        EXPECT_EQ(spy.size(), 1); // the replaced page never reports
        // The next run starts from a browser whose library pages were handed back.
        ASSERT_TRUE(released.size() == 1 || released.wait(5000)) << "run " << run;
        EXPECT_GT(released.front().front().toULongLong(), 0u);
    }
    view->setIdleReleaseDelay(std::chrono::seconds(5));
    EXPECT_NE(processes[0], processes[1]);
}

} // namespace
