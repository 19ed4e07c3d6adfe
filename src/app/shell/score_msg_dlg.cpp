#include "app/shell/score_msg_dlg.h"

#include "ui/skin.h"
#include "ui/timer_service.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

namespace quorvane
{
namespace
{
constexpr int kTimerStay = 1;
constexpr int kTimerSlide = 2;
constexpr int kHeaderHeight = 30;
} // namespace

QString ScoreNotice::greeting(int localHour)
{
    return QStringLiteral("尊敬的Quorvane用户，%1好!")
        .arg(localHour <= 11 ? QStringLiteral("上午") : QStringLiteral("下午"));
}

QString ScoreNotice::lastLogin(const std::string& storedPreDate)
{
    // An absent key reads as "null": that user has not logged in before.
    if (storedPreDate.empty() || storedPreDate == "null")
        return QStringLiteral("上次登录：您是第一次登录");
    // The save writes a backslash in front of each colon; only those go.
    std::string shown;
    for (std::size_t i = 0; i < storedPreDate.size(); ++i) {
        if (storedPreDate[i] == '\\' && i + 1 < storedPreDate.size() && storedPreDate[i + 1] == ':')
            continue;
        shown.push_back(storedPreDate[i]);
    }
    return QStringLiteral("上次登录：%1").arg(QString::fromStdString(shown));
}

QStringList ScoreNotice::lines(int localHour, const std::string& userId, const std::string& nickname,
                               const ScoreValues& scores, const std::string& storedPreDate)
{
    return {
        greeting(localHour),
        QStringLiteral("用户ID：  %1").arg(QString::fromStdString(userId)),
        QStringLiteral("昵称：  %1").arg(QString::fromStdString(nickname)),
        QStringLiteral("总积分：%1 \n    带宽测速积分：%2 \n    用户体验积分：%3")
            .arg(QString::fromStdString(scores.total), QString::fromStdString(scores.bandwidth),
                 QString::fromStdString(scores.experience)),
        QStringLiteral("每天进行有效测速会自动累加积分,参与越多所获积分越高，兑换的现金值越高。\n"
                       "点击“查看积分”了解您的积分情况。"),
        lastLogin(storedPreDate),
    };
}

CScoreMsgDlg::CScoreMsgDlg(const QStringList& lines, std::function<void()> openScorePage,
                           std::unique_ptr<ui::TimerService> timers, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), m_timers(std::move(timers))
{
    setObjectName(QStringLiteral("CScoreMsgDlg"));
    setWindowTitle(QStringLiteral("Quorvane 积分"));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating);
    if (!m_timers)
        m_timers = std::make_unique<ui::QtTimerService>();
    m_timers->setHandler([this](int id) { onTimer(id); });

    auto* title = new QLabel(QStringLiteral("Quorvane 积分提醒"), this);
    title->setFont(ui::Skin::font(13, true));
    title->setStyleSheet(QStringLiteral("color: white;"));
    title->setGeometry(10, 5, 200, 20);

    auto* close =
        new ui::SkinButton(QStringLiteral("score msg/close"), QStringLiteral("×"), ui::SkinButton::Style::Header, this);
    close->setObjectName(QStringLiteral("close"));
    close->setGeometry(kWidth - 32, 3, 28, 24);
    connect(close, &QAbstractButton::clicked, this, &QWidget::close);

    auto* body = new QVBoxLayout(this);
    body->setContentsMargins(14, kHeaderHeight + 8, 14, 10);
    body->setSpacing(3);
    for (int i = 0; i < lines.size(); ++i) {
        auto* label = new QLabel(lines[i], this);
        label->setObjectName(QStringLiteral("line%1").arg(i));
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setFont(ui::Skin::font(i == 0 ? 13 : 12, i == 0));
        label->setStyleSheet(i == 4 ? QStringLiteral("color: #777;") : QStringLiteral("color: #333;"));
        body->addWidget(label);
    }
    auto* link = new ui::SkinButton(QStringLiteral("score msg/view"), QStringLiteral("查看积分"),
                                    ui::SkinButton::Style::Primary, this);
    link->setObjectName(QStringLiteral("viewScore"));
    link->setFixedSize(96, 26);
    connect(link, &QAbstractButton::clicked, this, [openScorePage] {
        if (openScorePage)
            openScorePage();
    });
    body->addWidget(link, 0, Qt::AlignRight);
    body->addStretch(1);
    // The slide shrinks the window below what its contents ask for: the
    // layout must not hold it open.
    body->setSizeConstraint(QLayout::SetNoConstraint);
    setMinimumSize(0, 0);
    resize(kWidth, qMax(kHeight, body->heightForWidth(kWidth)));
}

CScoreMsgDlg::~CScoreMsgDlg()
{
    m_timers->setHandler({});
}

void CScoreMsgDlg::present()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    setGeometry(area.right() + 1 - width(), area.bottom() + 1 - height(), width(), height());
    show();
    m_timers->setTimer(kTimerStay, kStayMs);
}

void CScoreMsgDlg::onTimer(int id)
{
    if (id == kTimerStay) {
        m_timers->killTimer(kTimerStay);
        m_timers->setTimer(kTimerSlide, kStepMs);
        return;
    }
    const QRect g = geometry();
    if (g.height() - kStepPixels <= 0) {
        m_timers->killTimer(kTimerSlide);
        close();
        return;
    }
    setGeometry(g.x(), g.y() + kStepPixels, g.width(), g.height() - kStepPixels);
}

void CScoreMsgDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    ui::Skin::paintWindow(p, rect(), QStringLiteral("score msg/bg"), kHeaderHeight);
}

} // namespace quorvane
