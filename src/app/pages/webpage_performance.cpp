#include "app/pages/webpage_performance.h"

#include "app/pages/shell_dialogs.h"
#include "common/flags.h"
#include "config/readers.h"
#include "platform/network_alive.h"
#include "ui/skin.h"
#include "webview/web_view.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QUrl>

#include <cstdlib>
#include <ctime>

namespace quorvane
{

namespace text = measure::webpage_text;

namespace
{

constexpr int kRowTop = 10;
constexpr int kBodyTop = 74;
constexpr int kBodyHeight = kTestPageHeight - kBodyTop;
// The browser measures at one size everywhere: the page's body area.
static_assert(kTestPageWidth == measure::kViewWidth && kBodyHeight == measure::kViewHeight);

} // namespace

// ---------------------------------------------------------------- portal buttons

CPortalButtonsPage::CPortalButtonsPage(const QString& objectName, const std::vector<measure::PortalButton>& buttons,
                                       const QString& lastCaption, QWidget* parent)
    : QWidget(parent)
{
    setObjectName(objectName);
    const int columns = buttons.size() > 12 ? 4 : 3;
    const int width = 118, height = 40, gapX = 10, gapY = 10;
    const int left = (kTestPageWidth - columns * width - (columns - 1) * gapX) / 2;
    auto place = [&](ui::SkinButton* b, int index) {
        b->setGeometry(left + (index % columns) * (width + gapX), 16 + (index / columns) * (height + gapY), width,
                       height);
        b->setFont(ui::Skin::font(13, true));
        m_buttons.push_back(b);
    };
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        const measure::PortalButton& pb = buttons[i];
        // Drawn from "web page/btn_<label>_normal" and "_down" when present.
        auto* b = new ui::SkinButton(QStringLiteral("web page/btn_") + fromUtf8(pb.label), fromUtf8(pb.label),
                                     ui::SkinButton::Style::Plain, this);
        b->setObjectName(QStringLiteral("portal_") + fromUtf8(pb.label));
        b->setToolTip(fromUtf8(pb.address));
        const QString address = fromUtf8(pb.address);
        connect(b, &QAbstractButton::clicked, this, [this, address] { Q_EMIT portalClicked(address); });
        place(b, static_cast<int>(i));
    }
    auto* last = new ui::SkinButton(QString(), lastCaption, ui::SkinButton::Style::Primary, this);
    last->setObjectName(QStringLiteral("last"));
    connect(last, &QAbstractButton::clicked, this, &CPortalButtonsPage::lastClicked);
    place(last, static_cast<int>(buttons.size()));
}

CWebAddrDlg::CWebAddrDlg(QWidget* parent)
    : CPortalButtonsPage(QStringLiteral("CWebAddrDlg"), measure::PortalButtons(), QString::fromUtf8(text::kMore),
                         parent)
{
}

CWebMoreDlg::CWebMoreDlg(QWidget* parent)
    : CPortalButtonsPage(QStringLiteral("CWebMoreDlg"), measure::MorePortalButtons(), QString::fromUtf8(text::kBack),
                         parent)
{
}

// ---------------------------------------------------------------- result window

CWebResultDlg::CWebResultDlg(const QString& resultText, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CWebResultDlg"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setModal(true);
    setFixedSize(300, 150);
    auto* title = new QLabel(QString::fromUtf8(text::kResultTitle), this);
    title->setObjectName(QStringLiteral("title"));
    title->setFont(ui::Skin::font(12, true));
    title->setStyleSheet(QStringLiteral("color: white;"));
    title->setGeometry(10, 4, 200, 22);
    m_text = new QLabel(resultText, this);
    m_text->setObjectName(QStringLiteral("text"));
    m_text->setTextFormat(Qt::PlainText);
    m_text->setAlignment(Qt::AlignCenter);
    m_text->setFont(ui::Skin::font(16, true));
    m_text->setGeometry(10, 40, 280, 90);
    auto* close = new ui::SkinButton(QStringLiteral("common/close33"), QString(), ui::SkinButton::Style::Header, this);
    close->setObjectName(QStringLiteral("close"));
    close->setToolTip(QStringLiteral("关闭"));
    close->setGeometry(width() - 30, 3, 24, 22);
    connect(close, &QAbstractButton::clicked, this, &QDialog::accept);
}

QString CWebResultDlg::text() const
{
    return m_text->text();
}

void CWebResultDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    // The image carries its own transparency; QPainter blends it
    // premultiplied, as the window expects.
    const QPixmap bg = ui::Skin::image(QStringLiteral("web page/prompt"));
    if (!bg.isNull())
        p.drawPixmap(rect(), bg);
    else
        ui::Skin::paintWindow(p, rect(), QString(), 28);
}

// ---------------------------------------------------------------- the page

CWebpagePerformanceDlg::CWebpagePerformanceDlg(const ShellContext& context, LatestResult latestResult, QWidget* parent)
    : CSpeedTestDlg(context, std::move(latestResult), parent)
{
    setObjectName(QStringLiteral("CWebpagePerformanceDlg"));
    setUpRecording({}, m_context.webpage.head, nullptr, m_context.webpage.transport);
    buildControls();
}

CWebpagePerformanceDlg::~CWebpagePerformanceDlg()
{
    if (m_view && m_view->running())
        flags::webTestRunning = 0;
}

void CWebpagePerformanceDlg::buildControls()
{
    const QFont plain = ui::Skin::font(12);
    auto* caption = new QLabel(QStringLiteral("网址"), this);
    caption->setFont(plain);
    caption->setGeometry(14, kRowTop + 4, 34, 24);
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("address"));
    m_address->setFont(plain);
    m_address->setGeometry(50, kRowTop + 2, 320, 28);
    m_address->setPlaceholderText(QStringLiteral("http://"));
    // Enter in the edit reaches keyPressEvent: the edit passes it on.
    m_start = new ui::SkinButton(QStringLiteral("web page/start"), QStringLiteral("开始"),
                                 ui::SkinButton::Style::Primary, this);
    m_start->setObjectName(QStringLiteral("start"));
    m_start->setGeometry(382, kRowTop, 68, 32);
    connect(m_start, &QAbstractButton::clicked, this, &CWebpagePerformanceDlg::OnStart);
    m_return = new ui::SkinButton(QStringLiteral("web page/return"), QStringLiteral("返回"),
                                  ui::SkinButton::Style::Plain, this);
    m_return->setObjectName(QStringLiteral("return"));
    m_return->setGeometry(458, kRowTop, 68, 32);
    connect(m_return, &QAbstractButton::clicked, this, &CWebpagePerformanceDlg::OnReturn);
    m_resultLabel = new QLabel(this);
    m_resultLabel->setObjectName(QStringLiteral("result"));
    m_resultLabel->setTextFormat(Qt::PlainText);
    m_resultLabel->setFont(plain);
    m_resultLabel->setGeometry(14, kRowTop + 36, kTestPageWidth - 28, 24);

    m_portal = new CWebAddrDlg(this);
    m_portal->setGeometry(0, kBodyTop, kTestPageWidth, kBodyHeight);
    m_more = new CWebMoreDlg(this);
    m_more->setGeometry(0, kBodyTop, kTestPageWidth, kBodyHeight);
    m_more->hide();
    connect(m_portal, &CPortalButtonsPage::portalClicked, this, &CWebpagePerformanceDlg::onPortalButton);
    connect(m_portal, &CPortalButtonsPage::lastClicked, this, [this] {
        m_portal->hide();
        m_more->show();
    });
    connect(m_more, &CPortalButtonsPage::portalClicked, this, &CWebpagePerformanceDlg::onMoreButton);
    connect(m_more, &CPortalButtonsPage::lastClicked, this, [this] {
        m_portal->show();
        m_more->hide();
    });
}

CWebView* CWebpagePerformanceDlg::ensureView()
{
    if (m_view)
        return m_view;
    m_view = new CWebView(this);
    m_view->setObjectName(QStringLiteral("CWebView"));
    m_view->move(0, kBodyTop); // the view has its one size on every path
    if (m_context.webpage.bound.count() > 0)
        m_view->setBound(m_context.webpage.bound);
    m_view->hide();
    connect(m_view, &CWebView::firstScreen, this, &CWebpagePerformanceDlg::onFirstScreen);
    return m_view;
}

void CWebpagePerformanceDlg::showView()
{
    ensureView()->show();
    m_view->raise();
    m_portal->hide();
    m_more->hide();
}

void CWebpagePerformanceDlg::StartPageTest(const std::string& url, bool automatic)
{
    m_pageUnderTest = url;
    m_automaticRun = automatic;
    m_resultLabel->clear();
    flags::webTestRunning = 1;
    ensureView()->NavigateForTest(fromUtf8(url));
}

void CWebpagePerformanceDlg::OnStart()
{
    const std::string address = m_address->text().toStdString();
    if (address.empty()) {
        warn(text::kEmptyAddress);
        return;
    }
    if (!measure::PassesAddressPattern(address)) {
        warn(text::kBadAddress);
        return;
    }
    flags::autoAbortArmed = 0;
    if (!m_ready) {
        // A measurement is still going: this press only arms the next one.
        m_ready = true;
        return;
    }
    m_ready = false;
    showView();
    StartPageTest(address);
}

void CWebpagePerformanceDlg::checkConnection(const std::string& url, std::function<void(bool)> done)
{
    CheckConnection(this, m_context.webpage.checkConnection, url, CWebView::addressUrl(fromUtf8(url)), std::move(done));
}

void CWebpagePerformanceDlg::onPortalButton(const QString& address)
{
    const std::string url = address.toStdString();
    QPointer<CWebpagePerformanceDlg> self(this);
    checkConnection(url, [self, url](bool reachable) {
        if (!self)
            return;
        if (!reachable) {
            self->warn(text::kNoConnection);
            self->m_portal->show();
            return;
        }
        flags::autoAbortArmed = 0;
        self->m_address->setText(fromUtf8(url));
        self->showView();
        self->m_ready = false;
        self->StartPageTest(url);
    });
}

void CWebpagePerformanceDlg::onMoreButton(const QString& address)
{
    m_startedFromMore = true;
    flags::autoAbortArmed = 0;
    m_address->setText(address);
    showView();
    m_ready = false;
    StartPageTest(address.toStdString());
}

void CWebpagePerformanceDlg::OnReturn()
{
    m_ready = true;
    if (m_view)
        m_view->hide();
    if (m_startedFromMore) {
        m_startedFromMore = false;
        m_more->show();
        m_portal->hide();
    } else {
        m_portal->show();
        m_more->hide();
    }
}

int CWebpagePerformanceDlg::runAutomatic(bool, bool)
{
    const WebpageServices& services = m_context.webpage;
    if (!(services.networkAlive ? services.networkAlive() : platform::IsNetworkAlive()))
        return 0;
    const std::string userId = currentUser().userId;
    std::vector<std::string> sites;
    if (services.autoSites) {
        sites = services.autoSites(userId);
    } else {
        std::string selected;
        ReadModuleItems(userId, sites, selected, "2");
        if (selected == "true")
            ReadTaskItems(userId, sites, "2");
    }
    if (sites.empty())
        return 0;
    measure::RandomSource random = services.random;
    if (!random) {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        random = [] { return std::rand(); };
    }
    const std::string site = measure::PickAutoSite(sites, random);
    m_ready = false;
    // Shown first: the view then measures on the page when the window is
    // shown, and off screen when it is in the tray.
    showView();
    StartPageTest(site, true);
    return 2;
}

void CWebpagePerformanceDlg::onFirstScreen(const measure::FirstScreenResult& result)
{
    flags::webTestRunning = 0;
    m_ready = true;
    const bool manual = flags::autoAbortArmed.load() == 0;
    if (result.failed()) {
        // Nothing measured, nothing recorded; the user is told.
        m_resultLabel->setText(QString::fromUtf8(measure::FailureText(result.end)));
        if (flags::autoMode.load())
            ++flags::completedTaskCount;
        Q_EMIT recordHandled(false, QString());
        if (manual)
            m_context.dialogs->warning(this, m_resultLabel->text());
        Q_EMIT measurementEnded(result);
        return;
    }
    const QString resultText = m_view->resultText();
    QString line = resultText;
    if (result.fcpMs)
        line += QStringLiteral("    首次内容绘制：%1 ms").arg(*result.fcpMs, 0, 'f', 0);
    if (result.lcpMs)
        line += QStringLiteral("    最大内容绘制：%1 ms").arg(*result.lcpMs, 0, 'f', 0);
    m_resultLabel->setText(line);
    if (!(flags::autoAbortArmed.load() && flags::stopRequested.load()))
        OnRecordReady(result);
    else
        Q_EMIT recordHandled(false, QString());
    if (flags::autoMode.load())
        ++flags::completedTaskCount;
    if (manual) {
        QString shown = resultText;
        if (result.fcpMs || result.lcpMs)
            shown += QStringLiteral("\n首次内容绘制：%1\n最大内容绘制：%2")
                         .arg(result.fcpMs ? QString::number(*result.fcpMs, 'f', 0) + QStringLiteral(" ms")
                                           : QStringLiteral("—"),
                              result.lcpMs ? QString::number(*result.lcpMs, 'f', 0) + QStringLiteral(" ms")
                                           : QStringLiteral("—"));
        if (m_context.webpage.showResult) {
            m_context.webpage.showResult(this, shown);
        } else {
            CWebResultDlg dlg(shown, this);
            dlg.exec();
        }
    }
    Q_EMIT measurementEnded(result);
}

void CWebpagePerformanceDlg::OnRecordReady(const measure::FirstScreenResult& result)
{
    writeRecord(measure::ScreenRecord(m_pageUnderTest, result.seconds, result.fcpMs), m_automaticRun);
}

void CWebpagePerformanceDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OnStart();
        return;
    }
    if (event->key() == Qt::Key_Escape)
        return; // swallowed
    QWidget::keyPressEvent(event);
}

} // namespace quorvane
