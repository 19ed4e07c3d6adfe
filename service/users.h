#pragma once
// The web project's registered users, held in memory. Loaded from a small
// UTF-8 text file, one user a line, fields separated by "|":
//
//   name|md5 of the password|id|nickname|address|location1|location2[|total|bandwidth|experience]
//
// "#" starts a comment line. The address "*" means "the address the request
// came from". The login answer joins the fields with "-" and separates the
// two location words by a blank, so those characters are refused where the
// client could not split them back.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace refsvc
{

struct User {
    std::string name;   // UTF-8
    std::string digest; // 32 lower-case hexadecimal digits
    std::string id;
    std::string nickname;
    std::string address; // "*" = the peer's address
    std::string location1;
    std::string location2;
    long long scoreTotal = 0;
    long long scoreBandwidth = 0;
    long long scoreExperience = 0;
};

// Checks one user's fields; returns an empty text when they are fine, else
// what is wrong. Normalises the digest to lower case.
std::string validateUser(User& user);

struct UsersParse {
    std::vector<User> users;
    std::string error; // "line N: ..." for the first bad line
};

UsersParse parseUsers(const std::string& text);

class UserDirectory
{
public:
    void replace(std::vector<User> users);

    // The user whose name matches (as UTF-8, or as the GBK bytes a client
    // sends for a non-ASCII name) and whose digest equals the given one
    // (compared without regard to case).
    std::optional<User> authenticate(const std::string& nameBytes, const std::string& digest) const;
    std::optional<User> byName(const std::string& nameBytes) const;
    std::optional<User> byId(const std::string& id) const;

    // Adds a user with a fresh numeric id (one above the largest numeric id)
    // unless `limit` users are there already; returns the error text or "".
    std::string add(User user, std::size_t limit = SIZE_MAX);
    bool setDigest(const std::string& nameBytes, const std::string& digest);
    std::size_t size() const;

private:
    const User* findName(const std::string& nameBytes) const;
    std::optional<std::size_t> findIndex(const std::string& nameBytes) const;

    mutable std::mutex m_mutex;
    std::vector<User> m_users;
};

} // namespace refsvc
