#pragma once
// CNetworkSpeed, the bandwidth test page: the province, server and
// contracted-bandwidth lists, the start and explanation buttons, the live
// needle gauge, the ranking bar and the result band with the line's latency
// idle and under load. The measuring itself is the engine's
// (measure::BandwidthTest); this page only feeds it the user's choices and
// shows what it reports.
//
// Thread-safety: GUI thread only. The engine reports from its worker
// threads; every report is handed to this thread as a queued call, under the
// message numbers of measure/bandwidth_texts.h.
#include "app/pages/speed_test_dlg.h"
#include "measure/bandwidth_test.h"
#include "results/contract_share.h"

#include <array>
#include <functional>
#include <memory>
#include <string>

class QComboBox;
class QLabel;

namespace quorvane
{

namespace ui
{
class CPictureCtrlDashboard;
class SkinButton;
} // namespace ui

// The latency line beside the result: the medians idle, while downloading and
// while uploading; "—" for a phase without an answer.
QString latencyText(const measure::LatencyReport& report);

// A result field's text for a direction: "%.2f" of the average speed and
// "%.1fM" of the bandwidth (decimal point whatever the locale).
QString speedText(float averageMBps);
QString bandwidthText(float bandwidthMb);

class CNetworkSpeed : public CSpeedTestDlg
{
    Q_OBJECT
public:
    enum ResultField { kDownSpeed = 0, kDownBandwidth = 1, kUpSpeed = 2, kUpBandwidth = 3 };

    // `latestResult` sets the main window's latest result text (automatic
    // results only); may be empty.
    CNetworkSpeed(const ShellContext& context, LatestResult latestResult, QWidget* parent = nullptr);
    ~CNetworkSpeed() override;

    // Loads the catalogue, fills the three lists for the current user and
    // selects the recommended server. Done at construction; again whenever
    // the user or the location changes (seen at the next paint).
    void OnInitDialog() override;

    // The start button.
    void StartManualTest();
    // Log-off: "无数据" in the four result fields, gauge and bar back to 0.
    void ResetResults();

    // RunAutoTest, for the scheduler, blocks its thread for the run. The
    // scheduler's release after an abandoned retry gives back the key the
    // engine still holds.
    void ReleaseKey() override { m_engine->ReleaseCurrentKey(); }

    measure::BandwidthTest& engine() const { return *m_engine; }
    // Packs and uploads this page's records; other pages may hand theirs to
    // it too, so that one upload run at a time works on the data folders.
    RecordShipper* shipper() const { return m_recording.shipper; }

    // Controls, for the main window's tests and the screenshots.
    QComboBox* provinceList() const { return m_province; }
    QComboBox* serverList() const { return m_server; }
    QComboBox* contractList() const { return m_contract; }
    ui::SkinButton* startButton() const { return m_start; }
    ui::SkinButton* explainButton() const { return m_explain; }
    QLabel* resultField(int field) const { return m_results[static_cast<std::size_t>(field)]; }
    QLabel* latencyLabel() const { return m_latency; }
    // "达到签约带宽的 87%" after a run, empty without a chosen contract.
    QLabel* shareLabel() const { return m_share; }
    ui::CPictureCtrlDashboard* speedGauge() const { return m_gauge; }
    ui::CPictureCtrlDashboard* rankBar() const { return m_rankBar; }

Q_SIGNALS:
    // The end of every run, after its record (if any) was handled.
    void runEnded(bool completed);
    // recordHandled after 1138.
    // Automatic results stayed short of the contracted bandwidth for as many
    // results in a row as the user asked (once per episode): for the tray.
    void shortfallNotice(const QString& title, const QString& text);

private:
    class Observer;
    friend class Observer;

    void takeUser(const UserSession& now) override { m_engine->setUser(now); }
    int runAutomatic(bool useStoredKey, bool isAutomatic) override;
    bool runActive() const override { return m_engine->manualRunActive(); }
    // The lists follow the user's location too.
    std::string userKey(const UserSession& user) const override;

    void buildControls();
    void fillProvinces();
    void fillServers(const QString& pickedProvince);
    void fillContractBandwidths(const std::string& userId);
    void onContractChosen(int index);
    void showNoData();
    void showShare();
    void watchShortfall(const measure::BandwidthRun& run);

    // Handlers of what the engine reports, on this thread.
    void onManualRunStarted();
    void onDirectionDone(const measure::DirectionSummary& summary); // 1137 / 1135
    void OnRecordReady();                                           // 1138
    void onRunEnded(const measure::BandwidthRun& run);

    std::unique_ptr<Observer> m_observer;
    std::unique_ptr<measure::BandwidthTest> m_engine; // last member: ends first

    std::vector<std::pair<std::string, std::string>> m_contractChoices;
    std::optional<float> m_shownDownMb; // the download figure on show, judged again when the contract changes
    ShortfallWatch m_watch;

    QComboBox* m_province = nullptr;
    QComboBox* m_server = nullptr;
    QComboBox* m_contract = nullptr;
    ui::SkinButton* m_start = nullptr;
    ui::SkinButton* m_explain = nullptr;
    std::array<QLabel*, 4> m_results{};
    QLabel* m_latency = nullptr;
    QLabel* m_share = nullptr;
    ui::CPictureCtrlDashboard* m_gauge = nullptr;
    ui::CPictureCtrlDashboard* m_rankBar = nullptr;
};

} // namespace quorvane
