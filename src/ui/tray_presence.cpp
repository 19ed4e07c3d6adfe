#include "ui/tray_presence.h"

#include "ui/skin.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

namespace quorvane::ui
{

QIcon appIcon(int resourceId)
{
    const QPixmap image = Skin::image(QStringLiteral("common/icon%1").arg(resourceId));
    if (!image.isNull())
        return QIcon(image);
    // Drawn default: a blue badge when logged in, a grey one when not.
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64}) {
        QPixmap pm(side, side);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(resourceId == 161 ? QColor(0x8a, 0x93, 0x9e) : palette::kButton);
        p.drawRoundedRect(QRectF(0.5, 0.5, side - 1, side - 1), side / 5.0, side / 5.0);
        QFont f = Skin::font(side * 2 / 3, true);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRect(0, 0, side, side), Qt::AlignCenter, QStringLiteral("Q"));
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

// --- the notification area ----------------------------------------------------------

SystemTrayPresence::SystemTrayPresence() : m_icon(std::make_unique<QSystemTrayIcon>())
{
    connect(m_icon.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        switch (reason) {
        case QSystemTrayIcon::DoubleClick:
            Q_EMIT notified(kTrayDoubleClick);
            break;
        case QSystemTrayIcon::Context:
            Q_EMIT notified(kTrayRightButtonUp);
            break;
        default:
            Q_EMIT notified(kTrayMouseMove); // a look at the icon: refresh its tip
            break;
        }
    });
}

SystemTrayPresence::~SystemTrayPresence() = default;

void SystemTrayPresence::add()
{
    m_icon->show();
}

void SystemTrayPresence::remove()
{
    m_icon->hide();
}

bool SystemTrayPresence::isAdded() const
{
    return m_icon->isVisible();
}

void SystemTrayPresence::setIcon(const QIcon& icon, const QString&)
{
    m_icon->setIcon(icon);
}

void SystemTrayPresence::setToolTip(const QString& text)
{
    m_tip = text;
    m_icon->setToolTip(plainToolTip(text));
}

QString SystemTrayPresence::toolTip() const
{
    return m_tip;
}

void SystemTrayPresence::showMessage(const QString& title, const QString& text)
{
    // The desktop's notification service draws it; an icon that is not in
    // the tray at the moment cannot show one, so it shows while it does.
    const bool wasShown = m_icon->isVisible();
    if (!wasShown)
        m_icon->show();
    m_icon->showMessage(title, text, QSystemTrayIcon::Warning, TrayNoticeWindow::kShownMs);
    if (!wasShown)
        QTimer::singleShot(TrayNoticeWindow::kShownMs, m_icon.get(), [icon = m_icon.get()] { icon->hide(); });
}

// --- the stand-in window ------------------------------------------------------------

TrayStandInWindow::TrayStandInWindow() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("TrayStandIn"));
    setWindowTitle(QStringLiteral("Quorvane"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(210, 44);
    setCursor(Qt::PointingHandCursor);
}

void TrayStandInWindow::setState(const QIcon& icon, const QString& stateText)
{
    m_icon = icon;
    m_state = stateText;
    update();
}

void TrayStandInWindow::paintEvent(QPaintEvent*)
{
    if (!m_placed) {
        // Top-right of the work area: clear of the score notice, which
        // rises in the bottom-right corner.
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            move(area.right() - width() - 8, area.top() + 8);
        }
        m_placed = true;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), palette::kBody);
    p.setPen(palette::kBorder);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    m_icon.paint(&p, QRect(8, 6, 32, 32));
    p.setPen(palette::kText);
    p.setFont(Skin::font(13, true));
    p.drawText(QRect(48, 4, width() - 52, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Quorvane"));
    p.setFont(Skin::font(11));
    p.setPen(palette::kText.lighter(150));
    p.drawText(QRect(48, 22, width() - 52, 18), Qt::AlignLeft | Qt::AlignVCenter, m_state);
}

void TrayStandInWindow::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        Q_EMIT notified(kTrayDoubleClick);
}

void TrayStandInWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = true;
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
}

void TrayStandInWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging)
        move(event->globalPosition().toPoint() - m_dragOffset);
}

void TrayStandInWindow::mouseReleaseEvent(QMouseEvent* event)
{
    m_dragging = false;
    if (event->button() == Qt::RightButton)
        Q_EMIT notified(kTrayRightButtonUp);
}

void TrayStandInWindow::enterEvent(QEnterEvent* event)
{
    Q_EMIT notified(kTrayMouseMove);
    QWidget::enterEvent(event);
}

TrayNoticeWindow::TrayNoticeWindow() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("TrayNotice"));
    setWindowTitle(QStringLiteral("Quorvane"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedWidth(300);
    setStyleSheet(QStringLiteral("#TrayNotice { background: #fffbe6; border: 1px solid #e0b84c; }"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 10);
    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setTextFormat(Qt::PlainText);
    m_title->setFont(Skin::font(13, true));
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("text"));
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    m_text->setFont(Skin::font(12));
    layout->addWidget(m_title);
    layout->addWidget(m_text);
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &QWidget::hide);
}

void TrayNoticeWindow::showNotice(const QString& title, const QString& text, const QWidget* below)
{
    m_title->setText(title);
    m_text->setText(text);
    adjustSize();
    QPoint at;
    if (below && below->isVisible()) {
        at = QPoint(below->geometry().right() - width() + 1, below->geometry().bottom() + 6);
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        at = QPoint(area.right() - width() - 8, area.top() + 8);
    }
    move(at);
    show();
    raise();
    m_timer->start(kShownMs);
}

QString TrayNoticeWindow::title() const
{
    return m_title->text();
}

QString TrayNoticeWindow::text() const
{
    return m_text->text();
}

void TrayNoticeWindow::mousePressEvent(QMouseEvent*)
{
    hide();
}

StandInTrayPresence::StandInTrayPresence()
    : m_window(std::make_unique<TrayStandInWindow>()), m_notice(std::make_unique<TrayNoticeWindow>())
{
    connect(m_window.get(), &TrayStandInWindow::notified, this, &TrayPresence::notified);
}

StandInTrayPresence::~StandInTrayPresence() = default;

void StandInTrayPresence::add()
{
    m_window->show();
}

void StandInTrayPresence::remove()
{
    m_window->hide();
}

bool StandInTrayPresence::isAdded() const
{
    return m_window->isVisible();
}

void StandInTrayPresence::setIcon(const QIcon& icon, const QString& stateText)
{
    m_window->setState(icon, stateText);
}

void StandInTrayPresence::setToolTip(const QString& text)
{
    m_tip = text;
    m_window->setToolTip(plainToolTip(text));
}

QString StandInTrayPresence::toolTip() const
{
    return m_tip;
}

void StandInTrayPresence::showMessage(const QString& title, const QString& text)
{
    m_notice->showNotice(title, text, m_window.get());
}

// --- the stand-in until a tray appears -------------------------------------------

LateTrayPresence::LateTrayPresence(Probe trayAvailable, Factory makeTray, int pollMs)
    : m_available(std::move(trayAvailable)), m_makeTray(std::move(makeTray)), m_poll(new QTimer(this))
{
    use(std::make_unique<StandInTrayPresence>());
    connect(m_poll, &QTimer::timeout, this, &LateTrayPresence::poll);
    m_poll->start(pollMs);
}

LateTrayPresence::~LateTrayPresence() = default;

void LateTrayPresence::use(std::unique_ptr<TrayPresence> presence)
{
    m_current = std::move(presence);
    connect(m_current.get(), &TrayPresence::notified, this, &TrayPresence::notified);
}

void LateTrayPresence::poll()
{
    if (!m_available || !m_available())
        return;
    m_poll->stop();
    std::unique_ptr<TrayPresence> tray = m_makeTray();
    tray->setIcon(m_icon, m_state);
    tray->setToolTip(m_tip);
    if (m_added)
        tray->add();
    use(std::move(tray)); // the stand-in's windows go with it
}

void LateTrayPresence::add()
{
    m_added = true;
    m_current->add();
}

void LateTrayPresence::remove()
{
    m_added = false;
    m_current->remove();
}

bool LateTrayPresence::isAdded() const
{
    return m_current->isAdded();
}

void LateTrayPresence::setIcon(const QIcon& icon, const QString& stateText)
{
    m_icon = icon;
    m_state = stateText;
    m_current->setIcon(icon, stateText);
}

void LateTrayPresence::setToolTip(const QString& text)
{
    m_tip = text;
    m_current->setToolTip(text);
}

QString LateTrayPresence::toolTip() const
{
    return m_tip;
}

bool LateTrayPresence::isStandIn() const
{
    return m_current->isStandIn();
}

void LateTrayPresence::showMessage(const QString& title, const QString& text)
{
    m_current->showMessage(title, text);
}

StandInTrayPresence* LateTrayPresence::standIn() const
{
    return m_current->isStandIn() ? static_cast<StandInTrayPresence*>(m_current.get()) : nullptr;
}

std::unique_ptr<TrayPresence> makeTrayPresence(const std::function<bool()>& trayAvailable)
{
    if (trayAvailable && trayAvailable())
        return std::make_unique<SystemTrayPresence>();
    return std::make_unique<LateTrayPresence>(trayAvailable, [] { return std::make_unique<SystemTrayPresence>(); });
}

} // namespace quorvane::ui
