#pragma once
// The access-bandwidth test without a window: server choice, the key
// handshake with the test server, download and upload over a fixed window,
// the figures, and the record. The page CNetworkSpeed owns one BandwidthTest
// and shows what its observer reports; quorvane-cli and the scheduler drive
// the same object.
//
// Threads:
//  - Initialise, setUser, setSelection, StartManualTest and OnRecordReady
//    belong to the page's window thread (any one thread for the CLI).
//  - StartManualTest returns at once; the run goes on a thread of its own.
//  - RunAutoTest blocks the calling thread (the scheduler's) for the run,
//    about 40 s.
//  - Observer functions are called on the engine's worker threads, except
//    showWarning/askYesNo (inside StartManualTest, on its caller's thread).
//    A page re-posts them to its window thread (kMsg* of bandwidth_texts.h).
//  - Only one run at a time: a manual start while a run is going is ignored;
//    RunAutoTest then returns 0.
//  - The destructor waits for a running manual run to end.
//
// Program-wide flags (common/flags.h) read and written here: autoMode,
// autoAbortArmed, stopRequested, completedTaskCount, bandwidthTestRunning.
#include "common/clock.h"
#include "measure/bandwidth_sampler.h"
#include "measure/bandwidth_texts.h"
#include "measure/latency.h"
#include "measure/random_source.h"
#include "measure/record_steps.h"
#include "measure/run_lifecycle.h"
#include "measure/server_catalog.h"
#include "results/contract_share.h"
#include "results/record.h"
#include "results/session.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvane
{
class RecordShipper;
class HttpSession;
} // namespace quorvane

namespace quorvane::measure
{

// The contract of HttpRequest: 0 answered, 1 failure, 2 time-out.
using RequestFunction =
    std::function<int(const std::string& verb, const std::string& url, const std::string& body, std::string& response)>;

// ---------------------------------------------------------------- the key handshake

// What a "dovalid" request gave.
struct KeyAnswer {
    int result = 1;     // the request's result (0 answered, 1 failure, 2 time-out)
    std::string status; // the answer's first character; empty without an answer
    std::string key;    // the answer from its third character on; empty when unusable
    std::string raw;    // the answer as received
};

// Status and key of an answer. A key that could not travel back in a URL
// (blank or control characters, non-ASCII, over 128 bytes) is no key.
KeyAnswer ParseKeyAnswer(int result, const std::string& answer);

// The key as it goes into a query value (reserved characters escaped).
std::string KeyQueryValue(const std::string& key);

// ---------------------------------------------------------------- contracted bandwidth

// The bandmap id stored for this machine in conf/ipconfig.properties under
// its adapter address; "null" when none.
std::string ReadContractBandwidth(const std::filesystem::path& installDir, const std::string& mac);

// Stores the choice at once (added when absent, changed when present; saved
// without stamping), and that the user made it. False when the file could
// not be written.
bool SaveContractBandwidth(const std::filesystem::path& installDir, const std::string& mac, const std::string& id);

// The contract this machine's user picked on the bandwidth page, resolved in
// `choices`; nothing when no pick was made (the "1" that the first start
// writes for a new machine is none), the id is not among the choices, or its label has
// no rate.
std::optional<ContractedBandwidth> ReadChosenContract(const std::filesystem::path& installDir, const std::string& mac,
                                                      const std::vector<std::pair<std::string, std::string>>& choices);

// A result against the chosen contract.
struct ContractShare {
    ContractedBandwidth contract;
    int percent = 0; // ContractSharePercent of the result's figure
};

// The entry of (id, label) pairs whose id is `storedId`; 0 when none.
int ContractBandwidthIndex(const std::vector<std::pair<std::string, std::string>>& list, const std::string& storedId);

// ---------------------------------------------------------------- runs

enum class RunOutcome {
    Completed,        // both directions gave 15 samples that counted bytes
    AlreadyRunning,   // another run was going
    NoNetwork,        // no usable network connection
    NoServer,         // nothing chosen / no server matches
    Declined,         // the user said no to the mismatch question
    Busy,             // the test server answered "0"
    ComeBackLater,    // answered "2": the key is kept for the next automatic call
    ValidationFailed, // no answer, time-out, unknown status or no usable key
    NoDownloadFile,   // url_down_file is "null"
    NoUploadFile,     // upload_local_file_path is "null" or the file is not there
    TransferFailed,   // a transfer could not start (unusable URL)
    Incomplete,       // a direction ended before its 15th sample, or counted nothing
    Stopped,          // the user stopped automatic testing during the run
};

// A short English word for logs and the command line ("completed", "busy", ...).
const char* OutcomeName(RunOutcome outcome);

struct BandwidthRun {
    bool manual = false;
    bool automatic = false; // how the run was started: its record's testtype and history mode
    RunOutcome outcome = RunOutcome::ValidationFailed;
    std::string serverName; // currentServerName
    std::string ip;
    std::string monitorId; // currentMonitorId; the record's monitorid
    KeyAnswer validation;
    bool keyHeld = false;     // the run went on with the server's key, which must be given back
    bool keyReleased = false; // it was
    DirectionSummary download{Direction::Download};
    DirectionSummary upload{Direction::Upload};
    std::string pingRtt = "0.0"; // the two echoes before the run, "%.1f" of their integer mean
    int rankPosition = 0;        // manual runs: the ranking bar position
    LatencyReport latency;       // idle and under load; not part of the record

    // The record gate: both directions completed and counted bytes.
    bool recordable() const;
};

// What the engine tells its page (or the CLI), besides a run's start and
// end: the start checks warn (kNoNetwork, kNoServer) and ask the mismatch
// question, the run's thread says kServerBusy or kValidationFailed. The
// record is ready (1138) when a manual run got through both directions, or
// an automatic run completed without a stop request; OnRecordReady's gate
// refuses runs short of 15 counted samples per direction. Called on worker
// threads unless stated.
class BandwidthObserver : public RunObserver<BandwidthRun>
{
public:
    // Inside StartManualTest, on its caller's thread: the yes/no question
    // (true = yes).
    virtual bool askYesNo(const std::string& text)
    {
        (void)text;
        return true;
    }
    // Every sample of every run (1-based index, bytes of that second).
    virtual void sample(Direction direction, int index, std::uint64_t bytes)
    {
        (void)direction, (void)index, (void)bytes;
    }
    // Manual runs: the needle gauge's value in kilobits per second after each
    // sample, 0 when a direction's sampling ends.
    virtual void gaugeSpeed(int kilobits) { (void)kilobits; }
    // The server latency of the run ("%.1f" ms), once it is known.
    virtual void serverLatency(const std::string& pingRtt) { (void)pingRtt; }
    // Manual runs, when a transfer call returned (1137 download, 1135
    // upload): the result labels are "%.2f" of averageMBps and "%.1fM" of
    // bandwidthMb(); the upload ends the gauge's repaint loop.
    virtual void directionDone(const DirectionSummary& summary) { (void)summary; }
    // Manual runs after both directions: the ranking bar position.
    virtual void rankPosition(int pixels) { (void)pixels; }
};

// One direction's transfer and sampling; the default runs ParallelGet or
// ParallelUpload over five connections with SampleDirection beside it.
// `localFile` is the upload's file (empty for the download).
using DirectionMeasure = std::function<DirectionSummary(Direction direction, const std::string& url,
                                                        const std::string& localFile, const SampleEvents& events)>;

struct BandwidthTestSettings {
    std::filesystem::path installDir{"."};               // the program directory (also the working directory)
    std::shared_ptr<Clock> clock;                        // null: the system clock
    RequestFunction validate;                            // dovalid GET; null: HttpRequest
    RequestFunction release;                             // dovalid POST; null: the test's own long-lived HttpSession
    Pinger pinger;                                       // null: latency 0, no load latency
    std::function<bool()> networkAlive;                  // null: platform::IsNetworkAlive
    RandomSource random;                                 // null: seededRandomSource()
    std::function<std::string()> macAddress;             // null: the first adapter's address
    std::function<std::vector<std::string>()> operators; // null: ReadOperators (operator_config.xml)
    std::function<std::vector<std::string>()> provinces; // null: ReadProvinces (province_config.xml)
    DirectionMeasure measureDirection;                   // null: the real transfers
    // The (id, label) contracted-bandwidth choices of a user; null:
    // ReadContractBandwidths.
    std::function<std::vector<std::pair<std::string, std::string>>(const std::string& userId)> contractChoices;
};

class BandwidthTest : private RunLifecycle<BandwidthRun>
{
public:
    BandwidthTest(BandwidthTestSettings settings, BandwidthObserver* observer);
    ~BandwidthTest();

    // --- set-up (window thread)

    // Dialog initialisation: LoadServerList, then recommendedServer =
    // MatchServer(). Call again after a new login.
    void Initialise();
    // The logged-in user (location words for the match, record fields).
    using RunLifecycle::setUser;
    using RunLifecycle::user;
    // The texts of the province and server drop-downs, used by manual runs.
    void setSelection(const std::string& province, const std::string& server);
    // A server to use whatever the mode (the CLI's --server); empty: none.
    void setServerOverride(const std::string& server);

    void LoadServerList();
    // The catalogue loaded last (window thread; runs keep their own copy).
    const ServerCatalog& catalog() const { return *m_catalog; }
    CatalogReport catalogReport() const;
    // The automatic choice for the current user (logs to auto.txt); empty
    // when none. Does not change recommendedServer.
    std::string MatchServer();
    std::string recommendedServer() const;
    Location userLocation() const;

    // This machine's contracted bandwidth: stored id ("null" when none) and
    // saving a new choice at once.
    std::string contractBandwidth() const;
    bool saveContractBandwidth(const std::string& id);
    // A download figure (Mb, as the result shows it) against the contract
    // the user picked; nothing when there is none to judge against.
    std::optional<ContractShare> contractShare(float bandwidthMb) const;

    // --- the Part's operations

    // (ip, monitorId) of the current server: the automatic choice while
    // autoMode is 1 (or the override), else the server list's text. Empty
    // when the name is not in the catalogue. Sets currentServerName.
    std::pair<std::string, std::string> ResolveServer();

    // The dovalid handshake against the current run's server. `key` empty:
    // a random one. `flag`: "true" (manual) or "false" (automatic).
    KeyAnswer ValidateKey(const std::string& key, const std::string& flag);
    // The closing dovalid POST; its answer is ignored.
    void ReleaseKey(const std::string& ip, const std::string& key);
    // The scheduler's release after an abandoned retry: the last key this
    // test obtained (with "1" or "2") and has not released yet.
    void ReleaseCurrentKey();

    // Two echoes to the server; sets pingRtt and logs it. Runs on its own
    // thread during every run; callable directly.
    std::string MeasureServerLatency();

    // The start button. Returns true when a manual run thread was started.
    bool StartManualTest();
    using RunLifecycle::manualRunActive;
    // Waits for a manual run to end (tests, the CLI, shutdown).
    using RunLifecycle::waitForManualRun;

    // The automatic entry: 0 failed, 1 retry with the stored key, 2 done.
    // A retry with the stored key asks the server that handed it out.
    // `isAutomatic` false: a run on request (the command line), recorded as
    // manual.
    int RunAutoTest(bool useStoredKey, bool isAutomatic);
    std::string pendingKey() const;

    // --- after 1138 (window thread)

    using RecordResult = measure::RecordResult;
    // Writes the Pccollect_band record of the last run (only when it is
    // recordable), the history line and, for an automatic run, the latest
    // result text (with the share of the contract when there is one); then packs and starts the uploads through
    // `shipper` (may be null: no packing).
    RecordResult OnRecordReady(ResultRecorder& recorder, RecordShipper* shipper, const std::string& geographyId);

    // The last run's figures (copy).
    using RunLifecycle::lastRun;

private:
    struct Resolved {
        std::string name, ip, monitorId;
    };
    std::shared_ptr<const ServerCatalog> catalogRef() const;
    std::string matchFor(const ServerCatalog& catalog);
    Resolved resolveOnce();
    KeyAnswer validateAt(const Resolved& server, const std::string& key, const std::string& flag);
    void runManual(Resolved server);
    void measureBoth(BandwidthRun& run, LatencyProbe& probe, const std::string& key);
    DirectionSummary measureOne(Direction direction, const std::string& url, const std::string& localFile, bool manual);
    DirectionSummary realMeasure(Direction direction, const std::string& url, const std::string& localFile,
                                 const SampleEvents& events);
    std::string configValue(const std::string& key) const;
    void startLatencyThread(const Resolved& server);
    std::string measureLatencyOf(const Resolved& server);
    void releaseIfHeld(BandwidthRun& run);
    void finishRun(BandwidthRun& run, LatencyProbe& probe, bool post);
    void autoLog(const std::string& line) const;
    void measureLog(const std::string& line) const;

    BandwidthTestSettings m_settings;
    BandwidthObserver* m_observer;
    BandwidthObserver m_silent;
    std::unique_ptr<HttpSession> m_session;

    mutable std::mutex m_mutex; // guards the members below
    std::shared_ptr<const ServerCatalog> m_catalog;
    CatalogReport m_catalogReport;
    std::string m_selectedProvince, m_selectedServer, m_override;
    std::string m_recommended;
    std::string m_currentServerName, m_currentMonitorId, m_pingRtt = "0.0";
    std::string m_pendingKey;
    Resolved m_pendingServer; // the server that handed out m_pendingKey
    std::string m_unreleasedIp, m_unreleasedKey;

    std::thread m_latencyThread;
};

} // namespace quorvane::measure
