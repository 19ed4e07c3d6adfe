#pragma once
// CFileDownload, the file download test page: the URL box with the preset
// files, the start button, five result labels and the speed chart. The
// measuring is the engine's (measure::FileDownloadTest); this page feeds it
// the box's text and shows what it reports.
//
// Thread-safety: GUI thread only. The engine reports from its run thread;
// every report is handed to this thread as a queued call (messages 1124 to
// 1126 of measure/file_download.h).
#include "app/pages/speed_test_dlg.h"
#include "measure/file_download.h"

#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <string>

class QComboBox;
class QLabel;
class QChartView;
class QLineSeries;

namespace quorvane
{

namespace ui
{
class SkinButton;
} // namespace ui

class CFileDownload : public CSpeedTestDlg
{
    Q_OBJECT
public:
    enum ResultLabel { kTotalSize = 0, kConnectTime = 1, kDownloaded = 2, kLoadingTime = 3, kAverageSpeed = 4 };

    // `latestResult` sets the main window's latest result text (automatic
    // results only); may be empty. `shipper` packs and uploads the records;
    // the program hands every page the same one, so that one upload run at
    // a time works on the data folders. Null: the page makes its own.
    CFileDownload(const ShellContext& context, LatestResult latestResult, RecordShipper* shipper,
                  QWidget* parent = nullptr);
    ~CFileDownload() override;

    // Reads the presets of the current user into the URL box.
    void OnInitDialog() override;
    // The start button.
    void StartManualTest();
    // RunAutoTest, for the scheduler, blocks its thread for the run.
    // Log-off: "--" in the labels, the chart emptied.
    void ResetResults();

    measure::FileDownloadTest& engine() const { return *m_engine; }

    // Controls, for tests and the screenshots.
    QComboBox* urlBox() const { return m_urlBox; }
    ui::SkinButton* startButton() const { return m_start; }
    QLabel* resultLabel(int label) const { return m_labels[static_cast<std::size_t>(label)]; }
    QLineSeries* speedSeries() const { return m_series; }
    const QTimer& speedTimer() const { return m_timer; }

Q_SIGNALS:
    // The end of every run, after its record (if any) was handled.
    void runEnded(bool completed);
    // recordHandled after 1126.

private:
    class Observer;
    friend class Observer;

    void takeUser(const UserSession& now) override;
    int runAutomatic(bool useStoredKey, bool isAutomatic) override;
    bool runActive() const override { return m_engine->manualRunActive(); }

    void buildControls();
    void buildChart();
    void showNoValues();
    void clearChart();

    // Handlers, on this thread.
    void OnPresetChosen(); // 1124
    void onManualRunStarted();
    void OnTimer();                                         // timer 1
    void onFinalLabels(const measure::FinalLabels& labels); // 1125
    void OnRecordReady();                                   // 1126
    void onRunEnded(const measure::DownloadRun& run);

    std::unique_ptr<Observer> m_observer;
    std::unique_ptr<measure::FileDownloadTest> m_engine; // last member: ends first

    QTimer m_timer;
    QComboBox* m_urlBox = nullptr;
    ui::SkinButton* m_start = nullptr;
    std::array<QLabel*, 5> m_labels{};
    QChartView* m_chartView = nullptr;
    QLineSeries* m_series = nullptr;
};

} // namespace quorvane
