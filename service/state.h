#pragma once
// What every listener of the service shares: the options, the counters, the
// service's clock, the line's rate in each direction and the stop that wakes
// every waiting request. The projects (web project, test servers, update
// server) each hold a reference; the service owns it.
#include "options.h"
#include "rate_limiter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace refsvc
{

// Counters for the control end point; every one only grows until a reset.
struct Stats {
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> loginRequests{0}, loginAccepted{0}, loginRefused{0};
    std::atomic<std::uint64_t> scoreRequests{0};
    std::atomic<std::uint64_t> portalKeysIssued{0}, portalPagesShown{0}, portalPagesRefused{0};
    std::atomic<std::uint64_t> registrations{0}, passwordResets{0};
    std::atomic<std::uint64_t> clockRequests{0};
    std::atomic<std::uint64_t> keyRequests{0}, keysIssued{0}, keysDeferred{0}, keysReleased{0}, releasesUnknown{0};
    std::atomic<std::uint64_t> downloadRequests{0}, downloadBytes{0}, downloadsCompleted{0};
    std::atomic<std::uint64_t> uploadRequests{0}, uploadMultipart{0}, uploadOther{0};
    std::atomic<std::uint64_t> uploadBodyBytes{0}, uploadPayloadBytes{0}, uploadsCompleted{0}, uploadsBroken{0};
    std::atomic<std::uint64_t> uploadBuffersLimited{0};
    std::atomic<std::uint64_t> bodiesRefused{0};
    std::atomic<std::uint64_t> updateRequests{0}, updateBytes{0};
    std::atomic<std::uint64_t> videoRequests{0}, videoBytes{0}, videosCompleted{0};

    std::string render();
    void reset();

private:
    std::vector<std::pair<const char*, std::atomic<std::uint64_t>*>> rows();
};

// One answer body as the throttled line carried it. A sender starved of the
// processor loses line time it never gets back, so over such a body the line
// carried less than its rate: what it did carry is the truth a client's
// figure is judged against. Times are steady milliseconds since the service
// started; the first piece passes at once (the bucket), so the line's own
// rate over the body is (bytes - firstPiece) / (lastMs - firstMs).
// requestMs is when the answer began, after its request was read: a figure
// that counts from the request counts the service's delay before its first
// byte too, which on a starved service is long.
struct CarriedBody {
    std::string type;
    std::uint64_t length = 0, bytes = 0, firstPiece = 0;
    double requestMs = 0, firstMs = 0, lastMs = 0;
};

// Thread-safe throughout.
class SharedState
{
public:
    explicit SharedState(const Options& options);

    const Options& options;
    Stats stats;
    // Seconds the service's clock runs ahead of the machine's.
    std::atomic<long long> clockOffset;
    RateLimiter down, up;

    std::time_t serviceNow() const;
    // A fresh 16-digit hexadecimal key.
    std::string newKey();

    // Wakes every pause and limiter wait; idempotent.
    void stop();
    bool stopping() const { return m_stopping; }
    // Waits the time or until stop(); false when stopped.
    bool pause(std::chrono::milliseconds ms);

    // The latest bodies (kCarriedBodies at most), oldest first.
    static constexpr std::size_t kCarriedBodies = 32;
    void noteCarried(CarriedBody body);
    std::vector<CarriedBody> carried() const;
    double steadyMs() const;

private:
    std::mutex m_randomMutex;
    std::mt19937_64 m_random;
    std::mutex m_stopMutex;
    std::condition_variable m_stopCv;
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_carriedMutex;
    std::vector<CarriedBody> m_carried;
    const std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
};

} // namespace refsvc
