#pragma once
// Latency of the test server: the Part's two echoes before a run (the
// record's pingrtt) and the round-trip time while the line is idle and while
// each direction loads it (buffer bloat), which is reported but never
// recorded.
#include "common/clock.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::measure
{

// One echo to `host` (dotted IPv4): the round-trip time in milliseconds, or
// nothing when no answer came. Blocks at most about a second. Must be safe to
// call from several threads at once. The program's ICMP engine fills it; a
// TCP connect round trip (below) stands in where that engine is missing.
using Pinger = std::function<std::optional<double>(const std::string& host)>;

// A pinger that times a TCP connect to `port` of the host (the test servers
// listen on 8080): SYN to SYN-ACK is one round trip. `timeout` bounds each
// call.
Pinger TcpConnectPinger(int port = 8080, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));

// The ICMP echo engine where this process may open an ICMP socket (raw, or
// the unprivileged ping socket), else TcpConnectPinger(8080): both time one
// round trip on the same path, so the figure stays meaningful without rights.
Pinger EchoPinger(std::shared_ptr<Clock> clock);

// The median of the values (mean of the middle two for an even count);
// nothing for none.
std::optional<double> Median(std::vector<double> values);

// Medians of the round-trip times per phase of a run, in milliseconds.
struct LatencyReport {
    std::optional<double> idleMs;     // before the download, and in the pause between directions
    std::optional<double> downloadMs; // while the download ran
    std::optional<double> uploadMs;   // while the upload ran
    int idleCount = 0;                // answers behind each median
    int downloadCount = 0;
    int uploadCount = 0;
};

// Pings one host during a run: a burst of three echoes inside start() (idle,
// before the caller loads the line), then one echo a second on fixed deadlines, each answer counted in the
// phase that was current when its echo left.
//
// Thread-safety: start/stop from the run's thread; setPhase from any thread.
class LatencyProbe
{
public:
    enum class Phase { Idle, Download, Upload };

    LatencyProbe(Pinger pinger, std::shared_ptr<Clock> clock);
    ~LatencyProbe();
    LatencyProbe(const LatencyProbe&) = delete;
    LatencyProbe& operator=(const LatencyProbe&) = delete;

    // Sends the idle burst (blocking, up to three echoes), then pings `host`
    // on a thread of its own (nothing without a pinger
    // or host). A probe already running is stopped first.
    void start(const std::string& host);
    void setPhase(Phase phase);
    // Ends the pinging (within one echo) and returns the medians so far.
    LatencyReport stop();

private:
    void run(std::string host);
    void record(Phase phase, double ms);

    Pinger m_pinger;
    std::shared_ptr<Clock> m_clock;
    std::atomic<Phase> m_phase{Phase::Idle};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<double> m_idle, m_download, m_upload;
    std::thread m_thread;
};

} // namespace quorvane::measure
