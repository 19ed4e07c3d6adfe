#include "ui/dashboard_scale.h"
#include "ui/picture_ctrl_dashboard.h"
#include "ui/skin.h"

#include "support/qt_app.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

namespace quorvane::ui
{
namespace
{

TEST(GaugeScale, AnglesAtJoinsAndInsideSegments)
{
    struct Case {
        std::uint64_t k;
        double angle;
    };
    const Case cases[] = {
        {0, -90.0},
        {1, -90.0 + 2.25 / 51.2},
        {512, -67.5},
        {1024, -45.0},
        {1025, -45.0 + 2.25 / 102.4},
        {2048, -22.5},
        {3072, -11.25},
        {4096, 0.0},
        {8192, 22.5},
        {8193, 22.5 + 2.25 / 1228.8},
        {14336, 33.75},
        {20480, 45.0},
        {20481, 45.0 + 2.25 / 3072},
        {35840, 56.25},
        {51200, 67.5},
        {76800, 78.75},
        {102400, 90.0},
        // Beyond full scale the needle stays pinned there.
        {102401, 90.0},
        {1ULL << 40, 90.0},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(gaugeAngle(c.k), c.angle, 1e-9) << c.k;
    for (const GaugeMark& m : kGaugeMarks)
        EXPECT_NEAR(gaugeAngle(m.kilobits), m.angle, 1e-9) << m.label;
}

TEST(GaugeScale, ContinuousAndMonotonicOverTheWholeRange)
{
    // The steepest stretch turns 2.25 degrees per 51.2 kbit; no step of one
    // kilobit may turn further, nor ever back.
    const double maxStep = 2.25 / 51.2 + 1e-9;
    double previous = gaugeAngle(0);
    for (std::uint64_t k = 1; k <= 110000; ++k) {
        const double a = gaugeAngle(k);
        ASSERT_GE(a, previous) << k;
        ASSERT_LE(a - previous, maxStep) << k;
        previous = a;
    }
}

TEST(GaugeScale, Text)
{
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 Mb/s"},       {8, "0.01 Mb/s"},      {1024, "1.00 Mb/s"},
        {1536, "1.50 Mb/s"}, {81920, "80.00 Mb/s"}, {409600, "400.00 Mb/s"},
    };
    for (const auto& [k, text] : cases)
        EXPECT_EQ(gaugeText(k), text) << k;
}

TEST(RankBar, BubbleStaysOnTheBar)
{
    const std::pair<std::int32_t, int> cases[] = {
        {10, 0}, {28, 0}, {100, 72}, {452, 424}, {453, 405}, {540, 405},
    };
    for (const auto& [p, left] : cases)
        EXPECT_EQ(bubbleLeft(p, 480, 56), left) << p;
}

class DashboardWidget : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testing::qtApp();
        m_root = Skin::imageRoot();
    }
    void TearDown() override { Skin::setImageRoot(m_root); }

private:
    QString m_root;
};

TEST_F(DashboardWidget, GaugeAndBarKeepWhatTheyShow)
{
    CPictureCtrlDashboard gauge;
    gauge.SetMode(CPictureCtrlDashboard::kGauge);
    EXPECT_EQ(gauge.text(), QStringLiteral("0 Mb/s"));
    gauge.SetSpeed(1024);
    EXPECT_DOUBLE_EQ(gauge.angle(), -45.0);
    EXPECT_DOUBLE_EQ(gauge.valueMb(), 1.0);
    EXPECT_EQ(gauge.text(), QStringLiteral("1.00 Mb/s"));
    gauge.SetSpeed(0);
    EXPECT_DOUBLE_EQ(gauge.angle(), -90.0);

    CPictureCtrlDashboard bar;
    bar.SetMode(CPictureCtrlDashboard::kRankBar);
    bar.SetPosition(81);
    EXPECT_EQ(bar.label(), QStringLiteral("乌龟"));
    EXPECT_GT(bar.sizeHint().width(), CPictureCtrlDashboard::kBarWidth);
}

TEST_F(DashboardWidget, RepaintsWhileAnimatingOnly)
{
    CPictureCtrlDashboard gauge;
    gauge.resize(gauge.sizeHint());
    gauge.show();
    int paints = 0;
    struct Counter : QObject {
        int* n;
        explicit Counter(int* c) : n(c) {}
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::Paint)
                ++*n;
            return false;
        }
    } counter(&paints);
    gauge.installEventFilter(&counter);
    gauge.Animate(1);
    EXPECT_TRUE(gauge.animating());
    EXPECT_TRUE(testing::waitFor([&] { return paints >= 3; }));
    gauge.Animate(0);
    EXPECT_FALSE(gauge.animating());
}

TEST_F(DashboardWidget, DrawsTheNamedImagesWhenPresent)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("network speed")));
    auto solid = [&](const char* name, QSize size, QColor colour) {
        QImage img(size, QImage::Format_ARGB32);
        img.fill(colour);
        ASSERT_TRUE(img.save(dir.path() + QStringLiteral("/network speed/") + QLatin1String(name) + ".png"));
    };
    solid("ImgProgressBK", {480, 12}, Qt::red);
    solid("ClockBackchain", {320, 212}, Qt::green);

    // Without images the defaults draw; with them the images do.
    CPictureCtrlDashboard bar;
    bar.SetMode(CPictureCtrlDashboard::kRankBar);
    bar.resize(bar.sizeHint());
    CPictureCtrlDashboard gauge;
    gauge.resize(gauge.sizeHint());
    const QPoint barMiddle(10 + 240, 38 + 6);
    const QPoint dialCorner(3, 3);
    EXPECT_NE(bar.grab().toImage().pixelColor(barMiddle), QColor(Qt::red));
    EXPECT_NE(gauge.grab().toImage().pixelColor(dialCorner), QColor(Qt::green));

    Skin::setImageRoot(dir.path());
    EXPECT_EQ(bar.grab().toImage().pixelColor(barMiddle), QColor(Qt::red));
    EXPECT_EQ(gauge.grab().toImage().pixelColor(dialCorner), QColor(Qt::green));
}

} // namespace
} // namespace quorvane::ui
