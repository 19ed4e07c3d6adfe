#pragma once
// CSpeedTestDlg, the base of the four test pages: what each of them does the
// same way around its engine. It holds the shell's context and the page's
// record path, shows the start checks' warnings, paints the body and its
// result band, follows a user who logs in after the page was made, frames
// the automatic run, and hands a finished run's record over (written and
// shipped, the latest result text, the status line, recordHandled). A page
// keeps its controls and what its engine reports that is its own.
//
// It is the scheduler's task: RunAutoTest returns 0 failed, 1 may be
// retried, 2 done (the web page: a measurement started, which goes on in
// the page after the call).
//
// Thread-safety: GUI thread only; RunAutoTest is called on the thread a page
// names for it.
#include "app/pages/page_recording.h"
#include "app/pages/page_thread.h"
#include "app/pages/shell_context.h"
#include "autotest/scheduler.h"
#include "measure/record_steps.h"

#include <QUrl>
#include <QWidget>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLabel;

namespace quorvane
{

// The engines and the configuration speak UTF-8.
inline QString fromUtf8(const std::string& s)
{
    return QString::fromStdString(s);
}

// A test page's area under the main window's navigation bars.
inline constexpr int kTestPageWidth = 539;
inline constexpr int kTestPageHeight = 557;

class CSpeedTestDlg : public QWidget, public AutoTask
{
    Q_OBJECT
public:
    // Sets the main window's latest result text; may be empty.
    using LatestResult = std::function<void(const std::string&)>;

    // The session's user is taken for the run, then the page's own run.
    int RunAutoTest(bool useStoredKey, bool isAutomatic) final;

    // Fills what the page shows for the current user (lists, presets). Pages
    // with nothing of the user's leave it empty.
    virtual void OnInitDialog() {}

    // A modal warning over the page: a start check's message, or one an
    // engine reports.
    void warn(const std::string& text);

Q_SIGNALS:
    // After a record-ready message: whether a record was written, and its
    // file name.
    void recordHandled(bool written, const QString& fileName);

protected:
    CSpeedTestDlg(const ShellContext& context, LatestResult latestResult, QWidget* parent);

    // Makes the page's record path. `installDir` empty or "." is the working
    // folder; the folder used is kept in m_installDir and returned. A lent
    // shipper is used instead of a new one.
    std::filesystem::path setUpRecording(std::filesystem::path installDir, HeadDateFunction head,
                                         std::shared_ptr<Clock> clock, TransportFactory transport,
                                         RecordShipper* lentShipper = nullptr);

    // The user logged in now; an empty one without a session.
    UserSession currentUser() const;
    std::string geographyId() const;
    // Hands the session's user to the engine (takeUser) before a run; nothing
    // without a session.
    void adoptSessionUser();
    virtual void takeUser(const UserSession& user) { (void)user; }
    // The automatic run itself, after adoptSessionUser.
    virtual int runAutomatic(bool useStoredKey, bool isAutomatic) = 0;

    // The engine's record of its last run, written and shipped once, then
    // reported as recordRecorded does.
    template <typename Engine> measure::RecordResult handOverRecord(Engine& engine)
    {
        measure::RecordResult r = engine.OnRecordReady(*m_recording.recorder, m_recording.shipper, geographyId());
        recordRecorded(r);
        return r;
    }
    // Writes and ships a record the page made itself.
    measure::RecordResult writeRecord(const TestRecord& record, bool automatic);
    void recordRecorded(const measure::RecordResult& r);

    // The white result band over the page's body, `margin` in from both
    // sides. A page without one paints nothing of its own.
    void setResultBand(int margin, int top, int height) { m_band = {margin, top, height}; }
    QRect resultBand() const;
    // A caption of the page's controls.
    QLabel* addCaption(const QString& text, const QRect& geometry);
    // The band's columns, one per caption: the caption over a value label
    // named after `names`, its text `valuePixels` high and bold.
    template <std::size_t N>
    std::array<QLabel*, N> addResultColumns(const char* const (&captions)[N], const char* const (&names)[N],
                                            int valuePixels)
    {
        std::array<QLabel*, N> values{};
        for (std::size_t i = 0; i < N; ++i)
            values[i] = addResultColumn(captions[i], names[i], valuePixels, static_cast<int>(i), static_cast<int>(N));
        return values;
    }
    void paintEvent(QPaintEvent* event) override;

    // What the page's lists were filled for (userKey), set by OnInitDialog;
    // unset: the page does not follow the user.
    std::optional<std::string> m_shownFor;
    virtual std::string userKey(const UserSession& user) const { return user.userId; }
    // A run under way keeps the lists as they are.
    virtual bool runActive() const { return false; }

    ShellContext m_context;
    LatestResult m_latestResult;
    std::filesystem::path m_installDir;
    PageRecording m_recording;

private:
    QLabel* addResultColumn(const char* caption, const char* name, int valuePixels, int column, int columns);
    void followUser();

    struct Band {
        int margin = 0, top = 0, height = 0;
    };
    std::optional<Band> m_band;
    bool m_refreshPosted = false;
};

// A start check: can the host of `url` be reached. `injected` (a test's
// stand-in) answers when given; else a TCP connect to `target`'s port (by
// its scheme when it names none), given up after 3 s. `done` runs once on
// `owner`'s thread, and not at all once `owner` is gone.
using ConnectionCheck = std::function<void(const std::string& url, std::function<void(bool reachable)> done)>;
void CheckConnection(QObject* owner, const ConnectionCheck& injected, const std::string& url, const QUrl& target,
                     std::function<void(bool reachable)> done);

// An engine's observer for a page: the start checks come on the page's own
// thread (inside its start) and are shown at once; everything else comes
// from a run's thread and is posted to the page's.
template <typename Page, typename Base> class PageObserver : public Base
{
public:
    explicit PageObserver(Page* page) : m_page(page) {}

    void showWarning(const std::string& text) override { m_page->warn(text); }
    void message(const std::string& text) override
    {
        post([text](Page* p) { p->warn(text); });
    }

protected:
    template <typename F> void post(F f) { PostToPage(m_page, std::move(f)); }

    Page* m_page;
};

} // namespace quorvane
