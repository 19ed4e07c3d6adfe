#pragma once
// The values a login leaves behind for the rest of the program: who the user
// is (UserSession) and the region and score values (CDataBase). One instance
// of each lives for the whole process; the login worker writes them and the
// windows, records and uploads read them, so both are guarded.
//
// Thread-safety: every member may be called from any thread.
#include <mutex>
#include <string>

namespace quorvane
{

struct UserSession {
    std::string userId;   // also names the per-user documents and history file
    std::string nickname; // stored as "uname"
    std::string ip;       // the user's address as the service saw it
    std::string location1;
    std::string location2;
};

struct ScoreValues {
    std::string total;
    std::string bandwidth;
    std::string experience;
};

// The process's current user; empty until a login succeeds.
class SessionStore
{
public:
    UserSession get() const
    {
        std::lock_guard lock(m_mutex);
        return m_session;
    }
    void set(const UserSession& session)
    {
        std::lock_guard lock(m_mutex);
        m_session = session;
    }

private:
    mutable std::mutex m_mutex;
    UserSession m_session;
};

class CDataBase
{
public:
    std::string regionSuffix() const
    {
        std::lock_guard lock(m_mutex);
        return m_regionSuffix;
    }
    void setRegionSuffix(const std::string& suffix)
    {
        std::lock_guard lock(m_mutex);
        m_regionSuffix = suffix;
    }
    ScoreValues scores() const
    {
        std::lock_guard lock(m_mutex);
        return m_scores;
    }
    void setScores(const ScoreValues& scores)
    {
        std::lock_guard lock(m_mutex);
        m_scores = scores;
    }

private:
    mutable std::mutex m_mutex;
    std::string m_regionSuffix;
    ScoreValues m_scores;
};

} // namespace quorvane
