#pragma once
// A canned web project: answers by servlet name and records every URL asked.
#include "app/login/login_service.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvane::testing
{

struct CannedAnswer {
    int rc = 0;
    std::string body;
    bool throws = false;
};

class FakeWeb
{
public:
    // Answers every URL whose path contains `servlet`.
    void answer(const std::string& servlet, int rc, const std::string& body)
    {
        std::lock_guard lock(m_mutex);
        m_answers[servlet] = {rc, body, false};
    }
    void throwOn(const std::string& servlet)
    {
        std::lock_guard lock(m_mutex);
        m_answers[servlet] = {0, {}, true};
    }

    // Requests block until release() (at most 10 s), like a silent service.
    void hold()
    {
        std::lock_guard lock(m_mutex);
        m_held = true;
    }
    void release()
    {
        {
            std::lock_guard lock(m_mutex);
            m_held = false;
        }
        m_released.notify_all();
    }
    int waiting() const
    {
        std::lock_guard lock(m_mutex);
        return m_waiting;
    }

    std::vector<std::string> urls() const
    {
        std::lock_guard lock(m_mutex);
        return m_urls;
    }

    HttpFunction function()
    {
        return [this](const std::string& verb, const std::string& url, const std::string& body, std::string& out) {
            std::unique_lock lock(m_mutex);
            ++m_waiting;
            m_released.wait_for(lock, std::chrono::seconds(10), [this] { return !m_held; });
            --m_waiting;
            EXPECT_EQ(verb, "GET");
            EXPECT_TRUE(body.empty());
            m_urls.push_back(url);
            if (url.rfind("http://:", 0) == 0) // no host: nothing could answer
                return 1;
            for (const auto& [servlet, a] : m_answers) {
                if (url.find("/" + servlet) != std::string::npos) {
                    if (a.throws)
                        throw std::runtime_error("network layer fault");
                    out = a.body;
                    return a.rc;
                }
            }
            out.clear();
            return 1;
        };
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_held = false;
    int m_waiting = 0;
    std::map<std::string, CannedAnswer> m_answers;
    std::vector<std::string> m_urls;
};

} // namespace quorvane::testing
