// The one place that names the main window's class, and where the program's
// real services are handed to the shell.
#include "app/shell/main_dlg.h"
#include "app/shell/main_window_host.h"
#include "app/shell/program_context.h"
#include "app/shell/window_dialogs.h"
#include "common/property_file.h"
#include "ui/message_dialogs.h"

#include <QApplication>

namespace quorvane
{
namespace
{

// The program's session values, services and main window, for the whole
// modal run; destroyed when the run ends, the session values last.
class ShellProgram final : public MainWindowHost
{
public:
    explicit ShellProgram(const StartupContext& startup)
    {
        m_context = programContext(startup.programDirectory, m_session, m_database, m_dialogs);

        // A key added twice is told in a message window, on the GUI thread
        // whichever thread met it.
        PropertyFile::setDuplicateKeyReporter([](const std::string& message) {
            QMetaObject::invokeMethod(
                qApp, [text = QString::fromStdString(message)] { ui::CMessageDlg(text).exec(); }, Qt::QueuedConnection);
        });

        // The program lives in the tray: closing its last window must not end
        // it; only its own close, exit and log-off paths do.
        QApplication::setQuitOnLastWindowClosed(false);
        m_window = std::make_unique<CQuorvaneDlg>(m_context, startup.arguments);
    }

    ~ShellProgram() override
    {
        m_window.reset();
        PropertyFile::setDuplicateKeyReporter({});
    }

    bool isWindowShown() const override { return m_window->isWindowShown(); }
    void onTrayNotify(long long wParam, long long lParam) override { m_window->OnTrayNotify(wParam, lParam); }
    void bringToFront() override { m_window->bringToFront(); }
    int exec() override { return m_window->exec(); }

private:
    SessionStore m_session;
    CDataBase m_database;
    WindowDialogs m_dialogs;
    ShellContext m_context;
    std::unique_ptr<CQuorvaneDlg> m_window;
};

} // namespace

std::unique_ptr<MainWindowHost> createMainWindow(const StartupContext& context)
{
    return std::make_unique<ShellProgram>(context);
}

} // namespace quorvane
