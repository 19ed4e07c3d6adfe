#include "update/updater/end_tip_dlg.h"

#include "support/manual_timers.h"
#include "support/qt_app.h"

#include <gtest/gtest.h>

using quorvane::testing::ManualTimers;
using quorvane::update::CEndTipDlg;

// The notice counts 5, 4, ... 0 a second apart and closes a second after 0.
TEST(EndTip, CountsDownFromFiveAndClosesAfterZero)
{
    quorvane::testing::qtApp();
    ManualTimers timers;
    CEndTipDlg tip(timers);
    tip.open();
    EXPECT_EQ(tip.titleText(), QStringLiteral("Tessaline"));
    EXPECT_EQ(tip.messageText(), QStringLiteral("软件已更新到最新版本，5秒倒计时后，软件将自动重启..."));
    const struct {
        long long atMs;
        QString shown;
        bool visible;
    } steps[] = {
        {0, QStringLiteral("剩余5秒"), true},    {999, QStringLiteral("剩余5秒"), true},
        {1000, QStringLiteral("剩余4秒"), true}, {5000, QStringLiteral("剩余0秒"), true},
        {5999, QStringLiteral("剩余0秒"), true}, {6000, QStringLiteral("剩余0秒"), false},
    };
    for (const auto& s : steps) {
        timers.advance(s.atMs - timers.now());
        EXPECT_EQ(tip.countdownText(), s.shown) << s.atMs;
        EXPECT_EQ(tip.isVisible(), s.visible) << s.atMs;
    }
    EXPECT_EQ(tip.result(), QDialog::Accepted);
    EXPECT_FALSE(timers.isActive(CEndTipDlg::kCountdownTimer));
}
