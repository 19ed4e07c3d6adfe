#include "app/shell/window_dialogs.h"

#include "app/pages/add_web_per.h"
#include "app/shell/about_dlg.h"
#include "app/shell/login_dlg.h"
#include "app/shell/stop_speed_dlg.h"
#include "ui/message_dialogs.h"

namespace quorvane
{

int WindowDialogs::select(QWidget* parent, const QString& text, bool confirmOnly)
{
    ui::CSelectDlg dlg(text, confirmOnly ? ui::CSelectDlg::Buttons::ConfirmOnly : ui::CSelectDlg::Buttons::YesNo,
                       parent);
    return dlg.exec();
}

void WindowDialogs::message(QWidget* parent, const QString& text)
{
    ui::CMessageDlg dlg(text, parent);
    dlg.exec();
}

void WindowDialogs::warning(QWidget* parent, const QString& text)
{
    ui::CWarningDlg dlg(text, parent);
    dlg.exec();
}

bool WindowDialogs::showHint(QWidget* parent)
{
    ui::CShowHitDlg dlg(parent);
    dlg.exec();
    return dlg.suppressFurtherHints();
}

int WindowDialogs::runLogin(CLoginDlg& dialog)
{
    return dialog.exec();
}

int WindowDialogs::runStopSpeed(CStopSpeedDlg& dialog)
{
    return dialog.exec();
}

int WindowDialogs::runAddItem(CAddWebPer& dialog)
{
    return dialog.exec();
}

void WindowDialogs::about(QWidget* parent, const QString& version)
{
    CAboutDlg dlg(version, parent);
    dlg.exec();
}

} // namespace quorvane
