#pragma once
// CWebpagePerformanceDlg, the web page test page: an address row ("网址", the
// address edit, "开始", "返回"), two pages of portal buttons (CWebAddrDlg,
// CWebMoreDlg) and the browser view CWebView that measures. A finished
// measurement becomes a screen record, a history line and, in automatic
// mode, the latest result text; a manual one shows CWebResultDlg.
//
// The browser view is created at the first start, not with the page, and
// holds a browser (some 300 MB) only while it measures: many sessions never
// run this test, and an automatic one runs it a few minutes in an hour.
//
// Program-wide flags: webTestRunning is set from the start of a measurement
// to its end, so the navigation and the exit confirmation treat it like the
// other tests; autoAbortArmed, stopRequested, autoMode and
// completedTaskCount as the scheduler defines them.
//
// Thread-safety: GUI thread only; the scheduler reaches RunAutoTest on this
// thread.
#include "app/pages/speed_test_dlg.h"
#include "measure/webpage_test.h"

#include <QDialog>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;

namespace quorvane
{

namespace ui
{
class SkinButton;
}
class CWebView;

// A page of portal buttons in a grid; the last button leads to the other
// page ("更多" or "返回上一层").
class CPortalButtonsPage : public QWidget
{
    Q_OBJECT
public:
    CPortalButtonsPage(const QString& objectName, const std::vector<measure::PortalButton>& buttons,
                       const QString& lastCaption, QWidget* parent);
    ui::SkinButton* button(int index) const { return m_buttons.at(static_cast<std::size_t>(index)); }
    int buttonCount() const { return static_cast<int>(m_buttons.size()); }

Q_SIGNALS:
    void portalClicked(const QString& address);
    void lastClicked();

private:
    std::vector<ui::SkinButton*> m_buttons;
};

class CWebAddrDlg : public CPortalButtonsPage
{
    Q_OBJECT
public:
    explicit CWebAddrDlg(QWidget* parent);
};

class CWebMoreDlg : public CPortalButtonsPage
{
    Q_OBJECT
public:
    explicit CWebMoreDlg(QWidget* parent);
};

// The result window: "执行结果" over the prompt image (or a drawn default),
// the result text centred, a close button.
class CWebResultDlg : public QDialog
{
    Q_OBJECT
public:
    CWebResultDlg(const QString& text, QWidget* parent);
    QString text() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_text = nullptr;
};

class CWebpagePerformanceDlg : public CSpeedTestDlg
{
    Q_OBJECT
public:
    // `latestResult` sets the main window's latest result text; may be empty.
    CWebpagePerformanceDlg(const ShellContext& context, LatestResult latestResult, QWidget* parent = nullptr);
    ~CWebpagePerformanceDlg() override;

    // The start button and the Enter key.
    void OnStart();
    // Stores the page under test and starts a measurement on it; its record
    // counts as automatic when `automatic`, whatever the flags say by then.
    void StartPageTest(const std::string& url, bool automatic = false);
    // The return button.
    void OnReturn();
    // RunAutoTest: 0 nothing started (no network, no sites), 2 a
    // measurement started; it goes on after the call has returned.

    bool ready() const { return m_ready; }
    const std::string& pageUnderTest() const { return m_pageUnderTest; }

    // Controls, for tests and screenshots.
    QLineEdit* addressEdit() const { return m_address; }
    ui::SkinButton* startButton() const { return m_start; }
    ui::SkinButton* returnButton() const { return m_return; }
    CWebAddrDlg* portalPage() const { return m_portal; }
    CWebMoreDlg* morePage() const { return m_more; }
    CWebView* view() const { return m_view; } // null before the first start
    QLabel* resultLabel() const { return m_resultLabel; }

Q_SIGNALS:
    // The end of every measurement, after its record (if any) was handled.
    void measurementEnded(const quorvane::measure::FirstScreenResult& result);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    int runAutomatic(bool useStoredKey, bool isAutomatic) override;

    void buildControls();
    CWebView* ensureView();
    void showView();
    void onPortalButton(const QString& address);
    void onMoreButton(const QString& address);
    void onFirstScreen(const measure::FirstScreenResult& result);
    void OnRecordReady(const measure::FirstScreenResult& result);
    void checkConnection(const std::string& url, std::function<void(bool)> done);

    std::string m_pageUnderTest;
    bool m_automaticRun = false; // how the measurement under way was started
    bool m_ready = true;
    bool m_startedFromMore = false;

    QLineEdit* m_address = nullptr;
    ui::SkinButton* m_start = nullptr;
    ui::SkinButton* m_return = nullptr;
    QLabel* m_resultLabel = nullptr;
    CWebAddrDlg* m_portal = nullptr;
    CWebMoreDlg* m_more = nullptr;
    CWebView* m_view = nullptr;
};

} // namespace quorvane
