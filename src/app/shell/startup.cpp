#include "app/shell/startup.h"

#include "common/durable_file.h"
#include "common/folder_check.h"
#include "common/log_file.h"
#include "common/number_locale.h"
#include "common/paths.h"
#include "common/property_file.h"
#include "platform/autostart.h"
#include "platform/executable.h"
#include "platform/registry_store.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <thread>
#include <unistd.h>

namespace quorvane
{
namespace
{

Q_LOGGING_CATEGORY(lcStartup, "quorvane.startup")

// How long a second start waits for the running instance to take its message.
constexpr int kActivationTimeoutMs = 3000;

const char* outcomeText(ActivationOutcome outcome)
{
    switch (outcome) {
    case ActivationOutcome::TrayDoubleClick:
        return "tray double-click";
    case ActivationOutcome::BroughtToFront:
        return "brought to front";
    case ActivationOutcome::Ignored:
        break;
    }
    return "ignored";
}

void logUpdaterCheck(const UpdaterCheck& check)
{
    if (!check.startAttempted)
        qCInfo(lcStartup, "updater: nothing to start (running %ld, stored %ld)", check.runningPid, check.storedPid);
    else if (check.startedPid)
        qCInfo(lcStartup, "updater: started pid %ld (running %ld, stored %ld)", *check.startedPid, check.runningPid,
               check.storedPid);
    else
        qCInfo(lcStartup, "updater: could not be started (running %ld, stored %ld)", check.runningPid, check.storedPid);
}

} // namespace

bool loginWindowShown(const std::filesystem::path& programDirectory)
{
    PropertyFile config(programPath(programDirectory, "conf\\config.properties").string());
    config.load();
    return config.get("login_window_show") == "true";
}

platform::ActivationMessage activationFor(bool loginWindowShown)
{
    if (loginWindowShown)
        return platform::ActivationMessage::bringToFront();
    return platform::ActivationMessage::post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK);
}

UpdaterCheck EnsureUpdaterRunning(platform::ProcessControl& processes, const std::filesystem::path& programDirectory,
                                  std::string_view updaterName, long ownPid)
{
    UpdaterCheck check;
    // Our own entry stands where the system's first snapshot entry stood: it
    // is never the updater, whatever its name.
    check.runningPid =
        platform::findProcess(processes.snapshot(), updaterName, platform::NameCase::Insensitive, ownPid).value_or(0);

    PropertyFile state(programPath(programDirectory, "conf\\update_process.properties").string());
    state.load();
    const std::string stored = state.get("update_process_id");
    check.storedPid = stored == PropertyFile::kNull ? 0 : atolValue(stored);
    if (check.runningPid == check.storedPid)
        return check;

    check.startAttempted = true;
    check.startedPid =
        processes.startDetached(programDirectory / std::string(updaterName), {"update"}, programDirectory);
    if (!check.startedPid)
        return check;
    // set() never adds and add() refuses a present key, so the choice goes
    // by the key's presence, not by its value: a file holding the text
    // "null" must learn the id too, or every start would launch one more
    // updater.
    const std::string pidText = std::to_string(*check.startedPid);
    const auto& entries = state.entries();
    const bool present = std::any_of(entries.begin(), entries.end(),
                                     [](const auto& entry) { return entry.first == "update_process_id"; });
    if (present)
        state.set("update_process_id", pidText);
    else
        state.add("update_process_id", pidText);
    state.save(true);
    return check;
}

ActivationOutcome deliverActivation(const platform::ActivationMessage& message, MainWindowHost& window,
                                    const std::function<void(std::function<void()>)>& post)
{
    using Kind = platform::ActivationMessage::Kind;
    if (message.kind == Kind::BringToFront) {
        window.bringToFront();
        return ActivationOutcome::BroughtToFront;
    }
    if (message.message != WM_TRAY_NOTIFY || message.wParam != kTrayIconId || message.lParam != WM_LBUTTONDBLCLK)
        return ActivationOutcome::Ignored;
    if (window.isWindowShown()) {
        window.bringToFront();
        return ActivationOutcome::BroughtToFront;
    }
    const long long wParam = message.wParam;
    const long long lParam = message.lParam;
    post([&window, wParam, lParam] { window.onTrayNotify(wParam, lParam); });
    window.bringToFront();
    return ActivationOutcome::TrayDoubleClick;
}

bool CQuorvaneApp::InitInstance()
{
    int& argc = m_argc;
    char** argv = m_argv;
    // Every relative path of the program (conf/, Config/, Data/, the logs)
    // means the program's own folder.
    std::filesystem::path executable = platform::currentExecutablePath();
    if (executable.empty() && argc > 0) {
        std::error_code ec;
        executable = std::filesystem::weakly_canonical(argv[0], ec);
    }
    const std::filesystem::path programDirectory = executable.parent_path();
    if (!programDirectory.empty()) {
        std::error_code ec;
        std::filesystem::current_path(programDirectory, ec);
    }

    const bool loginShown = loginWindowShown(programDirectory);
    const std::string instanceName = platform::instanceNameOf(executable);
    platform::LocalSingleInstance instance(instanceName);
    if (!instance.claim()) {
        // A second start says nothing to its user; it only wakes the first.
        instance.activateRunning(activationFor(loginShown), kActivationTimeoutMs);
        return false;
    }

    // The web page test's browser shares the application's GL contexts; as
    // root its sandbox cannot start, so it runs without.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // Nothing here needs OpenGL: the browser draws in software and the video
    // picture falls back to painting. With it, the shared context alone loads
    // a GL driver at the start (on a machine without a GPU a software one, some
    // 30 MB) that stays for as long as the program sits in the tray.
    if (qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    if (geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QApplication app(argc, argv);
    pinNumericLocale();
    QApplication::setApplicationName(QStringLiteral("Quorvane"));

    // Only the instance that runs gets here: what a crash left of a save
    // goes, and the files holding credentials are the owner's alone. Saves
    // still under way in the updaters are left alone (they hold their lock).
    const TidyReport tidy =
        tidyInstallation(programDirectory, {platform::IniRegistryStore::defaultPath().parent_path(),
                                            platform::XdgAutoStart::defaultEntryPath().parent_path()});
    if (tidy.savesSwept > 0 || tidy.filesRestricted > 0)
        qCInfo(lcStartup, "start-up: %zu interrupted saves swept, %zu credential files made owner-only",
               tidy.savesSwept, tidy.filesRestricted);

    // Said once, now, rather than one failed write at a time later. The
    // message does not wait for an answer: an unattended start goes on.
    if (const auto problems = checkWritableFolders(programDirectory); !problems.empty()) {
        const std::string text = folderProblemsText(problems);
        for (const auto& p : problems) {
            qCWarning(lcStartup, "start-up: folder %s cannot be written: %s", p.folder.c_str(), p.reason.c_str());
            CLogFile::append("logfile.txt", "folder cannot be written: " + p.folder + " (" + p.reason + ")");
        }
        auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Quorvane"), QString::fromStdString(text));
        box->setObjectName(QStringLiteral("folderProblems"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
    }

    const long ownPid = ::getpid();
    // Joined on every way out of here, an exception's included.
    std::jthread updaterCheck([programDirectory, ownPid] {
        platform::LinuxProcessControl processes;
        logUpdaterCheck(EnsureUpdaterRunning(processes, programDirectory, kUpdaterProgram, ownPid));
    });

    StartupContext context;
    context.programDirectory = programDirectory;
    context.instanceName = instanceName;
    for (int i = 1; i < argc; ++i)
        context.arguments.emplace_back(argv[i]);
    std::unique_ptr<MainWindowHost> window = createMainWindow(context);

    // Posted work must not reach a window that is already gone.
    auto windowAlive = std::make_shared<bool>(true);
    const auto post = [windowAlive](std::function<void()> task) {
        QTimer::singleShot(0, qApp, [windowAlive, task = std::move(task)] {
            if (*windowAlive)
                task();
        });
    };
    const bool accepting = instance.acceptActivations([&window, post](const platform::ActivationMessage& message) {
        const ActivationOutcome outcome = deliverActivation(message, *window, post);
        qCInfo(lcStartup, "activation: %s -> %s", platform::encodeActivation(message).c_str(), outcomeText(outcome));
    });
    if (accepting)
        qCInfo(lcStartup, "accepting activations at %s", instance.socketFile().c_str());
    else
        qCWarning(lcStartup, "cannot accept activations for \"%s\"", instanceName.c_str());

    m_exitCode = window->exec();

    instance.stopAccepting();
    *windowAlive = false;
    window.reset();
    updaterCheck.join();
    return false;
}

} // namespace quorvane
