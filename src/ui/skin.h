#pragma once
// The look shared by every Quorvane window. Images are looked up under the
// installation's Image folder ("login/bg" finds Image/login/bg.png, .bmp,
// .jpg or .gif); a window whose images are missing is drawn in a plain
// default of the same shape, so the program is fully usable from a bare
// build tree.
//
// Thread-safety: GUI thread only.
#include <QAbstractButton>
#include <QColor>
#include <QDialog>
#include <QFont>
#include <QLabel>
#include <QPixmap>
#include <QString>

class QPainter;

namespace quorvane::ui
{

namespace palette
{
inline const QColor kHeader{0x1e, 0x6f, 0xc8};
inline const QColor kHeaderText{0xff, 0xff, 0xff};
inline const QColor kBody{0xf5, 0xf8, 0xfc};
inline const QColor kBorder{0x9d, 0xb6, 0xd3};
inline const QColor kText{0x33, 0x33, 0x33};
inline const QColor kMessage{0xd0, 0x1b, 0x1b}; // the login's red message line
inline const QColor kLink{0x1e, 0x6f, 0xc8};
inline const QColor kLinkHover{0xf0, 0x7a, 0x10};
inline const QColor kButton{0x2b, 0x86, 0xe0};
inline const QColor kButtonHover{0x4a, 0x9c, 0xec};
inline const QColor kButtonDown{0x1b, 0x5f, 0xa8};
} // namespace palette

class Skin
{
public:
    // The folder images are read from; "Image" (relative to the program
    // directory, the working directory) unless a test says otherwise.
    static void setImageRoot(const QString& dir);
    static QString imageRoot();

    // The image file for a name without extension, or "" when none exists.
    static QString imagePath(const QString& name);
    // The image, or a null pixmap when none exists or it cannot be read.
    static QPixmap image(const QString& name);

    // The program's face at a pixel size. The face the program was designed
    // for is tried first, then CJK faces found on Linux desktops, so Chinese
    // text never falls back to empty boxes when any of them is installed.
    static QFont font(int pixelSize, bool bold = false);

    // A window's background: its image scaled to the rectangle when present,
    // otherwise a light body under a coloured header band of headerHeight.
    static void paintWindow(QPainter& painter, const QRect& rect, const QString& imageName, int headerHeight);
};

// A push button drawn from the images "<base>_normal", "<base>_hover",
// "<base>_down" and "<base>_selected" when they exist, otherwise in the
// default look of its style. The caption is drawn over either.
class SkinButton : public QAbstractButton
{
    Q_OBJECT
public:
    enum class Style {
        Primary, // filled, for the main action of a window
        Plain,   // outlined, for secondary actions
        Tab,     // navigation; shows its selected state
        Header,  // a glyph on the header band (close, minimise)
    };

    SkinButton(const QString& imageBase, const QString& caption, Style style, QWidget* parent = nullptr);

    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString m_imageBase;
    Style m_style;
    bool m_selected = false;
    bool m_hover = false;
};

// A tooltip that shows `text` as it stands: a tooltip that looks like markup
// would otherwise be rendered as rich text, and text from outside (a name,
// a score, a server's name) could bring images and links into the window.
QString plainToolTip(const QString& text);

// A clickable text that changes colour under the mouse and shows the hand
// cursor.
class LinkLabel : public QLabel
{
    Q_OBJECT
public:
    explicit LinkLabel(const QString& text, QWidget* parent = nullptr);

Q_SIGNALS:
    void clicked();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void setColour(const QColor& colour);
};

// A frameless dialog with the skin's background, rounded corners and a header
// area that drags the window like a caption.
class SkinDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SkinDialog(QWidget* parent = nullptr);

    void setBackgroundImage(const QString& name) { m_background = name; }
    void setHeaderHeight(int height) { m_headerHeight = height; }
    void setDragHeight(int height) { m_dragHeight = height; }
    void setCornerRadius(int radius) { m_radius = radius; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString m_background;
    int m_headerHeight = 32;
    int m_dragHeight = 32;
    int m_radius = 6;
    bool m_dragging = false;
    QPoint m_dragOffset;
};

} // namespace quorvane::ui
