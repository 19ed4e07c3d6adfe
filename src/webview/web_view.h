#pragma once
// CWebView: the browser of the web page test. One measurement at a time:
// NavigateForTest starts it (and replaces a running one); firstScreen() ends
// it, after which the view keeps a still picture of what it showed.
//
// The browser itself (its page process, the view's drawing machinery, the
// profile) lives only while a measurement runs: it costs some 300 MB and is
// released at each end, which also stops the page's scripts and media before
// the next test. Each measurement makes a fresh one, loads about:blank in it
// and starts the page under test only once that has loaded, so the figure
// never carries the browser's own start (its page process, its first frame):
// the measured navigation starts in a browser as ready as one that has been
// open for hours, and the figure is counted from that navigation's start.
//
// The profile is off the record with no HTTP cache, so nothing is read from
// or left in a cache; the page shows no dialogs (alert, confirm, prompt,
// authentication, file choice, permissions) and its script errors and
// console lines are dropped. A user-initiated pop-up restarts the
// measurement on its address inside this view; other pop-ups are refused.
//
// A page measures as a shown page does: a hidden browser throttles the
// page's timers to about one a second, paints nothing and tells the page it
// is hidden. A measurement that starts while the view is not on screen (its
// window in the tray, a view never shown) therefore runs in a window of its
// own outside the visible desktop area, at the view's one size
// (measure::kViewWidth x kViewHeight), and the view returns to its parent
// when it ends. A page hidden during its measurement gives no figure.
//
// The first-screen figure comes from the script of measure/webpage_test.h,
// which runs in every frame in a script world of this view's own, so the
// page can neither read its token nor forge its reports; this view enforces
// the bound (counted from the latest navigation start the page reported, or
// from the start when it reported none), gives up on a page that keeps
// navigating, and fails a run whose navigation produced no document (a
// download, no content, an aborted load, a crashed page process).
//
// Thread-safety: GUI thread only.
#include "measure/webpage_test.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QWidget>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QLabel;
class QWebEngineProfile;
class QWebEngineView;

namespace quorvane
{

class CWebView : public QWidget
{
    Q_OBJECT
public:
    // The script world of the measuring script: neither the page's nor the
    // one Qt's own scripts use.
    static constexpr quint32 kMeasuringWorld = 7;

    explicit CWebView(QWidget* parent = nullptr);
    ~CWebView() override;

    // Starts one measurement on `url` (the address as typed; a bare host gets
    // "http://").
    void NavigateForTest(const QString& url);
    bool running() const { return m_running; }

    // The bound; kFirstScreenBound unless a test shortens it.
    void setBound(std::chrono::milliseconds bound) { m_bound = bound; }
    // How long after a browser ended what it left behind is handed back.
    void setIdleReleaseDelay(std::chrono::milliseconds delay) { m_idleTimer.setInterval(delay); }
    // How long a page that keeps navigating is given; kNavigationLoopLimit
    // unless a test shortens it.
    void setNavigationLoopLimit(std::chrono::milliseconds limit) { m_loopLimit = limit; }

    // Of the last finished measurement.
    const measure::FirstScreenResult& lastResult() const { return m_result; }
    QString resultText() const { return m_resultText; }           // "首屏时间：%.3fs"
    QString firstScreenText() const { return m_firstScreenText; } // "%.3f"

    // The browser of the running measurement; null between measurements.
    QWebEngineView* browser() const { return m_browser; }
    // Whether the browser's warm-up page has loaded (or was given up on).
    bool warm() const { return m_warm; }
    static constexpr std::chrono::milliseconds kWarmUpLimit{5000};

    // Whether the running measurement was moved off screen.
    bool measuresOffScreen() const { return m_staged; }

    // The address NavigateForTest turns typed text into.
    static QUrl addressUrl(const QString& typed);

    // Showing and hiding while the view measures off screen only take effect
    // when it returns to its parent.
    void setVisible(bool visible) override;

Q_SIGNALS:
    // The measurement ended (also when it failed; see result.failed()).
    void firstScreen(const quorvane::measure::FirstScreenResult& result);
    // A user-initiated pop-up restarted the measurement on this address.
    void restartedOnPopup(const QUrl& url);
    // What the browser left behind was handed back: bytes of the engine's
    // library ranges unmapped.
    void idleReleased(quint64 unmappedBytes);

private:
    class Page;
    friend class Page;

    // An end the page reported, waiting a moment for reports still on their
    // way (another frame's navigation start may have come just before it).
    struct PendingEnd {
        double atMs = 0;
        measure::FirstScreenResult::End end = measure::FirstScreenResult::End::Complete;
        bool hiddenSeen = false;
        long animationFrames = -1;
    };

    void onConsoleLine(const QString& line);
    void onBoundTimer();
    void onSettled();
    void fail(measure::FirstScreenResult::End end, const std::string& error);
    void finish(measure::FirstScreenResult result);
    void endOfMeasurement();
    void armBound();
    void startLoad();
    void warmedUp();
    void makeBrowser();
    void releaseBrowser();
    void idleRelease();
    void logTiming(const QVariantList& timing) const;
    void stageIfHidden();
    void returnFromStage();

    QWebEngineProfile* m_profile = nullptr;
    Page* m_page = nullptr;
    QWebEngineView* m_browser = nullptr;
    // Browsers released at an end, deleted once the event that ended is over.
    std::vector<std::pair<QWebEngineView*, QWebEngineProfile*>> m_released;
    std::chrono::milliseconds m_bound = measure::kFirstScreenBound;
    std::chrono::milliseconds m_loopLimit = measure::kNavigationLoopLimit;
    std::string m_token;
    bool m_running = false;
    bool m_loadStarted = false;             // the test's own navigation has started loading
    QUrl m_loadUrl;                         // the address it started with
    bool m_topDocument = false;             // the top frame has a document of this measurement
    bool m_checkDocument = false;           // a load ended: a document must have come by the settle
    bool m_pageGone = false;                // the page's process ended during this measurement
    std::vector<double> m_navigationStarts; // epoch ms, page clock
    double m_latestNavigationMs = 0; // epoch ms of the latest navigation start
    std::optional<PendingEnd> m_pendingEnd;
    QTimer m_boundTimer;
    QTimer m_loopTimer;
    QTimer m_settleTimer;
    measure::FirstScreenResult m_result;
    QString m_resultText;
    QString m_firstScreenText;
    bool m_warm = false;
    QUrl m_pendingLoad; // asked for before the browser was warm
    QTimer m_warmTimer;
    // After a browser ended: hands back what it left behind (see idleRelease).
    QTimer m_idleTimer;
    double m_askedMs = 0;  // epoch ms when NavigateForTest was called
    double m_warmMs = 0;   // epoch ms when the browser was warm
    qint64 m_warmPid = 0;  // its page process then
    QTimer m_pulse;        // while a measurement runs
    QElapsedTimer m_pulseClock;
    qint64 m_longestStallMs = 0; // since the navigation started
    double m_stallEndMs = 0;     // when it ended, ms after that start
    quint64 m_generation = 0; // tells an answer to an earlier measurement's query apart

    // Off-screen measuring: the window it runs in, and where it came from.
    QWidget* m_stage = nullptr;
    QPointer<QWidget> m_home;
    QRect m_homeGeometry;
    bool m_homeVisible = false;
    bool m_staged = false;
    QLabel* m_still = nullptr; // what the page showed at its end
};

} // namespace quorvane
