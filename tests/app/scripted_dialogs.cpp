#include "app/login_dlg.h"
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

} // namespace quorvane::testing
