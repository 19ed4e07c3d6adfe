#include "state.h"

namespace refsvc
{

std::vector<std::pair<const char*, std::atomic<std::uint64_t>*>> Stats::rows()
{
    return {
        {"requests", &requests},
        {"login_requests", &loginRequests},
        {"login_accepted", &loginAccepted},
        {"login_refused", &loginRefused},
        {"score_requests", &scoreRequests},
        {"portal_keys_issued", &portalKeysIssued},
        {"portal_pages_shown", &portalPagesShown},
        {"portal_pages_refused", &portalPagesRefused},
        {"registrations", &registrations},
        {"password_resets", &passwordResets},
        {"clock_requests", &clockRequests},
        {"key_requests", &keyRequests},
        {"keys_issued", &keysIssued},
        {"keys_deferred", &keysDeferred},
        {"keys_released", &keysReleased},
        {"releases_unknown", &releasesUnknown},
        {"download_requests", &downloadRequests},
        {"download_bytes", &downloadBytes},
        {"downloads_completed", &downloadsCompleted},
        {"upload_requests", &uploadRequests},
        {"upload_multipart", &uploadMultipart},
        {"upload_other", &uploadOther},
        {"upload_body_bytes", &uploadBodyBytes},
        {"upload_payload_bytes", &uploadPayloadBytes},
        {"uploads_completed", &uploadsCompleted},
        {"uploads_broken", &uploadsBroken},
        {"upload_buffers_limited", &uploadBuffersLimited},
        {"bodies_refused", &bodiesRefused},
        {"update_requests", &updateRequests},
        {"update_bytes", &updateBytes},
        {"video_requests", &videoRequests},
        {"video_bytes", &videoBytes},
        {"videos_completed", &videosCompleted},
    };
}

std::string Stats::render()
{
    std::string out;
    for (const auto& [name, value] : rows())
        out += std::string(name) + "=" + std::to_string(value->load()) + "\n";
    return out;
}

void Stats::reset()
{
    for (const auto& row : rows())
        row.second->store(0);
}

SharedState::SharedState(const Options& opts)
    : options(opts), clockOffset(opts.clockOffsetSeconds), down(opts.downBitsPerSecond / 8),
      up(opts.upBitsPerSecond / 8), m_random(std::random_device{}())
{
}

std::time_t SharedState::serviceNow() const
{
    return std::time(nullptr) + static_cast<std::time_t>(clockOffset.load());
}

std::string SharedState::newKey()
{
    static const char digits[] = "0123456789ABCDEF";
    std::uint64_t v;
    {
        std::lock_guard lock(m_randomMutex);
        v = m_random();
    }
    std::string key(16, '0');
    for (auto& c : key) {
        c = digits[v & 15];
        v >>= 4;
    }
    return key;
}

void SharedState::stop()
{
    {
        std::lock_guard lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopCv.notify_all();
    down.stop();
    up.stop();
}

bool SharedState::pause(std::chrono::milliseconds ms)
{
    std::unique_lock lock(m_stopMutex);
    return !m_stopCv.wait_for(lock, ms, [this] { return m_stopping.load(); });
}

void SharedState::noteCarried(CarriedBody body)
{
    std::lock_guard lock(m_carriedMutex);
    if (m_carried.size() >= kCarriedBodies)
        m_carried.erase(m_carried.begin());
    m_carried.push_back(std::move(body));
}

std::vector<CarriedBody> SharedState::carried() const
{
    std::lock_guard lock(m_carriedMutex);
    return m_carried;
}

double SharedState::steadyMs() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_started).count();
}

} // namespace refsvc
