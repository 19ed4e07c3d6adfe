#pragma once
// The main window's presence in the notification area: the icon for the
// login state, its menu, and the tip that follows the latest result. The
// mouse actions come back as requests the window decides on.
//
// Thread-safety: GUI thread only, except setLatestResultText.
#include "ui/tray_presence.h"

#include <QObject>
#include <QString>

#include <memory>
#include <string>

class QMenu;
class QWidget;

namespace quorvane
{

class TrayControl : public QObject
{
    Q_OBJECT
public:
    // The tip while nothing has been measured.
    static constexpr const char* kIdleTip =
        "计划任务提醒\n网络测速正在后台执行!\nQuorvane\n\n-------------------\n双击图标打开";

    // `menuParent` owns the menu (the menu follows its window's fonts and
    // life).
    TrayControl(std::unique_ptr<ui::TrayPresence> presence, QWidget* menuParent);
    ~TrayControl() override;

    // A mouse message of the icon (or of a second start's double-click).
    void handleMouse(long long mouse);

    // Puts the logged-in icon in the tray, its tip the latest result.
    void add();
    void remove();
    // Switches the icon for the login state; nothing when it already shows.
    void setLoggedIn(bool loggedIn);
    // 0 until an icon has been set, else the icon's resource id.
    int icon() const { return m_icon; }

    // The latest result text, which the tip shows (cut to 127 bytes) from
    // the moment it changes. May be called from any thread: the text and
    // the tray belong to this object's thread, and the call goes there.
    void setLatestResultText(const std::string& text);
    std::string latestResultText() const { return m_latestResult; }

    ui::TrayPresence& presence() const { return *m_presence; }
    QMenu* menu() const { return m_menu; }

Q_SIGNALS:
    // A double-click on the icon or the menu's open item.
    void openRequested();
    // The menu's exit item.
    void exitRequested();

private:
    QString tip() const;

    std::unique_ptr<ui::TrayPresence> m_presence;
    QMenu* m_menu = nullptr;
    int m_icon = 0;
    std::string m_latestResult;
};

} // namespace quorvane
