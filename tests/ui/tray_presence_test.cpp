#include "ui/tray_presence.h"

#include "support/qt_app.h"

#include <QTest>

#include <gtest/gtest.h>

namespace quorvane::ui
{
namespace
{

// Stands for the desktop's icon once it appears.
class RecordingTray final : public TrayPresence
{
public:
    void add() override { added = true; }
    void remove() override { added = false; }
    bool isAdded() const override { return added; }
    void setIcon(const QIcon&, const QString& text) override { state = text; }
    void setToolTip(const QString& text) override { tip = text; }
    QString toolTip() const override { return tip; }
    bool isStandIn() const override { return false; }
    void showMessage(const QString&, const QString& text) override { message = text; }
    void click(int mouse) { Q_EMIT notified(mouse); }

    bool added = false;
    QString state, tip, message;
};

TEST(LateTray, TheIconTakesOverTheStandInsStateWhenTheDesktopGainsATray)
{
    testing::qtApp();
    for (const bool added : {true, false}) {
        SCOPED_TRACE(added ? "in the tray" : "window open");
        bool available = false;
        RecordingTray* tray = nullptr;
        LateTrayPresence late([&] { return available; },
                              [&] {
                                  auto t = std::make_unique<RecordingTray>();
                                  tray = t.get();
                                  return t;
                              },
                              10);
        std::vector<int> notified;
        QObject::connect(&late, &TrayPresence::notified, [&](int m) { notified.push_back(m); });
        late.setIcon(appIcon(128), QStringLiteral("已登录"));
        late.setToolTip(QStringLiteral("测速服务器：北京"));
        if (added)
            late.add();
        ASSERT_NE(late.standIn(), nullptr);
        EXPECT_EQ(late.standIn()->window()->isVisible(), added);
        QTest::qWait(50);
        EXPECT_TRUE(late.isStandIn()) << "no tray yet: the stand-in stays";

        available = true;
        ASSERT_TRUE(QTest::qWaitFor([&] { return !late.isStandIn(); }, 5000));
        ASSERT_NE(tray, nullptr);
        EXPECT_EQ(late.standIn(), nullptr);
        EXPECT_EQ(tray->added, added);
        EXPECT_EQ(late.isAdded(), added);
        EXPECT_EQ(tray->state, QStringLiteral("已登录"));
        EXPECT_EQ(tray->tip, QStringLiteral("测速服务器：北京"));
        late.showMessage(QStringLiteral("Quorvane"), QStringLiteral("测速完成"));
        EXPECT_EQ(tray->message, QStringLiteral("测速完成"));
        notified.clear(); // the stand-in may have reported the pointer passing over it
        tray->click(kTrayDoubleClick);
        EXPECT_EQ(notified, std::vector<int>{kTrayDoubleClick});
    }
}

} // namespace
} // namespace quorvane::ui
