#pragma once
// CQuorvaneDlg, the one long-lived window: it starts the program in its fixed
// order, navigates between the test, history and settings pages, shows the
// score notice after each login, refreshes the score, and confirms close,
// exit and log-off. It coordinates the login (LoginFlow), its presence in
// the tray (TrayControl) and automatic testing (AutomaticTesting).
//
// Thread-safety: GUI thread only. Requests to the service run on workers
// that the window owns; their results come back to this thread, and the
// window's end waits for every worker before it removes anything.
#include "app/pages/shell_context.h"
#include "app/shell/automatic_testing.h"
#include "app/shell/login_flow.h"
#include "app/shell/navigation.h"
#include "app/shell/score_msg_dlg.h"
#include "app/shell/shell_messages.h"
#include "app/shell/tray_control.h"
#include "ui/timer_service.h"
#include "ui/tray_presence.h"
#include "ui/workers.h"

#include <QDialog>
#include <QPointer>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QMenu;

namespace quorvane
{

namespace ui
{
class SkinButton;
class TimerService;
class TrayPresence;
} // namespace ui

class CScoreMsgDlg;
class CNetworkSpeed;
class CFileDownload;
class CWebpagePerformanceDlg;
class CVideoSpeed;
class CVideoSpeedChild;

class CQuorvaneDlg : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kWidth = 539;
    static constexpr int kHeight = 705;
    static constexpr const char* kTrayTip = TrayControl::kIdleTip;

    // `arguments`: the command line after the program name. Timers and tray
    // default to the real ones.
    CQuorvaneDlg(const ShellContext& context, std::vector<std::string> arguments,
                 std::unique_ptr<ui::TimerService> timers = nullptr, std::unique_ptr<ui::TrayPresence> tray = nullptr,
                 QWidget* parent = nullptr);
    ~CQuorvaneDlg() override;

    // Initialises (login included) and runs until the user ends the program
    // (close, exit, or the login window's close); returns the exit code.
    int exec() override;
    // The initialisation alone, in its fixed order.
    void OnInitDialog();
    bool initialised() const { return m_initialised; }

    // Tray notification: wParam is the icon id, lParam the mouse message.
    void OnTrayNotify(long long wParam, long long lParam);
    // Raises the window or, while it is hidden, the login window in front.
    void bringToFront();
    bool isWindowShown() const { return isVisible(); }

    void OnShowScore();
    void OnTimer(int id);
    void AutoLogin();
    void StartAutoAfterLogin();
    // Button 1319.
    void StartAutoByUser();

    // Buttons.
    void OnTestPageButton(int page); // 1003..1006 as 0..3
    void OnTopPageButton(int page);  // 1316..1318 as 0..2
    void OnClose();                  // 1000 and the tray menu's exit
    void OnLogoff();                 // 1173
    void OnScoreButton();            // 1230
    void OnAbout();

    // Operations of other parts.
    void AddTrayIcon();
    void SetTrayIcon(bool loggedIn);
    // The latest result text, which the tray tooltip shows (cut to 127
    // bytes) from the moment it changes. May be called from any thread.
    void setLatestResultText(const std::string& text);
    std::string latestResultText() const { return m_trayControl->latestResultText(); }

    // State, for the tests and the parts that read it.
    bool loggedIn() const { return m_loggedIn != 0; }
    int trayIcon() const { return m_trayControl->icon(); }
    ui::TrayPresence& tray() const { return m_trayControl->presence(); }
    ui::TimerService& timers() const { return *m_timers; }
    const Navigation& navigation() const { return m_navigation; }
    CScoreMsgDlg* scoreWindow() const { return m_scoreMsg; }
    QMenu* trayMenu() const { return m_trayControl->menu(); }
    QWidget* page(const char* objectName) const;
    CNetworkSpeed* bandwidthPage() const { return m_bandwidthPage; }
    CFileDownload* downloadPage() const { return m_downloadPage; }
    CWebpagePerformanceDlg* webPage() const { return m_webPage; }
    CVideoSpeed* videoPage() const { return m_videoPage; }
    CVideoSpeedChild* videoPlayer() const { return m_videoPlayer; }
    // Null until the window is initialised, or without environment checks.
    AutoScheduler* scheduler() const { return m_automatic->scheduler(); }
    bool stopDialogOpen() const { return m_automatic->stopDialogOpen(); }
    ui::SkinButton* button(int id) const;
    QString userLabelText() const;
    QString scoreText() const;
    QString titleText() const;
    std::string typedUserName() const { return m_login->typedUserName(); }

Q_SIGNALS:
    void autoLoginFinished(int outcome);
    // A silent login's answer came after the user had opened the login
    // window, and was dropped.
    void autoLoginDropped();
    void scoreRefreshed(bool ok);
    void ended(int code);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void reject() override;

public:
    void setVisible(bool visible) override;

private:
    void buildControls();
    void createPages();
    void applyAutoLogin(int outcome);
    void openFromTray();
    void enforceLoggedOutState();
    void showMainWindow();
    // Tells the user about a refused switch; true when the page may change.
    bool acceptSwitch(Navigation::Result result);
    void showTestPage(int page);
    void showTopPage(int page);
    void refreshUserAndScore();
    void refreshScoreAsync();
    void confirmClose(bool viaCancel);
    void endProcess(int code);
    void post(std::function<void()> task);
    void ensureMacKey();
    void setUpAutomaticTesting();
    void openStopDialog();

    ui::Workers m_workers;
    ShellContext m_context;
    std::vector<std::string> m_arguments;
    std::unique_ptr<ui::TimerService> m_timers;
    std::unique_ptr<TrayControl> m_trayControl;
    std::unique_ptr<LoginFlow> m_login;

    int m_loggedIn = 0;
    bool m_hideOnErase = false;
    bool m_initialised = false;
    bool m_pendingTrayOpen = false;
    bool m_scoreQueryRunning = false;
    bool m_openingFromTray = false;
    bool m_ended = false;
    int m_exitCode = 0;
    Navigation m_navigation;
    std::string m_preDate;
    std::string m_auto;

    QPointer<CScoreMsgDlg> m_scoreMsg;
    QLabel* m_title = nullptr;
    QLabel* m_userLabel = nullptr;
    QLabel* m_scoreValue = nullptr;
    std::map<int, ui::SkinButton*> m_buttons;
    std::array<QWidget*, 4> m_testPages{};
    CNetworkSpeed* m_bandwidthPage = nullptr;
    CFileDownload* m_downloadPage = nullptr;
    CWebpagePerformanceDlg* m_webPage = nullptr;
    CVideoSpeed* m_videoPage = nullptr;
    CVideoSpeedChild* m_videoPlayer = nullptr;
    QWidget* m_settingsPage = nullptr;
    QWidget* m_historyPage = nullptr;
    bool m_dragging = false;
    QPoint m_dragOffset;

    // Ends with the window's members, before the pages its rounds run.
    std::unique_ptr<AutomaticTesting> m_automatic;
};

} // namespace quorvane
