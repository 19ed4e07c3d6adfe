#pragma once
// The background updater's own small HTTP client: one GET of a URL into a
// file over a plain socket, the way the updater has always fetched its
// files, with the head checks every socket client here applies (a status
// that is not 2xx fails; "404" inside a field value is just a value).
//
// Blocking; any thread; each call has its own socket.
#include "update/manifest.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace quorvane::update
{

enum class RawGetResult {
    Ok,
    NoFolder,     // the folders of the file could not be created
    BadUrl,       // not an http URL with a host
    NoConnection, // the host could not be resolved or reached
    SendFailed,   // the request could not be sent
    BadHead,      // no complete response head (time-out, closed, oversized)
    NotSuccess,   // a status other than 2xx
    NoLength,     // no positive Content-Length
    FileFailed,   // the file could not be written
    Short,        // the body ended before Content-Length bytes
    WrongSize,    // Content-Length is not the expected size, or over the limit
    TimedOut,     // the whole fetch took longer than its deadline
};

std::string_view describe(RawGetResult result);

struct RawGetOptions {
    std::chrono::milliseconds receiveTimeout{15000};
    std::chrono::milliseconds connectTimeout{15000};
    // Checked against Content-Length before the file is opened; the
    // deadline bounds every wait, so a server trickling bytes ends it too.
    FetchLimits limits;
};

// Fetches `url` into `file` (its folders created; the file truncated). The
// body is written as it arrives; on any result but Ok the file may be
// partial, and callers check the digest before using it anyway.
RawGetResult rawGet(const std::string& url, const std::filesystem::path& file, const RawGetOptions& options = {});

} // namespace quorvane::update
