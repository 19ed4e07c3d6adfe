#include "app/pages/file_download.h"

#include "ui/skin.h"

#include <QAbstractItemView>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPainter>
#include <QValueAxis>

#include <cmath>

namespace quorvane
{

using measure::DownloadRun;
namespace text = measure::download_text;

namespace
{

constexpr int kChartTop = 52;
constexpr int kChartHeight = 330;
constexpr int kBandTop = 392;
constexpr int kBandHeight = 64;
constexpr int kButtonTop = 478;
constexpr int kChartSeconds = 30;      // the load limit: one point a second fills the width
const QColor kSeriesColour(255, 0, 0); // the colour value 255

// "64", "1024", "65536": the rate at a chart value, for the axis.
QString rateLabel(double value)
{
    return QString::number(std::llround(measure::ChartRate(value)));
}

} // namespace

// The engine's reports, re-posted to the page's thread.
class CFileDownload::Observer final : public PageObserver<CFileDownload, measure::FileDownloadObserver>
{
public:
    using PageObserver::PageObserver;

    void manualRunStarted() override
    {
        // On the page's thread already (inside StartManualTest).
        m_page->onManualRunStarted();
    }
    void loadEnded() override
    {
        post([](CFileDownload* p) { p->m_timer.stop(); });
    }
    void finalLabels(const DownloadRun&, const measure::FinalLabels& labels) override
    {
        post([labels](CFileDownload* p) { p->onFinalLabels(labels); });
    }
    void recordReady(const DownloadRun&) override
    {
        post([](CFileDownload* p) { p->OnRecordReady(); });
    }
    void runEnded(const DownloadRun& run) override
    {
        post([run](CFileDownload* p) { p->onRunEnded(run); });
    }
};

CFileDownload::CFileDownload(const ShellContext& context, LatestResult latestResult, RecordShipper* shipper,
                             QWidget* parent)
    : CSpeedTestDlg(context, std::move(latestResult), parent)
{
    setObjectName(QStringLiteral("CFileDownload"));
    measure::FileDownloadSettings settings = m_context.download.engine;
    settings.installDir = setUpRecording(settings.installDir, m_context.download.head, settings.clock,
                                         m_context.download.transport, shipper);
    setResultBand(12, kBandTop, kBandHeight);

    m_observer = std::make_unique<Observer>(this);
    m_engine = std::make_unique<measure::FileDownloadTest>(std::move(settings), m_observer.get());

    m_timer.setInterval(measure::kDownloadTimerMs);
    connect(&m_timer, &QTimer::timeout, this, &CFileDownload::OnTimer);

    buildControls();
    buildChart();
    showNoValues();
    OnInitDialog();
}

CFileDownload::~CFileDownload()
{
    // A run still going reports to this page until it ends: end it first.
    m_engine.reset();
}

void CFileDownload::buildControls()
{
    const QFont plain = ui::Skin::font(12);

    addCaption(QStringLiteral("下载文件："), QRect(16, 12, 70, 28));
    m_urlBox = new QComboBox(this);
    m_urlBox->setObjectName(QStringLiteral("url"));
    m_urlBox->setEditable(true);
    m_urlBox->setInsertPolicy(QComboBox::NoInsert);
    m_urlBox->setFont(plain);
    m_urlBox->setStyleSheet(QStringLiteral(
        "QComboBox { border: 1px solid #9db6d3; border-radius: 3px; padding: 2px 6px; background: white; }"
        "QComboBox QAbstractItemView::item { min-height: 20px; }"));
    m_urlBox->setGeometry(84, 12, kTestPageWidth - 100, 28);
    m_urlBox->lineEdit()->setPlaceholderText(QStringLiteral("选择预设文件，或输入 http:// 下载地址"));
    // A picked preset's URL replaces its name in the box (1124), after the
    // pick has settled.
    connect(m_urlBox, &QComboBox::activated, this,
            [this](int) { QMetaObject::invokeMethod(this, &CFileDownload::OnPresetChosen, Qt::QueuedConnection); });

    static const char* const kCaptions[] = {"文件大小(KB)", "连接时间(秒)", "已下载(KB)", "加载时间(秒)",
                                            "平均速率(KB/s)"};
    static const char* const kNames[] = {"totalSize", "connectTime", "downloaded", "loadingTime", "averageSpeed"};
    m_labels = addResultColumns(kCaptions, kNames, 16);

    m_start = new ui::SkinButton(QStringLiteral("file download/start"), QString::fromUtf8(text::kStartCaption),
                                 ui::SkinButton::Style::Primary, this);
    m_start->setObjectName(QStringLiteral("start"));
    m_start->setGeometry(kTestPageWidth / 2 - 60, kButtonTop, 120, 36);
    connect(m_start, &QAbstractButton::clicked, this, &CFileDownload::StartManualTest);
}

void CFileDownload::buildChart()
{
    auto* chart = new QChart();
    chart->legend()->hide();
    chart->setBackgroundRoundness(6);
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->setTitle(QStringLiteral("下载速率（每秒）"));
    chart->setTitleFont(ui::Skin::font(12, true));

    m_series = new QLineSeries(chart);
    m_series->setPen(QPen(kSeriesColour, 2));
    chart->addSeries(m_series);

    auto* seconds = new QValueAxis(chart);
    seconds->setRange(0, kChartSeconds);
    seconds->setTickCount(7);
    seconds->setLabelFormat(QStringLiteral("%d"));
    seconds->setTitleText(QStringLiteral("秒"));
    seconds->setLabelsFont(ui::Skin::font(10));

    // The scale is not linear: each step of it is a doubling of the rate,
    // from 128 KB/s (where the curve turns logarithmic) up; below, the
    // steps shrink towards 0. The axis names the rate at every step.
    auto* rate = new QCategoryAxis(chart);
    rate->setRange(0, measure::kChartTop);
    rate->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    rate->append(QStringLiteral("0"), 0);
    for (int v = 1; v <= static_cast<int>(measure::kChartTop); ++v)
        rate->append(rateLabel(v), v);
    rate->setTitleText(QStringLiteral("KB/s"));
    rate->setLabelsFont(ui::Skin::font(10));

    chart->addAxis(seconds, Qt::AlignBottom);
    chart->addAxis(rate, Qt::AlignLeft);
    m_series->attachAxis(seconds);
    m_series->attachAxis(rate);

    m_chartView = new QChartView(chart, this);
    m_chartView->setObjectName(QStringLiteral("speedChart"));
    m_chartView->setRenderHint(QPainter::Antialiasing);
    m_chartView->setGeometry(12, kChartTop, kTestPageWidth - 24, kChartHeight);
}

void CFileDownload::showNoValues()
{
    for (QLabel* l : m_labels)
        l->setText(QString::fromUtf8(text::kNoValue));
}

void CFileDownload::clearChart()
{
    m_series->clear();
    if (auto* axis = qobject_cast<QValueAxis*>(m_chartView->chart()->axes(Qt::Horizontal).value(0)))
        axis->setRange(0, kChartSeconds);
}

// --- presets ------------------------------------------------------------------------

void CFileDownload::OnInitDialog()
{
    const UserSession user = currentUser();
    m_shownFor = userKey(user);
    m_engine->setUser(user);
    m_engine->LoadPresets();
    const QString typed = m_urlBox->currentText();
    m_urlBox->clear();
    for (const std::string& name : m_engine->presets().names) {
        if (!name.empty())
            m_urlBox->addItem(fromUtf8(name));
    }
    m_urlBox->setCurrentIndex(-1);
    m_urlBox->setEditText(typed);
}

void CFileDownload::OnPresetChosen()
{
    if (const auto url = m_engine->ChoosePreset(m_urlBox->currentText().toStdString()))
        m_urlBox->setEditText(fromUtf8(*url));
}

// --- runs ------------------------------------------------------------------------

void CFileDownload::StartManualTest()
{
    if (!m_start->isEnabled() || m_engine->manualRunActive())
        return; // a second start while a run goes is ignored
    if (m_context.session)
        m_engine->setUser(m_context.session->get());
    m_engine->StartManualTest(m_urlBox->currentText().toStdString());
}

void CFileDownload::takeUser(const UserSession& now)
{
    // Their presets name the file and fill `website`.
    const bool otherUser = now.userId != m_engine->user().userId;
    m_engine->setUser(now);
    if (otherUser)
        m_engine->LoadPresets();
}

int CFileDownload::runAutomatic(bool useStoredKey, bool isAutomatic)
{
    return m_engine->RunAutoTest(useStoredKey, isAutomatic);
}

void CFileDownload::onManualRunStarted()
{
    showNoValues();
    clearChart();
    m_start->setEnabled(false);
    m_timer.start();
}

void CFileDownload::OnTimer()
{
    const measure::FileDownloadTest::Tick tick = m_engine->OnTimer();
    if (!tick.active)
        return;
    m_labels[kTotalSize]->setText(fromUtf8(tick.labels.totalSize));
    m_labels[kConnectTime]->setText(fromUtf8(tick.labels.connectTime));
    m_labels[kDownloaded]->setText(fromUtf8(tick.labels.downloaded));
    // A line faster than the axis shows stays on its top edge.
    m_series->append(tick.pointIndex, std::min(tick.pointValue, measure::kChartTop));
    if (auto* axis = qobject_cast<QValueAxis*>(m_chartView->chart()->axes(Qt::Horizontal).value(0));
        axis && tick.pointIndex > axis->max())
        axis->setMax(tick.pointIndex);
}

void CFileDownload::onFinalLabels(const measure::FinalLabels& labels)
{
    m_labels[kLoadingTime]->setText(fromUtf8(labels.loadingTime));
    m_labels[kAverageSpeed]->setText(fromUtf8(labels.averageSpeed));
}

void CFileDownload::OnRecordReady()
{
    handOverRecord(*m_engine);
}

void CFileDownload::onRunEnded(const DownloadRun& run)
{
    if (run.manual) {
        m_timer.stop();
        m_start->setEnabled(true);
    }
    Q_EMIT runEnded(run.recordable());
}

void CFileDownload::ResetResults()
{
    showNoValues();
    clearChart();
}

} // namespace quorvane
