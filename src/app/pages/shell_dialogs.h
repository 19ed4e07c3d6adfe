#pragma once
// Shows the shell's modal windows. The shell implements it with its real
// windows (WindowDialogs); a test with a script that answers them. Pure, so
// the pages need nothing of the shell to link.
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
    virtual int select(QWidget* parent, const QString& text, bool confirmOnly) = 0;
    // CMessageDlg and CWarningDlg.
    virtual void message(QWidget* parent, const QString& text) = 0;
    virtual void warning(QWidget* parent, const QString& text) = 0;
    // CShowHitDlg; true when the user asked not to see the hint again.
    virtual bool showHint(QWidget* parent) = 0;
    // Runs the login window modally and returns its result code.
    virtual int runLogin(CLoginDlg& dialog) = 0;
    // Runs the add-item window modally; QDialog::Accepted when an item was
    // stored.
    virtual int runAddItem(CAddWebPer& dialog) = 0;
    // Runs the stop dialog of automatic testing modally; its result code.
    virtual int runStopSpeed(CStopSpeedDlg& dialog) = 0;
    // The about box.
    virtual void about(QWidget* parent, const QString& version) = 0;
};

} // namespace quorvane
