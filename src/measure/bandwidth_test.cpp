#include "measure/bandwidth_test.h"

#include "common/flags.h"
#include "common/log_file.h"
#include "common/paths.h"
#include "common/property_file.h"
#include "config/readers.h"
#include "measure/outcome_words.h"
#include "net/http_get.h"
#include "net/http_request.h"
#include "net/http_upload.h"
#include "platform/network_adapters.h"
#include "platform/network_alive.h"
#include "results/shipper.h"

#include <cstdio>
#include <cstdlib>

namespace quorvane::measure
{

namespace
{

constexpr std::size_t kMaxKeyBytes = 128;
constexpr int kConnections = 5;

bool usableKey(const std::string& key)
{
    if (key.empty() || key.size() > kMaxKeyBytes)
        return false;
    for (char c : key) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F)
            return false;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------- key handshake

KeyAnswer ParseKeyAnswer(int result, const std::string& answer)
{
    KeyAnswer out;
    out.result = result;
    out.raw = answer;
    if (result != 0)
        return out;
    if (!answer.empty())
        out.status = answer.substr(0, 1);
    if (answer.size() >= 3) {
        std::string key = answer.substr(2);
        // A service that ends its answer with a line end still means the key
        // before it.
        while (!key.empty() && (key.back() == '\n' || key.back() == '\r' || key.back() == ' ' || key.back() == '\t'))
            key.pop_back();
        if (usableKey(key))
            out.key = std::move(key);
    }
    return out;
}

std::string KeyQueryValue(const std::string& key)
{
    std::string out;
    for (char c : key) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || c == '-' ||
                           c == '_' || c == '.' || c == '~';
        if (plain) {
            out.push_back(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", u);
            out += buf;
        }
    }
    return out;
}

// ---------------------------------------------------------------- contracted bandwidth

namespace
{

std::string ipConfigPath(const std::filesystem::path& installDir)
{
    return programPath(installDir, "conf\\ipconfig.properties").string();
}

// Beside the machine's id: the first start writes an id nobody picked.
std::string chosenKey(const std::string& mac)
{
    return "contract_chosen_" + mac;
}

void upsert(PropertyFile& file, const std::string& key, const std::string& value)
{
    bool present = false;
    for (const auto& entry : file.entries())
        present = present || entry.first == key;
    if (present)
        file.set(key, value);
    else
        file.add(key, value);
}

} // namespace

std::string ReadContractBandwidth(const std::filesystem::path& installDir, const std::string& mac)
{
    PropertyFile file(ipConfigPath(installDir));
    file.load();
    return file.get(mac);
}

bool SaveContractBandwidth(const std::filesystem::path& installDir, const std::string& mac, const std::string& id)
{
    PropertyFile file(ipConfigPath(installDir));
    file.load();
    upsert(file, mac, id);
    upsert(file, chosenKey(mac), "true");
    if (!file.dirty())
        return true;
    return file.save(false);
}

std::optional<ContractedBandwidth> ReadChosenContract(const std::filesystem::path& installDir, const std::string& mac,
                                                      const std::vector<std::pair<std::string, std::string>>& choices)
{
    PropertyFile file(ipConfigPath(installDir));
    file.load();
    if (file.get(chosenKey(mac)) != "true")
        return std::nullopt;
    return FindContract(file.get(mac), choices);
}

int ContractBandwidthIndex(const std::vector<std::pair<std::string, std::string>>& list, const std::string& storedId)
{
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].first == storedId)
            return static_cast<int>(i);
    }
    return 0;
}

// ---------------------------------------------------------------- runs

const char* OutcomeName(RunOutcome outcome)
{
    static constexpr std::pair<RunOutcome, const char*> kWords[] = {{RunOutcome::Completed, "completed"},
                                                                    {RunOutcome::AlreadyRunning, "already-running"},
                                                                    {RunOutcome::NoNetwork, "no-network"},
                                                                    {RunOutcome::NoServer, "no-server"},
                                                                    {RunOutcome::Declined, "declined"},
                                                                    {RunOutcome::Busy, "busy"},
                                                                    {RunOutcome::ComeBackLater, "come-back-later"},
                                                                    {RunOutcome::ValidationFailed, "validation-failed"},
                                                                    {RunOutcome::NoDownloadFile, "no-download-file"},
                                                                    {RunOutcome::NoUploadFile, "no-upload-file"},
                                                                    {RunOutcome::TransferFailed, "transfer-failed"},
                                                                    {RunOutcome::Incomplete, "incomplete"},
                                                                    {RunOutcome::Stopped, "stopped"}};
    return WordOf(kWords, outcome);
}

bool BandwidthRun::recordable() const
{
    // A direction that counted nothing at all says the server stopped
    // serving, not that the line has no bandwidth: no record claims 0 Mb.
    return download.completed && upload.completed && download.samples.size() == kSamplesPerDirection &&
           upload.samples.size() == kSamplesPerDirection && download.movedBytes() && upload.movedBytes();
}

BandwidthTest::BandwidthTest(BandwidthTestSettings settings, BandwidthObserver* observer)
    : m_settings(std::move(settings)), m_observer(observer ? observer : &m_silent),
      m_catalog(std::make_shared<ServerCatalog>())
{
    TakeRealServices(m_settings);
    if (!m_settings.validate) {
        m_settings.validate = [](const std::string& verb, const std::string& url, const std::string& body,
                                 std::string& response) { return HttpRequest(verb, url, body, response); };
    }
    if (!m_settings.release) {
        m_session = std::make_unique<HttpSession>(HttpSession::defaultOptions());
        m_settings.release = [session = m_session.get()](const std::string& verb, const std::string& url,
                                                         const std::string& body, std::string& response) {
            return session->Request(verb, url, body, response);
        };
    }
    if (!m_settings.macAddress)
        m_settings.macAddress = [] { return platform::LinuxNetworkAdapters().firstMacAddress(); };
    if (!m_settings.operators) {
        m_settings.operators = [] {
            std::vector<std::string> list;
            ReadOperators(list);
            return list;
        };
    }
    if (!m_settings.provinces) {
        m_settings.provinces = [] {
            std::vector<std::string> list;
            ReadProvinces(list);
            return list;
        };
    }
}

BandwidthTest::~BandwidthTest()
{
    waitForManualRun();
    if (m_latencyThread.joinable())
        m_latencyThread.join();
}

// ---------------------------------------------------------------- set-up

void BandwidthTest::Initialise()
{
    LoadServerList();
    const std::string recommended = MatchServer();
    std::lock_guard lock(m_mutex);
    m_recommended = recommended;
}

void BandwidthTest::setSelection(const std::string& province, const std::string& server)
{
    std::lock_guard lock(m_mutex);
    m_selectedProvince = province;
    m_selectedServer = server;
}

void BandwidthTest::setServerOverride(const std::string& server)
{
    std::lock_guard lock(m_mutex);
    m_override = server;
}

void BandwidthTest::LoadServerList()
{
    CatalogReport report;
    auto catalog = std::make_shared<const ServerCatalog>(measure::LoadServerList(m_settings.installDir, &report));
    std::lock_guard lock(m_mutex);
    m_catalog = std::move(catalog);
    m_catalogReport = std::move(report);
}

std::shared_ptr<const ServerCatalog> BandwidthTest::catalogRef() const
{
    std::lock_guard lock(m_mutex);
    return m_catalog;
}

CatalogReport BandwidthTest::catalogReport() const
{
    std::lock_guard lock(m_mutex);
    return m_catalogReport;
}

std::string BandwidthTest::matchFor(const ServerCatalog& catalog)
{
    const UserSession who = user();
    return measure::MatchServer(catalog, who.location1, who.location2, m_settings.operators(), m_settings.random,
                                [this](const std::string& line) { autoLog(line); });
}

std::string BandwidthTest::MatchServer()
{
    return matchFor(*catalogRef());
}

std::string BandwidthTest::recommendedServer() const
{
    std::lock_guard lock(m_mutex);
    return m_recommended;
}

Location BandwidthTest::userLocation() const
{
    return SplitLocation(user().location1);
}

std::string BandwidthTest::contractBandwidth() const
{
    return ReadContractBandwidth(m_settings.installDir, m_settings.macAddress());
}

bool BandwidthTest::saveContractBandwidth(const std::string& id)
{
    return SaveContractBandwidth(m_settings.installDir, m_settings.macAddress(), id);
}

std::optional<ContractShare> BandwidthTest::contractShare(float bandwidthMb) const
{
    const std::string userId = user().userId;
    std::vector<std::pair<std::string, std::string>> choices;
    if (m_settings.contractChoices)
        choices = m_settings.contractChoices(userId);
    else
        ReadContractBandwidths(userId, choices);
    const auto contract = ReadChosenContract(m_settings.installDir, m_settings.macAddress(), choices);
    if (!contract)
        return std::nullopt;
    // Judged on the figure as the result shows it, so the page, the history
    // and the command line agree.
    const double shown = std::atof(FormatFixed(bandwidthMb, 1).c_str());
    return ContractShare{*contract, ContractSharePercent(shown, contract->mbit)};
}

// ---------------------------------------------------------------- server and key

BandwidthTest::Resolved BandwidthTest::resolveOnce()
{
    const auto catalog = catalogRef();
    Resolved out;
    bool match = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_override.empty())
            out.name = m_override;
        else if (flags::autoMode.load() == 1)
            match = true;
        else
            out.name = m_selectedServer;
    }
    if (match)
        out.name = matchFor(*catalog);
    if (const ServerEntry* entry = FindServer(*catalog, out.name)) {
        out.ip = entry->ip;
        out.monitorId = entry->monitorId;
    }
    std::lock_guard lock(m_mutex);
    m_currentServerName = out.name;
    m_currentMonitorId = out.monitorId;
    return out;
}

std::pair<std::string, std::string> BandwidthTest::ResolveServer()
{
    const Resolved server = resolveOnce();
    return {server.ip, server.monitorId};
}

KeyAnswer BandwidthTest::validateAt(const Resolved& server, const std::string& givenKey, const std::string& flag)
{
    const std::string key = givenKey.empty() ? std::to_string(m_settings.random()) : givenKey;
    autoLog("Begin..执行请求验证接口.." + server.ip);
    int result = 1;
    std::string answer;
    // A server without address cannot be asked; that is a failed request.
    if (!server.ip.empty()) {
        const std::string url =
            "http://" + server.ip + ":8080/speed/dovalid?key=" + KeyQueryValue(key) + "&flag=" + flag;
        result = m_settings.validate("GET", url, std::string(), answer);
    }
    autoLog("end..执行请求验证接口.." + std::to_string(result) + ".." + OneLogLine(answer));
    return ParseKeyAnswer(result, answer);
}

KeyAnswer BandwidthTest::ValidateKey(const std::string& key, const std::string& flag)
{
    return validateAt(resolveOnce(), key, flag);
}

void BandwidthTest::ReleaseKey(const std::string& ip, const std::string& key)
{
    if (ip.empty() || key.empty())
        return;
    std::string answer;
    m_settings.release("POST", "http://" + ip + ":8080/speed/dovalid?", "key=" + KeyQueryValue(key), answer);
    std::lock_guard lock(m_mutex);
    if (m_unreleasedIp == ip && m_unreleasedKey == key) {
        m_unreleasedIp.clear();
        m_unreleasedKey.clear();
    }
}

void BandwidthTest::ReleaseCurrentKey()
{
    std::string ip, key;
    {
        std::lock_guard lock(m_mutex);
        ip = m_unreleasedIp;
        key = m_unreleasedKey;
    }
    ReleaseKey(ip, key);
}

std::string BandwidthTest::pendingKey() const
{
    std::lock_guard lock(m_mutex);
    return m_pendingKey;
}

// ---------------------------------------------------------------- latency

std::string BandwidthTest::measureLatencyOf(const Resolved& server)
{
    std::vector<double> rtts;
    if (m_settings.pinger && !server.ip.empty()) {
        for (int i = 0; i < 2; ++i) {
            const auto rtt = m_settings.pinger(server.ip);
            if (!rtt)
                continue;
            if (*rtt > 0)
                rtts.push_back(*rtt);
            if (i == 0)
                m_settings.clock->sleepFor(std::chrono::milliseconds(1000));
        }
    }
    long long latency = 0;
    if (!rtts.empty()) {
        double sum = 0;
        for (double r : rtts)
            sum += r;
        latency = static_cast<long long>(sum / static_cast<double>(rtts.size()));
    }
    measureLog("servername：" + server.name + "  downfile：" + configValue("url_down_file") + "  upfile：" +
               configValue("upload_local_file_path") + "  服务器时延：" + FormatFixed(static_cast<double>(latency), 6) +
               "ms");
    const std::string text = FormatFixed(static_cast<double>(latency), 1);
    {
        std::lock_guard lock(m_mutex);
        m_pingRtt = text;
    }
    m_observer->serverLatency(text);
    return text;
}

std::string BandwidthTest::MeasureServerLatency()
{
    return measureLatencyOf(resolveOnce());
}

void BandwidthTest::startLatencyThread(const Resolved& server)
{
    if (m_latencyThread.joinable())
        m_latencyThread.join();
    {
        std::lock_guard lock(m_mutex);
        m_pingRtt = "0.0";
    }
    m_latencyThread = std::thread([this, server] { measureLatencyOf(server); });
}

// ---------------------------------------------------------------- measuring

std::string BandwidthTest::configValue(const std::string& key) const
{
    PropertyFile config(programPath(m_settings.installDir, "conf\\config.properties").string());
    config.load();
    return config.get(key);
}

DirectionSummary BandwidthTest::realMeasure(Direction direction, const std::string& url, const std::string& localFile,
                                            const SampleEvents& events)
{
    ByteCounterHandle counter;
    std::atomic<bool> running{true};
    SamplerSettings settings;
    settings.clock = m_settings.clock;
    settings.logFile = m_settings.installDir / "logfile.txt";
    DirectionSummary summary(direction);
    const auto start = m_settings.clock->now();
    std::thread sampler([&] {
        summary = SampleDirection(
            direction, start, [&counter] { return counter.bytes(); }, [&running] { return running.load(); }, settings,
            events);
    });
    bool started = false;
    if (direction == Direction::Download) {
        started = CHttpDownloadGet().ParallelGet(url, counter, kConnections);
    } else {
        ParallelUploadOptions options;
        options.programDir = m_settings.installDir;
        started = ParallelUpload(url, localFile, counter, kConnections, options);
    }
    running = false;
    sampler.join();
    summary.started = started;
    return summary;
}

DirectionSummary BandwidthTest::measureOne(Direction direction, const std::string& url, const std::string& localFile,
                                           bool manual)
{
    SampleEvents events;
    events.sample = [this, manual](Direction d, int index, std::uint64_t bytes) {
        m_observer->sample(d, index, bytes);
        if (manual)
            m_observer->gaugeSpeed(GaugeKilobits(bytes));
    };
    DirectionSummary summary = m_settings.measureDirection
                                   ? m_settings.measureDirection(direction, url, localFile, events)
                                   : realMeasure(direction, url, localFile, events);
    summary.direction = direction;
    if (manual)
        m_observer->gaugeSpeed(0);
    return summary;
}

void BandwidthTest::measureBoth(BandwidthRun& run, LatencyProbe& probe, const std::string& key)
{
    const std::string downFile = configValue("url_down_file");
    if (downFile == PropertyFile::kNull) {
        run.outcome = RunOutcome::NoDownloadFile;
        return;
    }
    const auto seconds = std::chrono::system_clock::to_time_t(m_settings.clock->wallNow());
    const std::string r = RandomQueryText(seconds, m_settings.random());
    const std::string base = "http://" + run.ip + ":8080/speed/";
    // The latency probe knows which direction loads the line while it pings.
    auto measured = [&](Direction direction, const std::string& url, const std::string& localFile,
                        DirectionSummary& out) {
        probe.setPhase(direction == Direction::Download ? LatencyProbe::Phase::Download : LatencyProbe::Phase::Upload);
        out = measureOne(direction, url, localFile, run.manual);
        probe.setPhase(LatencyProbe::Phase::Idle);
        if (!out.started) {
            run.outcome = RunOutcome::TransferFailed;
            return false;
        }
        if (run.manual)
            m_observer->directionDone(out);
        return true;
    };

    if (!measured(Direction::Download, base + downFile + "?r=" + r + "&key=" + KeyQueryValue(key), {}, run.download))
        return;
    if (AutomaticStopRequested()) {
        run.outcome = RunOutcome::Stopped;
        return;
    }
    if (run.manual)
        m_settings.clock->sleepFor(std::chrono::milliseconds(2000));

    const std::string upFile = configValue("upload_local_file_path");
    std::error_code ec;
    const std::filesystem::path upPath = !upFile.empty() && upFile.front() == '/'
                                             ? std::filesystem::path(upFile)
                                             : programPath(m_settings.installDir, upFile);
    // A file that is not there would give a window of failed uploads and a
    // record of a line that seems to send nothing.
    if (upFile == PropertyFile::kNull || upFile.empty() || !std::filesystem::is_regular_file(upPath, ec)) {
        run.outcome = RunOutcome::NoUploadFile;
        return;
    }
    if (!measured(Direction::Upload, base + "doload.do?r=" + r + "&key=" + KeyQueryValue(key), upPath.string(),
                  run.upload))
        return;
    releaseIfHeld(run);
    if (AutomaticStopRequested())
        run.outcome = RunOutcome::Stopped;
    else
        run.outcome = run.recordable() ? RunOutcome::Completed : RunOutcome::Incomplete;
}

void BandwidthTest::releaseIfHeld(BandwidthRun& run)
{
    if (!run.keyHeld || run.keyReleased)
        return;
    ReleaseKey(run.ip, run.validation.key);
    run.keyReleased = true;
}

void BandwidthTest::finishRun(BandwidthRun& run, LatencyProbe& probe, bool post)
{
    // A key the server handed out is given back however the run ended, so
    // its slot is not held until the server forgets it.
    releaseIfHeld(run);
    if (m_latencyThread.joinable())
        m_latencyThread.join();
    run.latency = probe.stop();
    {
        std::lock_guard lock(m_mutex);
        run.pingRtt = m_pingRtt;
    }
    keep(run);
    if (post)
        m_observer->recordReady(run);
    if (run.manual)
        flags::bandwidthTestRunning = 0;
    release();
    m_observer->runEnded(run);
}

bool BandwidthTest::StartManualTest()
{
    if (running())
        return false;
    if (!m_settings.networkAlive()) {
        m_observer->showWarning(bandwidth_text::kNoNetwork);
        return false;
    }
    flags::autoAbortArmed = 0;
    std::string province, server, recommended;
    {
        std::lock_guard lock(m_mutex);
        province = m_selectedProvince;
        server = m_selectedServer;
        recommended = m_recommended;
    }
    Resolved resolved;
    {
        // The manual choice is what the lists show, even while autoMode is
        // still set from an automatic run the user took back.
        std::lock_guard lock(m_mutex);
        resolved.name = m_override.empty() ? server : m_override;
    }
    if (const ServerEntry* entry = FindServer(*catalogRef(), resolved.name)) {
        resolved.ip = entry->ip;
        resolved.monitorId = entry->monitorId;
    }
    {
        std::lock_guard lock(m_mutex);
        m_currentServerName = resolved.name;
        m_currentMonitorId = resolved.monitorId;
    }
    const Location where = userLocation();
    if (province.empty() || server.empty()) {
        m_observer->showWarning(bandwidth_text::kNoServer);
        return false;
    }
    if (province != where.province || server != recommended) {
        if (!m_observer->askYesNo(bandwidth_text::kMismatch))
            return false;
    }
    if (!begin())
        return false;
    waitForManualRun();
    flags::bandwidthTestRunning = 1;
    m_observer->manualRunStarted();
    startLatencyThread(resolved);
    startManual([this, resolved] { runManual(resolved); });
    return true;
}

void BandwidthTest::runManual(Resolved server)
{
    BandwidthRun run;
    run.manual = true;
    run.serverName = server.name;
    run.ip = server.ip;
    run.monitorId = server.monitorId;
    LatencyProbe probe(m_settings.pinger, m_settings.clock);
    probe.start(server.ip);

    run.validation = validateAt(server, std::string(), "true");
    const std::string& status = run.validation.status;
    if (status == "0") {
        run.outcome = RunOutcome::Busy;
        m_observer->message(bandwidth_text::kServerBusy);
        finishRun(run, probe, false);
        return;
    }
    // Only "1" and "2" are answers of a test server; anything else (an
    // error page, a proxy's notice) has no key worth measuring with.
    if (run.validation.key.empty() || (status != "1" && status != "2")) {
        run.outcome = RunOutcome::ValidationFailed;
        m_observer->message(bandwidth_text::kValidationFailed);
        finishRun(run, probe, false);
        return;
    }
    run.keyHeld = true;
    {
        std::lock_guard lock(m_mutex);
        m_unreleasedIp = run.ip;
        m_unreleasedKey = run.validation.key;
    }
    measureBoth(run, probe, run.validation.key);
    const bool reachedEnd = run.outcome == RunOutcome::Completed || run.outcome == RunOutcome::Incomplete;
    if (reachedEnd) {
        const double shown = std::atof(FormatFixed(run.download.bandwidthMb(), 1).c_str());
        run.rankPosition = RankBarPosition(shown);
        m_observer->rankPosition(run.rankPosition);
    }
    finishRun(run, probe, reachedEnd);
}

int BandwidthTest::RunAutoTest(bool useStoredKey, bool isAutomatic)
{
    if (!begin())
        return 0;
    BandwidthRun run;
    LatencyProbe probe(m_settings.pinger, m_settings.clock);
    if (!m_settings.networkAlive()) {
        run.outcome = RunOutcome::NoNetwork;
        finishRun(run, probe, false);
        return 0;
    }
    run.automatic = isAutomatic;
    std::string key;
    Resolved server;
    {
        std::lock_guard lock(m_mutex);
        if (useStoredKey) {
            key = m_pendingKey;
            server = m_pendingServer;
        }
        m_pendingKey.clear();
        m_pendingServer = {};
    }
    // The stored key means something only to the server that issued it; a
    // fresh draw might pick another one.
    if (key.empty()) {
        server = resolveOnce();
    } else {
        std::lock_guard lock(m_mutex);
        m_currentServerName = server.name;
        m_currentMonitorId = server.monitorId;
    }
    run.serverName = server.name;
    run.ip = server.ip;
    run.monitorId = server.monitorId;
    probe.start(server.ip);
    run.validation = validateAt(server, key, isAutomatic ? "false" : "true");
    const KeyAnswer& answer = run.validation;

    if (server.ip.empty()) {
        run.outcome = RunOutcome::NoServer;
    } else if (answer.result != 0) {
        run.outcome = RunOutcome::ValidationFailed;
    } else if (answer.status == "0") {
        run.outcome = RunOutcome::Busy;
    } else if (answer.status == "2") {
        {
            std::lock_guard lock(m_mutex);
            m_pendingKey = answer.key;
            m_pendingServer = server;
            // Handed out all the same: when the retry is called off, the
            // scheduler gives it back.
            if (!answer.key.empty()) {
                m_unreleasedIp = server.ip;
                m_unreleasedKey = answer.key;
            }
        }
        run.outcome = RunOutcome::ComeBackLater;
        finishRun(run, probe, false);
        return 1;
    } else if (answer.status != "1" || answer.key.empty()) {
        run.outcome = RunOutcome::ValidationFailed;
    } else {
        run.keyHeld = true;
        {
            std::lock_guard lock(m_mutex);
            m_unreleasedIp = run.ip;
            m_unreleasedKey = answer.key;
        }
        if (AutomaticStopRequested()) {
            run.outcome = RunOutcome::Stopped;
        } else {
            startLatencyThread(server);
            measureBoth(run, probe, answer.key);
        }
    }
    const bool completed = run.outcome == RunOutcome::Completed;
    finishRun(run, probe, completed && CountCompletedRun(isAutomatic));
    return completed ? 2 : 0;
}

// ---------------------------------------------------------------- the record

BandwidthTest::RecordResult BandwidthTest::OnRecordReady(ResultRecorder& recorder, RecordShipper* shipper,
                                                         const std::string& geographyId)
{
    std::optional<ContractShare> share;
    RecordResult out = recordOnce(recorder, shipper, geographyId, [&](const BandwidthRun& run) {
        const DirectionSummary& down = run.download;
        const DirectionSummary& up = run.upload;
        const std::string bandwidth = FormatFixed(down.bandwidthMb(), 1);
        TestRecord record;
        record.kind = RecordKind::Band;
        record.fields = {{"monitorid", run.monitorId},
                         {"upmaxspeed", up.peakText},
                         {"upavgspeed", FormatFixed(up.averageMBps, 2)},
                         {"downmaxspeed", down.peakText},
                         {"downavgspeed", FormatFixed(down.averageMBps, 2)},
                         {"bandwidth", bandwidth},
                         {"realbandwidth", contractBandwidth()}};
        record.tail = {{"pingrtt", run.pingRtt}, {"downspeedjt", down.jitterText}, {"upspeedjt", up.jitterText}};
        // Measured beside the record, kept for the metrics only.
        const std::pair<const char*, std::optional<double>> latencies[] = {
            {"latency_idle_ms", run.latency.idleMs},
            {"latency_download_ms", run.latency.downloadMs},
            {"latency_upload_ms", run.latency.uploadMs}};
        for (const auto& [name, ms] : latencies) {
            if (ms)
                record.figures.push_back({name, FormatFixed(*ms, 3)});
        }
        share = contractShare(down.bandwidthMb());
        if (share)
            record.figures.push_back({"contract_share_percent", std::to_string(share->percent)});
        record.historyName = run.serverName;
        record.headline = bandwidth;
        return std::pair{record, run.automatic};
    });
    std::string& latest = out.record.latestResultText;
    if (share && !latest.empty()) {
        // Under the bandwidth it judges, before the time.
        const std::string line = "\n" + ContractShareText(share->percent);
        const std::size_t time = latest.find("\n测速时间");
        latest.insert(time == std::string::npos ? latest.size() : time, line);
    }
    return out;
}

// ---------------------------------------------------------------- logs

void BandwidthTest::autoLog(const std::string& line) const
{
    CLogFile::append((m_settings.installDir / "auto.txt").string(), line);
}

void BandwidthTest::measureLog(const std::string& line) const
{
    CLogFile::append((m_settings.installDir / "logfile.txt").string(), line);
}

} // namespace quorvane::measure
