#include "app/pages/shell_dialogs.h"

#include "app/pages/add_web_per.h"
#include "app/shell/about_dlg.h"
#include "app/shell/login_dlg.h"
#include "app/shell/stop_speed_dlg.h"
#include "ui/message_dialogs.h"

namespace quorvane
{

int ShellDialogs::select(QWidget* parent, const QString& text, bool confirmOnly)
{
    ui::CSelectDlg dlg(text, confirmOnly ? ui::CSelectDlg::Buttons::ConfirmOnly : ui::CSelectDlg::Buttons::YesNo,
                       parent);
    return dlg.exec();
}

void ShellDialogs::message(QWidget* parent, const QString& text)
{
    ui::CMessageDlg dlg(text, parent);
    dlg.exec();
}

void ShellDialogs::warning(QWidget* parent, const QString& text)
{
    ui::CWarningDlg dlg(text, parent);
    dlg.exec();
}

bool ShellDialogs::showHint(QWidget* parent)
{
    ui::CShowHitDlg dlg(parent);
    dlg.exec();
    return dlg.suppressFurtherHints();
}

int ShellDialogs::runLogin(CLoginDlg& dialog)
{
    return dialog.exec();
}

int ShellDialogs::runStopSpeed(CStopSpeedDlg& dialog)
{
    return dialog.exec();
}

int ShellDialogs::runAddItem(CAddWebPer& dialog)
{
    return dialog.exec();
}

void ShellDialogs::about(QWidget* parent, const QString& version)
{
    CAboutDlg dlg(version, parent);
    dlg.exec();
}

} // namespace quorvane
