#include "webview/web_view.h"

#include "platform/idle_memory.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QLoggingCategory>
#include <QQuickWindow>
#include <QScreen>
#include <QWebEngineDownloadRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include <algorithm>

namespace quorvane
{

Q_LOGGING_CATEGORY(lcWebView, "quorvane.webview")

namespace
{

double epochMs()
{
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch());
}

const QString kScriptName = QStringLiteral("quorvane-first-screen");

// How long after a browser's deletion its engine is left to wind down (the
// page's process ends, the profile's storage closes) before what it left
// behind is handed back.
constexpr auto kIdleReleaseDelay = std::chrono::seconds(5);

const QString kWarmUpLine = QStringLiteral("quorvane-warm");
const QString kWarmUpScript = QStringLiteral(
    "(function () {"
    "  var d = document.createElement('div');"
    "  d.style.font = '14px sans-serif';"
    "  d.innerHTML = '<h1>Quorvane</h1><p>网页测速 0123456789 <b>abc</b> <i>xyz</i></p>';"
    "  (document.body || document.documentElement).appendChild(d);"
    "  void d.offsetHeight;"
    "  requestAnimationFrame(function () { requestAnimationFrame(function () {"
    "    d.remove(); console.log('quorvane-warm'); }); });"
    "})();");

// The page uses the profile: the view and its page go first.
void deleteBrowser(QWebEngineView* browser, QWebEngineProfile* profile)
{
    QWebEnginePage* page = browser->page();
    browser->setPage(nullptr);
    delete browser;
    delete page;
    delete profile;
}

} // namespace

// The page: no dialogs, no console, reports of the measuring script handed
// to the view.
class CWebView::Page final : public QWebEnginePage
{
public:
    Page(QWebEngineProfile* profile, CWebView* view) : QWebEnginePage(profile, view), m_view(view) {}

protected:
    void javaScriptAlert(const QUrl&, const QString&) override {}
    bool javaScriptConfirm(const QUrl&, const QString&) override { return false; }
    bool javaScriptPrompt(const QUrl&, const QString&, const QString&, QString*) override { return false; }
    QStringList chooseFiles(FileSelectionMode, const QStringList&, const QStringList&) override { return {}; }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString& message, int, const QString&) override
    {
        m_view->onConsoleLine(message);
    }

private:
    CWebView* m_view;
};

CWebView::CWebView(QWidget* parent) : QWidget(parent)
{
    setFixedSize(measure::kViewWidth, measure::kViewHeight);
    m_boundTimer.setSingleShot(true);
    m_boundTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_boundTimer, &QTimer::timeout, this, &CWebView::onBoundTimer);
    m_loopTimer.setSingleShot(true);
    connect(&m_loopTimer, &QTimer::timeout, this, [this] {
        if (m_running)
            fail(measure::FirstScreenResult::End::NavigationLoop, {});
    });
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, &CWebView::onSettled);
    m_warmTimer.setSingleShot(true);
    connect(&m_warmTimer, &QTimer::timeout, this, &CWebView::warmedUp);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(kIdleReleaseDelay);
    connect(&m_idleTimer, &QTimer::timeout, this, &CWebView::idleRelease);
    // The browser's own work runs on this thread: a pulse that comes late
    // tells that something else held it while the page was measured.
    m_pulse.setInterval(10);
    m_pulse.setTimerType(Qt::PreciseTimer);
    connect(&m_pulse, &QTimer::timeout, this, [this] {
        const qint64 gap = m_pulseClock.restart();
        if (gap > m_longestStallMs) {
            m_longestStallMs = gap;
            m_stallEndMs = epochMs() - m_latestNavigationMs;
        }
    });
}

void CWebView::makeBrowser()
{
    // The view draws in software, before the first browser of the program
    // chooses: drawing through OpenGL would load a GL driver (a software one
    // on a machine without a GPU, tens of MB) into the program for as long
    // as it runs, and its first frames would compile shaders on the window
    // thread, which also runs the browser's work, while a page is measured.
    // What the page does and sees (frames, paints, visibility) is the same.
    m_idleTimer.stop();
    static const bool drawsInSoftware = [] {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        return true;
    }();
    (void)drawsInSoftware;
    // A profile without a storage name is off the record.
    m_profile = new QWebEngineProfile();
    m_profile->setHttpCacheType(QWebEngineProfile::NoCache);
    m_profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    m_page = new Page(m_profile, this);
    m_page->setParent(nullptr); // goes with its browser, before the profile
    m_page->settings()->setAttribute(QWebEngineSettings::ScrollAnimatorEnabled, false);
    // Pop-ups without a user's click are refused by the engine itself: a page
    // that opens a hundred of them would otherwise keep its process busy
    // loading them, and the next test's navigation would wait behind them.
    m_page->settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    m_browser = new QWebEngineView(this);
    m_browser->setObjectName(QStringLiteral("browser"));
    m_browser->setGeometry(rect());
    m_browser->setPage(m_page);

    // The page's script errors are swallowed in its own world; this script
    // knows nothing of the measurement.
    QWebEngineScript errors;
    errors.setName(QStringLiteral("quorvane-page-errors"));
    errors.setInjectionPoint(QWebEngineScript::DocumentCreation);
    errors.setRunsOnSubFrames(true);
    errors.setWorldId(QWebEngineScript::MainWorld);
    errors.setSourceCode(QStringLiteral(
        "window.onerror = function () { return true; };"
        "window.addEventListener('error', function (e) { if (e instanceof ErrorEvent) e.preventDefault(); }, true);"
        "window.addEventListener('unhandledrejection', function (e) { e.preventDefault(); });"));
    m_page->scripts().insert(errors);

    connect(m_page, &QWebEnginePage::newWindowRequested, this, [this](QWebEngineNewWindowRequest& request) {
        // Not opened anywhere means refused. A pop-up the user asked for is
        // measured here instead, once the current event is over.
        if (!request.isUserInitiated())
            return;
        const QUrl url = request.requestedUrl();
        QTimer::singleShot(0, this, [this, url] {
            NavigateForTest(url.toString());
            Q_EMIT restartedOnPopup(url);
        });
    });
    connect(m_page, &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl& origin, QWebEnginePage::Feature feature) {
                m_page->setFeaturePermission(origin, feature, QWebEnginePage::PermissionDeniedByUser);
            });
    connect(m_page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
        if (!m_running)
            return;
        if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
            // Until the test's own load has started, a load that ends is the
            // view's about:blank or one stopped for this test.
            if (info.url().scheme() != QLatin1String("about")) {
                m_loadStarted = true;
                m_loadUrl = info.url();
            }
            return;
        }
        if (!m_loadStarted)
            return;
        // ERR_ABORTED: a navigation replaced by a newer one, a download, an
        // answer without content, or a stop.
        if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus && info.errorCode() != -3) {
            // An error status comes with the browser's own page text; the code says it plainly.
            fail(measure::FirstScreenResult::End::LoadFailed,
                 info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain
                     ? "HTTP " + std::to_string(info.errorCode())
                     : info.errorString().toStdString());
            return;
        }
        // The test's load is over (one it replaced ends with another
        // address). Without a document of its own there is nothing to
        // measure; the report of one may still be on its way.
        if (!m_topDocument && info.url() == m_loadUrl) {
            m_checkDocument = true;
            if (!m_pendingEnd)
                m_settleTimer.start(150);
        }
    });
    connect(m_profile, &QWebEngineProfile::downloadRequested, this, [this](QWebEngineDownloadRequest* download) {
        // Never accepted, so never saved. A download the page starts later
        // leaves its measurement alone.
        download->cancel();
        if (m_running && !m_topDocument && download->page() == m_page)
            fail(measure::FirstScreenResult::End::LoadFailed, "the answer is a file to download");
    });
    connect(m_page, &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus, int code) {
                if (!m_running)
                    return;
                m_pageGone = true;
                fail(measure::FirstScreenResult::End::LoadFailed,
                     "the page's process ended (" + std::to_string(code) + ")");
            });

    // Warm-up: the browser starts its page process and the view's drawing
    // on this load (the view is on screen or staged by now), not on the
    // measured page.
    m_warm = false;
    connect(m_page, &QWebEnginePage::loadFinished, this, [this] {
        if (m_warm)
            return;
        // The page process has started; a page's first text, script, layout
        // and frame would still pay for loading fonts, making script
        // contexts and the first commit of drawing: done here on an empty
        // document of our own, which reports once two frames were drawn.
        m_page->runJavaScript(kWarmUpScript, QWebEngineScript::MainWorld);
        m_page->runJavaScript(QStringLiteral("0"), kMeasuringWorld);
    });
    m_browser->show();
    if (m_still)
        m_still->hide();
    m_warmTimer.start(static_cast<int>(kWarmUpLimit.count()));
    m_page->load(QUrl(QStringLiteral("about:blank")));
}

void CWebView::warmedUp()
{
    if (m_warm)
        return;
    m_warm = true;
    m_warmMs = epochMs();
    m_warmPid = m_page->renderProcessPid();
    m_warmTimer.stop();
    if (m_running && !m_pendingLoad.isEmpty()) {
        // After the event that ended the warm-up load, as a navigation asked
        // of a browser that was idle.
        const quint64 generation = m_generation;
        QTimer::singleShot(0, this, [this, generation] {
            if (m_running && generation == m_generation && !m_pendingLoad.isEmpty())
                startLoad();
        });
    }
}

void CWebView::releaseBrowser()
{
    if (!m_browser)
        return;
    m_warmTimer.stop();
    m_warm = false;
    m_page->disconnect(this);
    m_profile->disconnect(this);
    m_browser->hide();
    m_released.emplace_back(std::exchange(m_browser, nullptr), std::exchange(m_profile, nullptr));
    m_page = nullptr; // the browser's own page (see makeBrowser)
    // Not inside a call of the page's own (the end may come from one).
    QTimer::singleShot(0, this, [this] {
        for (auto& [browser, profile] : std::exchange(m_released, {}))
            deleteBrowser(browser, profile);
        if (!m_browser)
            m_idleTimer.start();
    });
}

void CWebView::idleRelease()
{
    if (m_browser)
        return;
    // The engine itself lives on in this process for as long as it runs; the
    // pages of its library that this process mapped while a page was measured
    // come back from the file cache, at a minor fault each, when the next
    // browser starts.
    const platform::IdleRelease release = platform::releaseIdleMemory("libQt6WebEngineCore");
    qCInfo(lcWebView,
           "browser ended: resident %.1f MB before, %.1f MB after handing back free heap and the "
           "engine's library pages (%.1f MB of its ranges)",
           static_cast<double>(release.residentBefore) / 1048576.0,
           static_cast<double>(release.residentAfter) / 1048576.0,
           static_cast<double>(release.unmappedBytes) / 1048576.0);
    Q_EMIT idleReleased(release.unmappedBytes);
}

CWebView::~CWebView()
{
    ++m_generation; // the page's answers still on their way find no measurement
    if (m_staged)
        QWidget::setParent(nullptr); // off the stage before it goes
    delete m_stage;
    if (m_browser)
        m_released.emplace_back(m_browser, m_profile);
    for (auto& [browser, profile] : m_released)
        deleteBrowser(browser, profile);
}

QUrl CWebView::addressUrl(const QString& typed)
{
    return QUrl::fromUserInput(typed.trimmed());
}

void CWebView::setVisible(bool visible)
{
    if (m_staged) {
        m_homeVisible = visible;
        return;
    }
    QWidget::setVisible(visible);
}

void CWebView::stageIfHidden()
{
    if (m_staged || isVisible())
        return;
    if (!m_stage) {
        // No window manager places it, so nothing pulls it onto the desktop;
        // it takes neither focus nor input and has no task bar entry.
        m_stage = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                                           Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput);
        m_stage->setObjectName(QStringLiteral("CWebViewStage"));
        m_stage->setAttribute(Qt::WA_ShowWithoutActivating);
        m_stage->setFixedSize(size());
    }
    QRect desktop;
    for (const QScreen* screen : QGuiApplication::screens())
        desktop = desktop.united(screen->geometry());
    m_stage->move(desktop.right() + 1 + 64, desktop.top());

    m_home = parentWidget();
    m_homeGeometry = geometry();
    m_homeVisible = !isHidden();
    if (m_home)
        connect(m_home, &QObject::destroyed, this, [this] { delete this; });
    QWidget::setParent(m_stage);
    move(0, 0);
    QWidget::setVisible(true);
    m_stage->show();
    m_staged = true;
}

void CWebView::returnFromStage()
{
    if (!m_staged)
        return;
    m_staged = false;
    if (m_home)
        disconnect(m_home, &QObject::destroyed, this, nullptr);
    QWidget::setParent(m_home);
    setGeometry(m_homeGeometry);
    QWidget::setVisible(m_homeVisible);
    m_stage->hide();
}

void CWebView::NavigateForTest(const QString& url)
{
    ++m_generation;
    m_askedMs = epochMs();
    if (m_warm) { // a running measurement is replaced; a warm-up load is left to end
        m_page->triggerAction(QWebEnginePage::Stop);
        m_page->runJavaScript(QStringLiteral("if (document.body) document.body.innerHTML = '';"), kMeasuringWorld);
    }
    // On screen before the browser is made, so that it starts as a shown one.
    stageIfHidden();
    if (!m_browser)
        makeBrowser();

    static measure::RandomSource random = measure::seededRandomSource();
    m_token = measure::NewFirstScreenToken(random);
    QWebEngineScriptCollection& scripts = m_page->scripts();
    for (const QWebEngineScript& old : scripts.find(kScriptName))
        scripts.remove(old);
    QWebEngineScript script;
    script.setName(kScriptName);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setRunsOnSubFrames(true);
    script.setWorldId(kMeasuringWorld);
    script.setSourceCode(QString::fromStdString(measure::FirstScreenScript(m_token)));
    scripts.insert(script);

    m_running = true;
    m_pageGone = false;
    m_loadStarted = false;
    m_topDocument = false;
    m_checkDocument = false;
    m_navigationStarts.clear();
    m_pendingEnd.reset();
    m_settleTimer.stop();
    m_result = {};
    m_boundTimer.stop();
    m_loopTimer.stop();
    m_pendingLoad = addressUrl(url);
    if (m_warm)
        startLoad();
    // else warmedUp() starts it
}

void CWebView::startLoad()
{
    const QUrl url = m_pendingLoad;
    m_pendingLoad.clear();
    m_latestNavigationMs = epochMs();
    m_longestStallMs = 0;
    m_pulseClock.start();
    m_pulse.start();
    armBound();
    m_loopTimer.start(static_cast<int>(m_loopLimit.count()));
    m_page->load(url);
}

void CWebView::armBound()
{
    const double remaining = m_latestNavigationMs + static_cast<double>(m_bound.count()) - epochMs();
    m_boundTimer.start(static_cast<int>(std::max(0.0, remaining)));
}

void CWebView::onConsoleLine(const QString& line)
{
    if (!m_warm && line == kWarmUpLine) {
        warmedUp(); // only about:blank of our own has run so far
        return;
    }
    if (!m_running)
        return;
    const auto report = measure::ParseFirstScreenReport(line.toStdString(), m_token);
    if (!report)
        return;
    using Kind = measure::FirstScreenReport::Kind;
    if (report->kind == Kind::NavigationStart) {
        m_navigationStarts.push_back(report->atMs);
        m_topDocument = m_topDocument || report->topFrame;
        m_latestNavigationMs = std::max(m_latestNavigationMs, report->atMs);
        if (!m_pendingEnd)
            armBound();
        return;
    }
    PendingEnd end;
    end.atMs = report->atMs;
    if (report->kind == Kind::FirstScreen) {
        end.end = report->reason == "height" ? measure::FirstScreenResult::End::Height
                                             : measure::FirstScreenResult::End::Complete;
        end.hiddenSeen = report->hiddenSeen;
        end.animationFrames = report->animationFrames;
    }
    if (m_pendingEnd && m_pendingEnd->atMs <= end.atMs)
        return; // the earlier end counts
    m_pendingEnd = end;
    m_boundTimer.stop();
    m_settleTimer.start(50);
}

void CWebView::onSettled()
{
    if (!m_running)
        return;
    if (m_pendingEnd) {
        const auto seconds = measure::FirstScreenSeconds(m_navigationStarts, m_pendingEnd->atMs);
        if (!seconds) {
            fail(measure::FirstScreenResult::End::LoadFailed, "an end without a navigation start");
            return;
        }
        measure::FirstScreenResult r;
        r.end = m_pendingEnd->hiddenSeen ? measure::FirstScreenResult::End::Hidden : m_pendingEnd->end;
        r.seconds = *seconds;
        r.animationFrames = m_pendingEnd->animationFrames;
        finish(r);
        return;
    }
    if (m_checkDocument && !m_topDocument)
        fail(measure::FirstScreenResult::End::LoadFailed, "the answer held no page");
}

void CWebView::onBoundTimer()
{
    if (!m_running)
        return;
    if (!m_topDocument) {
        fail(measure::FirstScreenResult::End::LoadFailed, "no page arrived within the bound");
        return;
    }
    measure::FirstScreenResult r;
    r.end = measure::FirstScreenResult::End::Bound;
    r.seconds = std::max(0.0, epochMs() - m_latestNavigationMs) / 1000.0;
    finish(r);
}

void CWebView::fail(measure::FirstScreenResult::End end, const std::string& error)
{
    if (!m_running)
        return;
    measure::FirstScreenResult r;
    r.end = end;
    r.error = error;
    finish(r);
}

void CWebView::finish(measure::FirstScreenResult result)
{
    m_running = false;
    m_pulse.stop();
    m_boundTimer.stop();
    m_loopTimer.stop();
    m_settleTimer.stop();
    m_page->triggerAction(QWebEnginePage::Stop); // the rest of the page is not loaded
    m_result = result;
    // The paint figures and whether the page was ever hidden come from the
    // page; a page that does not answer (a busy script, no document) leaves
    // the figures out and is judged by its end report alone.
    const quint64 generation = m_generation;
    auto done = std::make_shared<bool>(false);
    auto settle = [this, generation, done](const QVariant& state) {
        if (*done || generation != m_generation)
            return;
        *done = true;
        const QVariantList list = state.toList();
        if (list.size() == 7) {
            bool ok = false;
            const double fcp = list[0].toDouble(&ok);
            if (ok && fcp >= 0)
                m_result.fcpMs = fcp;
            const double lcp = list[1].toDouble(&ok);
            if (ok && lcp >= 0)
                m_result.lcpMs = lcp;
            if (list[2].toBool() && !m_result.failed())
                m_result = {measure::FirstScreenResult::End::Hidden, 0, {}, {}, -1, {}, {}};
            if (m_result.animationFrames < 0)
                m_result.animationFrames = list[3].toInt();
            const double firstByte = list[5].toDouble(&ok);
            if (ok && firstByte >= 0 && !m_result.failed())
                m_result.firstByteMs = firstByte;
        }
        logTiming(list);
        endOfMeasurement();
    };
    if (std::exchange(m_pageGone, false)) {
        // Nobody is left to answer: the end is now, not after the wait below.
        QTimer::singleShot(0, this, [settle] { settle(QVariant()); });
        return;
    }
    m_page->runJavaScript(QStringLiteral("(function(){var f = window.__qvState; return f ? f() : null;})()"),
                          kMeasuringWorld, settle);
    QTimer::singleShot(1000, this, [settle] { settle(QVariant()); });
}

void CWebView::logTiming(const QVariantList& timing) const
{
    // Where the time went, for a figure that looks wrong: before the
    // navigation (not in the figure) and inside it, as the page saw it.
    if (m_result.failed()) {
        qCInfo(lcWebView, "web page %s: %s", measure::EndName(m_result.end), m_result.error.c_str());
        return;
    }
    const auto at = [&timing](int i) { return timing.size() == 7 ? timing[i].toDouble() : -1.0; };
    const double navigationMs = m_navigationStarts.empty() ? 0 : m_navigationStarts.front();
    qCInfo(lcWebView,
           "web page %s %.3f s: asked %+.0f ms before its navigation (browser warm %+.0f ms), request %.0f ms, "
           "first byte %.0f ms, interactive %.0f ms, first contentful paint %.0f ms, %ld frames, page process %lld "
           "(warmed %lld), window thread held up to %lld ms (until %.0f ms)%s",
           measure::EndName(m_result.end), m_result.seconds, navigationMs > 0 ? navigationMs - m_askedMs : -1.0,
           navigationMs > 0 && m_warmMs > 0 ? navigationMs - m_warmMs : -1.0, at(4), at(5), at(6), at(0),
           m_result.animationFrames, static_cast<long long>(m_page ? m_page->renderProcessPid() : 0),
           static_cast<long long>(m_warmPid), static_cast<long long>(m_longestStallMs),
           m_stallEndMs, m_staged ? ", off screen" : "");
}

void CWebView::endOfMeasurement()
{
    if (!m_result.failed()) {
        m_firstScreenText = QString::fromStdString(measure::FirstScreenText(m_result.seconds));
        m_resultText = QString::fromStdString(measure::FirstScreenResultText(m_result.seconds));
    } else {
        m_firstScreenText.clear();
        m_resultText.clear();
    }
    // The user keeps seeing the first screen; the page itself stops here,
    // with its browser.
    if (!m_still) {
        m_still = new QLabel(this);
        m_still->setObjectName(QStringLiteral("still"));
    }
    m_still->setPixmap(m_browser->grab());
    m_still->setGeometry(rect());
    m_still->show();
    m_still->raise();
    releaseBrowser();
    returnFromStage();
    Q_EMIT firstScreen(m_result);
}

} // namespace quorvane

#if defined(__SANITIZE_ADDRESS__)
// The browser engine's own allocator frees some objects with a size that the
// address sanitizer takes for a mismatch; a sanitized build of this program
// would stop at the first page otherwise. Settings from ASAN_OPTIONS still
// come on top.
extern "C" const char* __asan_default_options()
{
    return "new_delete_type_mismatch=0";
}
#endif
