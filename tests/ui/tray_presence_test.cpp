#include "ui/tray_presence.h"

#include "support/qt_app.h"
#include "support/recording_tray.h"

#include <QTest>

#include <gtest/gtest.h>

namespace quorvane::ui
{
namespace
{

using testing::RecordingTray;

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
        EXPECT_EQ(tray->stateText, QStringLiteral("已登录"));
        EXPECT_EQ(tray->tip, QStringLiteral("测速服务器：北京"));
        late.showMessage(QStringLiteral("Quorvane"), QStringLiteral("测速完成"));
        EXPECT_EQ(tray->messageTexts, std::vector<QString>{QStringLiteral("测速完成")});
        notified.clear(); // the stand-in may have reported the pointer passing over it
        tray->send(kTrayDoubleClick);
        EXPECT_EQ(notified, std::vector<int>{kTrayDoubleClick});
    }
}

} // namespace
} // namespace quorvane::ui
