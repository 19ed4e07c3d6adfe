#pragma once
// CHistoryRecord, the history page of the main window: the user's past
// measurements newest first in a five-column grid, a chart of the headline
// numbers over time, a search that filters both, the box that keeps the
// history beyond the program's end, and an export of the shown records as
// CSV. The page is rebuilt from the history file every time it is opened.
//
// Thread-safety: GUI thread only.
#include "app/pages/shell_context.h"
#include "results/contract_share.h"
#include "results/history_table.h"

#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QCheckBox;
class QChart;
class QChartView;
class QLabel;
class QLineEdit;
class QTableWidget;

namespace quorvane
{

namespace ui
{
class SkinButton;
}

class CHistoryRecord : public QWidget
{
    Q_OBJECT
public:
    // Colours of the grid: rows at odd and even positions of the shown list,
    // and the grid's background and header.
    static constexpr unsigned kOddRowRgb = 0xF4F8FC;
    static constexpr unsigned kEvenRowRgb = 0xFFFFFF;
    static constexpr unsigned kGridRgb = 0xCEE7FF;
    // Bandwidth rows below the user's share of the contracted bandwidth.
    static constexpr unsigned kShortRowRgb = 0xFCE3DE;
    static constexpr int kRowHeight = 35;
    static constexpr std::array<int, 5> kColumnWidths = {130, 60, 90, 110, 78};

    CHistoryRecord(const ShellContext& context, QWidget* parent = nullptr);

    // Reads the history file and the box afresh and shows every record (or
    // those the search text still matches).
    void OnInitDialog();
    // Fills grid, count and chart from all records (false) or from the
    // records of the last search (true).
    void Refresh(bool filtered);
    // Writes the shown records to `file` as CSV; false (and a line on the
    // page) when it could not be written.
    bool exportCsv(const QString& file);

    // Asks where to export; returns "" when the user gives up. A file dialog
    // unless a test replaces it.
    std::function<QString(QWidget* parent)> chooseExportFile;

    QTableWidget* grid() const { return m_grid; }
    QLabel* countLabel() const { return m_count; }
    QLineEdit* searchEdit() const { return m_search; }
    QCheckBox* saveBox() const { return m_save; }
    QChart* chart() const;
    QLabel* problemLine() const { return m_problem; }
    const std::vector<HistoryRow>& shownRows() const { return m_shown; }
    // The contract the rows are judged against (the user's pick on the
    // bandwidth page), read when the page opens.
    const std::optional<ContractedBandwidth>& contract() const { return m_contract; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void onSearchChanged();
    void onSaveClicked(bool checked);
    void fillGrid(const std::vector<HistoryRow>& rows);
    void fillChart(const std::vector<HistoryRow>& rows);
    void say(const QString& text, bool problem);
    std::string userId() const;

    ShellContext m_context;
    std::vector<HistoryRow> m_all;
    std::vector<HistoryRow> m_filtered;
    std::vector<HistoryRow> m_shown; // in list order (oldest first)
    std::optional<ContractedBandwidth> m_contract;
    int m_shortPercent = ShortfallSettings::kDefaultPercent;

    QLineEdit* m_search = nullptr;
    QLabel* m_count = nullptr;
    QCheckBox* m_save = nullptr;
    ui::SkinButton* m_export = nullptr;
    QChartView* m_chartView = nullptr;
    QTableWidget* m_grid = nullptr;
    QLabel* m_problem = nullptr;
};

} // namespace quorvane
