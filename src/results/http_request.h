#pragma once
// Plain requests to the service (login, score, update manifest, clock).
// Thread-safety: may be called from any thread; each call is independent.
#include <string>

namespace quorvane {

enum HttpResult : int { kHttpAnswered = 0, kHttpFailed = 1, kHttpTimedOut = 2 };

// Sends `verb` to `url` with `body` (empty: none) and stores the answer body
// in `response`: the body up to its first NUL byte, checked as UTF-8 (invalid
// sequences replaced). Returns 0 (answered), 1 (failure) or 2 (time-out).
int HttpRequest(const std::string& verb, const std::string& url, const std::string& body, std::string& response);

} // namespace quorvane
