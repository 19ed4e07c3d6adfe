#pragma once
// The texts the service answers with and the small parsers of what clients
// send. Pure functions: the clients read these answers byte for byte.
#include "users.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace refsvc
{

// Successful login: "true-<id>-<nickname>-<address>-<location1> <location2>-".
// Without locations the answer ends after the address's "-", so the client
// finds no blank and leaves both location words empty.
std::string loginSuccessAnswer(const User& user, const std::string& peerAddress);
inline constexpr const char* kLoginRefused = "false";
inline constexpr const char* kLoginPasswordReset = "repsd";

// An answer that matches none of the words the clients look for, the way an
// error page of a broken front end would.
inline constexpr const char* kGarbageAnswer = "<html><body><h1>Service temporarily unavailable</h1></body></html>";

// Score: three values, each ended by ",".
std::string scoreAnswer(long long total, long long bandwidth, long long experience);

// Test key handshake: status character, one separator, the key.
std::string keyAnswer(char status, const std::string& key);

// IMF-fixdate (RFC 7231), always in English and GMT.
std::string httpDate(std::time_t t);

// A Range header against a resource of `total` bytes.
struct ByteRange {
    enum Kind {
        Whole,        // no header, or one the server may ignore: answer 200 with everything
        Partial,      // answer 206 with [first, last]
        Unsatisfiable // answer 416 with "Content-Range: bytes */total"
    } kind = Whole;
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive
};

// Understands one range of the forms "bytes=A-B", "bytes=A-" and "bytes=-N"
// (blanks around the parts allowed). Malformed headers and lists of several
// ranges are served whole, as RFC 7233 allows.
ByteRange parseRange(const std::string& header, std::uint64_t total);

std::string contentRange(const ByteRange& range, std::uint64_t total);

// Value of a "key=value&..." form body (no percent decoding of the key, the
// value decoded); empty optional when the key is absent.
std::optional<std::string> formValue(const std::string& body, const std::string& key);

// Percent-decoding with "+" as blank, as form bodies are written.
std::string decodeFormComponent(const std::string& text);

// The request target as the request log shows it: the values of the query
// parameters that carry passwords or their digests ("p", "pw", "password")
// become "***", so the log cannot stand in for the users file.
std::string redactSecrets(const std::string& target);

// Minimal HTML escaping for text put into the service's pages.
std::string htmlEscape(const std::string& text);

} // namespace refsvc
