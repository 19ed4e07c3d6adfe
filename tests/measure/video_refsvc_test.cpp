// Each video site resolved over HTTP against the reference service's site
// stand-ins: pages, information services, play lists, the youku file
// service that checks every segment's file id and key, sohu's dispatch.
#include "measure/video_resolvers.h"
#include "net/http_request.h"
#include "service/harness.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

using namespace quorvane;

namespace
{

// Sohu's dispatch service listens on port 80 of an address of this
// process's own, so parallel test programs never meet there.
std::string ownDispatchAddress()
{
    const long pid = ::getpid();
    return "127." + std::to_string(100 + pid % 100) + "." + std::to_string(pid / 100 % 250 + 1) + ".10";
}

class VideoRefsvc : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_service = std::make_unique<refsvc_test::RefService>(
            std::vector<std::string>{"--web", "127.0.0.1:0", "--update", "none", "--test-server", "none",
                                     "--video-dispatch", ownDispatchAddress() + ":80"});
        s_dispatch = s_service->ok();
        if (!s_dispatch) // port 80 needs root
            s_service = std::make_unique<refsvc_test::RefService>(std::vector<std::string>{
                "--web", "127.0.0.1:0", "--update", "none", "--test-server", "none", "--video-dispatch", "none"});
    }
    static void TearDownTestSuite() { s_service.reset(); }

    void SetUp() override { ASSERT_TRUE(s_service->ok()); }

    static std::string base() { return "http://127.0.0.1:" + std::to_string(s_service->web().port); }
    static VideoSites sites()
    {
        VideoSites s;
        for (VideoSiteHosts* h : {&s.ku6, &s.letv, &s.youku, &s.tudou, &s.sina, &s.sohu})
            h->info = h->app = h->player = h->file = base();
        return s;
    }

    static std::unique_ptr<refsvc_test::RefService> s_service;
    static bool s_dispatch;
};

std::unique_ptr<refsvc_test::RefService> VideoRefsvc::s_service;
bool VideoRefsvc::s_dispatch = false;

TEST_F(VideoRefsvc, EverySiteResolvesToTheServiceStream)
{
    struct Case {
        std::string page;  // path on the web project
        std::string first; // regex of the first address, after the base
        std::size_t count;
    };
    const std::string flv = R"(/player/getFlvPath/sid/[0-9]{18,}_00/st/flv/fileid/[0-9A-F]{128}\?K=[0-9a-f]{16})";
    const std::vector<Case> cases = {
        {"/portal/video/ku6/show/qvclip0003.html", R"(/video/sample\.mp4\?site=ku6&id=qvclip0003&part=1)", 1},
        {"/portal/video/ku6/json/Ab-9.x.html", R"(/video/sample\.mp4\?site=ku6&id=Ab-9&part=1)", 1},
        {"/portal/video/ku6/flash/k6Q.html", R"(/video/sample\.mp4\?site=ku6&id=k6Q&part=1)", 1},
        {"/portal/video/letv/ptv/vplay/1000004.html", R"(/video/sample\.mp4\?site=letv&id=1000004&part=1)", 1},
        {"/portal/video/letv/eq/1000007.html", R"(/video/sample\.mp4\?site=letv&id=1000007&part=1)", 1},
        {"/portal/video/letv/xid/1000008.html", R"(/video/sample\.mp4\?site=letv&id=1000008&part=1)", 1},
        {"/portal/video/letv/pcid/2000002.html", R"(/video/sample\.mp4\?site=letv&id=2000002&part=1)", 2},
        {"/portal/video/youku/v_show/id_XMTA0ODk2NDgw.html", flv, 12},
        {"/portal/video/youku/v_show/id_XLONG77.html", flv, 128},
        {"/portal/video/tudou/programs/view/qvclip0002/", R"(/video/sample\.mp4\?site=tudou&id=0002&part=1)", 3},
        {"/portal/video/tudou/albumplay/abc/XMTA0ODk2NDgw.html", flv, 12},
        {"/portal/video/sina/v/b/12345678.html", R"(/video/sample\.mp4\?site=sina&id=12345678&part=1)", 3},
        {"/portal/video/sina/v/b/1.html#87654321", R"(/video/sample\.mp4\?site=sina&id=87654321&part=1)", 3},
        {"/portal/video/ku6/", "", 0},        // an error page
        {"/portal/video/letv/x.html", "", 0}, // no id
    };
    for (const auto& c : cases) {
        VideoResolver resolver(sites());
        const std::string page = base() + c.page;
        const std::string first = resolver.Resolve(SiteLabelOf(page), page);
        EXPECT_EQ(resolver.addresses().size(), c.count) << c.page;
        if (c.count == 0) {
            EXPECT_EQ(first, "") << c.page;
            continue;
        }
        EXPECT_TRUE(
            std::regex_match(first, std::regex(std::regex_replace(base(), std::regex(R"(\.)"), R"(\.)") + c.first)))
            << c.page << " -> " << first;
    }
}

TEST_F(VideoRefsvc, YoukuFileServiceAcceptsEverySegmentAndRedirectsToTheStream)
{
    VideoResolver resolver(sites());
    resolver.ResolveYouku(base() + "/portal/video/youku/v_show/id_XMTA0ODk2NDgw.html");
    ASSERT_EQ(resolver.addresses().size(), 12u);
    for (const auto& address : resolver.addresses()) {
        HttpHeadAnswer answer;
        ASSERT_EQ(HttpHead(address, answer), kHttpAnswered);
        EXPECT_EQ(answer.status, 302) << address;
        EXPECT_EQ(answer.header("Location").value_or(""), base() + "/video/sample.mp4");
    }
    // A key that belongs to another segment is refused.
    std::string wrong = resolver.addresses()[1];
    wrong.replace(wrong.find("?K=") + 3, std::string::npos,
                  resolver.addresses()[0].substr(resolver.addresses()[0].find("?K=") + 3));
    HttpHeadAnswer answer;
    ASSERT_EQ(HttpHead(wrong, answer), kHttpAnswered);
    EXPECT_EQ(answer.status, 404);
}

TEST_F(VideoRefsvc, SohuGoesThroughTheDispatchService)
{
    if (!s_dispatch)
        GTEST_SKIP() << "no right to listen on port 80";
    VideoResolver resolver(sites());
    for (const char* page : {"/portal/video/sohu/20130506/n1000005.shtml", "/portal/video/sohu/dq/n1000006.shtml"}) {
        const std::string first = resolver.ResolveSohu(base() + page);
        EXPECT_TRUE(
            std::regex_match(first, std::regex(R"(http://127\.0\.0\.1:[0-9]+/video/sample\.mp4\?key=[0-9a-f]{16})")))
            << page << " -> " << first;
    }
}

TEST_F(VideoRefsvc, FetchTextJoinsLinesAndTakesNoErrorPage)
{
    const std::string page = FetchText(base() + "/portal/video/letv/ptv/vplay/1000004.html");
    EXPECT_GT(page.size(), 100000u);
    EXPECT_EQ(page.find('\n'), std::string::npos);
    EXPECT_NE(page.find("vid:1000004,"), std::string::npos);

    std::string errorPage;
    ASSERT_EQ(HttpRequest("GET", base() + "/portal/video/ku6/", "", errorPage), kHttpAnswered);
    EXPECT_FALSE(errorPage.empty());
    EXPECT_EQ(FetchText(base() + "/portal/video/ku6/"), "");
    EXPECT_EQ(FetchText("http://127.0.0.1:1/"), "");
    EXPECT_EQ(FetchText(""), "");
}

TEST_F(VideoRefsvc, EveryShippedVideoPageResolvesThroughTheShippedSiteHosts)
{
    const std::string port = std::to_string(s_service->web().port);
    auto onService = [&port](const std::string& text) {
        return std::regex_replace(text, std::regex(R"(127\.0\.0\.1:18080)"), "127.0.0.1:" + port);
    };
    const std::filesystem::path dist = std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist/Config";
    test::TempDir dir;
    std::filesystem::create_directories(dir.path() / "Config");
    std::ofstream(dir.path() / "Config/video_sites.xml") << onService(test::readFile(dist / "video_sites.xml"));

    // The video pages of the shipped settings (module 3).
    std::vector<std::string> pages;
    const std::string settings = test::readFile(dist / "settings.xml");
    const std::regex item(R"(>(http://[^<]*/portal/video/[^<]*)<)");
    for (auto it = std::sregex_iterator(settings.begin(), settings.end(), item); it != std::sregex_iterator(); ++it)
        pages.push_back(onService((*it)[1]));
    ASSERT_GE(pages.size(), 5u);

    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::vector<std::string> streams;
    for (const auto& page : pages)
        streams.push_back(ResolveStreamAddress(page));
    const std::string none = ResolveStreamAddress(base() + "/portal/news/index.html");
    std::filesystem::current_path(previous);

    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (SiteLabelOf(pages[i]) == "sohu" && !s_dispatch)
            continue;
        EXPECT_EQ(streams[i].rfind(base() + "/", 0), 0u) << pages[i] << " -> " << streams[i];
    }
    EXPECT_EQ(none, "");
}

} // namespace
