#include "ui/picture_ctrl_dashboard.h"

#include "measure/bandwidth_figures.h"
#include "ui/dashboard_scale.h"
#include "ui/skin.h"

#include <QConicalGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace quorvane::ui
{
namespace
{

const QString kImageDir = QStringLiteral("network speed/");

QPixmap dashboardImage(const char* name)
{
    return Skin::image(kImageDir + QLatin1String(name));
}

// Gauge geometry of the drawn default, in widget coordinates.
constexpr int kGaugeWidth = 320;
constexpr int kGaugeHeight = 212;
constexpr int kDialRadius = 138;

// Ranking bar geometry: the bar lies under the bubble row.
constexpr int kBarLeft = 10;
constexpr int kBarTop = 38;
constexpr int kBarHeight = 12;
constexpr int kBubbleWidth = 56;
constexpr int kBubbleHeight = 24;
constexpr int kRankWidth = CPictureCtrlDashboard::kBarWidth + 2 * kBarLeft;
constexpr int kRankHeight = 74;

QPointF onCircle(const QPointF& centre, double radius, double angleDeg)
{
    // Angles run clockwise from straight up.
    const double a = angleDeg * M_PI / 180.0;
    return {centre.x() + radius * std::sin(a), centre.y() - radius * std::cos(a)};
}

} // namespace

CPictureCtrlDashboard::CPictureCtrlDashboard(QWidget* parent) : QWidget(parent), m_timer(new QTimer(this))
{
    m_timer->setInterval(kRepaintMs);
    connect(m_timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    setAttribute(Qt::WA_TranslucentBackground);
}

void CPictureCtrlDashboard::SetMode(int mode)
{
    m_mode = mode == kRankBar ? kRankBar : kGauge;
    updateGeometry();
    update();
}

void CPictureCtrlDashboard::SetSpeed(std::uint64_t kilobits)
{
    m_kilobits = kilobits;
    m_valueMb = gaugeValueMb(kilobits);
    m_angle = gaugeAngle(kilobits);
    if (!animating())
        update();
}

void CPictureCtrlDashboard::SetPosition(std::int32_t pixels)
{
    m_position = pixels;
    if (!animating())
        update();
}

QString CPictureCtrlDashboard::text() const
{
    return QString::fromStdString(gaugeText(m_kilobits));
}

QString CPictureCtrlDashboard::label() const
{
    return QString::fromStdString(measure::RankBarLabel(m_position));
}

void CPictureCtrlDashboard::Animate(int flag)
{
    if (flag)
        m_timer->start();
    else
        m_timer->stop();
    update();
}

bool CPictureCtrlDashboard::animating() const
{
    return m_timer->isActive();
}

QSize CPictureCtrlDashboard::sizeHint() const
{
    return m_mode == kGauge ? QSize(kGaugeWidth, kGaugeHeight) : QSize(kRankWidth, kRankHeight);
}

void CPictureCtrlDashboard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    if (m_mode == kGauge)
        paintGauge(p);
    else
        paintRankBar(p);
}

void CPictureCtrlDashboard::paintGauge(QPainter& p)
{
    const QPixmap dial = dashboardImage("ClockBackchain");
    const QPixmap needle = dashboardImage("Clocksec");
    QPointF centre(width() / 2.0, height() - 46.0);
    double radius = std::min(width() / 2.0 - 12, height() - 60.0);
    radius = std::min(radius, static_cast<double>(kDialRadius));

    if (!dial.isNull()) {
        const QSize size = dial.size().scaled(this->size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
        p.drawPixmap(target, dial);
        centre = QRectF(target).center();
    } else {
        // Coloured band from calm to hot along the sweep.
        const QRectF band(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
        QConicalGradient g(centre, 180);
        // The gradient runs counter-clockwise from the left end: the sweep
        // from left over the top to the right is its second half, backwards.
        g.setColorAt(0.0, QColor(0x2e, 0xb8, 0x5c));
        g.setColorAt(0.5, QColor(0xe8, 0x4a, 0x2a));
        g.setColorAt(0.75, QColor(0xf2, 0xc2, 0x1b));
        g.setColorAt(1.0, QColor(0x2e, 0xb8, 0x5c));
        QPen arcPen(QBrush(g), 10, Qt::SolidLine, Qt::FlatCap);
        p.setPen(arcPen);
        p.drawArc(band.adjusted(5, 5, -5, -5), 0, 180 * 16);

        // Minor ticks every step, major ones with labels at the joins.
        p.setPen(QPen(QColor(0x8a, 0x9b, 0xb0), 1));
        for (int i = 0; i <= 80; ++i) {
            const double a = -90.0 + i * 2.25;
            p.drawLine(onCircle(centre, radius - 12, a), onCircle(centre, radius - 17, a));
        }
        QFont markFont = Skin::font(11);
        p.setFont(markFont);
        for (const GaugeMark& m : kGaugeMarks) {
            p.setPen(QPen(palette::kText, 2));
            p.drawLine(onCircle(centre, radius - 12, m.angle), onCircle(centre, radius - 24, m.angle));
            // The two ends are labelled under the baseline, out of the
            // needle's way when it rests there.
            const bool end = std::abs(m.angle) == 90.0;
            const QPointF at =
                end ? onCircle(centre, radius - 18, m.angle) + QPointF(0, 14) : onCircle(centre, radius - 38, m.angle);
            p.setPen(palette::kText);
            p.drawText(QRectF(at.x() - 22, at.y() - 8, 44, 16), Qt::AlignCenter, QString::fromLatin1(m.label));
        }
    }

    if (!needle.isNull()) {
        p.save();
        p.translate(centre);
        p.rotate(m_angle);
        p.drawPixmap(QPointF(-needle.width() / 2.0, -needle.height() / 2.0), needle);
        p.restore();
    } else {
        const QPointF tip = onCircle(centre, radius - 30, m_angle);
        const QPointF left = onCircle(centre, 6, m_angle - 90);
        const QPointF right = onCircle(centre, 6, m_angle + 90);
        const QPointF tail = onCircle(centre, 14, m_angle + 180);
        QPainterPath path;
        path.moveTo(tip);
        path.lineTo(left);
        path.lineTo(tail);
        path.lineTo(right);
        path.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xd0, 0x30, 0x20));
        p.drawPath(path);
        p.setBrush(palette::kHeader);
        p.drawEllipse(centre, 9, 9);
        p.setBrush(Qt::white);
        p.drawEllipse(centre, 3, 3);
    }

    p.setPen(palette::kHeader);
    p.setFont(Skin::font(20, true));
    p.drawText(QRectF(0, centre.y() + 12, width(), 30), Qt::AlignCenter, text());
}

QRect CPictureCtrlDashboard::barRect() const
{
    return {kBarLeft, kBarTop, kBarWidth, kBarHeight};
}

void CPictureCtrlDashboard::paintRankBar(QPainter& p)
{
    const QRect bar = barRect();
    const QPixmap background = dashboardImage("ImgProgressBK");
    const QPixmap fill = dashboardImage("ImgProgress");
    const QPixmap marker = dashboardImage("point");
    const QPixmap bubble = dashboardImage("qipao_1");
    const int filled = std::clamp(m_position, 0, kBarWidth);

    if (!background.isNull()) {
        p.drawPixmap(bar, background);
    } else {
        p.setPen(QPen(palette::kBorder, 1));
        p.setBrush(QColor(0xe4, 0xec, 0xf5));
        p.drawRoundedRect(bar, kBarHeight / 2.0, kBarHeight / 2.0);
    }

    // Where the scale's bandwidths sit, so the marker can be read at a
    // glance.
    p.setFont(Skin::font(10));
    p.setPen(QColor(0x88, 0x88, 0x88));
    for (double mb : {0.0, 1.0, 2.0, 4.0, 10.0, 20.0}) {
        const int x = bar.left() + std::min(measure::RankBarPosition(mb), kBarWidth);
        p.drawText(QRect(x - 20, bar.bottom() + 4, 40, 14), Qt::AlignCenter,
                   mb == 0 ? QStringLiteral("0") : QStringLiteral("%1M").arg(mb));
    }

    if (m_position <= 0)
        return;

    if (!fill.isNull()) {
        // The fill image is cut, not stretched, so it reads as the same bar.
        p.drawPixmap(QRect(bar.left(), bar.top(), filled, bar.height()), fill,
                     QRect(0, 0, std::min(filled, fill.width()), fill.height()));
    } else {
        QLinearGradient g(bar.topLeft(), bar.topRight());
        g.setColorAt(0, QColor(0x5b, 0xb8, 0xf5));
        g.setColorAt(1, palette::kHeader);
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawRoundedRect(QRect(bar.left(), bar.top(), filled, bar.height()), kBarHeight / 2.0, kBarHeight / 2.0);
    }

    const int markerX = bar.left() + filled;
    if (!marker.isNull()) {
        p.drawPixmap(markerX - marker.width() / 2, bar.center().y() - marker.height() / 2, marker);
    } else {
        p.setPen(QPen(Qt::white, 2));
        p.setBrush(QColor(0xf0, 0x7a, 0x10));
        p.drawEllipse(QPointF(markerX, bar.center().y() + 0.5), 7, 7);
    }

    const QRect bubbleRect(bar.left() + bubbleLeft(m_position, kBarWidth, kBubbleWidth), 4, kBubbleWidth,
                           kBubbleHeight);
    if (!bubble.isNull()) {
        p.drawPixmap(bubbleRect, bubble);
    } else {
        QPainterPath path;
        path.addRoundedRect(bubbleRect, 6, 6);
        // The bubble's point leans toward the marker as far as the bubble
        // allows.
        const int pointX = std::clamp(markerX, bubbleRect.left() + 8, bubbleRect.right() - 8);
        QPolygonF tail;
        tail << QPointF(pointX - 5, bubbleRect.bottom()) << QPointF(pointX, bubbleRect.bottom() + 6)
             << QPointF(pointX + 5, bubbleRect.bottom());
        path.addPolygon(tail);
        path.setFillRule(Qt::WindingFill);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xf0, 0x7a, 0x10));
        p.drawPath(path.simplified());
    }
    QFont labelFont = Skin::font(11);
    labelFont.setPointSize(8);
    p.setFont(labelFont);
    p.setPen(Qt::white);
    p.drawText(bubbleRect, Qt::AlignCenter, label());
}

} // namespace quorvane::ui
