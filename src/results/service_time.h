#pragma once
// The time stamp of a record: the service's clock when it answers, the local
// clock otherwise. One stamp names the record file, fills its dtime field,
// the history line and the latest result text; packing takes its own.
#include "common/clock.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane
{

// Local calendar time, to the second.
struct RecordTime {
    int year = 1970;
    int month = 1; // 1..12
    int day = 1;   // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;

    friend bool operator==(const RecordTime&, const RecordTime&) = default;
};

// "%04d-%02d-%02d %02d:%02d:%02d", the stamp of records, history and logs.
std::string formatStamp(const RecordTime& time);

// Formats with strftime conversions ("%Y%m%d..."); the caller's format of
// the service time text.
std::string formatTime(const RecordTime& time, const std::string& format);

// Seconds since 1970 of a record time, which is local time.
long long localEpochSeconds(const RecordTime& time);

// The local calendar time of an instant.
RecordTime localTimeOf(std::chrono::system_clock::time_point instant);

// The calendar time `seconds` later, with carries through minutes, hours,
// days, months and years.
RecordTime addSeconds(const RecordTime& time, long long seconds);

// Parses an HTTP Date header (IMF-fixdate, RFC 850 or asctime form) into the
// instant it names. Nothing for anything else.
std::optional<std::chrono::system_clock::time_point> parseHttpDate(std::string_view text);

// Asks `url` with a HEAD request and returns its Date header when the answer
// is 200; nothing on any failure, another status or a missing header.
using HeadDateFunction = std::function<std::optional<std::string>(const std::string& url)>;

// A HEAD through libcurl: no redirects followed, a short time-out so the
// window thread that takes a record time is not held up for long.
std::optional<std::string> headDate(const std::string& url);

// The clock URL of the service portal: "/speed/" on the web project's host
// and port in conf/config.properties under `installDir` (the keys that carry
// `regionSuffix` when it is not empty). Empty when no host is configured.
std::string serviceClockUrl(const std::filesystem::path& installDir, const std::string& regionSuffix);

// The years a service clock answer may name, in local time. An answer
// outside them is a broken clock, not the time: it would give record and
// archive names that packing never matches again.
inline constexpr int kEarliestServiceYear = 2000;
inline constexpr int kLatestServiceYear = 2100;

// GetServiceTime and the record time stamp.
//
// Thread-safety: const members may be called from any thread.
class ServiceClock
{
public:
    // `url` empty: the local clock only.
    ServiceClock(std::string url, HeadDateFunction head, std::shared_ptr<Clock> clock);
    // The URL asked for every stamp, so a login that changes the region
    // changes the clock's host too.
    ServiceClock(std::function<std::string()> urlSource, HeadDateFunction head, std::shared_ptr<Clock> clock);

    // Fills `outTime` with the service's time converted to local time, and
    // `outText` with it formatted by `format`; returns true. Without an
    // answer (no URL, no connection, another status, an unreadable Date or
    // one outside kEarliestServiceYear..kLatestServiceYear) it
    // fills `outTime` from the local clock, leaves `outText` empty and
    // returns false. Never fails otherwise.
    bool GetServiceTime(const std::string& format, RecordTime& outTime, std::string& outText) const;

    // The record time alone.
    RecordTime now() const;

private:
    std::function<std::string()> m_url;
    HeadDateFunction m_head;
    std::shared_ptr<Clock> m_clock;
};

} // namespace quorvane
