#pragma once
// What a login leaves behind for the rest of the program: the user's values
// that every record carries, and the process-wide texts of CDataBase.
#include <mutex>
#include <string>

namespace quorvane
{

// The values of one successful login. A plain value: whoever holds the
// current session hands copies to the record writers, so a record is written
// from one consistent set even while a new login replaces it.
struct UserSession {
    std::string userId; // also names Config/settings<K>.xml and the history file
    std::string nickname;
    std::string ip; // the user's address as the service saw it
    std::string location1;
    std::string location2;

    // The "location" record value: both words joined by one blank (two empty
    // words give a single blank).
    std::string location() const { return location1 + " " + location2; }
};

// The one process-wide object holding the region suffix (geography id) and
// the three score values. The application creates it once and hands it to
// whoever needs it.
//
// Thread-safety: every member may be called from any thread; the login worker
// writes while the window thread reads.
class CDataBase
{
public:
    struct Scores {
        std::string total;
        std::string bandwidth;
        std::string experience;
    };

    std::string regionSuffix() const;
    void setRegionSuffix(std::string suffix);

    Scores scores() const;
    void setScores(Scores scores);

private:
    mutable std::mutex m_mutex;
    std::string m_regionSuffix;
    Scores m_scores;
};

} // namespace quorvane
