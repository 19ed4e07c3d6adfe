#include "ui/busy_indicator.h"

#include "ui/skin.h"

#include <QMovie>
#include <QPainter>
#include <QTimer>

namespace quorvane::ui
{

BusyIndicator::BusyIndicator(const QString& imageName, QWidget* parent) : QWidget(parent)
{
    const QString path = Skin::imagePath(imageName);
    if (path.endsWith(QStringLiteral(".gif"))) {
        m_movie = new QMovie(path, QByteArray(), this);
        connect(m_movie, &QMovie::frameChanged, this, qOverload<>(&QWidget::update));
    } else {
        m_timer = new QTimer(this);
        m_timer->setInterval(60);
        connect(m_timer, &QTimer::timeout, this, [this] {
            m_angle = (m_angle + 30) % 360;
            update();
        });
    }
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

bool BusyIndicator::isAnimating() const
{
    return m_movie ? m_movie->state() == QMovie::Running : m_timer->isActive();
}

void BusyIndicator::animate(bool on)
{
    if (m_movie)
        on ? m_movie->start() : m_movie->stop();
    else
        on ? m_timer->start() : m_timer->stop();
}

void BusyIndicator::showEvent(QShowEvent* event)
{
    animate(true);
    QWidget::showEvent(event);
}

void BusyIndicator::hideEvent(QHideEvent* event)
{
    animate(false);
    QWidget::hideEvent(event);
}

void BusyIndicator::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (m_movie) {
        const QPixmap frame = m_movie->currentPixmap();
        p.drawPixmap((width() - frame.width()) / 2, (height() - frame.height()) / 2, frame);
        return;
    }
    p.setRenderHint(QPainter::Antialiasing);
    const int side = qMin(width(), height()) - 6;
    const QRectF box((width() - side) / 2.0, (height() - side) / 2.0, side, side);
    p.setPen(QPen(palette::kBorder, 3));
    p.drawEllipse(box);
    p.setPen(QPen(palette::kButton, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(box, -m_angle * 16, 100 * 16);
}

} // namespace quorvane::ui
