#pragma once
// The program's presence while its main window is hidden: the icon in the
// notification area, or, on a desktop without one, a small always-on-top
// window that stands in for it. Either reports the user's mouse actions with
// the numbers of the window messages they stand for, so the main window
// handles both the same way (and a second start's tray double-click too).
//
// Thread-safety: GUI thread only.
#include <QIcon>
#include <QObject>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QSystemTrayIcon;
class QTimer;

namespace quorvane::ui
{

// Mouse messages of a tray notification.
inline constexpr int kTrayMouseMove = 512;
inline constexpr int kTrayDoubleClick = 515;
inline constexpr int kTrayRightButtonUp = 517;

class TrayPresence : public QObject
{
    Q_OBJECT
public:
    virtual void add() = 0;
    virtual void remove() = 0;
    virtual bool isAdded() const = 0;
    virtual void setIcon(const QIcon& icon, const QString& stateText) = 0;
    // The tip is plain text and is shown as it stands, markup included.
    virtual void setToolTip(const QString& text) = 0;
    virtual QString toolTip() const = 0;
    // Whether this is the stand-in window rather than a real tray icon.
    virtual bool isStandIn() const = 0;
    // A desktop notification from the icon (plain text), shown whether or
    // not the icon is in the tray at the moment.
    virtual void showMessage(const QString& title, const QString& text) = 0;

Q_SIGNALS:
    void notified(int mouseMessage);
};

// The icon in the desktop's notification area.
class SystemTrayPresence final : public TrayPresence
{
    Q_OBJECT
public:
    SystemTrayPresence();
    ~SystemTrayPresence() override;

    void add() override;
    void remove() override;
    bool isAdded() const override;
    void setIcon(const QIcon& icon, const QString& stateText) override;
    void setToolTip(const QString& text) override;
    QString toolTip() const override;
    bool isStandIn() const override { return false; }
    void showMessage(const QString& title, const QString& text) override;

private:
    std::unique_ptr<QSystemTrayIcon> m_icon;
    QString m_tip;
};

// A small window at the top-right corner of the work area with the icon and
// the state in words. Double-click opens the program, the right button shows
// the tray menu, and it can be dragged out of the way.
class TrayStandInWindow final : public QWidget
{
    Q_OBJECT
public:
    TrayStandInWindow();

    void setState(const QIcon& icon, const QString& stateText);
    QString stateText() const { return m_state; }

Q_SIGNALS:
    void notified(int mouseMessage);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;

private:
    QIcon m_icon;
    QString m_state;
    QPoint m_dragOffset;
    bool m_dragging = false;
    bool m_placed = false;
};

// The stand-in's notification: a small window under the stand-in (or in the
// same corner when that is hidden) that goes by itself after a while or at a
// click.
class TrayNoticeWindow final : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kShownMs = 20000;

    TrayNoticeWindow();
    void showNotice(const QString& title, const QString& text, const QWidget* below);
    QString title() const;
    QString text() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QLabel* m_title;
    QLabel* m_text;
    QTimer* m_timer;
};

class StandInTrayPresence final : public TrayPresence
{
    Q_OBJECT
public:
    StandInTrayPresence();
    ~StandInTrayPresence() override;

    void add() override;
    void remove() override;
    bool isAdded() const override;
    void setIcon(const QIcon& icon, const QString& stateText) override;
    void setToolTip(const QString& text) override;
    QString toolTip() const override;
    bool isStandIn() const override { return true; }
    void showMessage(const QString& title, const QString& text) override;

    TrayStandInWindow* window() const { return m_window.get(); }
    TrayNoticeWindow* noticeWindow() const { return m_notice.get(); }

private:
    std::unique_ptr<TrayStandInWindow> m_window;
    std::unique_ptr<TrayNoticeWindow> m_notice;
    QString m_tip;
};

// The stand-in until the desktop's notification area appears, then the real
// icon with the same state: a program started with the session often starts
// before the panel that holds the icons.
class LateTrayPresence final : public TrayPresence
{
    Q_OBJECT
public:
    static constexpr int kPollMs = 3000;
    using Probe = std::function<bool()>;
    using Factory = std::function<std::unique_ptr<TrayPresence>()>;

    LateTrayPresence(Probe trayAvailable, Factory makeTray, int pollMs = kPollMs);
    ~LateTrayPresence() override;

    void add() override;
    void remove() override;
    bool isAdded() const override;
    void setIcon(const QIcon& icon, const QString& stateText) override;
    void setToolTip(const QString& text) override;
    QString toolTip() const override;
    bool isStandIn() const override;
    void showMessage(const QString& title, const QString& text) override;

    // The stand-in while it is in use, else null.
    StandInTrayPresence* standIn() const;

private:
    void poll();
    void use(std::unique_ptr<TrayPresence> presence);

    Probe m_available;
    Factory m_makeTray;
    std::unique_ptr<TrayPresence> m_current;
    QTimer* m_poll;
    bool m_added = false;
    QIcon m_icon;
    QString m_state;
    QString m_tip;
};

// The real tray when the desktop has one; else the stand-in window, until
// the desktop gains one.
std::unique_ptr<TrayPresence> makeTrayPresence(const std::function<bool()>& trayAvailable);

// The program's icons: 128 (logged in) and 161 (not logged in), from
// Image/common/icon128 and icon161 when present, else drawn.
QIcon appIcon(int resourceId);

} // namespace quorvane::ui
