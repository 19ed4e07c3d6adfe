#pragma once
// CPictureCtrlDashboard: the bandwidth page's two dashboards in one control.
// As a needle gauge (mode 1) it shows the live speed of a transfer; as a
// ranking bar (mode 2) it shows where a measured bandwidth stands, with an
// animal in a bubble over the marker.
//
// Images are taken from "Image/network speed/" when present: the gauge's
// dial ClockBackchain.png and needle Clocksec.png (drawn pointing up, turned
// about its own centre, which sits on the dial's centre), the bar's
// ImgProgressBK.png, ImgProgress.png, point.png and qipao_1.png. Each one
// that is missing is replaced by a drawn default, so the page looks finished
// without any art files.
//
// Thread-safety: GUI thread only. Values measured on other threads reach it
// through queued calls.
#include <QWidget>

#include <cstdint>

class QTimer;

namespace quorvane::ui
{

class CPictureCtrlDashboard : public QWidget
{
    Q_OBJECT
public:
    enum Mode { kGauge = 1, kRankBar = 2 };
    // Repaint period while animating.
    static constexpr int kRepaintMs = 100;
    // The ranking bar's drawn width in pixels, from its left edge (position
    // 0) to its right edge; positions beyond it fill the bar.
    static constexpr int kBarWidth = 480;

    explicit CPictureCtrlDashboard(QWidget* parent = nullptr);

    void SetMode(int mode);
    int mode() const { return m_mode; }

    // Gauge: the live value in kilobits per second.
    void SetSpeed(std::uint64_t kilobits);
    double angle() const { return m_angle; }
    double valueMb() const { return m_valueMb; }
    QString text() const; // the gauge's text, "0 Mb/s" at rest

    // Ranking bar: the marker's position in pixels from the bar's left edge.
    void SetPosition(std::int32_t pixels);
    std::int32_t position() const { return m_position; }
    QString label() const; // the animal over the marker, "" when none

    // 1 starts repainting every kRepaintMs, 0 ends it (one last repaint).
    void Animate(int flag);
    bool animating() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintGauge(QPainter& p);
    void paintRankBar(QPainter& p);
    QRect barRect() const;

    int m_mode = kGauge;
    double m_angle = -90.0;
    double m_valueMb = 0;
    std::uint64_t m_kilobits = 0;
    std::int32_t m_position = 0;
    // Qt paints on the GUI thread only, so a repaint thread of the
    // control's own would do nothing but post here: a timer paces it instead.
    QTimer* m_timer = nullptr;
};

} // namespace quorvane::ui
