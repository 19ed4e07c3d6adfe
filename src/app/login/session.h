#pragma once
// The current user of the process. UserSession and CDataBase are the
// results library's (records carry their values); this holder keeps the
// session that the last successful login left, for the windows to read.
//
// Thread-safety: every member may be called from any thread.
#include "results/session.h"

#include <mutex>

namespace quorvane {

using ScoreValues = CDataBase::Scores;

// The process's current user; empty until a login succeeds.
class SessionStore {
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

} // namespace quorvane
