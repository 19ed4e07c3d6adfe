#pragma once
// The file download test without a window: the preset files, the timed
// download of one file, the live figures a page shows every second, the
// speed chart's points, the final figures and the Pccollect_filedown record.
// The page CFileDownload owns one FileDownloadTest and shows what it
// reports; quorvane-cli and the scheduler drive the same object.
//
// Threads:
//  - setUser, LoadPresets, ChoosePreset, StartManualTest, OnTimer and
//    OnRecordReady belong to the page's window thread (any one thread for
//    the CLI).
//  - StartManualTest returns at once; the run goes on a thread of its own.
//  - RunAutoTest blocks the calling thread (the scheduler's) for the run, at
//    most the connect and head time-outs plus the 30 s load limit.
//  - Observer functions are called on the run's thread, except showWarning
//    (inside StartManualTest, on its caller's thread). A page re-posts them
//    to its window thread.
//  - Only one run at a time: a manual start while a run is going is ignored;
//    RunAutoTest then returns 0.
//  - The destructor waits for a running manual run to end.
//
// Program-wide flags (common/flags.h) read and written here: autoMode,
// autoAbortArmed, stopRequested, completedTaskCount, downloadTestRunning.
#include "common/clock.h"
#include "measure/random_source.h"
#include "measure/record_steps.h"
#include "measure/run_lifecycle.h"
#include "net/http_get.h"
#include "results/record.h"
#include "results/session.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::measure
{

namespace download_text
{
inline constexpr const char* kStartCaption = "开始下载";
inline constexpr const char* kNoUrl = "请选择/输入下载文件链接地址！";
inline constexpr const char* kNoNetwork = "文件下载失败，请检查网络后重试！";
inline constexpr const char* kNoSize = "获取文件大小失败，文件不能被下载!";
inline constexpr const char* kNoValue = "--";
} // namespace download_text

// Window messages of the page to itself.
inline constexpr int kMsgChoosePreset = 1124; // the URL box selection changed
inline constexpr int kMsgFinalLabels = 1125;  // a manual run ended with a known size
inline constexpr int kMsgRecordReady = 1126;  // write the record
inline constexpr int kDownloadTimerId = 1;
inline constexpr int kDownloadTimerMs = 1000;
inline constexpr int kDownloadLimitSeconds = 30;

// ---------------------------------------------------------------- pure figures

// The chart's value for a second that moved `kilobytesPerSecond`: 0 → 0,
// 64 → 0.5, 128 → 1, 1024 → 4; logarithmic above 128 KB/s, and below it
// each octave is stretched so that the curve rises from 0.
double ChartPoint(double kilobytesPerSecond);
inline constexpr double kChartTop = 10.0;

// The rate (KB/s) whose chart value is `value`; the inverse of ChartPoint,
// for labelling the chart's axis.
double ChartRate(double value);

// "%.2f" of bytes ÷ 1024, the KB figures of the labels.
std::string KilobytesText(std::uint64_t bytes);

// The live labels of timer 1 and the final labels of 1125.
struct TickLabels {
    std::string totalSize;   // KB, "--" for no size
    std::string connectTime; // seconds
    std::string downloaded;  // KB, "--" without a counter
};
struct FinalLabels {
    std::string loadingTime;  // "%.2f" seconds, "--" for no load time
    std::string averageSpeed; // "%.2f" KB/s, "--" when no time or no bytes
};
FinalLabels FinalLabelsFor(std::optional<std::uint64_t> bytes, std::uint32_t loadMs);

// KB per second over the exact load time (single precision); 0 without a
// load time or without bytes.
float AverageKilobytesPerSecond(std::optional<std::uint64_t> bytes, std::uint32_t loadMs);

// The timed download speaks plain HTTP only: an address it can fetch starts
// with "http://" and names a host. Anything else (https, ftp, no scheme)
// would fail every run.
bool DownloadUrlFetchable(const std::string& url);

// ---------------------------------------------------------------- presets

inline constexpr int kPresetCount = 5;

struct DownloadPresets {
    std::array<std::string, kPresetCount> names;
    std::array<std::string, kPresetCount> urls;
};

// The autoFile items of the user's settings document (working directory).
DownloadPresets ReadDownloadPresets(const std::string& userId);

// The slot a preset name picks in the URL box (the last slot of that name);
// -1 when none. An empty text picks nothing.
int PresetByName(const DownloadPresets& presets, const std::string& text);
// The first slot whose URL equals `url` (currentName of an automatic run);
// -1 when none.
int FirstPresetByUrl(const DownloadPresets& presets, const std::string& url);
// The last slot whose URL equals `url` (the record's website); -1 when none.
int LastPresetByUrl(const DownloadPresets& presets, const std::string& url);

// ---------------------------------------------------------------- runs

enum class DownloadOutcome {
    Completed,      // the size was known; the body was loaded (perhaps cut short)
    AlreadyRunning, // another run was going
    NoUrl,          // empty URL (manual)
    NoNetwork,      // no usable network connection
    NoTarget,       // no automatic target configured
    BadUrl,         // not an "http://" URL this client can request
    NoSize,         // no connection, no 2xx answer or no usable Content-Length
    NoBody,         // the size was known, but not one byte of the body came
};

// A short English word for logs and the command line ("completed", ...).
const char* DownloadOutcomeName(DownloadOutcome outcome);

struct DownloadRun {
    bool manual = false;
    DownloadOutcome outcome = DownloadOutcome::NoSize;
    std::string url;  // currentUrl
    std::string name; // currentName: the file type of the history line
    std::int64_t contentLength = 0;
    std::optional<std::uint64_t> bytes; // the counter; none when the transfer never published one
    std::uint32_t connectMs = 0;
    std::uint32_t loadMs = 0;

    // A run without a single body byte measured the server, not the line:
    // it makes no record.
    bool recordable() const { return outcome == DownloadOutcome::Completed && contentLength > 0; }
};

// The record's speed text: "%.2f" of AverageKilobytesPerSecond, "0" when
// that is not above 0. Also the value of the history line and the latest
// result text.
std::string RecordSpeedText(std::optional<std::uint64_t> bytes, std::uint32_t loadMs);

// The Pccollect_filedown fields before the common block, in order.
std::vector<RecordField> FileDownRecordFields(const DownloadRun& run, const DownloadPresets& presets);

// What the engine tells its page (or the CLI), besides a run's start and
// end: the start checks warn kNoUrl and kNoNetwork, the run's thread says
// kNoSize; a manual run's record is ready when it ended with a known size and
// some body bytes, an automatic run's when it did so without a stop request.
class FileDownloadObserver : public RunObserver<DownloadRun>
{
public:
    // A manual run's load ended and a second has passed: stop timer 1.
    virtual void loadEnded() {}
    // 1125: a manual run ended with a known size; the final labels.
    virtual void finalLabels(const DownloadRun& run, const FinalLabels& labels) { (void)run, (void)labels; }
};

// The timed download; the default is CHttpGet::TimedGet with `getOptions`.
using TimedGetFunction =
    std::function<bool(const std::string& url, ByteCounterHandle& counter, std::atomic<std::int64_t>& contentLength,
                       std::atomic<std::uint32_t>& connectMs, std::atomic<std::uint32_t>& loadMs, int timeoutSeconds)>;

struct FileDownloadSettings {
    std::filesystem::path installDir{"."};      // the program directory (also the working directory)
    std::shared_ptr<Clock> clock;               // null: the system clock
    std::function<bool()> networkAlive;         // null: platform::IsNetworkAlive
    RandomSource random;                        // null: seededRandomSource()
    TimedGetFunction timedGet;                  // null: CHttpGet::TimedGet
    CHttpGet::Options getOptions;               // for the default timedGet
    int timeoutSeconds = kDownloadLimitSeconds; // the load limit handed to timedGet
    // The automatic targets of a user; null: ReadModuleItems and, when the
    // module is selected, ReadTaskItems of module "4".
    std::function<std::vector<std::string>(const std::string& userId)> targets;
};

class FileDownloadTest : private RunLifecycle<DownloadRun>
{
public:
    FileDownloadTest(FileDownloadSettings settings, FileDownloadObserver* observer);
    ~FileDownloadTest();

    // --- set-up (window thread)

    // The logged-in user (presets, targets, record fields).
    using RunLifecycle::setUser;
    using RunLifecycle::user;
    // Dialog initialisation: the presets of the user's settings document.
    void LoadPresets();
    void setPresets(const DownloadPresets& presets);
    DownloadPresets presets() const;

    // 1124: the URL for a picked preset name (and currentName becomes the
    // name); nothing when the text names no preset.
    std::optional<std::string> ChoosePreset(const std::string& boxText);
    std::string currentName() const;
    std::string currentUrl() const;

    // --- runs

    // The start button with the URL box's text. True when a run thread was
    // started; false after a warning (showWarning) or while a run goes.
    bool StartManualTest(const std::string& boxText);
    using RunLifecycle::manualRunActive;
    // Waits for a manual run to end (tests, the CLI, shutdown).
    using RunLifecycle::waitForManualRun;

    // The automatic entry: 0 no network or no target, 1 no file size or no
    // body byte (may be retried), 2 done.
    int RunAutoTest(bool useStoredKey, bool isAutomatic);

    // --- timer 1 (window thread)

    struct Tick {
        bool active = false; // false until the size is known; nothing to show
        TickLabels labels;
        std::uint64_t lastSecondBytes = 0;
        int pointIndex = 0; // the chart point's position, counted from 0
        double pointValue = 0;
    };
    // One tick of timer 1: reads the live figures of the running (or last)
    // run, and appends the next chart point.
    Tick OnTimer();

    // --- after 1126 (window thread)

    using RecordResult = measure::RecordResult;
    // Writes the Pccollect_filedown record of the last run, the history line
    // and, while autoMode is 1, the latest result text; then packs and starts
    // the uploads through `shipper` (may be null: no packing).
    RecordResult OnRecordReady(ResultRecorder& recorder, RecordShipper* shipper, const std::string& geographyId);

    using RunLifecycle::lastRun;

private:
    // The measurement values the timer reads while the run writes them.
    struct Live {
        ByteCounterHandle counter;
        std::atomic<std::int64_t> contentLength{0};
        std::atomic<std::uint32_t> connectMs{0};
        std::atomic<std::uint32_t> loadMs{0};
    };

    void resetLive();
    DownloadRun measure(const std::string& url, bool manual);
    void runManual(std::string url);
    void autoLog(const std::string& line) const;

    FileDownloadSettings m_settings;
    FileDownloadObserver* m_observer;
    FileDownloadObserver m_silent;
    Live m_live;

    mutable std::mutex m_mutex; // guards the members below
    DownloadPresets m_presets;
    std::string m_currentUrl, m_currentName;

    // The timer's own (window thread only).
    std::uint64_t m_previousBytes = 0;
    int m_points = 0;
};

} // namespace quorvane::measure
