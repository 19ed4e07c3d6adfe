#include "app/shell/login_flow.h"

#include "app/login/conf_files.h"
#include "app/pages/shell_dialogs.h"
#include "app/shell/login_dlg.h"
#include "app/shell/shell_log.h"
#include "common/property_file.h"
#include "ui/workers.h"

namespace quorvane
{

LoginFlow::LoginFlow(const ShellContext& context, ui::Workers& workers) : m_context(context), m_workers(workers) {}

void LoginFlow::loadStoredCredentials()
{
    const StoredCredentials credentials = StoredCredentials::read();
    m_userName = credentials.userName;
    m_password = credentials.password;
}

void LoginFlow::setWindowShown(bool shown)
{
    PropertyFile config(conf::configFile());
    config.load();
    const char* value = shown ? "true" : "false";
    if (config.get("login_window_show") == value)
        return; // the silent login retries every 5 s: no rewrite for nothing
    config.set("login_window_show", value);
    config.save(false);
}

int LoginFlow::runWindow()
{
    setWindowShown(true);
    CLoginDlg dlg(m_context, QString::fromStdString(m_userName), QString::fromStdString(m_password));
    qCInfo(lcShell, "login window shown");
    connect(&dlg, &CLoginDlg::credentialsTyped, this, [this](const QString& user, const QString& pass) {
        m_userName = user.toStdString();
        m_password = pass.toStdString();
    });
    const int result = m_context.dialogs->runLogin(dlg);
    qCInfo(lcShell, "login window ended with %d", result);
    setWindowShown(false);
    return result;
}

void LoginFlow::startSilent()
{
    if (m_silentRunning)
        return; // the previous try is still waiting for the service
    // Written here, not on the worker: the login window's "true" is written
    // on this thread too, and the two must not overtake each other.
    setWindowShown(false);
    m_silentRunning = true;
    const std::uint64_t attempt = ++m_attempt;
    LoginService service = m_context.loginService();
    m_workers.run<LoginService::AutoAttempt>(
        this, [service]() mutable { return service.attemptAutoLogin(); },
        [this, attempt, service](const LoginService::AutoAttempt& result) mutable {
            m_silentRunning = false;
            if (attempt != m_attempt) {
                // The user opened the login window meanwhile: the window
                // decides now, and a late success or refusal must not land
                // inside it.
                qCInfo(lcShell, "silent login answer dropped: the login window took over");
                Q_EMIT silentDropped();
                return;
            }
            service.applyAutoLogin(result);
            Q_EMIT silentFinished(static_cast<int>(result.outcome));
        });
}

} // namespace quorvane
