#pragma once
// The program's message windows. Each is modal, skinned, and shows one text
// with fixed buttons. Texts may hold "\n" line breaks and are shown as plain
// text (never interpreted as markup).
//
// Thread-safety: GUI thread only.
#include "ui/skin.h"

class QCheckBox;
class QLabel;

namespace quorvane::ui
{

// Result codes of the yes/no window, as the callers compare them.
inline constexpr int kIdNo = 1270;
inline constexpr int kIdYes = 1271;

// Shared frame: header with the program name and a close glyph, the text, and
// a row of buttons.
class MessageWindow : public SkinDialog
{
    Q_OBJECT
public:
    QString text() const;

protected:
    MessageWindow(const QString& text, const QString& iconGlyph, QWidget* parent);

    SkinButton* addButton(const QString& caption, SkinButton::Style style, int resultCode);
    void setCloseResult(int code) { m_closeResult = code; }
    // Lays the window out for its text; call once every part is added.
    void finishLayout(QWidget* extraBelowText = nullptr);
    // A notice's one button ("ok", accepting), then the layout.
    void finishAsNotice();
    void reject() override; // Escape and the close glyph

    void keyPressEvent(QKeyEvent* event) override;

private:
    QLabel* m_text = nullptr;
    QLabel* m_icon = nullptr;
    QList<SkinButton*> m_buttons;
    int m_closeResult = 0;
    int m_defaultResult = 0;
};

// Asks a question. exec() returns kIdYes or kIdNo; closing the window counts
// as No. In single-button form it only confirms a notice and returns kIdYes.
class CSelectDlg : public MessageWindow
{
    Q_OBJECT
public:
    enum class Buttons { YesNo, ConfirmOnly };
    explicit CSelectDlg(const QString& text, Buttons buttons = Buttons::YesNo, QWidget* parent = nullptr);
};

// Tells the user something; closes on any acknowledgement.
class CMessageDlg : public MessageWindow
{
    Q_OBJECT
public:
    explicit CMessageDlg(const QString& text, QWidget* parent = nullptr);
};

// As CMessageDlg, marked as a warning.
class CWarningDlg : public MessageWindow
{
    Q_OBJECT
public:
    explicit CWarningDlg(const QString& text, QWidget* parent = nullptr);
};

// The hint shown before the first bandwidth measurements, with a box to stop
// it from being shown again. The caller stores the choice.
class CShowHitDlg : public MessageWindow
{
    Q_OBJECT
public:
    static const char* const kHintText;

    explicit CShowHitDlg(QWidget* parent = nullptr);
    bool suppressFurtherHints() const;
    QCheckBox* suppressBox() const { return m_box; }

private:
    QCheckBox* m_box = nullptr;
};

} // namespace quorvane::ui
