// The video page resolvers on site texts, with the network replaced by a
// table of answers: what each site's answer yields, which requests go out,
// and that broken or hostile answers give no address and never crash.
#include "measure/video_resolvers.h"
#include "video_sites.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <regex>

using namespace quorvane;

namespace
{

VideoSites hosts()
{
    VideoSites s;
    s.ku6.info = "http://ku6.info";
    s.letv.app = "http://letv.app";
    s.youku.player = "http://yk.player";
    s.youku.file = "http://yk.file";
    s.tudou.info = "http://td.info";
    s.sina.info = "http://sina.info";
    s.sohu.info = "http://sohu.info";
    return s;
}

// Answers by exact address; records every request.
struct FakeSites {
    std::map<std::string, std::string> answers;
    std::vector<std::string> requests;
    TextFetcher fetcher()
    {
        return [this](const std::string& url) {
            requests.push_back(url);
            const auto it = answers.find(url);
            return it == answers.end() ? std::string() : it->second;
        };
    }
};

TEST(VideoDispatch, FirstLabelInFixedOrderWins)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://v.youku.example/tudou/id_X.html", "youku"},
        {"http://tudou.example/youku", "youku"},
        {"http://sohu.example/letv/ku6", "ku6"},
        {"http://sina.example/sohu", "sina"},
        {"http://h/portal/video/letv/ptv/vplay/1.html", "letv"},
        {"http://h/KU6/YOUKU", ""},
        {"", ""},
    };
    for (const auto& [url, label] : cases)
        EXPECT_EQ(SiteLabelOf(url), label) << url;
}

TEST(VideoText, UnescapeJson)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"(\u0041)", "A"},
        {R"(\u6d4b\u8bd5)", "\xe6\xb5\x8b\xe8\xaf\x95"},
        {R"(a\tb\rc\nd\fe)", "a\tb\rc\nd\fe"},
        {R"(http:\/\/h\/a \"q\" \\)", R"(http://h/a "q" \)"},
        {R"(\u0g41x)", "Ax"}, // a non-digit among the four is skipped
        {"\\u\xe6\xb5\x8b"
         "041\xe6\xb5\x8b",
         "A\xe6\xb5\x8b"}, // characters, not bytes
        {R"(\ud83d\ude00)", "\xf0\x9f\x98\x80"},
        {R"(\ud83dx)", "\xef\xbf\xbdx"},
        {R"(a\u0000b)", "ab"},
        {R"(end\u12)", "end\x12"},
        {R"(end\u)", "end"},
        {"end\\", "end"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(UnescapeJson(in), out) << in;
}

TEST(VideoYouku, MixedAlphabetIsAPermutationFixedByTheSeed)
{
    EXPECT_EQ(video::YoukuMixAlphabet(0).substr(0, 1), "F");
    std::string sorted(video::kYoukuAlphabet);
    std::sort(sorted.begin(), sorted.end());
    for (int seed : {0, 1, 4242, 50196, 65535}) {
        std::string mixed = video::YoukuMixAlphabet(seed);
        EXPECT_EQ(mixed, refsvc::VideoSiteStubs::mixAlphabet(seed)) << seed;
        std::sort(mixed.begin(), mixed.end());
        EXPECT_EQ(mixed, sorted) << seed;
    }
    // Seeds no site sends: a permutation or nothing, never an index outside.
    for (int seed : {-5, 1 << 30, INT32_MIN, INT32_MAX}) {
        std::string mixed = video::YoukuMixAlphabet(seed);
        std::sort(mixed.begin(), mixed.end());
        EXPECT_TRUE(mixed.empty() || mixed == sorted) << seed;
    }
}

TEST(VideoYouku, FileIdPieces)
{
    const std::string alphabet(video::kYoukuAlphabet);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0*25*26*67*", "azA0"}, {"3*1*2", "db"}, // the text after the last "*" is no piece
        {"0*68*1*", ""},         {"0*-1*", ""},   {"99999999999999*", ""}, {"", ""},
    };
    for (const auto& [encoded, id] : cases)
        EXPECT_EQ(video::YoukuFileId(encoded, alphabet), id) << encoded;
    std::string many;
    for (int i = 0; i < 200; ++i)
        many += std::to_string(i % 68) + "*";
    EXPECT_EQ(video::YoukuFileId(many, alphabet), (alphabet + alphabet).substr(0, video::kMaxYoukuPieces));
}

TEST(VideoYouku, EverySegmentGetsItsNumberFileIdAndKey)
{
    const refsvc::VideoSiteStubs site("http://s", "http://s", "127.0.0.1");
    const std::string playList = site.youkuPlayList("XMTA0ODk2NDgw").body;
    const auto list = video::YoukuAddresses(playList, "http://f",
                                            "1367884800123"
                                            "1234"
                                            "5678");
    ASSERT_EQ(list.size(), 12u);
    const std::string real = refsvc::VideoSiteStubs::realFileId("XMTA0ODk2NDgw").substr(0, 128);
    for (std::size_t n = 0; n < list.size(); ++n) {
        const std::string nn = (n < 10 ? "0" : "") + std::to_string(n);
        const std::string fileId = real.substr(0, 8) + nn + real.substr(10);
        EXPECT_EQ(list[n], "http://f/player/getFlvPath/sid/13678848001231234"
                           "5678_" +
                               nn + "/st/flv/fileid/" + fileId +
                               "?K=" + refsvc::VideoSiteStubs::segmentKey(real, static_cast<int>(n)));
    }
    EXPECT_EQ(list[9].find("_09/"), list[9].find("_0"));
    EXPECT_NE(list[11].find("_11/st/"), std::string::npos);

    // A thousand segments: the tables hold 128.
    EXPECT_EQ(video::YoukuAddresses(site.youkuPlayList("XLONG1").body, "http://f", "1").size(),
              video::kMaxYoukuSegments);
}

TEST(VideoYouku, SessionIdIsMillisecondsAndTwoRandomNumbers)
{
    EXPECT_TRUE(std::regex_match(video::YoukuSessionId(), std::regex("1[0-9]{12}1[0-9]{3}[1-9][0-9]{3}")));
}

struct SiteCase {
    const char* name;
    std::string page; // the address resolved
    std::map<std::string, std::string> answers;
    std::vector<std::string> expected; // every address, in order
    std::vector<std::string> requests; // every request, in order
};

TEST(VideoResolvers, SiteAnswersGiveTheirAddresses)
{
    const std::string sohuInfo =
        R"({"prot":2,"allot":"10.1.2.3","data":{"clipsURL":["c1","c2"],"version":1,"su":["/s/a.mp4"],"eP":"x"}})";
    const std::vector<SiteCase> cases = {
        {"ku6 quoted id, escaped answer",
         "http://p/ku6/1.html",
         {{"http://p/ku6/1.html", "x VideoInfo = { vid: 'Ab-1.x_', t: 1 } 'later'"},
          {"http://ku6.info/fetch.htm?t=getVideo4Player&vid=Ab-1.x_",
           R"({"data":{"t":"\u6d4b","f":"http:\/\/s\/a.mp4","f2":"x","f":"http:\/\/s\/b.mp4"}})"}},
         {"http://s/a.mp4", "http://s/b.mp4"},
         {"http://p/ku6/1.html", "http://ku6.info/fetch.htm?t=getVideo4Player&vid=Ab-1.x_"}},
        {"ku6 json id",
         "http://p/ku6/2.html",
         {{"http://p/ku6/2.html", R"({"vid" : "Q2","t":1})"},
          {"http://ku6.info/fetch.htm?t=getVideo4Player&vid=Q2", R"({"f":"http://s/q"})"}},
         {"http://s/q"},
         {}},
        {"ku6 flash id",
         "http://p/ku6/3.html",
         {{"http://p/ku6/3.html", "flashvars='vid=Z9&auto=1'"},
          {"http://ku6.info/fetch.htm?t=getVideo4Player&vid=Z9", R"({"f":"http://s/z"})"}},
         {"http://s/z"},
         {}},
        {"letv several ids, the first gone",
         "http://p/letv/pcid/1.html",
         {{"http://p/letv/pcid/1.html", R"(x={pcid: ["91","22", "33" ], t:'a'}; y=[1])"},
          {"http://letv.app/v.php?id=91", R"({"statuscode":"1003"})"},
          {"http://letv.app/v.php?id=22", R"({"playurl":{"url":"http:\/\/i\/p?id=22"}})"},
          {"http://letv.app/v.php?id=33", R"({"playurl":{"url": "http:\/\/i\/p?id=33"}})"},
          {"http://i/p?id=22", R"({"nodelist":[{"location":"http:\/\/s\/22.mp4"}]})"},
          {"http://i/p?id=33", R"({"nodelist":[{"location":"http:\/\/s\/33.mp4"}]})"}},
         {"http://s/22.mp4", "http://s/33.mp4"},
         {"http://p/letv/pcid/1.html", "http://letv.app/v.php?id=91", "http://letv.app/v.php?id=22", "http://i/p?id=22",
          "http://letv.app/v.php?id=33", "http://i/p?id=33"}},
        // The equals-sign and xid forms keep every digit of the id.
        {"letv equals form",
         "http://p/letv/eq/1.html",
         {{"http://p/letv/eq/1.html", "flashvars = 'vid = 1000004 &mm=1'"},
          {"http://letv.app/v.php?id=1000004", R"({"url":"http://i/4"})"},
          {"http://i/4", R"({"location":"http://s/4"})"}},
         {"http://s/4"},
         {}},
        {"letv xid form",
         "http://p/letv/xid/1.html",
         {{"http://p/letv/xid/1.html", "{xid: 55}"},
          {"http://letv.app/v.php?id=55", R"({"url":"http://i/5"})"},
          {"http://i/5", R"(x{"location":"http://s/5"})"}},
         {"http://s/5"},
         {}},
        {"letv answer without location",
         "http://p/letv/1.html",
         {{"http://p/letv/1.html", "{vid:7,"},
          {"http://letv.app/v.php?id=7", R"({"url":"http://i/7"})"},
          {"http://i/7", R"({"where":"http://s/7"})"}},
         {},
         {}},
        {"youku needs no page",
         "http://p/youku/v_show/id_VID9.html",
         {{"http://yk.player/player/getPlayList/VideoIDS/VID9", ""}},
         {},
         {"http://yk.player/player/getPlayList/VideoIDS/VID9"}},
        {"tudou item page",
         "http://p/tudou/view/2/",
         {{"http://p/tudou/view/2/", "{lid:0,iid : 132,t:'x'}"},
          {"http://td.info/v?vn=02&st=1%2C2&it=132",
           R"(<?xml version="1.0"?><v><b><f w="1">http://s/1?a=1&amp;b=2</f><f>http://s/2</f></b></v>)"}},
         {"http://s/1?a=1&b=2", "http://s/2"},
         {"http://p/tudou/view/2/", "http://td.info/v?vn=02&st=1%2C2&it=132"}},
        {"tudou album without flv",
         "http://p/tudou/albumplay/a/b.html",
         {{"http://p/tudou/albumplay/a/b.html", "{vcode: 'VC1', t:'x'}"},
          {"http://yk.player/player/getPlayList/VideoIDS/VC1", R"({"segs":{"mp4":[]}})"}},
         {},
         {}},
        {"sina id after #, no page fetch",
         "http://p/sina/v/1.html#123",
         {{"http://sina.info/v_play.php?vid=123", "<v><url><![CDATA[http://s/1]]></url><url><![CDATA[http://s/2]]>"}},
         {"http://s/1", "http://s/2"},
         {"http://sina.info/v_play.php?vid=123"}},
        {"sina id from the page",
         "http://p/sina/v/2.html",
         {{"http://p/sina/v/2.html", "{title:'a',vid:'456',pic:'x'}"},
          {"http://sina.info/v_play.php?vid=456", "<url><![CDATA[http://s/456]]>"}},
         {"http://s/456"},
         {}},
        {"sohu single quotes",
         "http://p/sohu/n1.shtml",
         {{"http://p/sohu/n1.shtml", "var vid = '77';var x=1;"},
          {"http://sohu.info/videinfo.jhtml?m=viewtv&vid=77", sohuInfo},
          {"http://10.1.2.3/?prot=2&file=c1\",\"c2&new=/s/a.mp4", "http://s|x|y|KEY|0"}},
         {"http://s/s/a.mp4?key=KEY"},
         {"http://p/sohu/n1.shtml", "http://sohu.info/videinfo.jhtml?m=viewtv&vid=77",
          "http://10.1.2.3/?prot=2&file=c1\",\"c2&new=/s/a.mp4"}},
        // The digits between the quotes, whatever blanks surround the "=".
        {"sohu double quotes",
         "http://p/sohu/dq/n2.shtml",
         {{"http://p/sohu/dq/n2.shtml", R"(var vid = "78" ;)"},
          {"http://sohu.info/videinfo.jhtml?m=viewtv&vid=78", sohuInfo},
          {"http://10.1.2.3/?prot=2&file=c1\",\"c2&new=/s/a.mp4", "http://s|x|y|K2"}},
         {"http://s/s/a.mp4?key=K2"},
         {}},
        {"sohu no-blank quotes",
         "http://p/sohu/n3.shtml",
         {{"http://p/sohu/n3.shtml", "var vid='79';"},
          {"http://sohu.info/videinfo.jhtml?m=viewtv&vid=79", sohuInfo},
          {"http://10.1.2.3/?prot=2&file=c1\",\"c2&new=/s/a.mp4", "http://s|x|y|K3"}},
         {"http://s/s/a.mp4?key=K3"},
         {}},
        {"sohu dispatch with three parts",
         "http://p/sohu/n4.shtml",
         {{"http://p/sohu/n4.shtml", "var vid = '80';"},
          {"http://sohu.info/videinfo.jhtml?m=viewtv&vid=80", sohuInfo},
          {"http://10.1.2.3/?prot=2&file=c1\",\"c2&new=/s/a.mp4", "http://s|x|y"}},
         {},
         {}},
    };
    for (const auto& c : cases) {
        FakeSites fake;
        fake.answers = c.answers;
        VideoResolver resolver(hosts(), fake.fetcher());
        const std::string first = resolver.Resolve(SiteLabelOf(c.page), c.page);
        EXPECT_EQ(resolver.addresses(), c.expected) << c.name;
        EXPECT_EQ(first, c.expected.empty() ? "" : c.expected.front()) << c.name;
        if (!c.requests.empty()) {
            EXPECT_EQ(fake.requests, c.requests) << c.name;
        }
    }
}

TEST(VideoResolvers, HostileAnswersGiveNoAddressOrABoundedList)
{
    std::string huge(10u << 20, 'a');
    huge.replace(huge.size() / 2, 40, "vid: '1' iid: 2 \"no\" http:// ] </f> | \\u");
    std::string spaces(1u << 20, ' ');
    std::string manyLinks;
    for (int i = 0; i < 5000; ++i)
        manyLinks += "\"f\":\"http://s/" + std::to_string(i) + "\"</f>]";
    std::string longYouku = refsvc::VideoSiteStubs("http://s", "http://s", "1").youkuPlayList("XLONG2").body;
    const std::vector<std::string> texts = {
        "",
        "vid: '",
        "{\"segs\":{\"flv\":[{\"no\":\"0\",\"k\":\"",
        "\"streamfileids\":{\"flv\":\"1*2*",
        longYouku.substr(0, longYouku.size() / 2),
        longYouku,
        huge,
        spaces,
        manyLinks,
        "vid = '\xff\xfe\x80';\"allot\":\"1.2.3.4\",\"prot\":1,|||",
        "{\"f\":\"http://s/\\u12",
        "pcid: [\"1\",\"2\",\"3\",\"4\",\"5\",\"6\",\"7\",\"8\",\"9\",\"10\",\"11\"]",
        "\"seed\":-7,\"streamfileids\":{\"flv\":\"1*\"},\"segs\":{\"flv\":[{\"no\":\"0\"}]}",
    };
    const std::vector<std::string> pages = {
        "http://p/ku6/1",  "http://p/letv/1", "http://p/youku/id_1.h", "http://p/tudou/1", "http://p/tudou/albumplay/1",
        "http://p/sina/1", "http://p/sohu/1"};
    for (std::size_t t = 0; t < texts.size(); ++t) {
        for (const auto& page : pages) {
            std::size_t requests = 0;
            VideoResolver resolver(hosts(), [&](const std::string&) {
                ++requests;
                return texts[t];
            });
            const std::string first = resolver.Resolve(SiteLabelOf(page), page);
            EXPECT_LE(resolver.addresses().size(), video::kMaxAddresses) << t << " " << page;
            EXPECT_EQ(first, resolver.addresses().empty() ? "" : resolver.addresses().front());
            EXPECT_LE(requests, 1 + 2 * video::kMaxLetvIds) << t << " " << page;
        }
    }
}

TEST(VideoSitesDocument, ShippedDocumentNamesEveryRoleTheResolversUse)
{
    const VideoSites sites = ReadVideoSites(std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist/Config/video_sites.xml");
    for (const char* label : {"ku6", "letv", "youku", "tudou", "sina", "sohu"})
        EXPECT_NE(sites.of(label)->page.find("/portal/video/" + std::string(label)), std::string::npos) << label;
    for (const std::string* host : {&sites.ku6.info, &sites.letv.app, &sites.youku.player, &sites.youku.file,
                                    &sites.tudou.info, &sites.sina.info, &sites.sohu.info})
        EXPECT_TRUE(std::regex_match(*host, std::regex(R"(http://127\.[0-9.]+:[0-9]+)"))) << *host;
    EXPECT_EQ(ReadVideoSites(std::filesystem::path("/nonexistent/video_sites.xml")).ku6.info, "");
}

} // namespace
