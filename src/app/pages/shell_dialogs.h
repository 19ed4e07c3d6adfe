#pragma once
// Shows the shell's modal windows. The program uses the real windows; a test
// replaces this with a script that answers them.
//
// Thread-safety: GUI thread only.
#include <QString>

class QWidget;

namespace quorvane
{

class CAddWebPer;
class CLoginDlg;
class CStopSpeedDlg;

class ShellDialogs
{
public:
    virtual ~ShellDialogs() = default;

    // CSelectDlg: kIdYes or kIdNo (ConfirmOnly: kIdYes).
    virtual int select(QWidget* parent, const QString& text, bool confirmOnly);
    // CMessageDlg and CWarningDlg.
    virtual void message(QWidget* parent, const QString& text);
    virtual void warning(QWidget* parent, const QString& text);
    // CShowHitDlg; true when the user asked not to see the hint again.
    virtual bool showHint(QWidget* parent);
    // Runs the login window modally and returns its result code.
    virtual int runLogin(CLoginDlg& dialog);
    // Runs the add-item window modally; QDialog::Accepted when an item was
    // stored.
    virtual int runAddItem(CAddWebPer& dialog);
    // Runs the stop dialog of automatic testing modally; its result code.
    virtual int runStopSpeed(CStopSpeedDlg& dialog);
    // The about box.
    virtual void about(QWidget* parent, const QString& version);
};

} // namespace quorvane
