#include "app/shell/main_dlg.h"
#include "app/shell/shell_log.h"

#include "app/login/conf_files.h"
#include "app/pages/file_download.h"
#include "app/pages/history_record.h"
#include "app/pages/network_speed.h"
#include "app/pages/settings_dlg.h"
#include "app/pages/shell_dialogs.h"
#include "app/pages/video_speed.h"
#include "app/pages/webpage_performance.h"
#include "app/shell/about_dlg.h"
#include "app/shell/empty_page.h"
#include "app/shell/login_dlg.h"
#include "app/shell/score_msg_dlg.h"
#include "common/codepage.h"
#include "common/flags.h"
#include "common/log_file.h"
#include "common/property_file.h"
#include "ui/message_dialogs.h"
#include "ui/skin.h"
#include "ui/timer_service.h"
#include "ui/tray_presence.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace quorvane
{

Q_LOGGING_CATEGORY(lcShell, "quorvane.shell")

namespace
{

constexpr int kHeaderHeight = 72;
constexpr int kTopBarY = 72;
constexpr int kTestBarY = 112;
constexpr int kPageY = 148;
const QRect kLogoArea(10, 5, 32, 32); // clicks here do not drag

std::string readProperty(const std::string& file, const std::string& key)
{
    PropertyFile f(file);
    f.load();
    return f.get(key);
}

const char* const kTestCaptions[] = {"带宽测速", "网站测速", "视频测速", "下载测速"};
const char* const kTestPageNames[] = {"CNetworkSpeed", "CWebpagePerformanceDlg", "CVideoSpeed", "CFileDownload"};
const char* const kTopCaptions[] = {"手动测速", "历史记录", "设置"};

} // namespace

CQuorvaneDlg::CQuorvaneDlg(const ShellContext& context, std::vector<std::string> arguments,
                           std::unique_ptr<ui::TimerService> timers, std::unique_ptr<ui::TrayPresence> tray,
                           QWidget* parent)
    : QDialog(parent), m_context(context), m_arguments(std::move(arguments)), m_timers(std::move(timers))
{
    setObjectName(QStringLiteral("CQuorvaneDlg"));
    m_context.workers = &m_workers;
    if (!m_timers)
        m_timers = std::make_unique<ui::QtTimerService>();
    m_timers->setHandler([this](int id) { OnTimer(id); });
    if (!tray)
        tray = ui::makeTrayPresence(m_context.trayAvailable);
    m_trayControl = std::make_unique<TrayControl>(std::move(tray), this);
    connect(m_trayControl.get(), &TrayControl::openRequested, this, [this] {
        if (!m_initialised) {
            m_pendingTrayOpen = true; // the start is still logging in
            return;
        }
        openFromTray();
    });
    connect(m_trayControl.get(), &TrayControl::exitRequested, this, &CQuorvaneDlg::OnClose);

    m_login = std::make_unique<LoginFlow>(m_context, m_workers);
    connect(m_login.get(), &LoginFlow::silentFinished, this, [this](int outcome) {
        applyAutoLogin(outcome);
        Q_EMIT autoLoginFinished(outcome);
    });
    connect(m_login.get(), &LoginFlow::silentDropped, this, &CQuorvaneDlg::autoLoginDropped);

    m_automatic = std::make_unique<AutomaticTesting>(
        m_context, *this, *m_timers, [this](const std::string& text) { setLatestResultText(text); },
        [this] { return latestResultText(); });
}

CQuorvaneDlg::~CQuorvaneDlg()
{
    m_timers->setHandler({});
    // Nothing may be removed while a request could still write the session
    // or the stored credentials.
    m_workers.waitForAll();
    if (m_scoreMsg)
        delete m_scoreMsg.data();
    // Results a full disk held back go in before this run's history and logs
    // are judged; what still cannot be written is logged when the pages end.
    if (m_bandwidthPage && m_bandwidthPage->shipper())
        m_bandwidthPage->shipper()->hold()->flush();
    // The window's end: the history goes unless the user keeps it, and the
    // logs of this run go too.
    const std::string userId = m_context.session ? m_context.session->get().userId : std::string();
    std::error_code ec;
    if (m_initialised && m_context.historySaving && !m_context.historySaving(userId) && m_context.historyFile)
        std::filesystem::remove(programPath(m_context.historyFile(userId)), ec);
    if (m_initialised) {
        std::filesystem::remove(programPath("logfile.txt"), ec);
        std::filesystem::remove(programPath("auto.txt"), ec);
    }
}

// --- life -------------------------------------------------------------------------

int CQuorvaneDlg::exec()
{
    OnInitDialog();
    if (!m_ended) {
        QEventLoop loop;
        connect(this, &CQuorvaneDlg::ended, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_exitCode;
}

void CQuorvaneDlg::endProcess(int code)
{
    qCInfo(lcShell, "program ends with %d", code);
    // The user sees the program gone at once, even while the end still
    // waits for a request under way.
    m_timers->killTimer(msg::TIMER_AUTO_LOGIN);
    m_timers->killTimer(msg::TIMER_SCORE_REFRESH);
    if (m_scoreMsg)
        delete m_scoreMsg.data();
    m_trayControl->remove();
    m_hideOnErase = true;
    hide();
    m_exitCode = code;
    m_ended = true;
    if (m_context.endProcess)
        m_context.endProcess(code);
    Q_EMIT ended(code);
}

void CQuorvaneDlg::post(std::function<void()> task)
{
    QTimer::singleShot(0, this, std::move(task));
}

void CQuorvaneDlg::ensureMacKey()
{
    const std::string mac = m_context.firstAdapterMac ? m_context.firstAdapterMac() : std::string();
    PropertyFile ipconfig(conf::ipConfigFile());
    ipconfig.load();
    if (ipconfig.get(mac) == PropertyFile::kNull) {
        ipconfig.add(mac, "1");
        ipconfig.save(false);
    }
}

void CQuorvaneDlg::OnInitDialog()
{
    // 1. Title, icons, topmost, top-left corner, fixed size.
    setWindowTitle(QStringLiteral("Quorvane"));
    setWindowIcon(ui::appIcon(msg::kTrayIconId));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().topLeft());
    setFixedSize(kWidth, kHeight);

    // 2.-4. Latest result, adapter key, stored login data.
    m_trayControl->setLatestResultText(std::string());
    ensureMacKey();
    {
        PropertyFile stored(conf::loginFile());
        stored.load();
        m_preDate = stored.get("pre_date");
        m_auto = stored.get("auto");
    }
    m_login->loadStoredCredentials();

    // 5. The command line overrides the stored choice.
    bool update = false, logoff = false;
    for (const std::string& a : m_arguments) {
        update = update || a == "update";
        logoff = logoff || a == "logoff";
    }
    if (update)
        m_auto = "1";
    else if (logoff)
        m_auto = "0";

    // 6. Login window or silent login.
    if (m_auto == "0") {
        const int result = m_login->runWindow();
        if (result == CLoginDlg::kResultLoggedIn) {
            m_loggedIn = 1;
        } else if (result == CLoginDlg::kResultExit) {
            endProcess(0);
            return;
        } else {
            m_loggedIn = 0;
        }
    } else {
        // The request runs on a worker; the window keeps answering the
        // desktop meanwhile, but the start waits for the outcome.
        QEventLoop wait;
        connect(this, &CQuorvaneDlg::autoLoginFinished, &wait, &QEventLoop::quit);
        connect(this, &CQuorvaneDlg::autoLoginDropped, &wait, &QEventLoop::quit);
        AutoLogin();
        if (m_login->silentRunning())
            wait.exec();
    }

    // 7. Recheck periods; performance counters.
    m_automatic->readRecheckPeriods();
    m_timers->setTimer(msg::TIMER_PDH_INIT, msg::kPdhInitMs);

    // 8. Controls and pages.
    buildControls();
    createPages();

    // 9. From now on the window stays hidden until the user opens it.
    m_hideOnErase = true;

    // 10. Score notice, or keep trying the silent login.
    if (m_loggedIn == 1)
        post([this] { OnShowScore(); });
    else if (m_auto == "1")
        m_timers->setTimer(msg::TIMER_AUTO_LOGIN, msg::kAutoLoginMs);

    // 11. The bandwidth hint, once the start is over: it waits for someone to
    // answer it, and a machine that starts with nobody at it must still
    // arm its automatic rounds below.
    if (m_loggedIn == 1 && m_context.hintSuppressed)
        post([this] {
            const std::string userId = m_context.session->get().userId;
            if (!m_context.hintSuppressed(userId) && m_context.dialogs->showHint(this) && m_context.suppressHint)
                m_context.suppressHint(userId);
        });

    // 12.-14.
    CLogFile::append("auto.txt", "程序初次启动，开始自动测速...");
    StartAutoAfterLogin();
    m_timers->setTimer(msg::TIMER_SCORE_REFRESH, msg::kScoreRefreshMs);

    if (m_loggedIn == 0)
        enforceLoggedOutState();
    m_initialised = true;
    if (m_pendingTrayOpen) {
        m_pendingTrayOpen = false;
        post([this] { OnTrayNotify(msg::kTrayIconId, ui::kTrayDoubleClick); });
    }
}

// --- login ------------------------------------------------------------------------

void CQuorvaneDlg::AutoLogin()
{
    m_login->startSilent();
}

void CQuorvaneDlg::applyAutoLogin(int outcome)
{
    switch (static_cast<LoginService::AutoOutcome>(outcome)) {
    case LoginService::AutoOutcome::LoggedIn:
        qCInfo(lcShell, "silent login succeeded");
        m_loggedIn = 1;
        m_timers->killTimer(msg::TIMER_AUTO_LOGIN);
        post([this] { OnShowScore(); });
        StartAutoAfterLogin();
        break;
    case LoginService::AutoOutcome::Rejected:
        qCInfo(lcShell, "silent login refused");
        m_loggedIn = 0;
        break;
    case LoginService::AutoOutcome::NoAnswer:
        qCInfo(lcShell, "silent login: no answer");
        break;
    }
    SetTrayIcon(m_loggedIn == 1);
    if (m_initialised && m_loggedIn == 0)
        enforceLoggedOutState();
}

void CQuorvaneDlg::StartAutoAfterLogin()
{
    m_automatic->startAfterLogin(readProperty(conf::configFile(), "manual") == "1" && m_loggedIn == 1);
}

void CQuorvaneDlg::StartAutoByUser()
{
    AutoScheduler* scheduler = m_automatic->scheduler();
    if (!scheduler)
        return;
    if (m_context.dialogs->select(
            this,
            QStringLiteral("开启自动测速后将对接入网测速、网\n页性能、视频测速、文件下载进行轮\n循测试，是否开启？"),
            false) == ui::kIdNo)
        return;
    AddTrayIcon();
    CLogFile::append("auto.txt", "点击了自动测速按钮后，开始自动测速...");
    setLatestResultText(std::string());
    scheduler->StartAutoByUser();
    qCInfo(lcShell, "automatic testing started by the user");
}

void CQuorvaneDlg::setUpAutomaticTesting()
{
    if (!m_automatic->setUp({m_bandwidthPage, m_webPage, m_videoPlayer, m_downloadPage})) {
        button(msg::IDC_AUTO_TEST)->setToolTip(QStringLiteral("自动测速不可用：无法检测测速环境"));
        return;
    }
    auto* autoButton = button(msg::IDC_AUTO_TEST);
    autoButton->setEnabled(true);
    autoButton->setToolTip(QString());
    connect(autoButton, &QAbstractButton::clicked, this, &CQuorvaneDlg::StartAutoByUser);
}

void CQuorvaneDlg::openStopDialog()
{
    if (!m_automatic->runStopDialog())
        return;
    m_trayControl->remove();
    m_hideOnErase = false;
    showTopPage(kManualTop);
    m_navigation.forceTestPage(kBandwidthPage);
    showTestPage(kBandwidthPage);
    showMainWindow();
    flags::autoMode = 0;
}

void CQuorvaneDlg::refreshScoreAsync()
{
    if (m_scoreQueryRunning)
        return;
    m_scoreQueryRunning = true;
    LoginService service = m_context.loginService();
    CDataBase* database = m_context.database;
    m_workers.run<int>(
        this,
        [service, database]() mutable {
            ScoreValues values;
            const int ok = service.queryScore(values);
            if (ok)
                database->setScores(values);
            return ok;
        },
        [this](const int& ok) {
            m_scoreQueryRunning = false;
            update();
            Q_EMIT scoreRefreshed(ok != 0);
        });
}

// --- timers -----------------------------------------------------------------------

void CQuorvaneDlg::OnTimer(int id)
{
    switch (id) {
    case msg::TIMER_AUTO_ROUND:
        m_automatic->onRoundTimer();
        break;
    case msg::TIMER_PDH_INIT:
        // The processor and memory counters belong to the environment
        // checks; there is nothing to open before they exist.
        m_timers->killTimer(msg::TIMER_PDH_INIT);
        break;
    case msg::TIMER_AUTO_LOGIN:
        AutoLogin();
        break;
    case msg::TIMER_SCORE_REFRESH:
        refreshScoreAsync();
        break;
    default:
        break;
    }
}

// --- tray -------------------------------------------------------------------------

void CQuorvaneDlg::AddTrayIcon()
{
    m_trayControl->add();
    hide();
}

void CQuorvaneDlg::SetTrayIcon(bool loggedIn)
{
    m_trayControl->setLoggedIn(loggedIn);
}

void CQuorvaneDlg::enforceLoggedOutState()
{
    // Logged out, the program shows nothing but its tray icon.
    if (!m_trayControl->presence().isAdded())
        AddTrayIcon();
    SetTrayIcon(false);
    hide();
}

void CQuorvaneDlg::setLatestResultText(const std::string& text)
{
    m_trayControl->setLatestResultText(text);
}

void CQuorvaneDlg::OnTrayNotify(long long wParam, long long lParam)
{
    if (wParam == msg::kTrayIconId)
        m_trayControl->handleMouse(lParam);
}

void CQuorvaneDlg::openFromTray()
{
    if (m_openingFromTray)
        return; // a login window from an earlier double-click is open
    m_openingFromTray = true;
    if (m_loggedIn == 0) {
        m_timers->killTimer(msg::TIMER_AUTO_LOGIN);
        m_login->supersedeSilent();
        m_trayControl->remove();
        const int result = m_login->runWindow();
        if (result == CLoginDlg::kResultLoggedIn) {
            m_loggedIn = 1;
            flags::autoMode = 0;
            show(); // stays hidden while hideOnErase holds
            update();
            QTimer::singleShot(1000, this, [this] { OnShowScore(); });
            CLogFile::append("auto.txt", "登录成功开始自动测速...");
            StartAutoAfterLogin();
        } else if (result == CLoginDlg::kResultExit) {
            m_loggedIn = 0;
            m_openingFromTray = false;
            endProcess(0);
            return;
        } else {
            m_loggedIn = 0;
            AddTrayIcon();
            SetTrayIcon(false);
        }
    } else if (!m_automatic->scheduler() || m_automatic->scheduler()->queueEmpty()) {
        m_trayControl->remove();
        m_hideOnErase = false;
        showTopPage(kManualTop);
        showMainWindow();
        flags::autoMode = 0;
    } else {
        // Automatic testing runs: the stop dialog decides.
        openStopDialog();
    }
    update();
    m_openingFromTray = false;
}

void CQuorvaneDlg::showMainWindow()
{
    qCInfo(lcShell, "main window shown");
    show();
    if (isMinimized())
        showNormal();
    raise();
}

void CQuorvaneDlg::bringToFront()
{
    if (QWidget* modal = QApplication::activeModalWidget()) {
        qCInfo(lcShell, "%s brought to the front", qPrintable(modal->objectName()));
        modal->raise();
        modal->activateWindow();
        return;
    }
    if (!isVisible())
        return;
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void CQuorvaneDlg::setVisible(bool visible)
{
    // Until the user opens the window from the tray it never shows.
    if (visible && m_hideOnErase)
        return;
    QDialog::setVisible(visible);
}

// --- score notice -----------------------------------------------------------------

void CQuorvaneDlg::OnShowScore()
{
    hide();
    AddTrayIcon();
    if (m_scoreMsg)
        delete m_scoreMsg.data();
    PropertyFile stored(conf::loginFile());
    stored.load();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const QStringList lines = ScoreNotice::lines(local.tm_hour, stored.get("userid"), stored.get("uname"),
                                                 m_context.database->scores(), m_preDate);
    m_scoreMsg = new CScoreMsgDlg(lines, [this] { OnScoreButton(); });
    m_scoreMsg->present();
    qCInfo(lcShell, "score notice shown");
}

void CQuorvaneDlg::OnScoreButton()
{
    LoginService service = m_context.loginService();
    m_workers.run<LoginService::PortalPage>(
        this, [service]() mutable { return service.portalPage("score"); },
        [this](const LoginService::PortalPage& page) {
            if (!page.url.empty())
                m_context.openUrl(page.url);
            else
                m_context.dialogs->message(this, QString::fromStdString(page.message));
        });
}

// --- navigation -------------------------------------------------------------------

void CQuorvaneDlg::OnTestPageButton(int page)
{
    if (acceptSwitch(m_navigation.requestTestPage(page, RunningTests::current())))
        showTestPage(page);
}

bool CQuorvaneDlg::acceptSwitch(Navigation::Result result)
{
    if (result == Navigation::Result::Refused)
        m_context.dialogs->message(this, QString::fromUtf8(kSwitchRefused));
    return result == Navigation::Result::Switched;
}

void CQuorvaneDlg::showTestPage(int page)
{
    for (int i = 0; i < 4; ++i) {
        if (auto* b = button(1003 + i))
            b->setSelected(i == page);
    }
    if (!m_testPages[0])
        return;
    if (page == kVideoPage) {
        // While the player page is in use its owner decides what shows.
        if (!m_videoPlayer || !m_videoPlayer->isVisible()) {
            for (int i = 0; i < 4; ++i)
                m_testPages[static_cast<std::size_t>(i)]->setVisible(i == kVideoPage);
        }
        return;
    }
    m_testPages[kVideoPage]->hide();
    if (m_videoPlayer && m_videoPlayer->isVisible())
        m_videoPlayer->ClosePlayer(); // leaving the video test stops its player
    for (int i : {kBandwidthPage, kWebPage, kDownloadPage})
        m_testPages[static_cast<std::size_t>(i)]->setVisible(i == page);
}

void CQuorvaneDlg::OnTopPageButton(int page)
{
    if (acceptSwitch(m_navigation.requestTopPage(page, RunningTests::current())))
        showTopPage(page);
}

void CQuorvaneDlg::showTopPage(int page)
{
    m_navigation.forceTopPage(page);
    for (int i = 0; i < 3; ++i) {
        if (auto* b = button(1316 + i))
            b->setSelected(i == page);
    }
    if (!m_testPages[0])
        return;
    for (QWidget* w : m_testPages)
        w->hide();
    if (m_videoPlayer->isVisible())
        m_videoPlayer->ClosePlayer();
    m_settingsPage->hide();
    m_historyPage->hide();
    for (int i = 0; i < 4; ++i)
        button(1003 + i)->hide();
    if (page == kManualTop) {
        for (int i = 0; i < 4; ++i)
            button(1003 + i)->show();
        showTestPage(m_navigation.testPage());
    } else if (page == kHistoryTop) {
        // Records the tests appended meanwhile show on every opening.
        static_cast<CHistoryRecord*>(m_historyPage)->OnInitDialog();
        m_historyPage->show();
    } else {
        // The files may have changed since (another login, the updater).
        static_cast<CSettingsDlg*>(m_settingsPage)->OnInitDialog();
        m_settingsPage->show();
    }
}

// --- close, exit, log-off ---------------------------------------------------------

void CQuorvaneDlg::OnClose()
{
    confirmClose(false);
}

void CQuorvaneDlg::confirmClose(bool)
{
    const QString question = flags::anyTestRunning() ? QStringLiteral("正在执行测速，是否关闭程序？")
                                                     : QStringLiteral("您确定要关闭并退出程序吗？");
    if (m_context.dialogs->select(this, question, false) != ui::kIdYes)
        return;
    const std::string userId = m_context.session->get().userId;
    if (m_context.historySaving && !m_context.historySaving(userId) && m_context.historyFile) {
        std::error_code ec;
        std::filesystem::remove(programPath(m_context.historyFile(userId)), ec);
    }
    endProcess(0);
}

void CQuorvaneDlg::reject()
{
    // Escape is swallowed; the framework's other cancel paths come through
    // closeEvent.
}

void CQuorvaneDlg::closeEvent(QCloseEvent* event)
{
    event->ignore();
    confirmClose(true);
}

void CQuorvaneDlg::OnLogoff()
{
    if (m_scoreMsg)
        delete m_scoreMsg.data();
    if (flags::anyTestRunning() &&
        m_context.dialogs->select(this, QStringLiteral("测速任务未结束是否注销用户？"), false) == ui::kIdNo)
        return;
    // The result displays start afresh for whoever logs in next; a test
    // that runs goes on.
    if (m_bandwidthPage)
        m_bandwidthPage->ResetResults();
    if (m_downloadPage)
        m_downloadPage->ResetResults();
    if (!m_context.startHidden || !m_context.startHidden("Update", {"logoff"})) {
        // Without the updater nobody would end and restart this process:
        // say so rather than ignore the click.
        m_context.dialogs->message(this, QStringLiteral("注销失败：无法启动更新程序 Update。"));
    }
}

void CQuorvaneDlg::OnAbout()
{
    CAboutDlg about(QString::fromStdString(m_context.installedVersion ? m_context.installedVersion() : ""), this);
    about.exec();
}

// --- window -----------------------------------------------------------------------

ui::SkinButton* CQuorvaneDlg::button(int id) const
{
    auto it = m_buttons.find(id);
    return it == m_buttons.end() ? nullptr : it->second;
}

QWidget* CQuorvaneDlg::page(const char* objectName) const
{
    return findChild<QWidget*>(QString::fromLatin1(objectName));
}

QString CQuorvaneDlg::userLabelText() const
{
    return m_userLabel ? m_userLabel->text() : QString();
}

QString CQuorvaneDlg::scoreText() const
{
    return m_scoreValue ? m_scoreValue->text() : QString();
}

QString CQuorvaneDlg::titleText() const
{
    return m_title ? m_title->text() : QString();
}

void CQuorvaneDlg::buildControls()
{
    const QFont bold13 = ui::Skin::font(13, true);
    const QFont plain12 = ui::Skin::font(12);

    auto addButton = [this](int id, const QString& image, const QString& caption, ui::SkinButton::Style style,
                            const QRect& geometry) {
        auto* b = new ui::SkinButton(image, caption, style, this);
        b->setObjectName(QStringLiteral("button%1").arg(id));
        b->setGeometry(geometry);
        m_buttons[id] = b;
        return b;
    };
    // Plain text: the user label holds the service's nickname, never markup.
    auto addLabel = [this](const char* name, const QString& text, const QFont& font, const char* colour,
                           const QRect& geometry) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::fromLatin1(name));
        label->setTextFormat(Qt::PlainText);
        label->setFont(font);
        label->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(colour)));
        label->setGeometry(geometry);
        return label;
    };

    const std::string version = m_context.installedVersion ? m_context.installedVersion() : std::string();
    m_title = addLabel("title", QStringLiteral("Quorvane") + QString::fromStdString(version), ui::Skin::font(16, true),
                       "white", QRect(50, 8, 300, 28));

    addButton(msg::IDC_MINIMISE, QStringLiteral("main/min"), QStringLiteral("–"), ui::SkinButton::Style::Header,
              QRect(kWidth - 64, 4, 28, 24))
        ->setToolTip(QStringLiteral("最小化"));
    addButton(msg::IDC_CLOSE, QStringLiteral("main/close"), QStringLiteral("×"), ui::SkinButton::Style::Header,
              QRect(kWidth - 34, 4, 28, 24))
        ->setToolTip(QStringLiteral("关闭"));
    connect(button(msg::IDC_MINIMISE), &QAbstractButton::clicked, this, &QWidget::showMinimized);
    connect(button(msg::IDC_CLOSE), &QAbstractButton::clicked, this, &CQuorvaneDlg::OnClose);

    // The caption stands apart so that the label holds exactly the stored
    // nickname, as the score caption stands apart from the score.
    addLabel("userCaption", QStringLiteral("用户："), plain12, "white", QRect(14, 44, 40, 22));
    m_userLabel = addLabel("user", {}, plain12, "white", QRect(54, 44, 160, 22));
    auto* logoff = addButton(msg::IDC_LOGOFF, QStringLiteral("main/logoff"), QStringLiteral("注销"),
                             ui::SkinButton::Style::Header, QRect(214, 43, 44, 24));
    logoff->setFont(plain12);
    connect(logoff, &QAbstractButton::clicked, this, &CQuorvaneDlg::OnLogoff);

    addLabel("scoreCaption", QStringLiteral("积分："), plain12, "white", QRect(300, 44, 40, 22));
    m_scoreValue = addLabel("score", {}, bold13, "#ffe08a", QRect(340, 44, 90, 22));
    auto* scoreButton = addButton(msg::IDC_SCORE, QStringLiteral("main/score"), QStringLiteral("查看积分"),
                                  ui::SkinButton::Style::Header, QRect(440, 43, 84, 24));
    scoreButton->setFont(plain12);
    connect(scoreButton, &QAbstractButton::clicked, this, &CQuorvaneDlg::OnScoreButton);

    for (int i = 0; i < 3; ++i) {
        auto* b = addButton(1316 + i, QStringLiteral("main/top%1").arg(i), QString::fromUtf8(kTopCaptions[i]),
                            ui::SkinButton::Style::Tab, QRect(i * 110, kTopBarY, 110, 40));
        b->setFont(bold13);
        connect(b, &QAbstractButton::clicked, this, [this, i] { OnTopPageButton(i); });
    }
    auto* autoButton = addButton(msg::IDC_AUTO_TEST, QStringLiteral("main/auto"), QStringLiteral("自动测速"),
                                 ui::SkinButton::Style::Primary, QRect(kWidth - 120, kTopBarY + 5, 108, 30));
    // Enabled once automatic testing is set up with the pages.
    autoButton->setEnabled(false);

    for (int i = 0; i < 4; ++i) {
        auto* b = addButton(1003 + i, QStringLiteral("main/test%1").arg(i), QString::fromUtf8(kTestCaptions[i]),
                            ui::SkinButton::Style::Tab, QRect(i * (kWidth / 4), kTestBarY, kWidth / 4, 36));
        b->setFont(ui::Skin::font(12));
        connect(b, &QAbstractButton::clicked, this, [this, i] { OnTestPageButton(i); });
    }
    button(1316)->setSelected(true);
    button(1003)->setSelected(true);
}

void CQuorvaneDlg::createPages()
{
    const QRect area(0, kPageY, kWidth, kHeight - kPageY);
    // Every page starts hidden in the page area.
    auto placed = [&area](auto* page) {
        page->setGeometry(area);
        page->hide();
        return page;
    };
    auto make = [&](const char* name, const QString& title) -> QWidget* {
        if (std::strcmp(name, "CSettingsDlg") == 0)
            return placed(new CSettingsDlg(m_context, this));
        if (std::strcmp(name, "CHistoryRecord") == 0)
            return placed(new CHistoryRecord(m_context, this));
        return placed(new CEmptyPage(QString::fromLatin1(name), title, this)); // its test is still to come
    };
    const auto showLatest = [this](const std::string& text) { setLatestResultText(text); };
    // Created once, in this order, and kept for the window's life.
    m_settingsPage = make("CSettingsDlg", QStringLiteral("设置"));
    m_bandwidthPage = placed(new CNetworkSpeed(m_context, showLatest, this));
    connect(m_bandwidthPage, &CNetworkSpeed::shortfallNotice, this,
            [this](const QString& title, const QString& text) { m_trayControl->presence().showMessage(title, text); });
    m_testPages[kBandwidthPage] = m_bandwidthPage;
    m_webPage = placed(new CWebpagePerformanceDlg(m_context, showLatest, this));
    m_testPages[kWebPage] = m_webPage;
    m_videoPlayer = placed(new CVideoSpeedChild(m_context, showLatest, m_bandwidthPage->shipper(), this));
    m_videoPage = placed(new CVideoSpeed(m_context, m_videoPlayer, this));
    m_testPages[kVideoPage] = m_videoPage;
    m_downloadPage = placed(new CFileDownload(m_context, showLatest, m_bandwidthPage->shipper(), this));
    m_testPages[kDownloadPage] = m_downloadPage;
    m_historyPage = make("CHistoryRecord", QStringLiteral("历史记录"));
    m_testPages[kBandwidthPage]->show();
    setUpAutomaticTesting();
    // Results that a full disk held back are written as soon as there is
    // room, not only when the next result comes.
    auto* heldRetry = new QTimer(this);
    connect(heldRetry, &QTimer::timeout, this, [this] {
        m_bandwidthPage->shipper()->retryHeld(m_context.database ? m_context.database->regionSuffix() : std::string());
    });
    heldRetry->start(std::chrono::minutes(5));
}

void CQuorvaneDlg::refreshUserAndScore()
{
    if (!m_userLabel)
        return;
    const QString user = QString::fromStdString(sanitizeUtf8(readProperty(conf::loginFile(), "uname")));
    if (m_userLabel->text() != user)
        m_userLabel->setText(user);
    const ScoreValues s = m_context.database->scores();
    const QString total = QString::fromStdString(s.total);
    if (m_scoreValue->text() != total)
        m_scoreValue->setText(total);
    const QString tip = QStringLiteral("总积分：%1 \n    带宽测速积分：%2 \n    用户体验积分：%3")
                            .arg(total, QString::fromStdString(s.bandwidth), QString::fromStdString(s.experience));
    if (auto* b = button(msg::IDC_SCORE); b && b->toolTip() != ui::plainToolTip(tip))
        b->setToolTip(ui::plainToolTip(tip));
}

void CQuorvaneDlg::paintEvent(QPaintEvent*)
{
    refreshUserAndScore();
    QPainter p(this);
    ui::Skin::paintWindow(p, rect(), QStringLiteral("main/bg"), kHeaderHeight);
    ui::appIcon(msg::kTrayIconId).paint(&p, kLogoArea);
}

void CQuorvaneDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape)
        return; // swallowed
    QDialog::keyPressEvent(event);
}

void CQuorvaneDlg::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && !kLogoArea.contains(event->position().toPoint())) {
        m_dragging = true;
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    QDialog::mousePressEvent(event);
}

void CQuorvaneDlg::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging)
        move(event->globalPosition().toPoint() - m_dragOffset);
    QDialog::mouseMoveEvent(event);
}

void CQuorvaneDlg::mouseReleaseEvent(QMouseEvent* event)
{
    m_dragging = false;
    QDialog::mouseReleaseEvent(event);
}

void CQuorvaneDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // The header's menu stands in for the system menu and its about item.
    if (event->pos().y() >= kHeaderHeight)
        return;
    QMenu menu(this);
    menu.setFont(ui::Skin::font(13));
    QAction* about = menu.addAction(QStringLiteral("关于 Quorvane(&A)..."));
    about->setData(msg::IDM_ABOUT);
    if (menu.exec(event->globalPos()) == about)
        OnAbout();
}

} // namespace quorvane
