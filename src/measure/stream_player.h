#pragma once
// The built-in stream player: it takes the video page's invoke requests
// ("videoStartPaly", "autoVideoStartPaly", "videoStopPaly"), downloads the
// stream progressively over HTTP with its own byte counter and time stamps,
// hands the bytes to whoever shows the picture, and answers with the
// "VideoInfomation" call carrying six "#"-separated values:
//
//   position  record field   unit
//   1         MAXSPEED       KB/s (1 KB = 1024 bytes), "%.2f": the best
//                            whole second after the first byte; the average
//                            when the stream took less than a second
//   2         loadingtime    milliseconds, integer: request start to the
//                            first body byte (0 when none came)
//   3         totalsize      bytes, integer: the announced length; for a
//                            stream without one, the loaded bytes when it
//                            ended cleanly, else 0 (unknown)
//   4         speed          KB/s, "%.2f": loaded bytes over the time from
//                            the first to the last body byte
//   5         loadsize       bytes, integer: body bytes received
//   6         totaltime      milliseconds, integer: request start to the
//                            end of the transfer
//
// A stall, an early end, an HTTP error or the deadline still report what
// was measured; only a stop request ends a run without a report.
//
// Threads: CallFunction, Quit and waitIdle may be called from any thread.
// The movie-side calls (FlashCall) and the stream bytes (StreamSink) come on
// the player's own run thread; a window re-posts them to its thread.
#include "common/clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::measure
{

// ---------------------------------------------------------------- figures

// How a stream download ended.
enum class StreamEnd {
    Completed,    // every announced byte (or a clean end without length)
    EarlyEnd,     // the connection closed before the announced length
    Stalled,      // no byte for the stall time
    Deadline,     // the total time limit ran out
    HttpError,    // the answer was not 2xx
    NoConnection, // no connection, bad address or no answer head
    Stopped,      // stop request
};
const char* StreamEndName(StreamEnd end);

struct StreamFigures {
    double maxSpeedKBps = 0;       // MAXSPEED
    std::uint32_t firstByteMs = 0; // loadingtime
    std::uint64_t totalBytes = 0;  // totalsize
    double averageKBps = 0;        // speed
    std::uint64_t loadedBytes = 0; // loadsize
    std::uint32_t totalMs = 0;     // totaltime
    StreamEnd end = StreamEnd::NoConnection;
    int httpStatus = 0;
};

// The six values in payload order, "#"-separated.
std::string VideoInfoPayload(const StreamFigures& figures);

// Turns time-stamped arrivals of body bytes into the figures. Feed it on
// one thread; it does no clock reads of its own.
class StreamMeter
{
public:
    using TimePoint = Clock::Steady::time_point;

    explicit StreamMeter(TimePoint requestStart) : m_start(requestStart) {}
    void onBytes(TimePoint when, std::uint64_t count);
    // `announced`: the Content-Length, when the answer had one.
    StreamFigures finish(TimePoint end, std::optional<std::uint64_t> announced, StreamEnd how) const;

    std::uint64_t loadedBytes() const { return m_loaded; }
    std::optional<TimePoint> lastByteAt() const { return m_last; }

private:
    TimePoint m_start;
    std::optional<TimePoint> m_first, m_last;
    std::uint64_t m_loaded = 0;
    // Bytes per whole second after the first byte; the last may be partial.
    std::vector<std::uint64_t> m_seconds;
};

// ---------------------------------------------------------------- download

struct StreamLimits {
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds stall{15000};     // longest wait for the next byte
    std::chrono::milliseconds deadline{180000}; // the whole run
};

// Called with each piece of the body as it arrives (on the downloading
// thread); returns nothing, cannot stop the download.
using StreamSink = std::function<void(const char* data, std::size_t size)>;

// `url` with every byte a request line cannot carry (controls, blanks,
// backslashes, quotes, angle brackets, bytes above 0x7E) percent-encoded.
std::string RequestableUrl(const std::string& url);

// Downloads `url` (http or https; redirects followed) and measures it.
// Blocks the calling thread until the end; `stop` set from another thread
// ends it within a few hundred milliseconds. Time stamps come from `clock`.
StreamFigures DownloadStream(const std::string& url, const StreamLimits& limits, Clock& clock,
                             const std::atomic<bool>& stop, const StreamSink& sink);

// ---------------------------------------------------------------- the player

namespace invoke
{
inline constexpr const char* kPlay = "videoStartPaly";
inline constexpr const char* kAutoPlay = "autoVideoStartPaly";
inline constexpr const char* kStop = "videoStopPaly";
inline constexpr const char* kInfo = "VideoInfomation";
inline constexpr const char* kQuit = "VideoSpeedChildQuit";
} // namespace invoke

// "<invoke name="NAME" returntype="xml"><arguments><string>ARG</string></arguments></invoke>"
std::string InvokeRequest(const std::string& name, const std::string& argument);

struct InvokeCall {
    std::string name;
    std::string argument; // the first string argument, as it stands
};
// Reads a request of the form above; nothing when it has no name.
std::optional<InvokeCall> ParseInvoke(const std::string& request);

struct StreamPlayerSettings {
    std::shared_ptr<Clock> clock; // null: the system clock
    StreamLimits limits;
    // The download; null: DownloadStream.
    std::function<StreamFigures(const std::string& url, const StreamLimits&, Clock&, const std::atomic<bool>& stop,
                                const StreamSink&)>
        download;
};

class StreamPlayer
{
public:
    // The movie's calls to its host (FlashCall).
    using FlashCall = std::function<void(const std::string& request)>;
    // A run begins (the stream's address) and ends; for a display. Called
    // on the run thread.
    struct Display {
        std::function<void(const std::string& url)> started;
        StreamSink data;
        std::function<void(const StreamFigures&)> ended;
    };

    StreamPlayer(StreamPlayerSettings settings, FlashCall flashCall, Display display = {});
    ~StreamPlayer(); // stops a run and waits for it, without a report
    StreamPlayer(const StreamPlayer&) = delete;
    StreamPlayer& operator=(const StreamPlayer&) = delete;

    // CallFunction of the movie. A play request stops a run still going
    // (without its report) and starts the new one; a stop request ends the
    // run without a report. Returns the movie's answer, "<null/>".
    std::string CallFunction(const std::string& request);
    // The user closed the player: stop, then the "VideoSpeedChildQuit" call.
    void Quit();

    bool running() const;
    // Waits until no run is going.
    void waitIdle();
    // The live counter of the current (or last) run: bytes so far.
    std::uint64_t liveBytes() const { return m_liveBytes.load(); }

private:
    void startRun(const std::string& url);
    void stopRun();

    StreamPlayerSettings m_settings;
    FlashCall m_flashCall;
    Display m_display;

    mutable std::mutex m_mutex; // guards starting and stopping
    std::condition_variable m_idle;
    std::thread m_thread;
    std::shared_ptr<std::atomic<bool>> m_stop;
    bool m_running = false;
    std::atomic<std::uint64_t> m_liveBytes{0};
};

} // namespace quorvane::measure
