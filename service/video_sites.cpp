#include "video_sites.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <utility>

namespace refsvc
{

namespace
{

constexpr const char* kJson = "application/json; charset=UTF-8";
constexpr const char* kXml = "text/xml; charset=UTF-8";
constexpr const char* kHtml = "text/html; charset=UTF-8";
constexpr const char* kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ/\\:._-1234567890";
// Youku file ids have this many significant characters; the rest pads.
constexpr std::size_t kSignificant = 128;
constexpr std::size_t kFileIdLength = 136;

std::uint64_t fnv(const std::string& text)
{
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string hex(std::uint64_t v, std::size_t digits)
{
    static const char d[] = "0123456789abcdef";
    std::string out(digits, '0');
    for (std::size_t i = digits; i-- > 0; v >>= 4)
        out[i] = d[v & 15];
    return out;
}

std::string digitsOf(const std::string& text)
{
    std::string out;
    for (char c : text)
        if (c >= '0' && c <= '9')
            out += c;
    return out;
}

// The last path segment without its extension, in the id characters.
std::string nameOf(const std::string& path)
{
    std::string p = path;
    while (!p.empty() && p.back() == '/')
        p.pop_back();
    std::string name = p.substr(p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1);
    name = name.substr(0, name.find('.'));
    std::erase_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_'; });
    return name;
}

// Script and markup around the part a resolver looks for, all on one line
// as the sites sent it, some hundred kilobytes of it.
std::string filler(const std::string& seed, std::size_t pieces)
{
    std::string out;
    std::uint64_t h = fnv(seed);
    for (std::size_t i = 0; i < pieces; ++i) {
        h = h * 6364136223846793005ull + 1442695040888963407ull;
        out += "<div class=\"slot s" + std::to_string(i) + "\" data-w=\"" + hex(h, 8) +
               "\"><span>\xe6\xb5\x8b\xe8\xaf\x95 " + std::to_string(h % 1000) + "</span></div><script>window._q" +
               std::to_string(i) + "={\"w\":" + std::to_string(h % 97) + ",\"t\":\"\\u6d4b\\u8bd5\"};</script>";
    }
    return out;
}

std::string htmlPage(const std::string& title, const std::string& seed, const std::string& script)
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title + "</title></head><body>" +
           filler(seed, 700) + "<script type=\"text/javascript\">" + script + "</script>" + filler(seed + "/", 700) +
           "</body></html>";
}

SiteAnswer notFound()
{
    return {404, "text/plain; charset=UTF-8", "not found\n", {}};
}

SiteAnswer json(std::string body)
{
    return {200, kJson, std::move(body), {}};
}

bool plainId(const std::string& id)
{
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
}

std::string jsonSlashes(const std::string& url)
{
    std::string out;
    for (char c : url) {
        if (c == '/')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

VideoSiteStubs::VideoSiteStubs(std::string streamBase, std::string serviceBase, std::string dispatchHost)
    : m_streamBase(std::move(streamBase)), m_serviceBase(std::move(serviceBase)),
      m_dispatchHost(std::move(dispatchHost))
{
}

std::string VideoSiteStubs::stream(const std::string& site, const std::string& id, int part) const
{
    return m_streamBase + "/video/sample.mp4?site=" + site + "&id=" + id + "&part=" + std::to_string(part);
}

SiteAnswer VideoSiteStubs::page(const std::string& site, const std::string& path) const
{
    const std::string name = nameOf(path);
    const std::string digits = digitsOf(name);
    auto has = [&path](const char* word) { return path.find(word) != std::string::npos; };
    std::string script;
    if (site == "ku6") {
        if (name.empty())
            return notFound();
        script = has("json/") ? "var VideoInfo={\"title\":\"\\u6d4b\\u8bd5\",\"vid\" : \"" + name + "\",\"time\":120};"
                 : has("flash/") ? "var flashvars='ver=2&vid=" + name + "&auto=1';"
                                 : "var VideoInfo = { title: '\\u6d4b\\u8bd5', vid: '" + name + "', time: 120 };";
    } else if (site == "letv") {
        if (digits.empty())
            return notFound();
        const std::string next = std::to_string(std::stoull(digits.substr(0, 15)) + 1);
        script = has("pcid/") ? "var __INFO__={pcid: [\"9" + digits + "\",\"" + digits + "\",\"" + next +
                                    "\"], title:'\\u6d4b\\u8bd5'};"
                 : has("xid/") ? "var __INFO__={xid: " + digits + " ,title:'x'};"
                 : has("eq/")  ? "var flashvars = 'vid = " + digits + " &mmsid=1';"
                              // A line break inside: the client joins the lines.
                              : "var __INFO__={pid:7,vid:\n" + digits + ",title:'\\u6d4b\\u8bd5'};";
    } else if (site == "youku") {
        if (path.find("id_") == std::string::npos)
            return notFound();
        script = "var videoId2='" + name + "';";
    } else if (site == "tudou") {
        if (has("albumplay/")) {
            if (name.empty())
                return notFound();
            script = "var pageConfig={lid:0, vcode: '" + name + "', title:'\\u6d4b\\u8bd5',kw:'a'};";
        } else {
            if (digits.empty())
                return notFound();
            script = "var pageConfig={lid:0,\n iid: " + digits + ",title:'x'};";
        }
    } else if (site == "sina") {
        if (digits.empty())
            return notFound();
        script = "$SCOPE['video']={title:'\\u6d4b\\u8bd5',vid:'" + digits + "',pic:'a.jpg'};";
    } else if (site == "sohu") {
        if (digits.empty())
            return notFound();
        script = has("dq/") ? "var vid=\"" + digits + "\";var pid=\"7\";" : "var vid = '" + digits + "';var pid='7';";
    } else {
        return notFound();
    }
    return {200, kHtml, htmlPage(site + " " + name, site + path, script), {}};
}

SiteAnswer VideoSiteStubs::ku6Info(const std::string& vid) const
{
    if (!plainId(vid))
        return json("{\"data\":{},\"status\":0,\"msg\":\"\\u89c6\\u9891\\u4e0d\\u5b58\\u5728\"}");
    return json("{\"data\":{\"t\":\"\\u6d4b\\u8bd5\\u89c6\\u9891 \\\"" + vid + "\\\"\",\"f\":\"" +
                jsonSlashes(stream("ku6", vid, 1)) + "\",\"vtime\":\"120\",\"bigpicpath\":\"" +
                jsonSlashes(m_streamBase + "/www/") + "\",\"f2\":\"" + jsonSlashes(stream("ku6", vid, 2)) +
                "\"},\"status\":1}");
}

SiteAnswer VideoSiteStubs::letvApp(const std::string& id) const
{
    if (digitsOf(id) != id || id.empty() || id[0] == '9')
        return json("{\"statuscode\":\"1003\",\"msg\":\"\\u89c6\\u9891\\u4e0d\\u5b58\\u5728\"}");
    return json("{\"statuscode\":\"1001\",\"playurl\":{\"title\":\"\\u6d4b\\u8bd5\",\"duration\":120,\"url\":\"" +
                jsonSlashes(m_serviceBase + "/letv/playinfo?id=" + id + "&tm=1367884800") + "\",\"pic\":\"x\"}}");
}

SiteAnswer VideoSiteStubs::letvPlayInfo(const std::string& id) const
{
    if (!plainId(id))
        return notFound();
    return json("{\"status\":\"200\",\"nodelist\":[{\"gone\":0,\"name\":\"\\u7535\\u4fe1\",\"location\":\"" +
                jsonSlashes(stream("letv", id, 1)) + "\"},{\"gone\":0,\"location\":\"" +
                jsonSlashes(stream("letv", id, 2)) + "\"}]}");
}

std::string VideoSiteStubs::mixAlphabet(int seed)
{
    std::string source = kAlphabet;
    std::string mixed;
    long long s = seed;
    while (!source.empty()) {
        s = (s * 211 + 30031) % 65536;
        const auto index = static_cast<std::size_t>(
            std::floor(static_cast<float>(static_cast<float>(source.size()) * static_cast<float>(s) / 65536.0)));
        mixed += source[index];
        source.erase(index, 1);
    }
    return mixed;
}

int VideoSiteStubs::seedOf(const std::string& videoId)
{
    return static_cast<int>(fnv("seed" + videoId) % 65536);
}

std::string VideoSiteStubs::realFileId(const std::string& videoId)
{
    std::string id;
    std::uint64_t h = fnv("file" + videoId);
    // The site's ids are upper-case hexadecimal, all of them characters of
    // the alphabet that travel in a path unescaped.
    const std::string alphabet = "0123456789ABCDEF";
    while (id.size() < kFileIdLength) {
        h = h * 6364136223846793005ull + 1442695040888963407ull;
        id += alphabet[(h >> 33) % alphabet.size()];
    }
    return id;
}

std::string VideoSiteStubs::segmentKey(const std::string& fileId, int segment)
{
    // Keyed by what every segment's file id shares: all but the two
    // characters the segment number replaces, of the significant part.
    const std::string shared = fileId.substr(0, 8) + fileId.substr(10, kSignificant - 10);
    return hex(fnv(shared + "#" + std::to_string(segment)), 16);
}

SiteAnswer VideoSiteStubs::youkuPlayList(const std::string& videoId) const
{
    if (!plainId(videoId))
        return json("{\"data\":[{\"error\":-6}]}");
    const int seed = seedOf(videoId);
    const std::string real = realFileId(videoId);
    const std::string mixed = mixAlphabet(seed);
    std::string encoded;
    for (char c : real)
        encoded += std::to_string(mixed.find(c)) + "*";
    const int count = videoId.rfind("XLONG", 0) == 0 ? 1000 : 12;
    std::string flv, mp4;
    for (int n = 0; n < count; ++n) {
        const std::string item = "{\"no\":\"" + std::to_string(n) + "\",\"size\":\"" +
                                 std::to_string(1048576 + n * 4099) + "\",\"seconds\":\"" + std::to_string(400 - n) +
                                 "\",\"k\":\"" + segmentKey(real, n) + "\",\"k2\":\"" + hex(fnv(real) + n, 12) + "\"}";
        flv += (n ? "," : "") + item;
        if (n < 3)
            mp4 += (n ? "," : "") + item;
    }
    return json("{\"data\":[{\"tt\":\"0\",\"ct\":\"g\",\"cs\":\"2163\",\"logo\":\"" +
                jsonSlashes(m_streamBase + "/www/logo.jpg") + "\",\"seed\":" + std::to_string(seed) +
                ",\"tags\":[\"\\u6d4b\\u8bd5\"],\"videoid\":\"" + videoId +
                "\",\"title\":\"\\u6d4b\\u8bd5\\u89c6\\u9891\"," +
                "\"key1\":\"b3b0c4a1\",\"key2\":\"1fd5a2c3\",\"streamfileids\":{\"flv\":\"" + encoded +
                "\",\"mp4\":\"" + encoded + "\"},\"segs\":{\"flv\":[" + flv + "],\"mp4\":[" + mp4 +
                "]},\"streamsizes\":{\"flv\":\"12345678\"},\"streamtypes\":[\"flv\",\"mp4\"]}],\"user\":{\"id\":0}}");
}

SiteAnswer VideoSiteStubs::youkuFile(const std::string& sid, const std::string& fileId, const std::string& key) const
{
    const auto underscore = sid.rfind('_');
    if (underscore == std::string::npos || underscore == 0 || digitsOf(sid.substr(0, underscore)).size() != underscore)
        return notFound();
    const std::string number = sid.substr(underscore + 1);
    if (number.size() < 2 || number.size() > 4 || digitsOf(number) != number || fileId.size() < 8 + number.size() ||
        fileId.compare(8, number.size(), number) != 0)
        return notFound();
    const std::string withoutNumber = fileId.substr(0, 8) + "??" + fileId.substr(8 + number.size());
    if (withoutNumber.size() < kSignificant || key != segmentKey(withoutNumber, std::stoi(number)))
        return notFound();
    return {302, "text/plain; charset=UTF-8", "moved\n", m_streamBase + "/video/sample.mp4"};
}

SiteAnswer VideoSiteStubs::tudouInfo(const std::string& iid) const
{
    if (iid.empty() || digitsOf(iid) != iid)
        return {200, kXml, "<?xml version=\"1.0\" encoding=\"utf-8\"?><error code=\"404\"/>", {}};
    auto entry = [&](int w, int part) {
        std::string url = stream("tudou", iid, part);
        // The service writes its ampersands as entities.
        std::string escaped;
        for (char c : url)
            escaped += c == '&' ? std::string("&amp;") : std::string(1, c);
        return "<f w=\"" + std::to_string(w) + "\" s=\"" + std::to_string(part) + "\" size=\"1048576\">" + escaped +
               "</f>";
    };
    return {200,
            kXml,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><v time=\"120000\" vcode=\"\" "
            "title=\"\xe6\xb5\x8b\xe8\xaf\x95\"><b>" +
                entry(10, 1) + entry(20, 2) + "</b><b>" + entry(10, 3) + "</b></v>",
            {}};
}

SiteAnswer VideoSiteStubs::sinaInfo(const std::string& vid) const
{
    if (vid.empty() || digitsOf(vid) != vid)
        return {200, kXml, "<?xml version=\"1.0\" encoding=\"utf-8\"?><video><result>error</result></video>", {}};
    std::string parts;
    for (int part = 1; part <= 3; ++part)
        parts += "<durl><order>" + std::to_string(part) + "</order><length>40000</length><url><![CDATA[" +
                 stream("sina", vid, part) + "]]></url></durl>";
    return {200,
            kXml,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><video><result>suee</result><timelength>120000</timelength>"
            "<vname><![CDATA[\xe6\xb5\x8b\xe8\xaf\x95]]></vname>" +
                parts + "</video>",
            {}};
}

SiteAnswer VideoSiteStubs::sohuInfo(const std::string& vid) const
{
    if (vid.empty() || digitsOf(vid) != vid)
        return json("{\"status\":2}");
    return json(
        "{\"prot\":2,\"allot\":\"" + m_dispatchHost + "\",\"data\":{\"tvName\":\"\\u6d4b\\u8bd5\",\"clipsURL\":[\"" +
        jsonSlashes("http://data.vod.itc.cn/" + vid + "/1.mp4") + "\",\"" +
        jsonSlashes("http://data.vod.itc.cn/" + vid + "/2.mp4") +
        "\"],\"version\":1,\"clipsDuration\":[60.0,60.0],\"su\":[\"/video/sample.mp4\"],\"eP\":\"x\"},\"id\":" + vid +
        "}");
}

SiteAnswer VideoSiteStubs::sohuDispatch(const std::map<std::string, std::string>& query) const
{
    auto value = [&query](const char* key) {
        const auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    if (value("prot").empty() || value("new").empty())
        return notFound();
    return {200,
            "text/plain; charset=UTF-8",
            m_streamBase + "|" + hex(fnv(value("new")), 6) + "|" + m_dispatchHost + "|" + hex(fnv(value("file")), 16) +
                "|0|1|" + std::to_string(fnv(value("new")) % 100000),
            {}};
}

} // namespace refsvc
