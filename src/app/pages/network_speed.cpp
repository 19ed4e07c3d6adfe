#include "app/pages/network_speed.h"

#include "app/pages/shell_dialogs.h"
#include "common/log_file.h"
#include "config/readers.h"
#include "config/user_documents.h"
#include "ui/message_dialogs.h"
#include "ui/picture_ctrl_dashboard.h"
#include "ui/skin.h"

#include <QComboBox>
#include <QLabel>
#include <QToolTip>

#include <chrono>

namespace quorvane
{

using measure::BandwidthRun;
using measure::Direction;
using measure::DirectionSummary;
namespace text = measure::bandwidth_text;

namespace
{

QString msText(const std::optional<double>& ms)
{
    if (!ms)
        return QStringLiteral("—");
    // A nearby server answers within a millisecond: one decimal would say 0.
    return QString::number(*ms, 'f', *ms < 1 ? 2 : 1) + QStringLiteral(" ms");
}

constexpr int kGaugeTop = 78;
constexpr int kBarTop = 292;
constexpr int kBandTop = 372;
constexpr int kBandHeight = 64;
constexpr int kLatencyTop = 440;
constexpr int kButtonsTop = 478;

} // namespace

QString latencyText(const measure::LatencyReport& r)
{
    return QStringLiteral("时延  空闲：%1    下载时：%2    上传时：%3")
        .arg(msText(r.idleMs), msText(r.downloadMs), msText(r.uploadMs));
}

QString speedText(float averageMBps)
{
    return QString::number(static_cast<double>(averageMBps), 'f', 2);
}

QString bandwidthText(float bandwidthMb)
{
    return QString::number(static_cast<double>(bandwidthMb), 'f', 1) + QLatin1Char('M');
}

// The engine's reports, re-posted to the page's thread. The question asked
// inside StartManualTest comes on the page's own thread and is answered at
// once.
class CNetworkSpeed::Observer final : public PageObserver<CNetworkSpeed, measure::BandwidthObserver>
{
public:
    using PageObserver::PageObserver;

    bool askYesNo(const std::string& t) override
    {
        return m_page->m_context.dialogs->select(m_page, fromUtf8(t), false) == ui::kIdYes;
    }

    void manualRunStarted() override
    {
        post([](CNetworkSpeed* p) { p->onManualRunStarted(); });
    }
    void gaugeSpeed(int kilobits) override
    {
        const auto k = static_cast<std::uint64_t>(std::max(0, kilobits));
        post([k](CNetworkSpeed* p) { p->m_gauge->SetSpeed(k); });
    }
    void serverLatency(const std::string& pingRtt) override
    {
        post([pingRtt](CNetworkSpeed* p) {
            p->m_latency->setText(QStringLiteral("服务器时延：%1 ms").arg(fromUtf8(pingRtt)));
        });
    }
    void directionDone(const DirectionSummary& summary) override
    {
        post([summary](CNetworkSpeed* p) { p->onDirectionDone(summary); });
    }
    void rankPosition(int pixels) override
    {
        post([pixels](CNetworkSpeed* p) {
            // A download without a figure has no rank: no bar at zero.
            if (p->m_shownDownMb)
                p->m_rankBar->SetPosition(pixels);
            else
                p->m_rankBar->hide();
        });
    }
    void recordReady(const BandwidthRun&) override
    {
        post([](CNetworkSpeed* p) { p->OnRecordReady(); });
    }
    void runEnded(const BandwidthRun& run) override
    {
        post([run](CNetworkSpeed* p) { p->onRunEnded(run); });
    }
};

CNetworkSpeed::CNetworkSpeed(const ShellContext& context, LatestResult latestResult, QWidget* parent)
    : CSpeedTestDlg(context, std::move(latestResult), parent)
{
    setObjectName(QStringLiteral("CNetworkSpeed"));
    NetworkSpeedServices& services = m_context.bandwidth;
    measure::BandwidthTestSettings settings = services.engine;
    if (!settings.contractChoices && services.contractBandwidths)
        settings.contractChoices = services.contractBandwidths;
    settings.installDir = setUpRecording(settings.installDir, services.head, settings.clock, services.transport);
    setResultBand(12, kBandTop, kBandHeight);

    m_observer = std::make_unique<Observer>(this);
    m_engine = std::make_unique<measure::BandwidthTest>(std::move(settings), m_observer.get());

    buildControls();
    showNoData();
    OnInitDialog();
}

CNetworkSpeed::~CNetworkSpeed()
{
    // A run still going reports to this page until it ends: end it first.
    m_engine.reset();
}

void CNetworkSpeed::buildControls()
{
    const QFont plain = ui::Skin::font(12);
    const QString comboStyle = QStringLiteral(
        "QComboBox { border: 1px solid #9db6d3; border-radius: 3px; padding: 2px 6px; background: white; }");
    auto combo = [&](const char* name, const QRect& g) {
        auto* c = new QComboBox(this);
        c->setObjectName(QLatin1String(name));
        c->setFont(plain);
        c->setStyleSheet(comboStyle);
        c->setGeometry(g);
        return c;
    };

    addCaption(QStringLiteral("测速省份："), QRect(16, 12, 70, 26));
    m_province = combo("province", QRect(84, 12, 110, 26));
    addCaption(QStringLiteral("测速服务器："), QRect(206, 12, 84, 26));
    m_server = combo("server", QRect(288, 12, 234, 26));
    addCaption(QStringLiteral("签约带宽："), QRect(16, 46, 70, 26));
    m_contract = combo("contract", QRect(84, 46, 110, 26));
    m_share = new QLabel(this);
    m_share->setObjectName(QStringLiteral("contractShare"));
    m_share->setFont(ui::Skin::font(12, true));
    m_share->setStyleSheet(QStringLiteral("color: #1e6fc8;"));
    m_share->setGeometry(206, 46, 316, 26);
    m_share->setToolTip(QStringLiteral("本次下行带宽占所选签约带宽的比例"));

    // A province the user picks refills the server list (1136), after the
    // pick has settled.
    connect(m_province, &QComboBox::activated, this, [this](int) {
        QMetaObject::invokeMethod(
            this, [this] { fillServers(m_province->currentText()); }, Qt::QueuedConnection);
    });
    connect(m_contract, &QComboBox::activated, this, &CNetworkSpeed::onContractChosen);

    m_gauge = new ui::CPictureCtrlDashboard(this);
    m_gauge->setObjectName(QStringLiteral("speedGauge"));
    m_gauge->SetMode(ui::CPictureCtrlDashboard::kGauge);
    const QSize g = m_gauge->sizeHint();
    m_gauge->setGeometry((kTestPageWidth - g.width()) / 2, kGaugeTop, g.width(), g.height());

    m_rankBar = new ui::CPictureCtrlDashboard(this);
    m_rankBar->setObjectName(QStringLiteral("rankBar"));
    m_rankBar->SetMode(ui::CPictureCtrlDashboard::kRankBar);
    const QSize b = m_rankBar->sizeHint();
    m_rankBar->setGeometry((kTestPageWidth - b.width()) / 2, kBarTop, b.width(), b.height());

    static const char* const kCaptions[] = {"下载速率(MB/s)", "下行带宽", "上传速率(MB/s)", "上行带宽"};
    static const char* const kNames[] = {"downSpeed", "downBandwidth", "upSpeed", "upBandwidth"};
    m_results = addResultColumns(kCaptions, kNames, 18);

    m_latency = new QLabel(this);
    m_latency->setObjectName(QStringLiteral("latency"));
    m_latency->setFont(ui::Skin::font(12));
    m_latency->setStyleSheet(QStringLiteral("color: #555;"));
    m_latency->setAlignment(Qt::AlignCenter);
    m_latency->setGeometry(16, kLatencyTop, kTestPageWidth - 32, 24);
    m_latency->setToolTip(QStringLiteral("测速服务器的往返时延：线路空闲时，以及下载、上传占满线路时（中位数）"));

    m_start = new ui::SkinButton(QStringLiteral("network speed/start"), QString::fromUtf8(text::kStartCaption),
                                 ui::SkinButton::Style::Primary, this);
    m_start->setObjectName(QStringLiteral("start"));
    m_start->setGeometry(kTestPageWidth / 2 - 130, kButtonsTop, 120, 36);
    connect(m_start, &QAbstractButton::clicked, this, &CNetworkSpeed::StartManualTest);

    m_explain = new ui::SkinButton(QStringLiteral("network speed/explain"), QString::fromUtf8(text::kExplainCaption),
                                   ui::SkinButton::Style::Plain, this);
    m_explain->setObjectName(QStringLiteral("explain"));
    m_explain->setGeometry(kTestPageWidth / 2 + 10, kButtonsTop, 120, 36);
    m_explain->setToolTip(QString::fromUtf8(text::kExplainTooltip));
    // A click shows the explanation too, for those who do not hover.
    connect(m_explain, &QAbstractButton::clicked, this, [this] {
        QToolTip::showText(m_explain->mapToGlobal(QPoint(0, m_explain->height())), m_explain->toolTip(), m_explain);
    });
}

void CNetworkSpeed::showNoData()
{
    for (QLabel* l : m_results)
        l->setText(QString::fromUtf8(text::kNoData));
    m_shownDownMb.reset();
    m_share->clear();
}

void CNetworkSpeed::showShare()
{
    const auto share = m_shownDownMb ? m_engine->contractShare(*m_shownDownMb) : std::nullopt;
    m_share->setText(share ? fromUtf8(ContractShareText(share->percent)) : QString());
}

void CNetworkSpeed::watchShortfall(const BandwidthRun& run)
{
    const auto share = m_engine->contractShare(run.download.bandwidthMb());
    if (!share)
        return; // no contract to judge against
    const std::string userId = m_context.session ? m_context.session->get().userId : std::string();
    const auto notice = m_watch.addResult(share->percent, share->contract.label, ReadShortfallSettings(userId));
    if (!notice)
        return;
    CLogFile::append((m_installDir / "auto.txt").string(), notice->text());
    Q_EMIT shortfallNotice(fromUtf8(notice->title()), fromUtf8(notice->text()));
}

// --- lists ------------------------------------------------------------------------

void CNetworkSpeed::OnInitDialog()
{
    const UserSession user = currentUser();
    m_shownFor = userKey(user);
    m_engine->setUser(user);
    m_engine->Initialise();
    fillProvinces();
    const int index = measure::ProvinceIndexFor(m_engine->catalog(), m_engine->userLocation().province);
    m_province->setCurrentIndex(index);
    fillServers(m_province->currentText());
    fillContractBandwidths(user.userId);
}

std::string CNetworkSpeed::userKey(const UserSession& user) const
{
    return user.userId + '\n' + user.location1 + '\n' + user.location2;
}

void CNetworkSpeed::fillProvinces()
{
    m_province->clear();
    for (const measure::ProvinceEntry& p : m_engine->catalog())
        m_province->addItem(fromUtf8(p.name));
}

void CNetworkSpeed::fillServers(const QString& pickedProvince)
{
    std::vector<std::string> known;
    if (m_context.bandwidth.knownProvinces)
        known = m_context.bandwidth.knownProvinces();
    else
        ReadProvinces(known);
    const measure::ServerListing listing =
        measure::FillServerList(m_engine->catalog(), pickedProvince.toStdString(), m_engine->userLocation(), known,
                                m_engine->recommendedServer());
    m_server->clear();
    for (const std::string& name : listing.names)
        m_server->addItem(fromUtf8(name));
    m_server->setCurrentIndex(listing.selected);
}

void CNetworkSpeed::fillContractBandwidths(const std::string& userId)
{
    m_contractChoices.clear();
    if (m_context.bandwidth.contractBandwidths)
        m_contractChoices = m_context.bandwidth.contractBandwidths(userId);
    else
        ReadContractBandwidths(userId, m_contractChoices);
    m_contract->clear();
    for (const auto& [id, label] : m_contractChoices)
        m_contract->addItem(fromUtf8(label));
    if (!m_contractChoices.empty())
        m_contract->setCurrentIndex(measure::ContractBandwidthIndex(m_contractChoices, m_engine->contractBandwidth()));
}

void CNetworkSpeed::onContractChosen(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= m_contractChoices.size())
        return;
    m_engine->saveContractBandwidth(m_contractChoices[static_cast<std::size_t>(index)].first);
    showShare();
}

// --- runs ------------------------------------------------------------------------

void CNetworkSpeed::StartManualTest()
{
    if (!m_start->isEnabled() || m_engine->manualRunActive())
        return; // a second start while a run goes is ignored
    if (m_context.session)
        m_engine->setUser(m_context.session->get());
    m_engine->setSelection(m_province->currentText().toStdString(), m_server->currentText().toStdString());
    m_engine->StartManualTest();
}

int CNetworkSpeed::runAutomatic(bool useStoredKey, bool isAutomatic)
{
    // The session's user, whose location picks the server (the lists may
    // still show an earlier one).
    return m_engine->RunAutoTest(useStoredKey, isAutomatic);
}

void CNetworkSpeed::onManualRunStarted()
{
    showNoData();
    m_start->setEnabled(false);
    m_latency->clear();
    m_gauge->SetSpeed(0);
    m_rankBar->SetPosition(0);
    m_rankBar->show();
    m_gauge->Animate(1);
    m_rankBar->Animate(1);
    update(resultBand());
}

void CNetworkSpeed::onDirectionDone(const DirectionSummary& summary)
{
    const bool down = summary.direction == Direction::Download;
    // A direction cut short before its 15 samples has no figure; 0.00 would
    // read as a line that carried nothing.
    const bool figure = summary.completed;
    m_results[down ? kDownSpeed : kUpSpeed]->setText(figure ? speedText(summary.averageMBps)
                                                            : QString::fromUtf8(text::kNoData));
    m_results[down ? kDownBandwidth : kUpBandwidth]->setText(figure ? bandwidthText(summary.bandwidthMb())
                                                                    : QString::fromUtf8(text::kNoData));
    if (down) {
        if (figure)
            m_shownDownMb = summary.bandwidthMb();
        else
            m_shownDownMb.reset();
        showShare();
    }
    if (!down)
        m_gauge->Animate(0);
}

void CNetworkSpeed::OnRecordReady()
{
    const measure::RecordResult r = handOverRecord(*m_engine);
    // Only automatic results (written as such) count towards the notice; a
    // run that left no record is no result and leaves the episode as it is.
    const BandwidthRun run = m_engine->lastRun();
    if (r.written && !run.manual && !r.record.latestResultText.empty())
        watchShortfall(run);
}

void CNetworkSpeed::onRunEnded(const BandwidthRun& run)
{
    if (run.manual) {
        m_start->setEnabled(true);
        m_gauge->Animate(0);
        m_rankBar->Animate(0);
        if (run.latency.idleCount + run.latency.downloadCount + run.latency.uploadCount > 0)
            m_latency->setText(latencyText(run.latency));
    }
    Q_EMIT runEnded(run.outcome == measure::RunOutcome::Completed);
}

void CNetworkSpeed::ResetResults()
{
    showNoData();
    m_gauge->SetSpeed(0);
    m_rankBar->SetPosition(0);
    m_rankBar->show();
    m_latency->clear();
}

} // namespace quorvane
