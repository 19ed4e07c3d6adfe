#include "results/service_time.h"

#include "net/http_request.h"

#include "common/cipher.h"
#include "common/property_file.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <utility>

namespace quorvane
{

namespace
{

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int monthIndex(const char* name)
{
    for (std::size_t i = 0; i < kMonths.size(); ++i) {
        if (std::string_view(name) == kMonths[i])
            return static_cast<int>(i) + 1;
    }
    return 0;
}

std::optional<std::chrono::system_clock::time_point> utcInstant(int year, int month, int day, int hour, int minute,
                                                                int second)
{
    using namespace std::chrono;
    // The platform clock counts nanoseconds in 64 bits (about 1678 to 2262):
    // a year far outside would overflow it rather than name an instant.
    if (year < 1900 || year > 2200)
        return std::nullopt;
    const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                              std::chrono::day(static_cast<unsigned>(day))};
    // Leap seconds (60) are accepted by the formats but folded into the next
    // second, as the platform clock would.
    if (!date.ok() || hour > 23 || minute > 59 || second > 60 || hour < 0 || minute < 0 || second < 0)
        return std::nullopt;
    return sys_days(date) + hours(hour) + minutes(minute) + seconds(second);
}

RecordTime fromTm(const std::tm& t)
{
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

// Daylight saving left to mktime, which knows the zone's rules.
std::tm toTm(const RecordTime& time)
{
    std::tm t{};
    t.tm_year = time.year - 1900;
    t.tm_mon = time.month - 1;
    t.tm_mday = time.day;
    t.tm_hour = time.hour;
    t.tm_min = time.minute;
    t.tm_sec = time.second;
    t.tm_isdst = -1;
    return t;
}

} // namespace

std::string formatStamp(const RecordTime& t)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

std::string formatTime(const RecordTime& time, const std::string& format)
{
    std::tm t = toTm(time);
    // Weekday and day of the year for %a, %j and the like.
    std::tm copy = t;
    std::mktime(&copy);
    t.tm_wday = copy.tm_wday;
    t.tm_yday = copy.tm_yday;
    char buf[256];
    const std::size_t n = std::strftime(buf, sizeof buf, format.c_str(), &t);
    return std::string(buf, n);
}

long long localEpochSeconds(const RecordTime& time)
{
    std::tm t = toTm(time);
    return static_cast<long long>(std::mktime(&t));
}

RecordTime localTimeOf(std::chrono::system_clock::time_point instant)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(instant);
    std::tm t{};
    localtime_r(&seconds, &t);
    return fromTm(t);
}

RecordTime addSeconds(const RecordTime& time, long long seconds)
{
    using namespace std::chrono;
    const auto base = utcInstant(time.year, time.month, time.day, time.hour, time.minute, time.second);
    if (!base)
        return time;
    const auto later = *base + std::chrono::seconds(seconds);
    const auto days = floor<std::chrono::days>(later);
    const year_month_day date{days};
    const hh_mm_ss clock{later - days};
    return {static_cast<int>(date.year()),
            static_cast<int>(static_cast<unsigned>(date.month())),
            static_cast<int>(static_cast<unsigned>(date.day())),
            static_cast<int>(clock.hours().count()),
            static_cast<int>(clock.minutes().count()),
            static_cast<int>(clock.seconds().count())};
}

std::optional<std::chrono::system_clock::time_point> parseHttpDate(std::string_view text)
{
    const std::string s(text.substr(0, 128));
    char weekday[16] = {};
    char month[4] = {};
    char zone[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    int used = 0;
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    if (std::sscanf(s.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3s%n", weekday, &day, month, &year, &hour,
                    &minute, &second, zone, &used) == 8 &&
        std::string_view(zone) == "GMT")
        return utcInstant(year, monthIndex(month), day, hour, minute, second);
    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
    if (std::sscanf(s.c_str(), "%15[A-Za-z], %2d-%3[A-Za-z]-%2d %2d:%2d:%2d %3s%n", weekday, &day, month, &year, &hour,
                    &minute, &second, zone, &used) == 8 &&
        std::string_view(zone) == "GMT")
        return utcInstant(year < 70 ? 2000 + year : 1900 + year, monthIndex(month), day, hour, minute, second);
    // asctime: "Sun Nov  6 08:49:37 1994"
    if (std::sscanf(s.c_str(), "%3[A-Za-z] %3[A-Za-z] %2d %2d:%2d:%2d %4d%n", weekday, month, &day, &hour, &minute,
                    &second, &year, &used) == 7)
        return utcInstant(year, monthIndex(month), day, hour, minute, second);
    return std::nullopt;
}

std::optional<std::string> headDate(const std::string& url)
{
    HttpOptions options;
    options.connectTimeout = std::chrono::milliseconds(3000);
    options.stallTimeout = std::chrono::milliseconds(5000);
    options.totalTimeout = std::chrono::milliseconds(8000);
    HttpHeadAnswer answer;
    if (HttpHead(url, answer, options) != kHttpAnswered || answer.status != 200)
        return std::nullopt;
    auto date = answer.header("Date");
    if (!date || date->empty())
        return std::nullopt;
    return date;
}

std::string serviceClockUrl(const std::filesystem::path& installDir, const std::string& regionSuffix)
{
    PropertyFile config((installDir / "conf" / "config.properties").string());
    config.load();
    const std::string suffix = regionSuffix.empty() ? "" : "_" + regionSuffix;
    const std::string hostCipher = config.get("update_server_url" + suffix);
    const std::string port = config.get("web_project_port" + suffix);
    if (hostCipher == PropertyFile::kNull)
        return {};
    const std::string host = decryptValue(hostCipher, kValueKey);
    if (host.empty())
        return {};
    std::string url = "http://" + host;
    if (port != PropertyFile::kNull && !port.empty())
        url += ":" + port;
    return url + "/speed/";
}

ServiceClock::ServiceClock(std::string url, HeadDateFunction head, std::shared_ptr<Clock> clock)
    : ServiceClock([url = std::move(url)] { return url; }, std::move(head), std::move(clock))
{
}

ServiceClock::ServiceClock(std::function<std::string()> urlSource, HeadDateFunction head, std::shared_ptr<Clock> clock)
    : m_url(std::move(urlSource)), m_head(std::move(head)), m_clock(clock ? std::move(clock) : systemClock())
{
}

bool ServiceClock::GetServiceTime(const std::string& format, RecordTime& outTime, std::string& outText) const
{
    const std::string url = m_url ? m_url() : std::string();
    if (!url.empty() && m_head) {
        if (const auto date = m_head(url)) {
            if (const auto instant = parseHttpDate(*date)) {
                const RecordTime service = localTimeOf(*instant);
                if (service.year >= kEarliestServiceYear && service.year <= kLatestServiceYear) {
                    outTime = service;
                    outText = formatTime(outTime, format);
                    return true;
                }
            }
        }
    }
    outTime = localTimeOf(m_clock->wallNow());
    outText.clear();
    return false;
}

RecordTime ServiceClock::now() const
{
    RecordTime time;
    std::string text;
    GetServiceTime("", time, text);
    return time;
}

} // namespace quorvane
