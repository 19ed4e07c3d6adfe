#include "webview/web_view.h"

#include <QDateTime>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

#include <algorithm>

namespace quorvane
{

namespace
{

double epochMs()
{
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch());
}

const QString kScriptName = QStringLiteral("quorvane-first-screen");

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

CWebView::CWebView(QWidget* parent) : QWebEngineView(parent)
{
    // A profile without a storage name is off the record.
    m_profile = new QWebEngineProfile(this);
    m_profile->setHttpCacheType(QWebEngineProfile::NoCache);
    m_profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    m_page = new Page(m_profile, this);
    m_page->settings()->setAttribute(QWebEngineSettings::ScrollAnimatorEnabled, false);
    // Pop-ups without a user's click are refused by the engine itself: a page
    // that opens a hundred of them would otherwise keep its process busy
    // loading them, and the next test's navigation would wait behind them.
    m_page->settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    setPage(m_page);

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
        // ERR_ABORTED: a navigation replaced by a newer one, or our own stop.
        if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus || info.errorCode() == -3)
            return;
        // An error status comes with the browser's own page text; the code says it plainly.
        onLoadFailed(info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain
                         ? QStringLiteral("HTTP %1").arg(info.errorCode())
                         : info.errorString());
    });

    m_boundTimer.setSingleShot(true);
    m_boundTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_boundTimer, &QTimer::timeout, this, &CWebView::onBoundTimer);
    m_loopTimer.setSingleShot(true);
    connect(&m_loopTimer, &QTimer::timeout, this, [this] {
        if (!m_running)
            return;
        measure::FirstScreenResult r;
        r.end = measure::FirstScreenResult::End::NavigationLoop;
        finish(r);
    });
}

CWebView::~CWebView()
{
    // The page uses the profile: it must go first.
    setPage(nullptr);
    delete m_page;
}

QUrl CWebView::addressUrl(const QString& typed)
{
    return QUrl::fromUserInput(typed.trimmed());
}

void CWebView::NavigateForTest(const QString& url)
{
    ++m_generation;
    m_page->triggerAction(QWebEnginePage::Stop);
    m_page->runJavaScript(QStringLiteral("if (document.body) document.body.innerHTML = '';"),
                          QWebEngineScript::ApplicationWorld);

    static measure::RandomSource random = measure::seededRandomSource();
    m_token = measure::NewFirstScreenToken(random);
    QWebEngineScriptCollection& scripts = m_page->scripts();
    for (const QWebEngineScript& old : scripts.find(kScriptName))
        scripts.remove(old);
    QWebEngineScript script;
    script.setName(kScriptName);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setRunsOnSubFrames(true);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setSourceCode(QString::fromStdString(measure::FirstScreenScript(m_token)));
    scripts.insert(script);

    m_running = true;
    m_result = {};
    m_latestNavigationMs = epochMs();
    m_sinceStart.start();
    armBound();
    m_loopTimer.start(static_cast<int>(m_loopLimit.count()));
    m_page->load(addressUrl(url));
}

void CWebView::armBound()
{
    const double remaining = m_latestNavigationMs + static_cast<double>(m_bound.count()) - epochMs();
    m_boundTimer.start(static_cast<int>(std::max(0.0, remaining)));
}

void CWebView::onConsoleLine(const QString& line)
{
    if (!m_running)
        return;
    const auto report = measure::ParseFirstScreenReport(line.toStdString(), m_token);
    if (!report)
        return;
    if (report->kind == measure::FirstScreenReport::Kind::NavigationStart) {
        onNavigationStart(report->navigationStartMs);
        return;
    }
    measure::FirstScreenResult r;
    r.end = report->reason == "height" ? measure::FirstScreenResult::End::Height
                                       : measure::FirstScreenResult::End::Complete;
    r.seconds = report->seconds;
    finish(r);
}

void CWebView::onNavigationStart(double navigationMs)
{
    // A start the page reports is never earlier than the test's own start:
    // an earlier figure would come from a document loaded before the test.
    m_latestNavigationMs = std::max(m_latestNavigationMs, navigationMs);
    armBound();
}

void CWebView::onBoundTimer()
{
    if (!m_running)
        return;
    measure::FirstScreenResult r;
    r.end = measure::FirstScreenResult::End::Bound;
    r.seconds = std::max(0.0, epochMs() - m_latestNavigationMs) / 1000.0;
    finish(r);
}

void CWebView::onLoadFailed(const QString& error)
{
    if (!m_running)
        return;
    measure::FirstScreenResult r;
    r.end = measure::FirstScreenResult::End::LoadFailed;
    r.error = error.toStdString();
    finish(r);
}

void CWebView::finish(measure::FirstScreenResult result)
{
    m_running = false;
    m_boundTimer.stop();
    m_loopTimer.stop();
    m_page->triggerAction(QWebEnginePage::Stop); // the rest of the page is not loaded
    m_result = result;
    if (!result.failed()) {
        m_firstScreenText = QString::fromStdString(measure::FirstScreenText(result.seconds));
        m_resultText = QString::fromStdString(measure::FirstScreenResultText(result.seconds));
    } else {
        m_firstScreenText.clear();
        m_resultText.clear();
    }
    // The paint figures come from the page; a page that does not answer (a
    // busy script, no document) leaves them out.
    const quint64 generation = m_generation;
    auto done = std::make_shared<bool>(false);
    auto emitOnce = [this, generation, done](const QVariant& paints) {
        if (*done || generation != m_generation)
            return;
        *done = true;
        const QVariantList list = paints.toList();
        if (list.size() == 2) {
            bool ok = false;
            const double fcp = list[0].toDouble(&ok);
            if (ok && fcp >= 0)
                m_result.fcpMs = fcp;
            const double lcp = list[1].toDouble(&ok);
            if (ok && lcp >= 0)
                m_result.lcpMs = lcp;
        }
        Q_EMIT firstScreen(m_result);
    };
    const QString query = QStringLiteral("(function(){var f = window['__qvPaints_%1']; return f ? f() : null;})()")
                              .arg(QString::fromStdString(m_token));
    m_page->runJavaScript(query, QWebEngineScript::MainWorld, emitOnce);
    QTimer::singleShot(1000, this, [emitOnce] { emitOnce(QVariant()); });
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
