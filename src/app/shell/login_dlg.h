#pragma once
// The login window. Modal; its result code tells the caller what happened.
// The login itself (RunLogin) runs on a worker thread so that a slow or
// silent service never freezes the window.
//
// Thread-safety: GUI thread only (the worker only touches its own copy of
// the login service and the thread-safe session values). The worker belongs
// to the context's owner of workers (the main window), so closing the window
// never waits for a slow service; without one the window owns it itself.
#include "app/pages/shell_context.h"
#include "ui/skin.h"

#include <memory>

class QLineEdit;
class QLabel;

namespace quorvane
{

namespace ui
{
class BusyIndicator;
class SkinButton;
class Workers;
class LinkLabel;
} // namespace ui

class CLoginDlg : public ui::SkinDialog
{
    Q_OBJECT
public:
    static constexpr int kResultToTray = 1166;   // minimise: go on without a login
    static constexpr int kResultExit = 1167;     // close: end the program
    static constexpr int kResultLoggedIn = 1168; // the worker logged in
    static constexpr int WM_LOGIN_DONE = 1184;   // the worker's success notice

    CLoginDlg(const ShellContext& context, const QString& userName, const QString& password, QWidget* parent = nullptr);
    ~CLoginDlg() override;

    // What the user typed, as handed to the main window at every login
    // attempt and when the window goes to the tray.
    QString userName() const;
    QString password() const;
    QString messageText() const;
    bool loginRunning() const { return m_running; }

    // The login button and Enter: RunLogin on a worker.
    void RunLogin();
    void OpenRegisterPage();
    void OpenForgotPasswordPage();

    QLineEdit* userField() const { return m_user; }
    QLineEdit* passwordField() const { return m_password; }

Q_SIGNALS:
    // The typed credentials, at every attempt and at the minimise button.
    void credentialsTyped(const QString& userName, const QString& password);
    // A login attempt ended (success included); for observers and tests.
    void attemptEnded(int outcome);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void showEvent(QShowEvent* event) override;

private:
    void onWorkerDone(const LoginService::Result& result);
    void setBusy(bool busy);
    void setMessage(const QString& text);

    std::unique_ptr<ui::Workers> m_ownWorkers; // when the context brings none
    ShellContext m_context;
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
    QLabel* m_message = nullptr;
    ui::SkinButton* m_loginButton = nullptr;
    ui::BusyIndicator* m_busy = nullptr;
    bool m_running = false;
};

} // namespace quorvane
