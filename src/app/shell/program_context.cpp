#include "app/shell/program_context.h"

#include "autotest/system_environment.h"

#include "common/log_file.h"
#include "config/readers.h"
#include "config/user_documents.h"
#include "measure/latency.h"
#include "metrics/endpoint.h"
#include "net/http_request.h"
#include "platform/desktop_open.h"
#include "platform/network_adapters.h"
#include "platform/processes.h"
#include "platform/registry_store.h"
#include "results/history.h"
#include "update/version_records.h"

#include <QByteArray>
#include <QDesktopServices>
#include <QSystemTrayIcon>
#include <QUrl>

namespace quorvane
{

void addMetricsEndpoint(ShellContext& c, const std::filesystem::path& dir)
{
    // Lives as long as the context's functions: the whole run.
    auto endpoint = std::make_shared<metrics::MetricsEndpoint>(dir);
    const metrics::EndpointConfig config = metrics::readEndpointConfig(dir);
    if (!endpoint->apply(config))
        CLogFile::append((dir / "logfile.txt").string(), "metrics endpoint not started: " + endpoint->error());
    c.metricsEndpointOn = [endpoint] { return endpoint->running(); };
    c.setMetricsEndpoint = [endpoint, dir](bool on) {
        metrics::EndpointConfig config = metrics::readEndpointConfig(dir);
        config.enabled = on;
        const bool saved = metrics::saveEndpointEnabled(dir, on);
        const bool applied = endpoint->apply(config);
        if (!applied)
            CLogFile::append((dir / "logfile.txt").string(), "metrics endpoint not started: " + endpoint->error());
        return saved && applied;
    };
}

ShellContext programContext(const std::filesystem::path& programDirectory, SessionStore& session, CDataBase& database,
                            ShellDialogs& dialogs)
{
    ShellContext c;
    const std::filesystem::path dir = programDirectory;
    c.http = [](const std::string& verb, const std::string& url, const std::string& body, std::string& response) {
        return HttpRequest(verb, url, body, response);
    };
    c.session = &session;
    c.database = &database;
    c.dialogs = &dialogs;
    c.openUrl = [](const std::string& url) {
        // Only addresses the desktop may be handed; Qt's own way serves a
        // machine without xdg-open.
        if (!platform::desktopOpenArguments(url))
            return;
        platform::LinuxProcessControl processes;
        if (!platform::openWithDesktop(url, processes))
            QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url)));
    };
    c.startHidden = [dir](const std::string& program, const std::vector<std::string>& args) {
        platform::LinuxProcessControl processes;
        return processes.startDetached(dir / program, args, dir).has_value();
    };
    addPageServices(c); // the settings page's autostart entry, updater and manifest
    // Shown after the title in the caption and in the about box; a store
    // that cannot be read shows no version.
    c.installedVersion = [] {
        platform::IniRegistryStore registry(platform::IniRegistryStore::defaultPath());
        return update::ReadDisplayVersion(registry).value_or(std::string());
    };
    c.firstAdapterMac = [] { return platform::LinuxNetworkAdapters().firstMacAddress(); };
    c.hintSuppressed = [](const std::string& userId) { return ReadHintSuppressed(userId); };
    c.suppressHint = [](const std::string& userId) { SuppressHint(userId); };
    // A user who never opened the settings has no document of their own yet;
    // the shipped default keeps the history, so it must not be deleted at
    // the end merely because the document is missing.
    c.historySaving = [](const std::string& userId) {
        if (!userId.empty())
            EnsureUserSettings(userId);
        return ReadHistorySaving(userId);
    };
    c.historyFile = [](const std::string& userId) { return historyFilePath({}, userId).string(); };
    c.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    addMetricsEndpoint(c, dir);
    c.environment = std::make_shared<SystemEnvironmentChecks>();
    c.bandwidth.engine.installDir = dir;
    // The test servers' latency, idle and under load.
    c.bandwidth.engine.pinger = measure::EchoPinger(systemClock());
    c.download.engine.installDir = dir;

    return c;
}

} // namespace quorvane
