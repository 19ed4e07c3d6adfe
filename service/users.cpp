#include "users.h"

#include "common/codepage.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace refsvc
{

namespace
{

std::vector<std::string> splitBars(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const auto bar = line.find('|', start);
        fields.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos)
            return fields;
        start = bar + 1;
    }
}

bool hasControl(const std::string& s)
{
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string lower(std::string s)
{
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool parseScore(const std::string& text, long long& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

} // namespace

std::string validateUser(User& u)
{
    for (const std::string* f : {&u.name, &u.digest, &u.id, &u.nickname, &u.address, &u.location1, &u.location2})
        if (hasControl(*f) || f->find('|') != std::string::npos)
            return "fields may hold neither control characters nor \"|\"";
    if (u.name.empty())
        return "empty user name";
    if (!quorvane::isValidUtf8(u.name) || !quorvane::isValidUtf8(u.nickname) || !quorvane::isValidUtf8(u.address) ||
        !quorvane::isValidUtf8(u.location1) || !quorvane::isValidUtf8(u.location2))
        return "text is not UTF-8";
    u.digest = lower(u.digest);
    if (u.digest.size() != 32 || u.digest.find_first_not_of("0123456789abcdef") != std::string::npos)
        return "the password digest must be 32 hexadecimal digits";
    // The client names files after the id, so it stays a plain word.
    if (u.id.empty() ||
        u.id.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_") != std::string::npos)
        return "the id must be letters, digits or \"_\"";
    for (const std::string* f : {&u.nickname, &u.address, &u.location1, &u.location2})
        if (f->find('-') != std::string::npos)
            return "nickname, address and locations may not hold \"-\" (it separates the login answer)";
    if (u.address.empty() || u.address.find(' ') != std::string::npos)
        return "the address must be \"*\" or an address without blanks";
    if (u.location1.find(' ') != std::string::npos)
        return "location1 may not hold a blank (it ends the first location word)";
    for (long long s : {u.scoreTotal, u.scoreBandwidth, u.scoreExperience})
        if (s < 0)
            return "scores may not be negative";
    return {};
}

UsersParse parseUsers(const std::string& text)
{
    UsersParse result;
    std::size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        auto nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const auto f = splitBars(line);
        const auto fail = [&](const std::string& why) {
            result.users.clear();
            result.error = "line " + std::to_string(lineNo) + ": " + why;
            return result;
        };
        if (f.size() != 7 && f.size() != 10)
            return fail("expected 7 or 10 fields separated by \"|\", found " + std::to_string(f.size()));
        User u{f[0], f[1], f[2], f[3], f[4], f[5], f[6]};
        if (f.size() == 10 && !(parseScore(f[7], u.scoreTotal) && parseScore(f[8], u.scoreBandwidth) &&
                                parseScore(f[9], u.scoreExperience)))
            return fail("scores must be whole numbers");
        if (auto why = validateUser(u); !why.empty())
            return fail(why);
        for (const auto& other : result.users) {
            if (other.name == u.name)
                return fail("user \"" + u.name + "\" appears twice");
            if (other.id == u.id)
                return fail("id \"" + u.id + "\" appears twice");
        }
        result.users.push_back(std::move(u));
    }
    return result;
}

void UserDirectory::replace(std::vector<User> users)
{
    std::lock_guard lock(m_mutex);
    m_users = std::move(users);
}

const User* UserDirectory::findName(const std::string& nameBytes) const
{
    const auto index = findIndex(nameBytes);
    return index ? &m_users[*index] : nullptr;
}

std::optional<std::size_t> UserDirectory::findIndex(const std::string& nameBytes) const
{
    for (std::size_t i = 0; i < m_users.size(); ++i)
        if (m_users[i].name == nameBytes)
            return i;
    // A name outside ASCII may arrive in the client's 8-bit code page.
    for (std::size_t i = 0; i < m_users.size(); ++i)
        if (quorvane::utf8ToGbk(m_users[i].name) == nameBytes)
            return i;
    return std::nullopt;
}

std::optional<User> UserDirectory::authenticate(const std::string& nameBytes, const std::string& digest) const
{
    std::lock_guard lock(m_mutex);
    const User* u = findName(nameBytes);
    if (!u || u->digest != lower(digest))
        return std::nullopt;
    return *u;
}

std::optional<User> UserDirectory::byName(const std::string& nameBytes) const
{
    std::lock_guard lock(m_mutex);
    const User* u = findName(nameBytes);
    return u ? std::optional<User>(*u) : std::nullopt;
}

std::optional<User> UserDirectory::byId(const std::string& id) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& u : m_users)
        if (u.id == id)
            return u;
    return std::nullopt;
}

std::string UserDirectory::add(User user, std::size_t limit)
{
    std::lock_guard lock(m_mutex);
    if (m_users.size() >= limit)
        return "the service holds as many users as it may";
    unsigned long long next = 10001;
    for (const auto& u : m_users) {
        // Ids of the users file may be any word; only plain numbers in range
        // count, and the largest one leaves no room above it.
        if (u.id.empty() || u.id.find_first_not_of("0123456789") != std::string::npos)
            continue;
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(u.id.c_str(), &end, 10);
        if (errno == ERANGE || n >= std::numeric_limits<unsigned long long>::max())
            return "no free user id is left";
        if (n >= next)
            next = n + 1;
    }
    user.id = std::to_string(next);
    if (auto why = validateUser(user); !why.empty())
        return why;
    if (findName(user.name))
        return "the name is taken";
    m_users.push_back(std::move(user));
    return {};
}

bool UserDirectory::setDigest(const std::string& nameBytes, const std::string& digest)
{
    std::lock_guard lock(m_mutex);
    const auto index = findIndex(nameBytes);
    if (!index)
        return false;
    m_users[*index].digest = lower(digest);
    return true;
}

std::size_t UserDirectory::size() const
{
    std::lock_guard lock(m_mutex);
    return m_users.size();
}

} // namespace refsvc
