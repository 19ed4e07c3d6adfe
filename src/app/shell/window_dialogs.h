#pragma once
// The shell's real modal windows behind ShellDialogs.
//
// Thread-safety: GUI thread only.
#include "app/pages/shell_dialogs.h"

namespace quorvane
{

class WindowDialogs final : public ShellDialogs
{
public:
    int select(QWidget* parent, const QString& text, bool confirmOnly) override;
    void message(QWidget* parent, const QString& text) override;
    void warning(QWidget* parent, const QString& text) override;
    bool showHint(QWidget* parent) override;
    int runLogin(CLoginDlg& dialog) override;
    int runAddItem(CAddWebPer& dialog) override;
    int runStopSpeed(CStopSpeedDlg& dialog) override;
    void about(QWidget* parent, const QString& version) override;
};

} // namespace quorvane
