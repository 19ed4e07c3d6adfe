#pragma once
// A tray icon that only records what the program asks of it, and lets a
// test click it.
#include "ui/tray_presence.h"

#include <vector>

namespace quorvane::testing
{

class RecordingTray final : public ui::TrayPresence
{
public:
    void add() override { added = true; }
    void remove() override { added = false; }
    bool isAdded() const override { return added; }
    void setIcon(const QIcon&, const QString& state) override { stateText = state; }
    void setToolTip(const QString& text) override { tip = text; }
    QString toolTip() const override { return tip; }
    bool isStandIn() const override { return false; }
    void showMessage(const QString& title, const QString& text) override
    {
        messages.push_back(title);
        messageTexts.push_back(text);
    }
    void send(int mouse) { Q_EMIT notified(mouse); }

    bool added = false;
    QString stateText;
    QString tip;
    std::vector<QString> messages; // titles
    std::vector<QString> messageTexts;
};

} // namespace quorvane::testing
