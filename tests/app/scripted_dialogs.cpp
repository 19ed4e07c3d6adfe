#include "app/pages/add_web_per.h"
#include "app/shell/login_dlg.h"
#include "app/shell_fixture.h"

namespace quorvane::testing
{

int ScriptedDialogs::runLogin(CLoginDlg& dialog)
{
    shown.push_back({"login", dialog.userName()});
    if (logins.empty())
        return CLoginDlg::kResultExit;
    auto script = std::move(logins.front());
    logins.pop_front();
    return script(dialog);
}

int ScriptedDialogs::runAddItem(CAddWebPer& dialog)
{
    shown.push_back({"add", QString::fromStdString(dialog.moduleId())});
    if (addItems.empty())
        return QDialog::Rejected;
    auto script = std::move(addItems.front());
    addItems.pop_front();
    return script(dialog);
}

} // namespace quorvane::testing
