// The one place that names the main window's class, and where the program's
// real services are handed to the shell.
#include "app/main_dlg.h"
#include "app/main_window_host.h"
#include "app/shell_dialogs.h"
#include "common/property_file.h"
#include "config/readers.h"
#include "config/user_documents.h"
#include "platform/network_adapters.h"
#include "platform/processes.h"
#include "platform/registry_store.h"
#include "results/http_request.h"
#include "ui/message_dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QSystemTrayIcon>
#include <QUrl>

#include <cstdio>
#include <unistd.h>

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
        const std::filesystem::path dir = startup.programDirectory;
        m_context.http = &HttpRequest;
        m_context.session = &m_session;
        m_context.database = &m_database;
        m_context.dialogs = &m_dialogs;
        m_context.openUrl = [](const std::string& url) {
            QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url)));
        };
        m_context.endProcess = [](int code) {
            // Ends at once, as the user asked: nothing more is shown or saved.
            std::fflush(nullptr);
            ::_exit(code);
        };
        m_context.startHidden = [dir](const std::string& program, const std::vector<std::string>& args) {
            platform::LinuxProcessControl processes;
            return processes.startDetached(dir / program, args, dir).has_value();
        };
        m_context.installedVersion = [] {
            platform::IniRegistryStore registry(platform::IniRegistryStore::defaultPath());
            return registry.readString(platform::kUninstallKey, platform::kDisplayVersion).value_or(std::string());
        };
        m_context.firstAdapterMac = [] { return platform::LinuxNetworkAdapters().firstMacAddress(); };
        m_context.hintSuppressed = [](const std::string& userId) { return ReadHintSuppressed(userId); };
        m_context.suppressHint = [](const std::string& userId) { SuppressHint(userId); };
        m_context.historySaving = [](const std::string& userId) { return ReadHistorySaving(userId); };
        m_context.historyFile = [](const std::string& userId) {
            return "HistoryRecord\\HistoryRecord" + userId + ".txt";
        };
        m_context.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

        // A key added twice is told in a message window, on the GUI thread
        // whichever thread met it.
        PropertyFile::setDuplicateKeyReporter([](const std::string& message) {
            QMetaObject::invokeMethod(
                qApp, [text = QString::fromStdString(message)] { ui::CMessageDlg(text).exec(); },
                Qt::QueuedConnection);
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
    ShellDialogs m_dialogs;
    ShellContext m_context;
    std::unique_ptr<CQuorvaneDlg> m_window;
};

} // namespace

std::unique_ptr<MainWindowHost> createMainWindow(const StartupContext& context)
{
    return std::make_unique<ShellProgram>(context);
}

} // namespace quorvane
