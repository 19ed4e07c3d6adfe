// The first-screen measurement in a real browser view against pages whose
// behaviour is known: they grow, navigate frames, or fail at chosen moments
// measured from their own navigation start, so the figure can be checked
// against the truth (in-page timestamps, not the test's own wall clock).
#include "service/harness.h"
#include "support/qt_app.h"
#include "webview/web_view.h"

#include <QSignalSpy>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

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
        view = new CWebView();
        view->resize(1024, 768);
        view->show();
    }
    static void TearDownTestSuite()
    {
        delete view;
        delete service;
        view = nullptr;
        service = nullptr;
    }

    static QString url(const std::string& target)
    {
        return QString::fromStdString("http://127.0.0.1:" + std::to_string(service->web().port) + target);
    }

    // Runs one measurement; the view's own bounds end every one of them.
    static quorvane::measure::FirstScreenResult measure(const QString& address)
    {
        QSignalSpy spy(view, &CWebView::firstScreen);
        view->NavigateForTest(address);
        EXPECT_TRUE(spy.wait(45000)) << address.toStdString();
        EXPECT_FALSE(view->running());
        return view->lastResult();
    }

    static refsvc_test::RefService* service;
    static CWebView* view;
};

// A loopback port nobody listens on (it was free a moment ago).
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

refsvc_test::RefService* WebViewTest::service = nullptr;
CWebView* WebViewTest::view = nullptr;

TEST_F(WebViewTest, FiguresAgainstPagesWithAKnownMoment)
{
    ASSERT_TRUE(service->ok()) << service->log();
    const struct {
        const char* target;
        End end;
        double seconds; // the truth
    } cases[] = {
        {"/test/page?grow_ms=800", End::Height, 0.80},
        // A frame created at 500 ms restarts the clock: 800 - 500.
        {"/test/page?frame_ms=500&grow_ms=800", End::Height, 0.30},
        // Dialogs and errors of the page neither block nor end anything.
        {"/test/page?errors=1&grow_ms=300", End::Height, 0.30},
        // Pop-ups the user did not ask for are refused; the page measures on.
        {"/test/page?popups=100&grow_ms=400", End::Height, 0.40},
        // An error status is a failed load (also right after a pop-up storm).
        {"/nonexistent", End::LoadFailed, -1},
        // Exactly 600 pixels is not taller than the first screen; 601 is, at once.
        {"/test/page?body_px=600&hold_ms=1000", End::Complete, -1},
        {"/test/page?body_px=601&hold_ms=1000", End::Height, -1},
    };
    for (const auto& c : cases) {
        const auto r = measure(url(c.target));
        EXPECT_EQ(r.end, c.end) << c.target << " ended " << quorvane::measure::EndName(r.end);
        if (c.seconds >= 0) {
            EXPECT_NEAR(r.seconds, c.seconds, 0.05) << c.target;
        }
        if (!r.failed()) {
            EXPECT_EQ(view->firstScreenText().toStdString(), quorvane::measure::FirstScreenText(r.seconds));
        }
    }
}

TEST_F(WebViewTest, APageThatNeverGrowsEndsAtTheBoundOneThatKeepsNavigatingNever)
{
    ASSERT_TRUE(service->ok());
    view->setBound(std::chrono::milliseconds(2000));
    const auto never = measure(url("/test/page?hold_ms=20000"));
    view->setBound(quorvane::measure::kFirstScreenBound);
    EXPECT_EQ(never.end, End::Bound);
    EXPECT_NEAR(never.seconds, 2.0, 0.1);

    // A page that navigates every 300 ms restarts the bound each time; the
    // run is given up, with no figure.
    view->setBound(std::chrono::milliseconds(1000));
    view->setNavigationLoopLimit(std::chrono::milliseconds(3000));
    const auto loop = measure(url("/test/page?loop_ms=300"));
    view->setBound(quorvane::measure::kFirstScreenBound);
    view->setNavigationLoopLimit(quorvane::measure::kNavigationLoopLimit);
    EXPECT_EQ(loop.end, End::NavigationLoop);
    EXPECT_TRUE(loop.failed());
}

TEST_F(WebViewTest, CompleteDocumentAndFailedLoad)
{
    ASSERT_TRUE(service->ok());
    const auto complete = measure(url("/test/page?hold_ms=0"));
    EXPECT_EQ(complete.end, End::Complete);
    EXPECT_LT(complete.seconds, 10.0);
    // A document complete at once may end the measurement before its first
    // paint: the paint figures are reported only when the browser had them.
    if (complete.fcpMs) {
        EXPECT_GE(*complete.fcpMs, 0.0);
    }

    const auto failed = measure(QString::fromStdString("http://127.0.0.1:" + std::to_string(closedPort()) + "/"));
    EXPECT_EQ(failed.end, End::LoadFailed);
    EXPECT_TRUE(failed.failed());
    EXPECT_TRUE(view->firstScreenText().isEmpty());
}

} // namespace

namespace
{

TEST_F(WebViewTest, AClickedPopUpIsMeasuredInTheView)
{
    ASSERT_TRUE(service->ok());
    ASSERT_EQ(measure(url("/test/page?hold_ms=0")).end, End::Complete);
    QPoint link;
    bool answered = false;
    view->page()->runJavaScript(
        QStringLiteral("(function(){var r = document.getElementById('popup').getBoundingClientRect();"
                       "return [r.left + r.width / 2, r.top + r.height / 2];})()"),
        [&](const QVariant& v) {
            const QVariantList l = v.toList();
            if (l.size() == 2)
                link = QPoint(qRound(l[0].toDouble()), qRound(l[1].toDouble()));
            answered = true;
        });
    ASSERT_TRUE(quorvane::testing::waitFor([&] { return answered; }));
    ASSERT_FALSE(link.isNull());

    QSignalSpy restarted(view, &CWebView::restartedOnPopup);
    QSignalSpy ended(view, &CWebView::firstScreen);
    QWidget* target = view->focusProxy() ? view->focusProxy() : view;
    QTest::mouseClick(target, Qt::LeftButton, {}, link);
    ASSERT_TRUE(ended.wait(30000));
    ASSERT_EQ(restarted.size(), 1);
    EXPECT_THAT(restarted[0][0].toUrl().toString().toStdString(), ::testing::HasSubstr("/test/page?grow_ms=100"));
    EXPECT_EQ(view->lastResult().end, End::Height);
    EXPECT_NEAR(view->lastResult().seconds, 0.10, 0.05);
}

} // namespace
