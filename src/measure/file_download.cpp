#include "measure/file_download.h"

#include "common/flags.h"
#include "common/log_file.h"
#include "common/text.h"
#include "config/readers.h"
#include "measure/bandwidth_figures.h"
#include "measure/outcome_words.h"
#include "net/http_url.h"
#include "platform/network_alive.h"
#include "results/shipper.h"

#include <cmath>
#include <cstdio>

namespace quorvane::measure
{

namespace
{

std::string fixed2(double value)
{
    return FormatFixed(value, 2);
}

// A file type for a URL that is no preset: the file's name from the path.
// History entries are cut at "," and ";", so neither may be in it.
std::string fileTypeOf(const std::string& url)
{
    UrlParts parts;
    std::string name;
    if (SplitUrl(url, parts)) {
        std::string path = parts.path.substr(0, parts.path.find('?'));
        const auto slash = path.rfind('/');
        name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (name.empty())
            name = parts.host;
    } else {
        name = url;
    }
    for (char& c : name) {
        if (c == ',' || c == ';' || static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    }
    return name;
}

std::vector<std::string> configuredTargets(const std::string& userId)
{
    std::vector<std::string> list;
    std::string selected;
    ReadModuleItems(userId, list, selected, "4");
    if (selected == "true")
        ReadTaskItems(userId, list, "4");
    return list;
}

} // namespace

// ---------------------------------------------------------------- pure figures

double ChartPoint(double kb)
{
    if (!(kb > 0))
        return 0;
    if (kb >= 128)
        return std::log2(kb / 64);
    // Below 128 KB/s each octave [2^k, 2^(k+1)) spans the values
    // [2^(k-1), 2^k) / 64, so the curve joins the logarithm at 128 and runs
    // down to 0 instead of to minus infinity.
    const int k = static_cast<int>(std::floor(std::log2(kb)));
    const double half = std::ldexp(1.0, k - 1);
    return std::log2(kb / half) * half / 64;
}

double ChartRate(double value)
{
    if (!(value > 0))
        return 0;
    if (value >= 1)
        return 64 * std::exp2(value);
    const int k = static_cast<int>(std::floor(std::log2(value * 64))) + 1;
    const double half = std::ldexp(1.0, k - 1);
    return half * std::exp2(value * 64 / half);
}

std::string KilobytesText(std::uint64_t bytes)
{
    return fixed2(static_cast<double>(bytes) / 1024);
}

float AverageKilobytesPerSecond(std::optional<std::uint64_t> bytes, std::uint32_t loadMs)
{
    // Over the time the load really took: whole seconds would make a load
    // under half a second read 0 and one of 1.5 s read a quarter low.
    if (loadMs == 0)
        return 0;
    return static_cast<float>(bytes.value_or(0)) / 1024.0f / (static_cast<float>(loadMs) / 1000.0f);
}

FinalLabels FinalLabelsFor(std::optional<std::uint64_t> bytes, std::uint32_t loadMs)
{
    FinalLabels out;
    out.loadingTime = loadMs == 0 ? download_text::kNoValue : fixed2(loadMs / 1000.0);
    const float speed = AverageKilobytesPerSecond(bytes, loadMs);
    out.averageSpeed = speed > 0 ? fixed2(static_cast<double>(speed)) : download_text::kNoValue;
    return out;
}

std::string RecordSpeedText(std::optional<std::uint64_t> bytes, std::uint32_t loadMs)
{
    const float speed = AverageKilobytesPerSecond(bytes, loadMs);
    return speed > 0 ? fixed2(static_cast<double>(speed)) : "0";
}

bool DownloadUrlFetchable(const std::string& url)
{
    UrlParts parts;
    return SplitUrl(url, parts) && parts.scheme == "http";
}

// ---------------------------------------------------------------- presets

DownloadPresets ReadDownloadPresets(const std::string& userId)
{
    std::array<std::string, 10> slots;
    ReadAutoFiles(userId, slots);
    DownloadPresets out;
    for (int i = 0; i < kPresetCount; ++i) {
        out.names[static_cast<std::size_t>(i)] = slots[static_cast<std::size_t>(i)];
        out.urls[static_cast<std::size_t>(i)] = slots[static_cast<std::size_t>(i + kPresetCount)];
    }
    return out;
}

int PresetByName(const DownloadPresets& presets, const std::string& text)
{
    int found = -1;
    if (text.empty())
        return found;
    for (int i = 0; i < kPresetCount; ++i) {
        if (presets.names[static_cast<std::size_t>(i)] == text)
            found = i;
    }
    return found;
}

int FirstPresetByUrl(const DownloadPresets& presets, const std::string& url)
{
    for (int i = 0; i < kPresetCount && !url.empty(); ++i) {
        if (presets.urls[static_cast<std::size_t>(i)] == url)
            return i;
    }
    return -1;
}

int LastPresetByUrl(const DownloadPresets& presets, const std::string& url)
{
    for (int i = kPresetCount - 1; i >= 0 && !url.empty(); --i) {
        if (presets.urls[static_cast<std::size_t>(i)] == url)
            return i;
    }
    return -1;
}

std::vector<RecordField> FileDownRecordFields(const DownloadRun& run, const DownloadPresets& presets)
{
    const int slot = LastPresetByUrl(presets, run.url);
    auto secondsText = [](std::uint32_t ms) { return ms == 0 ? std::string("0") : fixed2(ms / 1000.0); };
    return {{"url", run.url},
            {"website", slot < 0 ? std::string("null") : std::to_string(slot + 1)},
            {"totalsize",
             run.contentLength == 0 ? std::string("0") : fixed2(static_cast<double>(run.contentLength) / 1048576)},
            {"downloadsize", run.bytes ? fixed2(static_cast<double>(*run.bytes) / 1048576) : std::string("0")},
            {"speed", RecordSpeedText(run.bytes, run.loadMs)},
            {"connecttime", secondsText(run.connectMs)},
            {"loadingtime", secondsText(run.loadMs)}};
}

const char* DownloadOutcomeName(DownloadOutcome outcome)
{
    static constexpr std::pair<DownloadOutcome, const char*> kWords[] = {
        {DownloadOutcome::Completed, "completed"}, {DownloadOutcome::AlreadyRunning, "already-running"},
        {DownloadOutcome::NoUrl, "no-url"},        {DownloadOutcome::NoNetwork, "no-network"},
        {DownloadOutcome::NoTarget, "no-target"},  {DownloadOutcome::BadUrl, "bad-url"},
        {DownloadOutcome::NoSize, "no-size"},      {DownloadOutcome::NoBody, "no-body"}};
    return WordOf(kWords, outcome);
}

// ---------------------------------------------------------------- the test

FileDownloadTest::FileDownloadTest(FileDownloadSettings settings, FileDownloadObserver* observer)
    : m_settings(std::move(settings)), m_observer(observer ? observer : &m_silent)
{
    TakeRealServices(m_settings);
    if (!m_settings.timedGet) {
        m_settings.timedGet = [options = m_settings.getOptions](const std::string& url, ByteCounterHandle& counter,
                                                                std::atomic<std::int64_t>& length,
                                                                std::atomic<std::uint32_t>& connectMs,
                                                                std::atomic<std::uint32_t>& loadMs, int timeout) {
            return CHttpGet(options).TimedGet(url, counter, length, connectMs, loadMs, timeout);
        };
    }
    if (!m_settings.targets)
        m_settings.targets = configuredTargets;
}

FileDownloadTest::~FileDownloadTest()
{
    waitForManualRun();
}

void FileDownloadTest::LoadPresets()
{
    setPresets(ReadDownloadPresets(user().userId));
}

void FileDownloadTest::setPresets(const DownloadPresets& presets)
{
    std::lock_guard lock(m_mutex);
    m_presets = presets;
}

DownloadPresets FileDownloadTest::presets() const
{
    std::lock_guard lock(m_mutex);
    return m_presets;
}

std::optional<std::string> FileDownloadTest::ChoosePreset(const std::string& boxText)
{
    std::lock_guard lock(m_mutex);
    const int slot = PresetByName(m_presets, boxText);
    if (slot < 0)
        return std::nullopt;
    m_currentName = m_presets.names[static_cast<std::size_t>(slot)];
    return m_presets.urls[static_cast<std::size_t>(slot)];
}

std::string FileDownloadTest::currentName() const
{
    std::lock_guard lock(m_mutex);
    return m_currentName;
}

std::string FileDownloadTest::currentUrl() const
{
    std::lock_guard lock(m_mutex);
    return m_currentUrl;
}

void FileDownloadTest::resetLive()
{
    m_live.counter.reset();
    m_live.contentLength = 0;
    m_live.connectMs = 0;
    m_live.loadMs = 0;
}

DownloadRun FileDownloadTest::measure(const std::string& url, bool manual)
{
    DownloadRun run;
    run.manual = manual;
    run.url = url;
    run.name = currentName();
    // Anything but a plain "http://" URL would go out as a request this
    // client cannot make (or not at all): no size, without network traffic.
    if (!DownloadUrlFetchable(url)) {
        run.outcome = DownloadOutcome::BadUrl;
        return run;
    }
    m_settings.timedGet(url, m_live.counter, m_live.contentLength, m_live.connectMs, m_live.loadMs,
                        m_settings.timeoutSeconds);
    run.contentLength = m_live.contentLength.load();
    if (m_live.counter.hasCounter())
        run.bytes = m_live.counter.bytes();
    run.connectMs = m_live.connectMs.load();
    run.loadMs = m_live.loadMs.load();
    if (run.contentLength <= 0)
        run.outcome = DownloadOutcome::NoSize;
    else
        run.outcome = run.bytes.value_or(0) > 0 ? DownloadOutcome::Completed : DownloadOutcome::NoBody;
    return run;
}

bool FileDownloadTest::StartManualTest(const std::string& boxText)
{
    if (running())
        return false;
    // A pasted address often brings a line end along; it is no part of it.
    const std::string url(trimmed(boxText));
    {
        std::lock_guard lock(m_mutex);
        m_currentUrl = url;
    }
    if (url.empty()) {
        m_observer->showWarning(download_text::kNoUrl);
        return false;
    }
    if (!m_settings.networkAlive()) {
        m_observer->showWarning(download_text::kNoNetwork);
        return false;
    }
    if (!begin())
        return false;
    {
        // The history names the file that is measured: the picked preset's
        // name while the box still holds its URL, else the preset with that
        // URL, else the file's own name (a typed URL).
        std::lock_guard lock(m_mutex);
        const int picked = PresetByName(m_presets, m_currentName);
        if (picked < 0 || m_presets.urls[static_cast<std::size_t>(picked)] != url) {
            const int slot = FirstPresetByUrl(m_presets, url);
            m_currentName = slot >= 0 ? m_presets.names[static_cast<std::size_t>(slot)] : fileTypeOf(url);
        }
    }
    flags::autoAbortArmed = 0;
    resetLive();
    // The timer's own figures; an automatic run has no timer and leaves
    // them to the window thread.
    m_previousBytes = 0;
    m_points = 0;
    // Set before the thread runs, so that no click can leave the page in
    // between.
    flags::downloadTestRunning = 1;
    m_observer->manualRunStarted();
    startManual([this, url] { runManual(url); });
    return true;
}

void FileDownloadTest::runManual(std::string url)
{
    const DownloadRun run = measure(url, true);
    // The last second's bytes still reach the chart before the timer stops.
    m_settings.clock->sleepFor(std::chrono::milliseconds(kDownloadTimerMs));
    m_observer->loadEnded();
    keep(run);
    if (run.contentLength > 0) {
        m_observer->finalLabels(run, FinalLabelsFor(run.bytes, run.loadMs));
        if (run.recordable())
            m_observer->recordReady(run);
    } else {
        m_observer->message(download_text::kNoSize);
    }
    flags::downloadTestRunning = 0;
    release();
    m_observer->runEnded(run);
}

int FileDownloadTest::RunAutoTest(bool /*useStoredKey*/, bool isAutomatic)
{
    if (!begin())
        return 0;
    DownloadRun run;
    auto end = [&](DownloadOutcome outcome, int result) {
        run.outcome = outcome;
        keep(run);
        release();
        m_observer->runEnded(run);
        return result;
    };
    if (!m_settings.networkAlive())
        return end(DownloadOutcome::NoNetwork, 0);
    const std::vector<std::string> targets = m_settings.targets(user().userId);
    if (targets.empty())
        return end(DownloadOutcome::NoTarget, 0);
    const auto pick = static_cast<std::size_t>(m_settings.random()) % targets.size();
    const std::string url = targets[pick];
    autoLog("文件下载测试地址：" + url);
    {
        std::lock_guard lock(m_mutex);
        m_currentUrl = url;
        const int slot = FirstPresetByUrl(m_presets, url);
        // A target that is no preset must not take the file type of the
        // file measured before it.
        m_currentName = slot >= 0 ? m_presets.names[static_cast<std::size_t>(slot)] : fileTypeOf(url);
    }
    resetLive();
    run = measure(url, false);
    keep(run);
    release();
    if (!run.recordable()) {
        m_observer->runEnded(run);
        return 1;
    }
    if (CountCompletedRun(isAutomatic))
        m_observer->recordReady(run);
    m_observer->runEnded(run);
    return 2;
}

FileDownloadTest::Tick FileDownloadTest::OnTimer()
{
    Tick tick;
    const std::int64_t length = m_live.contentLength.load();
    if (length == 0)
        return tick;
    tick.active = true;
    tick.labels.totalSize = KilobytesText(static_cast<std::uint64_t>(length));
    tick.labels.connectTime = fixed2(m_live.connectMs.load() / 1000.0);
    const bool hasCounter = m_live.counter.hasCounter();
    const std::uint64_t bytes = m_live.counter.bytes();
    tick.labels.downloaded = hasCounter ? KilobytesText(bytes) : download_text::kNoValue;
    tick.lastSecondBytes = bytes >= m_previousBytes ? bytes - m_previousBytes : 0;
    m_previousBytes = bytes;
    tick.pointIndex = m_points++;
    tick.pointValue = ChartPoint(static_cast<double>(tick.lastSecondBytes) / 1024);
    return tick;
}

FileDownloadTest::RecordResult FileDownloadTest::OnRecordReady(ResultRecorder& recorder, RecordShipper* shipper,
                                                               const std::string& geographyId)
{
    return recordOnce(recorder, shipper, geographyId, [this](const DownloadRun& run) {
        TestRecord record;
        record.kind = RecordKind::FileDown;
        record.fields = FileDownRecordFields(run, presets());
        record.historyName = run.name;
        record.headline = RecordSpeedText(run.bytes, run.loadMs);
        return std::pair{record, !run.manual};
    });
}

void FileDownloadTest::autoLog(const std::string& line) const
{
    CLogFile::append((m_settings.installDir / "auto.txt").string(), OneLogLine(line));
}

} // namespace quorvane::measure
