#include "app/pages/history_record.h"

#include "common/paths.h"
#include "config/readers.h"
#include "config/user_documents.h"
#include "config/xml_doc.h"
#include "measure/bandwidth_test.h"
#include "results/history.h"
#include "ui/skin.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineEdit>
#include <QLineSeries>
#include <QPainter>
#include <QSaveFile>
#include <QTableWidget>
#include <QTimeZone>
#include <QValueAxis>
#include <QtCharts/QChartView>

#include <array>
#include <cmath>
#include <fstream>
#include <limits>

namespace quorvane
{
namespace
{

constexpr int kLeft = 24; // content offsets from the page's corner
constexpr int kTop = 15;
const QColor kPageColour(0xEE, 0xFA, 0xFC);
const std::array<QColor, 4> kSeriesColours = {QColor(0x1e, 0x6f, 0xc8), QColor(0x2a, 0xa1, 0x4b),
                                              QColor(0xe0, 0x7b, 0x10), QColor(0x9b, 0x3d, 0xc8)};

QColor rgb(unsigned value)
{
    return QColor((value >> 16) & 0xff, (value >> 8) & 0xff, value & 0xff);
}

// The time stamp's wall-clock reading, placed on the local time line so the
// axis prints what the record says.
qint64 axisMs(long long seconds)
{
    const QDateTime utc = QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc());
    return QDateTime(utc.date(), utc.time()).toMSecsSinceEpoch();
}

} // namespace

CHistoryRecord::CHistoryRecord(const ShellContext& context, QWidget* parent) : QWidget(parent), m_context(context)
{
    setObjectName(QStringLiteral("CHistoryRecord"));
    const QFont plain = ui::Skin::font(12);

    auto* searchCaption = new QLabel(QStringLiteral("搜索："), this);
    searchCaption->setFont(plain);
    searchCaption->setGeometry(kLeft, kTop, 40, 26);
    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("search"));
    m_search->setFont(plain);
    m_search->setPlaceholderText(QStringLiteral("时间、类型、名称或指标"));
    m_search->setClearButtonEnabled(true);
    m_search->setGeometry(kLeft + 40, kTop, 170, 26);
    connect(m_search, &QLineEdit::textChanged, this, &CHistoryRecord::onSearchChanged);

    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("count"));
    m_count->setFont(plain);
    m_count->setGeometry(kLeft + 220, kTop, 90, 26);

    m_save = new QCheckBox(QStringLiteral("保存历史记录"), this);
    m_save->setObjectName(QStringLiteral("bsave"));
    m_save->setFont(plain);
    m_save->setToolTip(QStringLiteral("不勾选时，退出程序后删除历史记录"));
    m_save->setGeometry(kLeft + 310, kTop, 100, 26);
    connect(m_save, &QCheckBox::clicked, this, &CHistoryRecord::onSaveClicked);

    m_export = new ui::SkinButton(QStringLiteral("history/export"), QStringLiteral("导出CSV"),
                                  ui::SkinButton::Style::Plain, this);
    m_export->setObjectName(QStringLiteral("exportCsv"));
    m_export->setFont(plain);
    m_export->setGeometry(kLeft + 412, kTop, 76, 26);
    connect(m_export, &QAbstractButton::clicked, this, [this] {
        const QString file = chooseExportFile ? chooseExportFile(this) : QString();
        if (!file.isEmpty())
            exportCsv(file);
    });
    chooseExportFile = [](QWidget* parent) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("导出CSV"),
                                            QDir::home().filePath(QStringLiteral("测速历史记录.csv")),
                                            QStringLiteral("CSV 文件 (*.csv)"));
    };

    auto* chart = new QChart;
    chart->setMargins(QMargins(2, 2, 2, 2));
    chart->setBackgroundRoundness(0);
    chart->legend()->setAlignment(Qt::AlignTop);
    chart->legend()->setFont(ui::Skin::font(11));
    m_chartView = new QChartView(chart, this);
    m_chartView->setObjectName(QStringLiteral("chart"));
    m_chartView->setRenderHint(QPainter::Antialiasing);
    m_chartView->setGeometry(kLeft, kTop + 34, 490, 170);

    m_grid = new QTableWidget(0, 5, this);
    m_grid->setObjectName(QStringLiteral("grid"));
    QStringList titles;
    for (const char* title : kHistoryColumnTitles)
        titles << QString::fromUtf8(title);
    m_grid->setHorizontalHeaderLabels(titles);
    m_grid->setFont(plain);
    m_grid->horizontalHeader()->setFont(ui::Skin::font(12, true));
    m_grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_grid->horizontalHeader()->setHighlightSections(false);
    for (int c = 0; c < 5; ++c)
        m_grid->setColumnWidth(c, kColumnWidths[static_cast<std::size_t>(c)]);
    m_grid->verticalHeader()->hide();
    m_grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_grid->verticalHeader()->setDefaultSectionSize(kRowHeight);
    m_grid->setShowGrid(false);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setSelectionMode(QAbstractItemView::NoSelection);
    m_grid->setFocusPolicy(Qt::NoFocus);
    m_grid->setWordWrap(false);
    m_grid->setTextElideMode(Qt::ElideMiddle);
    m_grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    const QString grid = rgb(kGridRgb).name();
    m_grid->setStyleSheet(QStringLiteral("QTableWidget { background: %1; border: 1px solid #9db6d3; color: #333; }"
                                         "QHeaderView::section { background: %1; border: none; padding: 4px; }")
                              .arg(grid));
    m_grid->setGeometry(kLeft, kTop + 210, 490, 300);

    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setFont(plain);
    m_problem->setGeometry(kLeft, kTop + 514, 490, 22);
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->hide();

    Refresh(false);
}

QChart* CHistoryRecord::chart() const
{
    return m_chartView->chart();
}

std::string CHistoryRecord::userId() const
{
    return m_context.session ? m_context.session->get().userId : std::string();
}

void CHistoryRecord::say(const QString& text, bool problem)
{
    m_problem->setText(text);
    m_problem->setToolTip(ui::plainToolTip(text));
    m_problem->setStyleSheet(problem ? QStringLiteral("color: #d01b1b;") : QStringLiteral("color: #2a7a3b;"));
    m_problem->setVisible(!text.isEmpty());
}

void CHistoryRecord::OnInitDialog()
{
    say({}, false);
    const std::string id = userId();
    std::filesystem::path file = m_context.historyFile ? m_context.historyFile(id) : historyFilePath({}, id).string();
    if (file.is_relative())
        file = programPath(file.string());
    std::error_code ec;
    if (std::filesystem::exists(file, ec) && !std::ifstream(file))
        say(QStringLiteral("历史记录文件无法读取：%1").arg(QString::fromStdString(file.string())), true);
    m_all = historyRows(ReadHistoryFile(file));
    // The box writes the user's settings document: a user who never opened
    // the settings page gets it from the template here, so the box starts
    // from the shipped choice and has a document to write to.
    if (!id.empty()) {
        const std::string settings = userSettingsPath(id);
        CXmlDoc doc;
        doc.Load(settings);
        const bool unreadable = doc.source() == CXmlDoc::Source::Unparsable;
        if (EnsureUserSettings(id) && unreadable)
            say(QStringLiteral("设置文件 %1 无法读取，已另存为 .unreadable 并按默认设置重建。")
                    .arg(QString::fromStdString(settings)),
                true);
    }
    m_save->setChecked(ReadHistorySaving(id));
    std::vector<std::pair<std::string, std::string>> choices;
    ReadContractBandwidths(id, choices);
    const std::string mac = m_context.firstAdapterMac ? m_context.firstAdapterMac() : std::string();
    m_contract = measure::ReadChosenContract(std::filesystem::current_path(), mac, choices);
    m_shortPercent = ReadShortfallSettings(id).percent;
    onSearchChanged();
}

void CHistoryRecord::onSearchChanged()
{
    const std::string text = m_search->text().toStdString();
    if (text.empty()) {
        m_filtered.clear();
        Refresh(false);
        return;
    }
    m_filtered = filterHistory(m_all, text);
    Refresh(true);
}

void CHistoryRecord::onSaveClicked(bool checked)
{
    if (WriteHistorySaving(userId(), checked))
        return;
    // The box shows what the file says, so the user is never told the
    // history is kept when it is not.
    m_save->setChecked(ReadHistorySaving(userId()));
    say(QStringLiteral("无法保存此设置：%1 无法写入").arg(QString::fromStdString(userSettingsPath(userId()))), true);
}

void CHistoryRecord::Refresh(bool filtered)
{
    m_shown = filtered ? m_filtered : m_all;
    m_count->setText(QStringLiteral("总条数: %1").arg(m_shown.size()));
    fillGrid(m_shown);
    fillChart(m_shown);
    m_grid->scrollToBottom();
    update();
}

void CHistoryRecord::fillGrid(const std::vector<HistoryRow>& rows)
{
    m_grid->setUpdatesEnabled(false);
    m_grid->clearContents();
    const int n = static_cast<int>(rows.size());
    m_grid->setRowCount(n);
    const QBrush odd(rgb(kOddRowRgb));
    const QBrush even(rgb(kEvenRowRgb));
    const QBrush shortOfContract(rgb(kShortRowRgb));
    for (int r = 0; r < n; ++r) {
        // The newest record (last in the list) comes first; the colour goes
        // with the record's position in the list, not with the grid row.
        const int position = n - r;
        const HistoryRow& row = rows[static_cast<std::size_t>(position - 1)];
        std::optional<int> share;
        if (m_contract) {
            const auto point = historyPoint(row);
            if (point && point->series == HistorySeries::Bandwidth)
                share = ContractSharePercent(point->value, m_contract->mbit);
        }
        const bool isShort = share && *share < m_shortPercent;
        const QBrush& brush = isShort ? shortOfContract : position % 2 == 1 ? odd : even;
        for (int c = 0; c < 5; ++c) {
            auto* item = new QTableWidgetItem(
                c < row.cellCount ? QString::fromStdString(row.cells[static_cast<std::size_t>(c)]) : QString());
            item->setBackground(brush);
            // Names and addresses come from outside: a tip that looks like
            // markup must show as it stands.
            item->setToolTip(ui::plainToolTip(item->text()));
            if (c == 4 && share)
                item->setToolTip(ui::plainToolTip(
                    QStringLiteral("%1（%2）").arg(item->text(), QString::fromStdString(ContractShareText(*share)))));
            item->setFlags(Qt::ItemIsEnabled);
            m_grid->setItem(r, c, item);
        }
    }
    m_grid->setUpdatesEnabled(true);
}

void CHistoryRecord::fillChart(const std::vector<HistoryRow>& rows)
{
    QChart* chart = m_chartView->chart();
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }

    std::array<QLineSeries*, 4> series{};
    std::array<double, 4> top{};
    qint64 first = std::numeric_limits<qint64>::max();
    qint64 last = std::numeric_limits<qint64>::min();
    for (const HistoryRow& row : rows) {
        const auto point = historyPoint(row);
        if (!point)
            continue;
        const auto k = static_cast<std::size_t>(point->series);
        if (!series[k]) {
            series[k] = new QLineSeries;
            series[k]->setName(QStringLiteral("%1 (%2)").arg(QString::fromUtf8(kHistorySeriesNames[k]),
                                                             QString::fromUtf8(kHistorySeriesUnits[k])));
            series[k]->setColor(kSeriesColours[k]);
            series[k]->setPointsVisible(true);
        }
        const qint64 ms = axisMs(point->time);
        first = std::min(first, ms);
        last = std::max(last, ms);
        series[k]->append(static_cast<qreal>(ms), point->value);
        top[k] = std::max(top[k], point->value);
    }
    const bool any = std::any_of(series.begin(), series.end(), [](QLineSeries* s) { return s != nullptr; });
    chart->legend()->setVisible(any);
    if (!any) {
        chart->setTitle(QStringLiteral("没有可绘制的测速结果"));
        return;
    }
    chart->setTitle({});

    // Ticks on whole days, or on whole hours within one day, so that every
    // label names a different instant.
    auto* time = new QDateTimeAxis;
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(first);
    const QDateTime to = QDateTime::fromMSecsSinceEpoch(last);
    QDateTime start, end;
    int ticks;
    if (from.date() == to.date()) {
        start = QDateTime(from.date(), QTime(from.time().hour(), 0));
        end = QDateTime(to.date(), QTime(to.time().hour(), 0)).addSecs(3600);
        const int hours = static_cast<int>(start.secsTo(end) / 3600);
        int step = 1;
        while (hours / step > 6)
            ++step;
        end = start.addSecs(3600LL * step * ((hours + step - 1) / step));
        ticks = static_cast<int>(start.secsTo(end) / (3600LL * step)) + 1;
        time->setFormat(QStringLiteral("HH:mm"));
    } else {
        start = QDateTime(from.date(), QTime(0, 0));
        const int days = static_cast<int>(from.date().daysTo(to.date())) + 1;
        int step = 1;
        while (days / step > 6)
            ++step;
        end = QDateTime(from.date().addDays(step * ((days + step - 1) / step)), QTime(0, 0));
        ticks = static_cast<int>(from.date().daysTo(end.date()) / step) + 1;
        time->setFormat(QStringLiteral("MM-dd"));
    }
    time->setLabelsFont(ui::Skin::font(10));
    time->setTickCount(ticks);
    time->setRange(start, end);
    chart->addAxis(time, Qt::AlignBottom);

    // One value axis per unit: downloads and videos share KB/s.
    struct Unit {
        const char* text;
        std::vector<std::size_t> kinds;
        Qt::Alignment side;
    };
    const Unit units[] = {{"Mb/s", {0}, Qt::AlignLeft}, {"KB/s", {1, 3}, Qt::AlignRight}, {"s", {2}, Qt::AlignRight}};
    // The contract in the chart's own Mb (2^20 bits), so results above the
    // line are above what was sold.
    QLineSeries* contractLine = nullptr;
    if (m_contract && series[0]) {
        const double y = m_contract->mbit * 1e6 / 1048576.0;
        contractLine = new QLineSeries;
        contractLine->setName(QStringLiteral("签约带宽 %1").arg(QString::fromStdString(m_contract->label)));
        QPen pen(QColor(0xd0, 0x1b, 0x1b));
        pen.setStyle(Qt::DashLine);
        pen.setWidth(2);
        contractLine->setPen(pen);
        contractLine->append(static_cast<qreal>(start.toMSecsSinceEpoch()), y);
        contractLine->append(static_cast<qreal>(end.toMSecsSinceEpoch()), y);
        top[0] = std::max(top[0], y);
    }
    for (const Unit& unit : units) {
        double max = 0;
        bool used = false;
        for (std::size_t k : unit.kinds) {
            used = used || series[k];
            max = std::max(max, top[k]);
        }
        if (!used)
            continue;
        auto* axis = new QValueAxis;
        axis->setTitleText(QString::fromUtf8(unit.text));
        axis->setTitleFont(ui::Skin::font(10));
        axis->setLabelsFont(ui::Skin::font(10));
        axis->setLabelFormat(QStringLiteral("%.0f"));
        axis->setRange(0, max > 0 ? std::ceil(max * 1.15) : 1);
        axis->setTickCount(4);
        chart->addAxis(axis, unit.side);
        for (std::size_t k : unit.kinds) {
            if (!series[k])
                continue;
            chart->addSeries(series[k]);
            series[k]->attachAxis(time);
            series[k]->attachAxis(axis);
        }
        if (contractLine && unit.kinds.front() == 0) {
            chart->addSeries(contractLine);
            contractLine->attachAxis(time);
            contractLine->attachAxis(axis);
        }
    }
}

bool CHistoryRecord::exportCsv(const QString& file)
{
    const std::string text = historyCsv(newestFirst(m_shown));
    QSaveFile out(file);
    if (out.open(QIODevice::WriteOnly) &&
        out.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size()) && out.commit()) {
        say(QStringLiteral("已导出 %1 条记录到 %2").arg(m_shown.size()).arg(file), false);
        return true;
    }
    say(QStringLiteral("无法写入文件：%1").arg(file), true);
    return false;
}

void CHistoryRecord::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), kPageColour);
    const QPixmap background = ui::Skin::image(QStringLiteral("common/background"));
    if (!background.isNull())
        p.drawPixmap(rect(), background);
}

} // namespace quorvane
