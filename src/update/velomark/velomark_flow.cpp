#include "update/velomark/velomark_flow.h"

#include "common/durable_file.h"
#include "common/paths.h"
#include "common/property_file.h"
#include "update/segmented_download.h"
#include "update/version_records.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

namespace quorvane::velomark
{
namespace
{

class IndexEvent : public QEvent
{
public:
    IndexEvent(int type, int index) : QEvent(static_cast<QEvent::Type>(type)), index(index) {}
    int index;
};

QString percentText(int value, int maximum)
{
    const int percent = maximum > 0 ? std::min(100, value * 100 / maximum) : 0;
    return QStringLiteral("%1%2").arg(percent).arg(QStringLiteral("%"));
}

std::string fileNameOf(const std::string& localpath)
{
    const auto slash = localpath.find_last_of('/');
    return slash == std::string::npos ? localpath : localpath.substr(slash + 1);
}

} // namespace

VelomarkFlow::VelomarkFlow(std::filesystem::path programDir, Services services, QObject* parent)
    : QObject(parent), m_dir(std::move(programDir)), m_services(std::move(services))
{
}

VelomarkFlow::~VelomarkFlow()
{
    stopThreads();
}

void VelomarkFlow::start()
{
    PropertyFile config((m_dir / "conf" / "config.properties").string());
    config.load();
    m_serverPath = config.get("update_server_path");
    m_publicKey = config.get(update::kPublicKeyKey);
    const std::string url = m_serverPath + config.get("update_ver_file_name");

    std::error_code ec;
    std::filesystem::remove_all(m_dir / "tmp", ec);
    // The manifest is stored under the configured name but read back as
    // tmp/update.xml, so the two only meet when the configuration names
    // update.xml; programPath keeps a configured name inside tmp.
    const std::filesystem::path stored = programPath(m_dir, "tmp/" + config.get("update_ver_xml"));
    m_manifestFile = m_dir / "tmp" / "update.xml";
    m_signatureFile = stored;
    m_signatureFile += std::string(update::kSignatureSuffix);
    std::filesystem::create_directories(stored.parent_path(), ec);
    addLine(QString::fromUtf8(kTextFetchingManifest));

    m_state = State::FetchingManifest;
    const bool signatureWanted = update::signatureRequired(m_publicKey);
    m_threads.emplace_back([this, url, stored, signatureWanted] {
        bool complete = false;
        try {
            complete = m_services.download && m_services.download(url, stored, m_cancel, update::ManifestLimits());
            // A missing signature is judged with the manifest, not here.
            if (complete && signatureWanted)
                m_services.download(url + std::string(update::kSignatureSuffix), m_signatureFile, m_cancel,
                                    update::ManifestLimits());
        } catch (const std::exception& e) {
            qWarning("Velomark: manifest download failed: %s", e.what());
            complete = false;
        }
        post(kWmManifestDone, complete ? 1 : 0);
    });
}

void VelomarkFlow::setAgreed(bool agreed)
{
    m_agreed = agreed;
}

void VelomarkFlow::begin()
{
    if (m_state != State::AwaitingAgreement || !m_agreed)
        return;
    m_state = State::Downloading;
    if (m_services.processes)
        m_quorvaneTerminated =
            m_services.processes->terminateProgram(m_dir / "Quorvane", platform::NameCase::Sensitive) ==
            platform::TerminateResult::Terminated;
    Q_EMIT listCleared();
    addLine(QString::fromUtf8(kTextPreparing));
    const std::size_t workers = std::min<std::size_t>(kMaxActiveDownloads, files().size());
    for (std::size_t i = 0; i < workers; ++i)
        m_threads.emplace_back([this] { downloadWorker(); });
}

void VelomarkFlow::cancel()
{
    stopThreads();
    if (m_state == State::Done)
        return;
    std::error_code ec;
    std::filesystem::remove_all(m_dir / "TmpUpdate", ec);
    restoreQuorvane();
    m_state = State::Done;
}

bool VelomarkFlow::event(QEvent* e)
{
    const int type = static_cast<int>(e->type());
    if (type != kWmFileDone && type != kWmManifestDone && type != kWmInstall && type != kWmFileFailed)
        return QObject::event(e);
    const int index = static_cast<IndexEvent*>(e)->index;
    switch (type) {
    case kWmManifestDone:
        onManifestDone(index != 0);
        break;
    case kWmFileDone:
        onFileDone(index);
        break;
    case kWmFileFailed:
        onFileFailed();
        break;
    case kWmInstall:
        onInstall();
        break;
    }
    return true;
}

void VelomarkFlow::post(int type, int index)
{
    QCoreApplication::postEvent(this, new IndexEvent(type, index));
}

void VelomarkFlow::onManifestDone(bool complete)
{
    if (m_state != State::FetchingManifest)
        return;
    Q_EMIT agreementEnabled();
    const std::string installed =
        m_services.registry ? update::VelomarkInstalledVersion(*m_services.registry) : update::kFallbackVersion;
    // A manifest task that did not complete leaves at best part of the
    // file behind, which would read as "no release" and tell the user the
    // program is current when nothing was learnt at all.
    std::optional<update::Manifest> manifest;
    std::error_code ec;
    if (complete && std::filesystem::is_regular_file(m_manifestFile, ec))
        manifest = update::LoadManifest(m_manifestFile);
    m_plan = update::DecideVelomark(manifest, installed);
    m_releaseSequence = manifest ? update::ReleaseSequence(*manifest) : 0;
    if (m_plan.outcome == update::VelomarkPlan::Outcome::DownloadFailed) {
        endWith(QString::fromUtf8(kTextDownloadFailed));
        return;
    }
    if (m_plan.outcome == update::VelomarkPlan::Outcome::UpToDate || m_plan.selection.files.empty()) {
        endWith(QString::fromUtf8(kTextUpToDate));
        return;
    }
    const std::string refusal = this->refusal();
    if (!refusal.empty()) {
        qWarning("Velomark: release refused: %s", refusal.c_str());
        endWith(QString::fromUtf8(kTextRefused));
        return;
    }
    Q_EMIT listCleared();
    for (const std::string& note : m_plan.notes)
        addLine(QString::fromStdString(note));
    for (const update::SelectedFile& f : files())
        std::filesystem::create_directories((m_dir / "TmpUpdate" / f.localpath).parent_path(), ec);
    Q_EMIT progressChanged(0, static_cast<int>(files().size()), percentText(0, 1));
    m_state = State::AwaitingAgreement;
}

std::string VelomarkFlow::refusal() const
{
    if (update::signatureRequired(m_publicKey)) {
        std::error_code ec;
        std::optional<std::string> signature;
        if (std::filesystem::is_regular_file(m_signatureFile, ec))
            signature = readWholeFile(m_signatureFile);
        const auto verdict =
            update::checkManifestSignature(m_publicKey, readWholeFile(m_manifestFile).value_or(""), signature);
        if (!update::allowsInstall(verdict))
            return "manifest signature: " + std::string(update::describe(verdict));
        // A valid signature on an old manifest is a replay: DisplayVersion
        // alone may be older than what an updater installed since.
        const auto manifest = update::LoadManifest(m_manifestFile);
        std::vector<std::string> others;
        if (m_services.registry)
            if (const auto display = update::ReadDisplayVersion(*m_services.registry))
                others.push_back(*display);
        if (manifest && update::IsOlderRelease(*manifest, update::ReadInstalledRelease(m_dir), others))
            return "manifest older than the installed release: " + manifest->version;
    }
    // Nothing is fetched for a release that names a path outside the
    // program folder: its download alone would write there.
    if (const auto bad = update::checkRelease(m_dir, files()))
        return std::string(update::describe(bad->reason)) + ": " + bad->path;
    return {};
}

void VelomarkFlow::downloadWorker()
{
    try {
        fetchFiles();
    } catch (const std::exception& e) {
        // Nothing may escape a download thread; the update is given up.
        qWarning("Velomark: download failed: %s", e.what());
        m_cancel = true;
        post(kWmFileFailed, -1);
    }
}

void VelomarkFlow::fetchFiles()
{
    for (;;) {
        std::size_t index;
        {
            std::lock_guard lock(m_queueLock);
            if (m_nextFile >= files().size())
                return;
            index = m_nextFile++;
        }
        const update::SelectedFile& file = files()[index];
        const std::filesystem::path target = m_dir / "TmpUpdate" / file.localpath;
        bool matched = false;
        bool complete = false;
        for (int attempt = 0; attempt < kMaxFetchAttempts && !matched; ++attempt) {
            if (m_cancel)
                return;
            // A copy that arrived whole and does not match is fetched anew;
            // one that broke off is continued from where it stopped.
            if (complete) {
                std::error_code ec;
                std::filesystem::remove(target, ec);
                std::filesystem::remove(update::StateFilePath(target.string()), ec);
            }
            complete = m_services.download(m_serverPath + file.serpath, target, m_cancel, update::FileLimits(file));
            if (m_cancel)
                return;
            matched = complete && update::FileMatches(target, file);
        }
        if (!matched) {
            // The others would only fetch files that are never installed.
            m_cancel = true;
            post(kWmFileFailed, static_cast<int>(index));
            return;
        }
        post(kWmFileDone, static_cast<int>(index));
    }
}

void VelomarkFlow::onFileDone(int index)
{
    if (m_state != State::Downloading || index < 0 || static_cast<std::size_t>(index) >= files().size())
        return;
    ++m_filesDone;
    const int total = static_cast<int>(files().size());
    Q_EMIT progressChanged(m_filesDone, total, percentText(m_filesDone, total));
    addLine(QString::fromUtf8(kTextFilePrefix) +
            QString::fromStdString(fileNameOf(files()[static_cast<std::size_t>(index)].localpath)));
    addLine(QString::fromUtf8(kTextFileDone));
    addLine(QString(53, QLatin1Char('-')));
    if (m_filesDone == total)
        post(kWmInstall, 0);
}

void VelomarkFlow::onFileFailed()
{
    if (m_state != State::Downloading)
        return;
    stopThreads();
    std::error_code ec;
    std::filesystem::remove_all(m_dir / "TmpUpdate", ec);
    restoreQuorvane();
    endWith(QString::fromUtf8(kTextDownloadFailed));
}

void VelomarkFlow::onInstall()
{
    if (m_state != State::Downloading)
        return;
    m_state = State::Installing;
    stopThreads();
    std::vector<update::InstallFile> staged;
    for (const update::SelectedFile& f : files())
        staged.push_back({m_dir / "TmpUpdate" / f.localpath, f.localpath});
    update::InstallOptions options = m_services.installOptions;
    options.afterInstall = [this] { return recordVersion(); };
    const update::InstallOutcome outcome = update::installFiles(m_dir, staged, options);
    std::error_code ec;
    std::filesystem::remove_all(m_dir / "TmpUpdate", ec);
    std::filesystem::remove_all(m_dir / "tmp", ec);
    if (!outcome.ok()) {
        qWarning("Velomark: install failed: %s", outcome.detail.c_str());
        // An undo that failed half-way is finished now rather than at the
        // next start, so the program started next is the old one whole.
        if (outcome.result == update::InstallResult::Broken)
            update::recoverInterruptedInstall(m_dir);
        restoreQuorvane();
        endWith(QString::fromUtf8(kTextInstallFailed));
        return;
    }
    Q_EMIT message(QString::fromUtf8(kTextUpdated));
    Q_EMIT restarting();
    if (m_services.processes)
        m_services.processes->startAndWait(m_dir / "Quorvane", {"update"}, m_dir, -1);
    m_state = State::Done;
    Q_EMIT finished();
}

bool VelomarkFlow::recordVersion()
{
    bool ok = true;
    if (m_services.registry && !update::WriteDisplayVersion(*m_services.registry, m_plan.serverVersion)) {
        qWarning("Velomark: DisplayVersion not written");
        ok = false;
    }
    if (!update::WriteInstalledRelease(m_dir, {m_plan.serverVersion, m_releaseSequence})) {
        qWarning("Velomark: new_app_ver not written");
        ok = false;
    }
    return ok;
}

void VelomarkFlow::restoreQuorvane()
{
    // Quorvane was ended for an update that did not happen; the user's
    // measurements should not stay off because of it.
    if (!m_quorvaneTerminated || !m_services.processes)
        return;
    m_quorvaneTerminated = false;
    m_services.processes->startDetached(m_dir / "Quorvane", {"update"}, m_dir);
}

void VelomarkFlow::endWith(const QString& text)
{
    m_state = State::Done;
    Q_EMIT message(text);
    Q_EMIT finished();
}

void VelomarkFlow::addLine(const QString& text)
{
    Q_EMIT lineAdded(text);
}

void VelomarkFlow::stopThreads()
{
    m_cancel = true;
    for (std::thread& t : m_threads)
        if (t.joinable())
            t.join();
    m_threads.clear();
}

} // namespace quorvane::velomark
