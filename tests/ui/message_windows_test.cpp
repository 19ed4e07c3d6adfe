#include "ui/message_dialogs.h"
#include "ui/skin.h"

#include "support/qt_app.h"

#include <QCheckBox>
#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace quorvane::ui
{
namespace
{

class MessageWindowsTest : public ::testing::Test
{
protected:
    void SetUp() override { testing::qtApp(); }

    // Runs the window modally and lets `act` answer it once it shows.
    template <typename Dialog> int answer(Dialog& dlg, const std::function<void(Dialog&)>& act)
    {
        QTimer::singleShot(0, &dlg, [&] { act(dlg); });
        return dlg.exec();
    }

    static void clickNamed(QWidget& w, const char* name)
    {
        auto* b = w.findChild<QAbstractButton*>(QString::fromLatin1(name));
        ASSERT_NE(b, nullptr) << name;
        b->click();
    }

    static void press(QWidget& w, int key)
    {
        QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &e);
    }
};

TEST_F(MessageWindowsTest, SelectAnswersYesOrNoAndDismissalMeansNo)
{
    const QString q = QStringLiteral("您确定要关闭并退出程序吗？");
    {
        CSelectDlg dlg(q);
        EXPECT_EQ(dlg.text(), q);
        EXPECT_EQ(answer<CSelectDlg>(dlg, [](CSelectDlg& d) { clickNamed(d, "yes"); }), kIdYes);
    }
    {
        CSelectDlg dlg(q);
        EXPECT_EQ(answer<CSelectDlg>(dlg, [](CSelectDlg& d) { clickNamed(d, "no"); }), kIdNo);
    }
    {
        CSelectDlg dlg(q);
        EXPECT_EQ(answer<CSelectDlg>(dlg, [](CSelectDlg& d) { clickNamed(d, "close"); }), kIdNo);
    }
    {
        CSelectDlg dlg(q);
        EXPECT_EQ(answer<CSelectDlg>(dlg, [](CSelectDlg& d) { press(d, Qt::Key_Escape); }), kIdNo);
    }
    {
        CSelectDlg dlg(q);
        EXPECT_EQ(answer<CSelectDlg>(dlg, [](CSelectDlg& d) { press(d, Qt::Key_Return); }), kIdYes);
    }
}

TEST_F(MessageWindowsTest, ConfirmOnlyHasOneButtonAndAlwaysConfirms)
{
    CSelectDlg dlg(QStringLiteral("由于系统故障\n\n谨致歉意"), CSelectDlg::Buttons::ConfirmOnly);
    EXPECT_EQ(dlg.findChild<QAbstractButton*>(QStringLiteral("no")), nullptr);
    EXPECT_EQ(answer<CSelectDlg>(dlg, [](CSelectDlg& d) { clickNamed(d, "close"); }), kIdYes);
}

TEST_F(MessageWindowsTest, NoticesCloseOnAnyAcknowledgementAndShowTextVerbatim)
{
    const QString markup = QStringLiteral("<b>正在测速不能切换。。。</b>");
    CMessageDlg msg(markup);
    EXPECT_EQ(msg.findChild<QLabel*>(QStringLiteral("text"))->textFormat(), Qt::PlainText);
    EXPECT_EQ(msg.text(), markup);
    EXPECT_EQ(answer<CMessageDlg>(msg, [](CMessageDlg& d) { clickNamed(d, "ok"); }), QDialog::Accepted);

    CWarningDlg warn(QStringLiteral("请输入网页测速链接地址！"));
    EXPECT_EQ(answer<CWarningDlg>(warn, [](CWarningDlg& d) { press(d, Qt::Key_Escape); }), QDialog::Accepted);
    EXPECT_FALSE(warn.isVisible());
}

TEST_F(MessageWindowsTest, LongTextGrowsTheWindowInsteadOfClippingIt)
{
    const QString shortText = QStringLiteral("短");
    QString longText;
    for (int i = 0; i < 12; ++i)
        longText += QStringLiteral("开启自动测速后将对接入网测速、网页性能、视频测速、文件下载进行轮循测试\n");
    CMessageDlg small(shortText);
    CMessageDlg big(longText);
    auto* label = big.findChild<QLabel*>(QStringLiteral("text"));
    EXPECT_GT(big.height(), small.height());
    EXPECT_GE(label->height(), label->heightForWidth(label->width()));
    EXPECT_LE(label->geometry().bottom(), big.height());
}

TEST_F(MessageWindowsTest, HintRemembersTheWishToStopHints)
{
    CShowHitDlg keep;
    EXPECT_FALSE(keep.suppressFurtherHints());
    answer<CShowHitDlg>(keep, [](CShowHitDlg& d) { clickNamed(d, "ok"); });
    EXPECT_FALSE(keep.suppressFurtherHints());

    CShowHitDlg stop;
    answer<CShowHitDlg>(stop, [](CShowHitDlg& d) {
        d.suppressBox()->click();
        clickNamed(d, "ok");
    });
    EXPECT_TRUE(stop.suppressFurtherHints());
}

TEST_F(MessageWindowsTest, SkinImagesAreFoundWhenPresentAndOptionalOtherwise)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    QDir(root.path()).mkpath(QStringLiteral("score msg"));
    QImage img(4, 4, QImage::Format_RGB32);
    img.fill(Qt::red);
    ASSERT_TRUE(img.save(root.path() + QStringLiteral("/score msg/bg.png")));
    const QString previous = Skin::imageRoot();
    Skin::setImageRoot(root.path());

    EXPECT_EQ(Skin::imagePath(QStringLiteral("score msg/bg")), root.path() + QStringLiteral("/score msg/bg.png"));
    EXPECT_FALSE(Skin::image(QStringLiteral("score msg/bg")).isNull());
    EXPECT_TRUE(Skin::imagePath(QStringLiteral("login/bg")).isEmpty());
    EXPECT_TRUE(Skin::image(QStringLiteral("login/bg")).isNull());

    // With an image the window shows it; without, the default still paints.
    QImage withImage(40, 40, QImage::Format_RGB32);
    QPainter p1(&withImage);
    Skin::paintWindow(p1, withImage.rect(), QStringLiteral("score msg/bg"), 10);
    p1.end();
    EXPECT_EQ(withImage.pixelColor(20, 20), QColor(Qt::red));
    QImage plain(40, 40, QImage::Format_RGB32);
    plain.fill(Qt::black);
    QPainter p2(&plain);
    Skin::paintWindow(p2, plain.rect(), QStringLiteral("login/bg"), 10);
    p2.end();
    EXPECT_EQ(plain.pixelColor(20, 20), palette::kBody);
    EXPECT_NE(plain.pixelColor(20, 5), palette::kBody); // the header band
    Skin::setImageRoot(previous);
}

TEST_F(MessageWindowsTest, TheFaceCoversChineseText)
{
    const QFont font = Skin::font(14);
    const QFontMetrics fm(font);
    for (char32_t c : std::u32string_view(U"正在测速不能切换登录积分")) {
        EXPECT_TRUE(fm.inFontUcs4(c)) << "U+" << std::hex << static_cast<unsigned>(c) << " in "
                                      << QFontInfo(font).family().toStdString();
    }
}

} // namespace
} // namespace quorvane::ui
