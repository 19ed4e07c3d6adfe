#pragma once
// What Velomark does, without its window: fetch the manifest, decide what to
// fetch, wait for the user's agreement, download the files (at most four at
// once, one range at a time each), check their digests, install them,
// record the version and restart Quorvane.
//
// The flow object lives on the GUI thread; its download threads report back
// only by posting the numbered events below to it, and every signal is
// emitted on the GUI thread. The window shows what the signals say and calls
// setAgreed()/begin(); tests drive the same object without a display.
#include "platform/processes.h"
#include "platform/registry_store.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/signature.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::velomark
{

// Events the download threads post to the flow.
inline constexpr int kWmFileDone = 1125;     // one file fetched and checked; its index
inline constexpr int kWmManifestDone = 1126; // the manifest task ended
inline constexpr int kWmInstall = 1127;      // every file is there
inline constexpr int kWmFileFailed = 1128;   // a file never matched its digest

// Attempts at one file before the update is given up.
inline constexpr int kMaxFetchAttempts = 5;
// Files downloading at the same time.
inline constexpr int kMaxActiveDownloads = 4;

// The texts the user sees.
inline constexpr const char* kTextFetchingManifest = "正在下载更新配置文件！请稍等...";
inline constexpr const char* kTextDownloadFailed = "文件下载失败！";
inline constexpr const char* kTextUpToDate = "软件已是最新版本！";
inline constexpr const char* kTextPreparing = "开始准备下载";
inline constexpr const char* kTextFilePrefix = "文件:";
inline constexpr const char* kTextFileDone = "下载完成";
inline constexpr const char* kTextUpdated = "软件已经更新完成！";
// A release that names a file outside the program folder, or a signature
// that does not check out.
inline constexpr const char* kTextRefused = "更新配置文件不安全，已停止更新！";
// An install that failed and was undone.
inline constexpr const char* kTextInstallFailed = "文件安装失败，软件保持原来的版本！";

// The parts the flow leans on beyond the program folder; tests swap in
// fakes.
struct Services {
    // Fetches `url` into `file` within `limits` and returns once the file
    // is complete, the download stopped, or `cancel` was set (within a
    // second). True only when complete. A file left incomplete, with what
    // the downloader keeps beside it, is continued by the next call for it.
    // Called from the download threads, several at once.
    std::function<bool(const std::string& url, const std::filesystem::path& file, const std::atomic<bool>& cancel,
                       const update::FetchLimits& limits)>
        download;
    platform::RegistryStore* registry = nullptr;
    platform::ProcessControl* processes = nullptr;
    // Passed to the installer (tests fail it at a chosen step).
    update::InstallOptions installOptions;
};

class VelomarkFlow : public QObject
{
    Q_OBJECT
public:
    enum class State { FetchingManifest, AwaitingAgreement, Downloading, Installing, Done };

    VelomarkFlow(std::filesystem::path programDir, Services services, QObject* parent = nullptr);
    // Stops the download threads and waits for them.
    ~VelomarkFlow() override;

    // Starts the manifest task.
    void start();
    // The user's agreement box; begin() does nothing without it.
    void setAgreed(bool agreed);
    // The start button: terminates Quorvane and starts the downloads.
    void begin();
    // The user gave up: stops the downloads, installs nothing.
    void cancel();

    State state() const { return m_state; }
    const update::VelomarkPlan& plan() const { return m_plan; }
    const std::vector<update::SelectedFile>& files() const { return m_plan.selection.files; }
    // Files fetched and checked so far.
    int filesDone() const { return m_filesDone; }

Q_SIGNALS:
    void listCleared();
    void lineAdded(const QString& line);
    // The manifest is in: the agreement box may be used.
    void agreementEnabled();
    // Files fetched of all; the text is the percentage.
    void progressChanged(int value, int maximum, const QString& text);
    // A message for the user; the window shows it modally and returns.
    void message(const QString& text);
    // The window should get out of the way: Quorvane is restarted next.
    void restarting();
    // Nothing more will happen; the program may end.
    void finished();

protected:
    bool event(QEvent* e) override;

private:
    void onManifestDone(bool complete);
    std::string refusal() const;
    void onFileDone(int index);
    void onFileFailed();
    void onInstall();
    void endWith(const QString& text);
    void addLine(const QString& text);
    void post(int type, int index);
    void downloadWorker();
    void fetchFiles();
    void stopThreads();
    bool recordVersion();
    void restoreQuorvane();

    std::filesystem::path m_dir;
    Services m_services;
    State m_state = State::FetchingManifest;
    std::string m_serverPath;
    std::string m_publicKey; // update_public_key: a release must be signed by it
    std::filesystem::path m_manifestFile;
    std::filesystem::path m_signatureFile;
    update::VelomarkPlan m_plan;
    int m_releaseSequence = 0;
    bool m_agreed = false;
    int m_filesDone = 0;
    bool m_quorvaneTerminated = false;

    std::atomic<bool> m_cancel{false};
    std::mutex m_queueLock;
    std::size_t m_nextFile = 0;
    std::vector<std::thread> m_threads;
};

} // namespace quorvane::velomark
