#include "measure/video_resolvers.h"

#include "common/codepage.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "config/xml_doc.h"
#include "net/http_request.h"

#include <boost/regex.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <exception>
#include <optional>
#include <random>
#include <utility>

namespace quorvane
{

namespace
{

constexpr std::array<const char*, 6> kLabels = {"ku6", "letv", "youku", "tudou", "sina", "sohu"};

// The whole first match anywhere in the text. Site pages are outside input:
// a pattern that gives up on them (Boost's complexity limit) counts as no
// match rather than as an error.
bool searchWhole(const std::string& text, const boost::regex& pattern, std::string& match)
{
    try {
        boost::smatch m;
        if (!boost::regex_search(text, m, pattern))
            return false;
        match = m.str(0);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

const boost::regex& perl(const char* pattern)
{
    // Built once per pattern text; the patterns are literals, so the address
    // is a stable key.
    thread_local std::deque<std::pair<const char*, boost::regex>> cache;
    for (const auto& [key, re] : cache)
        if (key == pattern)
            return re;
    cache.emplace_back(pattern, boost::regex(pattern, boost::regex::perl));
    return cache.back().second;
}

// Text between the first `open` at or after `from` and the next `close` after
// it; "" when either is missing.
std::string between(const std::string& text, char open, char close, std::size_t from = 0)
{
    const auto a = text.find(open, from);
    if (a == std::string::npos)
        return {};
    const auto b = text.find(close, a + 1);
    if (b == std::string::npos)
        return {};
    return text.substr(a + 1, b - a - 1);
}

std::string after(const std::string& text, char marker)
{
    const auto at = text.find(marker);
    return at == std::string::npos ? std::string() : text.substr(at + 1);
}

std::string withoutChars(std::string text, std::string_view chars)
{
    std::erase_if(text, [chars](char c) { return chars.find(c) != std::string_view::npos; });
    return text;
}

std::string withoutBlanks(std::string text)
{
    return withoutChars(std::move(text), " \t\r\n\f\v");
}

void push(std::vector<std::string>& list, std::string address)
{
    if (!address.empty() && list.size() < video::kMaxAddresses)
        list.push_back(std::move(address));
}

struct Quoted {
    std::string text;  // between the quotes
    std::size_t close; // where the closing quote stands
};

// The next double-quoted text at or after `from`.
std::optional<Quoted> nextQuoted(const std::string& text, std::size_t from)
{
    const auto open = text.find('"', from);
    if (open == std::string::npos)
        return std::nullopt;
    const auto close = text.find('"', open + 1);
    if (close == std::string::npos)
        return std::nullopt;
    return Quoted{text.substr(open + 1, close - open - 1), close};
}

// Every text from a `start` hit up to the next `end` after it. The next
// search begins one character after the previous hit, so an address inside
// another one is found too, as the sites' own players found them.
std::vector<std::string> cutFromHits(const std::string& text, std::string_view start, std::string_view end)
{
    std::vector<std::string> list;
    std::size_t from = 1;
    while (list.size() < video::kMaxAddresses) {
        const auto hit = text.find(start, from);
        if (hit == std::string::npos)
            break;
        const auto stop = text.find(end, hit + start.size());
        if (stop == std::string::npos)
            break;
        push(list, text.substr(hit, stop - hit));
        from = hit + 1;
    }
    return list;
}

// Bytes of the character that starts the text: a lead byte and the
// continuation bytes that follow it (one for a stray byte).
std::size_t utf8Length(std::string_view text)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    std::size_t n = 1;
    while (n < want && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        ++n;
    return n;
}

void appendUtf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string trimmedBase(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    while (!text.empty() && text.back() == '/')
        text.pop_back();
    if (!text.empty() && text.find("://") == std::string::npos)
        text = "http://" + text;
    return text;
}

} // namespace

std::string SiteLabelOf(const std::string& pageUrl)
{
    for (const char* label : kLabels)
        if (pageUrl.find(label) != std::string::npos)
            return label;
    return {};
}

std::string ResolveStreamAddress(const std::string& pageUrl)
{
    try {
        const std::string label = SiteLabelOf(pageUrl);
        if (label.empty())
            return {};
        VideoResolver resolver(ReadVideoSites());
        return resolver.Resolve(label, pageUrl);
    } catch (const std::exception&) {
        return {};
    }
}

const VideoSiteHosts* VideoSites::of(std::string_view label) const
{
    const std::array<std::pair<std::string_view, const VideoSiteHosts*>, 6> sites = {
        {{"ku6", &ku6}, {"letv", &letv}, {"youku", &youku}, {"tudou", &tudou}, {"sina", &sina}, {"sohu", &sohu}}};
    for (const auto& [name, hosts] : sites)
        if (name == label)
            return hosts;
    return nullptr;
}

VideoSites ReadVideoSites()
{
    return ReadVideoSites(programPath(kVideoSitesPath));
}

VideoSites ReadVideoSites(const std::filesystem::path& file)
{
    VideoSites sites;
    CXmlDoc doc;
    if (!doc.Load(file.string()))
        return sites;
    while (doc.FindChildElem("site")) {
        VideoSiteHosts* hosts = sites.of(doc.GetChildAttrib("label"));
        if (!doc.IntoElem())
            break;
        while (hosts && doc.FindChildElem("host")) {
            const std::string role = doc.GetChildAttrib("role");
            std::string* slot = role == "page"     ? &hosts->page
                                : role == "info"   ? &hosts->info
                                : role == "app"    ? &hosts->app
                                : role == "player" ? &hosts->player
                                : role == "file"   ? &hosts->file
                                                   : nullptr;
            if (slot)
                *slot = trimmedBase(doc.GetChildData());
        }
        doc.OutOfElem();
    }
    return sites;
}

std::string FetchText(const std::string& url)
{
    HttpOptions options;
    options.connectTimeout = std::chrono::milliseconds(5000);
    options.stallTimeout = std::chrono::milliseconds(15000);
    options.totalTimeout = std::chrono::milliseconds(30000);
    // Site pages run to a few hundred kilobytes; this leaves room for the
    // largest without letting a runaway answer take the memory.
    options.maxAnswerBytes = 16u << 20;
    // An error page is no page: its links must not pass for streams.
    options.errorStatusFails = true;
    std::string body;
    if (url.empty() || HttpRequest("GET", url, {}, body, options) != kHttpAnswered)
        return {};
    return withoutChars(std::move(body), "\r\n");
}

std::string Utf8ToLocal(const std::string& text)
{
    return sanitizeUtf8(text);
}

std::string UnescapeJson(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::uint32_t pendingHigh = 0; // a high surrogate waiting for its low half
    auto flushHigh = [&] {
        if (pendingHigh)
            appendUtf8(out, 0xFFFD);
        pendingHigh = 0;
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\\') {
            flushHigh();
            out += c;
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            // A backslash that ends the text escapes nothing.
            ++i;
            continue;
        }
        const char e = text[i + 1];
        if (e != 'u') {
            flushHigh();
            switch (e) {
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 'f':
                out += '\f';
                break;
            default:
                out += e;
            }
            i += 2;
            continue;
        }
        // Four characters, not bytes, so that a skipped character is never
        // cut in half; a cut-short escape at the end of the text takes what
        // is there instead of reading past it.
        std::uint32_t unit = 0;
        i += 2;
        for (int n = 0; n < 4 && i < text.size(); ++n) {
            const char h = text[i];
            if (h >= '0' && h <= '9')
                unit = unit * 16 + static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f')
                unit = unit * 16 + static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                unit = unit * 16 + static_cast<std::uint32_t>(h - 'A' + 10);
            i += utf8Length(text.substr(i));
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            flushHigh();
            pendingHigh = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (pendingHigh)
                appendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
            else
                appendUtf8(out, 0xFFFD);
            pendingHigh = 0;
        } else {
            flushHigh();
            // A NUL would end the text for every C interface it reaches.
            if (unit != 0)
                appendUtf8(out, unit);
        }
    }
    flushHigh();
    return out;
}

namespace video
{

std::string Ku6Id(const std::string& page)
{
    std::string m;
    if (searchWhole(page, perl(R"re(vid\s*:\s*'([0-9a-zA-Z\.\-\_]+)')re"), m))
        return between(m, '\'', '\'');
    if (searchWhole(page, perl(R"re("vid\s*"\s*:\s*"([0-9a-zA-Z\.\-\_]+)")re"), m))
        return between(m, '"', '"', m.find(':'));
    if (searchWhole(page, perl(R"re(vid\s*=\s*([0-9a-zA-Z\.\-\_]+))re"), m))
        return after(m, '=');
    return {};
}

std::vector<std::string> Ku6Addresses(const std::string& unescapedAnswer)
{
    const std::string& text = unescapedAnswer;
    std::vector<std::string> list;
    std::size_t from = 1;
    while (list.size() < kMaxAddresses) {
        const auto hit = text.find("\"f\"", from);
        if (hit == std::string::npos)
            break;
        const auto value = nextQuoted(text, hit + 3);
        if (!value)
            break;
        push(list, value->text);
        from = hit + 1;
    }
    return list;
}

std::vector<std::string> LetvIds(const std::string& page)
{
    std::vector<std::string> ids;
    std::string m;
    if (searchWhole(page, perl(R"re(vid\s*:\s*(\d+)\s*,)re"), m)) {
        // Blanks around the digits would only break the request.
        ids.push_back(withoutBlanks(between(m, ':', ',')));
    } else if (searchWhole(page, perl(R"re(vid\s*=\s*(\d+)\s*)re"), m)) {
        // The whole number: its last digit belongs to the id.
        ids.push_back(withoutBlanks(after(m, '=')));
    } else if (searchWhole(page, perl(R"re(xid\s*:\s*(\d+)\s*)re"), m)) {
        ids.push_back(withoutBlanks(after(m, ':')));
    } else if (searchWhole(page, perl(R"re(pcid\s*:\s*\[\s*(.*)\s*\])re"), m)) {
        const std::string list = m.substr(0, m.find(']') + 1);
        std::size_t from = 0;
        while (ids.size() < kMaxLetvIds) {
            const auto value = nextQuoted(list, from);
            if (!value)
                break;
            ids.push_back(value->text);
            from = value->close + 1;
        }
    }
    std::erase_if(ids, [](const std::string& id) { return id.empty(); });
    return ids;
}

std::string LetvPlayInfoAddress(const std::string& appAnswer)
{
    std::string m;
    if (!searchWhole(appAnswer, perl(R"re("\s*url\s*":\s*"\s*([^"]+)\s*")re"), m))
        return {};
    m = withoutChars(std::move(m), "\\");
    return between(m, '"', '"', m.find(':'));
}

std::string LetvStreamAddress(const std::string& playInfoAnswer)
{
    if (playInfoAnswer.find("location") == std::string::npos)
        return {};
    const auto start = playInfoAnswer.find("http:", 1);
    if (start == std::string::npos)
        return {};
    const auto stop = playInfoAnswer.find('"', start);
    if (stop == std::string::npos)
        return {};
    return withoutChars(playInfoAnswer.substr(start, stop - start), "\\");
}

std::string YoukuVideoId(const std::string& pageUrl)
{
    const auto at = pageUrl.find("id_");
    if (at == std::string::npos)
        return {};
    const auto dot = pageUrl.find('.', at + 3);
    return pageUrl.substr(at + 3, dot == std::string::npos ? std::string::npos : dot - at - 3);
}

std::string YoukuMixAlphabet(int seed)
{
    std::string source(kYoukuAlphabet);
    std::string mixed;
    std::int32_t s = seed;
    for (std::size_t step = 0; step < kYoukuAlphabet.size(); ++step) {
        // The sites' players compute in 32-bit ints that wrap; unsigned
        // arithmetic gives the same bits without undefined overflow.
        s = static_cast<std::int32_t>(static_cast<std::uint32_t>(s) * 211u + 30031u) % 65536;
        const float x = static_cast<float>(s);
        const float quotient = static_cast<float>(static_cast<float>(source.size()) * x / 65536.0);
        const double index = std::floor(quotient);
        // Only a negative seed (never one a site sends) lands outside.
        if (index < 0 || index >= static_cast<double>(source.size()))
            return {};
        const auto at = static_cast<std::size_t>(index);
        mixed += source[at];
        source.erase(at, 1);
    }
    return mixed;
}

std::string YoukuFileId(const std::string& encodedId, const std::string& mixedAlphabet)
{
    std::size_t pieces = 0;
    for (std::size_t at = encodedId.find('*', 1); at != std::string::npos; at = encodedId.find('*', at + 1))
        ++pieces;
    pieces = std::min(pieces, kMaxYoukuPieces);
    std::string id;
    std::size_t start = 0;
    for (std::size_t n = 0; n < pieces; ++n) {
        const auto star = encodedId.find('*', start);
        if (star == std::string::npos)
            break;
        const int index = parseLeadingInt(std::string_view(encodedId).substr(start, star - start));
        if (index < 0 || static_cast<std::size_t>(index) >= mixedAlphabet.size())
            return {};
        id += mixedAlphabet[static_cast<std::size_t>(index)];
        start = star + 1;
    }
    return id;
}

std::string YoukuSessionId()
{
    std::minstd_rand random(static_cast<unsigned>(std::time(nullptr)));
    const int r1 = static_cast<int>(random() % 999 + 1000);
    const int r2 = static_cast<int>(random() % 9000 + 1000);
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    char text[64];
    std::snprintf(text, sizeof text, "%lld%d%d", ms, r1, r2);
    return text;
}

std::vector<std::string> YoukuAddresses(const std::string& playList, const std::string& fileHost,
                                        const std::string& sessionId)
{
    constexpr auto npos = std::string::npos;
    const auto segs = playList.find("segs");
    const auto flv = segs == npos ? npos : playList.find("flv", segs);
    const auto close = flv == npos ? npos : playList.find(']', flv);
    if (close == npos || close < flv + 6)
        return {};
    const std::string segments = playList.substr(flv + 6, close - flv - 6);
    std::size_t count = 0;
    for (auto at = segments.find("no"); at != npos; at = segments.find("no", at + 2))
        ++count;
    count = std::min(count, kMaxYoukuSegments);

    const auto ids = playList.find("streamfileids");
    const auto idFlv = ids == npos ? npos : playList.find("flv", ids);
    const auto quote = idFlv == npos ? npos : playList.find('"', idFlv + 8);
    if (quote == npos)
        return {};
    const std::string encoded = playList.substr(idFlv + 6, quote - idFlv - 6);

    const auto seedAt = playList.find("seed");
    const auto comma = seedAt == npos ? npos : playList.find(',', seedAt);
    if (comma == npos)
        return {};
    const int seed =
        comma > seedAt + 6 ? parseLeadingInt(std::string_view(playList).substr(seedAt + 6, comma - seedAt - 6)) : 0;

    const std::string fileId = YoukuFileId(encoded, YoukuMixAlphabet(seed));
    if (fileId.empty())
        return {};

    std::vector<std::string> keys;
    for (auto k = segments.find("\"k\""); k != npos && keys.size() < count; k = segments.find("\"k\"", k)) {
        const auto end = segments.find(',', k + 5);
        if (end == npos)
            break;
        keys.push_back(end > k + 5 ? segments.substr(k + 5, end - k - 6) : std::string());
        k = end;
    }

    std::vector<std::string> list;
    for (std::size_t n = 0; n < count; ++n) {
        const std::string number = (n < 10 ? "0" : "") + std::to_string(n);
        const std::string segmentId = fileId.substr(0, std::min<std::size_t>(8, fileId.size())) + number +
                                      fileId.substr(std::min<std::size_t>(10, fileId.size()));
        push(list, fileHost + "/player/getFlvPath/sid/" + sessionId + "_" + number + "/st/flv/fileid/" + segmentId +
                       "?K=" + (n < keys.size() ? keys[n] : std::string()));
    }
    return list;
}

bool TudouIsAlbum(const std::string& pageUrl)
{
    return pageUrl.find("albumplay") != std::string::npos;
}

std::string TudouIid(const std::string& page)
{
    std::string m;
    return searchWhole(page, perl(R"re(iid\s*:\s*(\d+))re"), m) ? withoutBlanks(after(m, ':')) : std::string();
}

std::string TudouVcode(const std::string& page)
{
    std::string m;
    return searchWhole(page, perl(R"re(vcode\s*:\s*'(.*)')re"), m) ? between(m, '\'', '\'') : std::string();
}

std::vector<std::string> TudouAddresses(const std::string& answer)
{
    std::string text;
    text.reserve(answer.size());
    for (std::size_t i = 0; i < answer.size();) {
        if (answer.compare(i, 5, "&amp;") == 0) {
            text += '&';
            i += 5;
        } else {
            text += answer[i++];
        }
    }
    return cutFromHits(text, "http", "</f>");
}

std::string SinaIdFromAddress(const std::string& pageUrl)
{
    return after(pageUrl, '#');
}

std::string SinaId(const std::string& page)
{
    std::string m;
    return searchWhole(page, perl(R"re(vid\s*:\s*('.*'))re"), m) ? between(m, '\'', '\'') : std::string();
}

std::vector<std::string> SinaAddresses(const std::string& answer)
{
    return cutFromHits(answer, "http", "]");
}

std::string SohuId(const std::string& page)
{
    std::string m;
    // The digits between the quotes, however many blanks surround the "=".
    if (searchWhole(page, perl(R"re(\s*vid\s*=\s*'\d+'\s*;)re"), m))
        return between(m, '\'', '\'');
    if (searchWhole(page, perl(R"re(\s*vid\s*=\s*("\d+")\s*\;\s*)re"), m))
        return between(m, '"', '"');
    return {};
}

namespace
{

// The value inside a match: from `offset` characters after the first
// `start` marker to `drop` characters before the first `end` marker, both
// ends inclusive.
std::string sohuValue(const std::string& answer, const char* pattern, char start, std::size_t offset, char end,
                      std::size_t drop)
{
    std::string m;
    if (!searchWhole(answer, perl(pattern), m))
        return {};
    const auto s = m.find(start);
    const auto e = m.find(end);
    if (s == std::string::npos || e == std::string::npos || e < drop)
        return {};
    const std::size_t from = s + offset;
    const std::size_t to = e - drop;
    if (to < from || to >= m.size())
        return {};
    return m.substr(from, to - from + 1);
}

} // namespace

SohuInfo SohuParseInfo(const std::string& answer)
{
    SohuInfo info;
    info.allot = sohuValue(answer, R"re(\s*"allot":"\d+\.\d+\.\d+\.\d+"\,)re", ':', 2, ',', 2);
    info.prot = sohuValue(answer, R"re(\s*"prot":\d+\,)re", ':', 1, ',', 1);
    info.clipsUrl = sohuValue(answer, R"re(\s*"clipsURL":\[*.*\],"version")re", '[', 2, ']', 2);
    info.su = sohuValue(answer, R"re(\s*"su":\[*.*\],"eP")re", '[', 2, ']', 2);
    return info;
}

std::string SohuDispatchAddress(const SohuInfo& info)
{
    if (info.allot.empty())
        return {};
    return "http://" + info.allot + "/?prot=" + info.prot + "&file=" + info.clipsUrl + "&new=" + info.su;
}

std::string SohuStreamAddress(const std::string& dispatchAnswer, const std::string& su)
{
    std::vector<std::string_view> parts;
    std::string_view rest(dispatchAnswer);
    while (parts.size() < 4) {
        const auto bar = rest.find('|');
        parts.push_back(rest.substr(0, bar));
        if (bar == std::string_view::npos)
            break;
        rest.remove_prefix(bar + 1);
    }
    if (parts.size() < 4)
        return {};
    return std::string(parts[0]) + su + "?key=" + std::string(parts[3]);
}

} // namespace video

VideoResolver::VideoResolver(VideoSites sites, TextFetcher fetch) : m_sites(std::move(sites)), m_fetch(std::move(fetch))
{
}

std::string VideoResolver::first() const
{
    return m_addresses.empty() ? std::string() : m_addresses.front();
}

std::string VideoResolver::ResolveKu6(const std::string& page)
{
    m_addresses.clear();
    const std::string id = UnescapeJson(video::Ku6Id(m_fetch(page)));
    if (id.empty())
        return {};
    std::string answer = m_fetch(m_sites.ku6.info + "/fetch.htm?t=getVideo4Player&vid=" + id);
    if (!answer.empty())
        answer = UnescapeJson(answer);
    m_addresses = video::Ku6Addresses(answer);
    return first();
}

std::string VideoResolver::ResolveLetv(const std::string& page)
{
    m_addresses.clear();
    for (const auto& id : video::LetvIds(m_fetch(page))) {
        const std::string playInfo =
            video::LetvPlayInfoAddress(Utf8ToLocal(m_fetch(m_sites.letv.app + "/v.php?id=" + id)));
        if (playInfo.empty())
            continue;
        push(m_addresses, video::LetvStreamAddress(m_fetch(playInfo)));
    }
    return first();
}

std::vector<std::string> VideoResolver::youkuFromVideoId(const std::string& videoId, bool requireFlv)
{
    if (videoId.empty())
        return {};
    const std::string playList = m_fetch(m_sites.youku.player + "/player/getPlayList/VideoIDS/" + videoId);
    if (requireFlv && playList.find("flv") == std::string::npos)
        return {};
    return video::YoukuAddresses(playList, m_sites.youku.file, video::YoukuSessionId());
}

std::string VideoResolver::ResolveYouku(const std::string& page)
{
    m_addresses = youkuFromVideoId(video::YoukuVideoId(page), false);
    return first();
}

std::string VideoResolver::ResolveTudou(const std::string& page)
{
    m_addresses.clear();
    if (video::TudouIsAlbum(page)) {
        m_addresses = youkuFromVideoId(video::TudouVcode(m_fetch(page)), true);
        return first();
    }
    const std::string iid = video::TudouIid(m_fetch(page));
    if (iid.empty())
        return {};
    m_addresses = video::TudouAddresses(m_fetch(m_sites.tudou.info + "/v?vn=02&st=1%2C2&it=" + iid));
    return first();
}

std::string VideoResolver::ResolveSina(const std::string& page)
{
    m_addresses.clear();
    const std::string id =
        page.find('#') != std::string::npos ? video::SinaIdFromAddress(page) : video::SinaId(m_fetch(page));
    if (id.empty())
        return {};
    m_addresses = video::SinaAddresses(Utf8ToLocal(m_fetch(m_sites.sina.info + "/v_play.php?vid=" + id)));
    return first();
}

std::string VideoResolver::ResolveSohu(const std::string& page)
{
    m_addresses.clear();
    const std::string id = video::SohuId(m_fetch(page));
    if (id.empty())
        return {};
    const video::SohuInfo info =
        video::SohuParseInfo(Utf8ToLocal(m_fetch(m_sites.sohu.info + "/videinfo.jhtml?m=viewtv&vid=" + id)));
    const std::string dispatch = video::SohuDispatchAddress(info);
    if (dispatch.empty())
        return {};
    push(m_addresses, video::SohuStreamAddress(m_fetch(dispatch), info.su));
    return first();
}

std::string VideoResolver::Resolve(const std::string& label, const std::string& page)
{
    if (label == "ku6")
        return ResolveKu6(page);
    if (label == "letv")
        return ResolveLetv(page);
    if (label == "youku")
        return ResolveYouku(page);
    if (label == "tudou")
        return ResolveTudou(page);
    if (label == "sina")
        return ResolveSina(page);
    if (label == "sohu")
        return ResolveSohu(page);
    m_addresses.clear();
    return {};
}

} // namespace quorvane
