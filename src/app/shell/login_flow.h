#pragma once
// How the user gets logged in: silently with the stored credentials (on a
// worker, retried by the window's timer), or through the login window. The
// window decides what a login means for it; this part owns the attempts and
// the credentials typed meanwhile.
//
// Thread-safety: GUI thread only. The silent request runs on the window's
// workers and its answer comes back to this thread.
#include "app/pages/shell_context.h"

#include <QObject>

#include <cstdint>
#include <string>

namespace quorvane
{

namespace ui
{
class Workers;
}

class LoginFlow : public QObject
{
    Q_OBJECT
public:
    // `workers` outlive this object and are waited for before it ends.
    LoginFlow(const ShellContext& context, ui::Workers& workers);

    // The credentials stored by the last login, which the login window
    // offers and the silent login uses.
    void loadStoredCredentials();
    std::string typedUserName() const { return m_userName; }

    // Shows the login window modally, the configuration saying so while it
    // shows; returns its result code (CLoginDlg::kResult...).
    int runWindow();

    // Starts a silent attempt unless one still waits for the service; the
    // answer, already applied to the session, comes as silentFinished (or
    // silentDropped when it came too late to count).
    void startSilent();
    bool silentRunning() const { return m_silentRunning; }
    // An answer still to come no longer counts: the login window decides.
    void supersedeSilent() { ++m_attempt; }

Q_SIGNALS:
    void silentFinished(int outcome); // a LoginService::AutoOutcome
    void silentDropped();

private:
    void setWindowShown(bool shown);

    ShellContext m_context;
    ui::Workers& m_workers;
    std::string m_userName;
    std::string m_password;
    bool m_silentRunning = false;
    // Counts silent attempts and their supersessions, so that an answer to
    // an older attempt is known to be stale.
    std::uint64_t m_attempt = 0;
};

} // namespace quorvane
