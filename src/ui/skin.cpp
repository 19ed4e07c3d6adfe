#include "ui/skin.h"

#include <QTextDocument>

#include <QEnterEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>

namespace quorvane::ui
{
namespace
{

QString g_imageRoot = QStringLiteral("Image");

QStringList fontFamilies()
{
    // The designed face first; the others are what Linux desktops ship with
    // CJK coverage. Qt picks the first one installed for every character.
    return {
        QStringLiteral("微软雅黑"),         QStringLiteral("Microsoft YaHei"),    QStringLiteral("WenQuanYi Micro Hei"),
        QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC"), QStringLiteral("Droid Sans Fallback"),
        QStringLiteral("sans-serif")};
}

} // namespace

void Skin::setImageRoot(const QString& dir)
{
    g_imageRoot = dir;
}

QString Skin::imageRoot()
{
    return g_imageRoot;
}

QString Skin::imagePath(const QString& name)
{
    static const char* const kExtensions[] = {".png", ".bmp", ".jpg", ".gif"};
    for (const char* ext : kExtensions) {
        const QString path = g_imageRoot + QLatin1Char('/') + name + QLatin1String(ext);
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

QPixmap Skin::image(const QString& name)
{
    const QString path = imagePath(name);
    return path.isEmpty() ? QPixmap() : QPixmap(path);
}

QFont Skin::font(int pixelSize, bool bold)
{
    QFont f;
    f.setFamilies(fontFamilies());
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

void Skin::paintWindow(QPainter& painter, const QRect& rect, const QString& imageName, int headerHeight)
{
    const QPixmap background = imageName.isEmpty() ? QPixmap() : image(imageName);
    if (!background.isNull()) {
        painter.drawPixmap(rect, background);
        return;
    }
    painter.fillRect(rect, palette::kBody);
    if (headerHeight > 0) {
        QLinearGradient band(rect.topLeft(), QPoint(rect.left(), rect.top() + headerHeight));
        band.setColorAt(0, palette::kHeader.lighter(115));
        band.setColorAt(1, palette::kHeader);
        painter.fillRect(QRect(rect.left(), rect.top(), rect.width(), headerHeight), band);
    }
    painter.setPen(palette::kBorder);
    painter.drawRect(rect.adjusted(0, 0, -1, -1));
}

// --- SkinButton -------------------------------------------------------------

SkinButton::SkinButton(const QString& imageBase, const QString& caption, Style style, QWidget* parent)
    : QAbstractButton(parent), m_imageBase(imageBase), m_style(style)
{
    setText(caption);
    setCursor(Qt::PointingHandCursor);
    setFont(Skin::font(style == Style::Header ? 16 : 13, style == Style::Primary));
    setFocusPolicy(Qt::NoFocus);
}

void SkinButton::setSelected(bool selected)
{
    if (m_selected == selected)
        return;
    m_selected = selected;
    update();
}

QSize SkinButton::sizeHint() const
{
    if (m_style == Style::Header)
        return {28, 24};
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text()) + 28, fm.height() + 14};
}

void SkinButton::enterEvent(QEnterEvent* event)
{
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void SkinButton::leaveEvent(QEvent* event)
{
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void SkinButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect r = rect();

    QPixmap img;
    if (!m_imageBase.isEmpty()) {
        if (isDown())
            img = Skin::image(m_imageBase + QStringLiteral("_down"));
        else if (m_selected)
            img = Skin::image(m_imageBase + QStringLiteral("_selected"));
        else if (m_hover)
            img = Skin::image(m_imageBase + QStringLiteral("_hover"));
        if (img.isNull())
            img = Skin::image(m_imageBase + QStringLiteral("_normal"));
    }

    QColor textColour = palette::kText;
    if (!img.isNull()) {
        p.drawPixmap(r, img);
    } else {
        switch (m_style) {
        case Style::Primary: {
            const QColor fill = isDown() ? palette::kButtonDown : m_hover ? palette::kButtonHover : palette::kButton;
            p.setPen(Qt::NoPen);
            p.setBrush(isEnabled() ? fill : QColor(0xb0, 0xb8, 0xc4));
            p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
            textColour = Qt::white;
            break;
        }
        case Style::Plain:
            p.setPen(m_hover ? palette::kButtonHover : palette::kBorder);
            p.setBrush(isDown() ? palette::kBody.darker(108) : QColor(Qt::white));
            p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
            break;
        case Style::Tab:
            if (m_selected || isDown()) {
                p.fillRect(r, palette::kHeader);
                textColour = Qt::white;
            } else {
                p.fillRect(r, m_hover ? palette::kBody.darker(106) : palette::kBody);
                textColour = palette::kHeader;
            }
            p.setPen(palette::kBorder);
            p.drawLine(r.bottomLeft(), r.bottomRight());
            break;
        case Style::Header:
            if (m_hover || isDown())
                p.fillRect(r, QColor(255, 255, 255, isDown() ? 90 : 50));
            textColour = palette::kHeaderText;
            break;
        }
    }
    p.setPen(textColour);
    p.setFont(font());
    p.drawText(r, Qt::AlignCenter, text());
}

QString plainToolTip(const QString& text)
{
    if (text.isEmpty())
        return text;
    return Qt::convertFromPlainText(text, Qt::WhiteSpacePre);
}

// --- LinkLabel --------------------------------------------------------------

LinkLabel::LinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);
    setFont(Skin::font(12));
    setColour(palette::kLink);
}

void LinkLabel::setColour(const QColor& colour)
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, colour);
    setPalette(pal);
}

void LinkLabel::enterEvent(QEnterEvent* event)
{
    setColour(palette::kLinkHover);
    QLabel::enterEvent(event);
}

void LinkLabel::leaveEvent(QEvent* event)
{
    setColour(palette::kLink);
    QLabel::leaveEvent(event);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
    QLabel::mouseReleaseEvent(event);
}

// --- SkinDialog -------------------------------------------------------------

SkinDialog::SkinDialog(QWidget* parent) : QDialog(parent)
{
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setFont(Skin::font(13));
}

void SkinDialog::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    Skin::paintWindow(p, rect(), m_background, m_headerHeight);
}

void SkinDialog::resizeEvent(QResizeEvent* event)
{
    if (m_radius > 0) {
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), m_radius, m_radius);
        setMask(QRegion(path.toFillPolygon().toPolygon()));
    }
    QDialog::resizeEvent(event);
}

void SkinDialog::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && event->position().y() < m_dragHeight) {
        // Let the window manager move the window where it can; otherwise move
        // it ourselves.
        if (windowHandle() && windowHandle()->startSystemMove())
            return;
        m_dragging = true;
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
        return;
    }
    QDialog::mousePressEvent(event);
}

void SkinDialog::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging) {
        move(event->globalPosition().toPoint() - m_dragOffset);
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void SkinDialog::mouseReleaseEvent(QMouseEvent* event)
{
    m_dragging = false;
    QDialog::mouseReleaseEvent(event);
}

} // namespace quorvane::ui
