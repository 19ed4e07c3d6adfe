#pragma once
// Video page resolvers: turn the address of a page on one of six video sites
// into the addresses of its media streams, the way each site hands them out.
//
// Each site's resolution is split into fetch steps (the only network work,
// through a TextFetcher) and pure parse steps in namespace `video`, which
// take page and answer texts and never fail: a text that does not fit gives
// an empty id or no address. Every list a parse step returns is bounded.
//
// Thread-safety: free functions may be called from any thread; a
// VideoResolver belongs to one thread at a time. Resolution blocks its caller
// for every request it makes, one after another.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane
{

// The label of the first site named anywhere in `pageUrl`, testing "ku6",
// "letv", "youku", "tudou", "sina", "sohu" in that order; "" when none.
std::string SiteLabelOf(const std::string& pageUrl);

// Resolves `pageUrl` with the resolver of SiteLabelOf, reading the site hosts
// from Config/video_sites.xml under the working directory. The first stream
// address, or "" when none was found (no label, nothing fetched, nothing
// matched). Never throws.
std::string ResolveStreamAddress(const std::string& pageUrl);

// Base addresses ("http://host:port", no trailing slash) of one site's
// services; empty when the document names none.
struct VideoSiteHosts {
    std::string page;   // where the site's own pages live
    std::string info;   // player-information service
    std::string app;    // application service (per-id play addresses)
    std::string player; // play lists
    std::string file;   // stream files
};

struct VideoSites {
    VideoSiteHosts ku6, letv, youku, tudou, sina, sohu;
    // The hosts of a label; null for a label that is not a site's.
    const VideoSiteHosts* of(std::string_view label) const;
    VideoSiteHosts* of(std::string_view label)
    {
        return const_cast<VideoSiteHosts*>(static_cast<const VideoSites*>(this)->of(label));
    }
};

inline constexpr const char* kVideoSitesPath = "Config/video_sites.xml";

// Reads the document under the working directory, or the given file (a
// missing or unreadable one gives empty hosts).
VideoSites ReadVideoSites();
VideoSites ReadVideoSites(const std::filesystem::path& file);

// GETs `url` and returns the body with its line breaks removed, so that the
// lines are joined; "" when it could not be fetched, the server answered an
// error status, or the body exceeds 16 MiB. Time-outs are bounded (connect
// 5 s, no byte for 15 s, whole request 30 s).
std::string FetchText(const std::string& url);

// Answers are UTF-8 inside the program: the text with invalid sequences
// replaced.
std::string Utf8ToLocal(const std::string& text);

// Copies the text, replacing backslash sequences: "\u" and up to four
// following characters become the UTF-16 code unit their hexadecimal digits
// give (others among the four are skipped), in UTF-8; "\t", "\r", "\n", "\f"
// become the control characters; a backslash before anything else becomes
// that character.
std::string UnescapeJson(std::string_view text);

// Fetches one address; returns "" on failure.
using TextFetcher = std::function<std::string(const std::string& url)>;

namespace video
{

// No parse step returns more addresses than this.
inline constexpr std::size_t kMaxAddresses = 1024;
// The youku file id pieces and segment keys handled.
inline constexpr std::size_t kMaxYoukuPieces = 128;
inline constexpr std::size_t kMaxYoukuSegments = 128;
// Ids of one letv page that get their own requests.
inline constexpr std::size_t kMaxLetvIds = 8;

// The 68-character source alphabet of the youku file ids.
inline constexpr std::string_view kYoukuAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ/\\:._-1234567890";

std::string Ku6Id(const std::string& page);
std::vector<std::string> Ku6Addresses(const std::string& unescapedAnswer);

std::vector<std::string> LetvIds(const std::string& page);
// The play-information address in the answer of the app host, or "".
std::string LetvPlayInfoAddress(const std::string& appAnswer);
// The stream address of a play-information answer, or "".
std::string LetvStreamAddress(const std::string& playInfoAnswer);

std::string YoukuVideoId(const std::string& pageUrl);
// The mixed alphabet for a seed; "" when the seed leads outside the alphabet.
std::string YoukuMixAlphabet(int seed);
// The real file id of an encoded one ("12*3*..."), or "" when a piece does
// not index the alphabet.
std::string YoukuFileId(const std::string& encodedId, const std::string& mixedAlphabet);
// Millisecond time and random digits that tag one resolution's requests.
std::string YoukuSessionId();
// The stream address of every segment of a play list, segment 0 first.
std::vector<std::string> YoukuAddresses(const std::string& playList, const std::string& fileHost,
                                        const std::string& sessionId);

bool TudouIsAlbum(const std::string& pageUrl);
std::string TudouIid(const std::string& page);
std::string TudouVcode(const std::string& page);
std::vector<std::string> TudouAddresses(const std::string& answer);

// The id after the first "#" of the address; "" when it has none.
std::string SinaIdFromAddress(const std::string& pageUrl);
std::string SinaId(const std::string& page);
std::vector<std::string> SinaAddresses(const std::string& answer);

struct SohuInfo {
    std::string allot, prot, clipsUrl, su;
};
std::string SohuId(const std::string& page);
SohuInfo SohuParseInfo(const std::string& answer);
std::string SohuDispatchAddress(const SohuInfo& info);
// "" when the dispatch answer has fewer than four "|"-separated parts.
std::string SohuStreamAddress(const std::string& dispatchAnswer, const std::string& su);

} // namespace video

// One resolution: the resolvers of the six sites over one set of hosts and
// one fetcher. Each Resolve* call replaces the address list with what it
// found and returns the first address, or "".
class VideoResolver
{
public:
    explicit VideoResolver(VideoSites sites, TextFetcher fetch = FetchText);

    std::string ResolveKu6(const std::string& page);
    std::string ResolveLetv(const std::string& page);
    std::string ResolveYouku(const std::string& page);
    std::string ResolveTudou(const std::string& page);
    std::string ResolveSina(const std::string& page);
    std::string ResolveSohu(const std::string& page);

    // The resolver of a label ("ku6", ...); "" and an empty list for others.
    std::string Resolve(const std::string& label, const std::string& page);

    // Every address the last resolution found, in the order found.
    const std::vector<std::string>& addresses() const { return m_addresses; }

private:
    std::string first() const;
    std::vector<std::string> youkuFromVideoId(const std::string& videoId, bool requireFlv);

    VideoSites m_sites;
    TextFetcher m_fetch;
    std::vector<std::string> m_addresses;
};

} // namespace quorvane
