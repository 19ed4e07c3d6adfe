#pragma once
// CWebView: the browser of the web page test. One measurement at a time:
// NavigateForTest starts it (and replaces a running one); firstScreen() ends
// it, after which loading is stopped and the page stays as it is.
//
// The profile is off the record with no HTTP cache, so nothing is read from
// or left in a cache; the page shows no dialogs (alert, confirm, prompt,
// authentication, file choice, permissions) and its script errors and
// console lines are dropped. A user-initiated pop-up restarts the
// measurement on its address inside this view; other pop-ups are refused.
//
// The first-screen figure comes from the script of measure/webpage_test.h,
// which runs in every frame; this view only enforces the bound (counted from
// the latest navigation start the page reported, or from the start when it
// reported none) and gives up on a page that keeps navigating.
//
// Thread-safety: GUI thread only.
#include "measure/webpage_test.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWebEngineView>

#include <chrono>
#include <string>

class QWebEngineProfile;

namespace quorvane
{

class CWebView : public QWebEngineView
{
    Q_OBJECT
public:
    explicit CWebView(QWidget* parent = nullptr);
    ~CWebView() override;

    // Starts one measurement on `url` (the address as typed; a bare host gets
    // "http://").
    void NavigateForTest(const QString& url);
    bool running() const { return m_running; }

    // The bound; kFirstScreenBound unless a test shortens it.
    void setBound(std::chrono::milliseconds bound) { m_bound = bound; }
    // How long a page that keeps navigating is given; kNavigationLoopLimit
    // unless a test shortens it.
    void setNavigationLoopLimit(std::chrono::milliseconds limit) { m_loopLimit = limit; }

    // Of the last finished measurement.
    const measure::FirstScreenResult& lastResult() const { return m_result; }
    QString resultText() const { return m_resultText; }           // "首屏时间：%.3fs"
    QString firstScreenText() const { return m_firstScreenText; } // "%.3f"

    // The address NavigateForTest turns typed text into.
    static QUrl addressUrl(const QString& typed);

Q_SIGNALS:
    // The measurement ended (also when it failed; see result.failed()).
    void firstScreen(const quorvane::measure::FirstScreenResult& result);
    // A user-initiated pop-up restarted the measurement on this address.
    void restartedOnPopup(const QUrl& url);

private:
    class Page;
    friend class Page;

    void onConsoleLine(const QString& line);
    void onNavigationStart(double epochMs);
    void onBoundTimer();
    void onLoadFailed(const QString& error);
    void finish(measure::FirstScreenResult result);
    void armBound();

    QWebEngineProfile* m_profile = nullptr;
    Page* m_page = nullptr;
    std::chrono::milliseconds m_bound = measure::kFirstScreenBound;
    std::chrono::milliseconds m_loopLimit = measure::kNavigationLoopLimit;
    std::string m_token;
    bool m_running = false;
    double m_latestNavigationMs = 0; // epoch ms of the latest navigation start
    QElapsedTimer m_sinceStart;
    QTimer m_boundTimer;
    QTimer m_loopTimer;
    measure::FirstScreenResult m_result;
    QString m_resultText;
    QString m_firstScreenText;
    quint64 m_generation = 0; // tells an answer to an earlier measurement's paint query apart
};

} // namespace quorvane
