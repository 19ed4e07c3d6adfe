#pragma once
// A canned web project: answers by servlet name and records every URL asked.
#include "app/login_service.h"

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

    std::vector<std::string> urls() const
    {
        std::lock_guard lock(m_mutex);
        return m_urls;
    }

    HttpFunction function()
    {
        return [this](const std::string& verb, const std::string& url, const std::string& body, std::string& out) {
            std::lock_guard lock(m_mutex);
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
    std::map<std::string, CannedAnswer> m_answers;
    std::vector<std::string> m_urls;
};

} // namespace quorvane::testing
