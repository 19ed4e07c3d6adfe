// The login and bandwidth commands against the reference service, in a
// throwaway installation; one full automatic run of about 40 seconds.
#include "cli/cli.h"
#include "common/flags.h"
#include "measure/refsvc_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

using namespace quorvane;
using ::testing::HasSubstr;

namespace
{

struct Result {
    int code;
    std::string out, err;
};

Result login(const test::ServiceInstallation& s, const std::string& user, const std::string& password)
{
    std::istringstream in(password + "\n");
    std::ostringstream out, err;
    const int code = cli::runLogin({user, "--dir", s.inst.path().string()}, in, out, err);
    return {code, out.str(), err.str()};
}

Result bandwidth(const test::ServiceInstallation& s, std::vector<std::string> extra = {})
{
    cli::Args args = {"bandwidth", "--dir", s.inst.path().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out, err;
    const int code = cli::run(args, out, err);
    test::resetFlags();
    return {code, out.str(), err.str()};
}

} // namespace

TEST(CliMeasure, LoginStoresCredentialsAndMeasuringCommandsSayWhyTheyCannotStart)
{
    test::ServiceInstallation s;
    ASSERT_TRUE(s.service->ok()) << s.service->log();

    const Result none = bandwidth(s);
    EXPECT_EQ(none.code, cli::kFailed);
    EXPECT_THAT(none.err, HasSubstr("no stored credentials"));

    const Result wrong = login(s, "demo", "not-the-password");
    EXPECT_EQ(wrong.code, cli::kFailed);
    EXPECT_THAT(wrong.err, HasSubstr("登录失败"));
    EXPECT_THAT(s.inst.read("conf/l_c_config_01.properties"), HasSubstr("userid=\r\n"));

    const Result right = login(s, "demo", "demo123");
    ASSERT_EQ(right.code, cli::kOk) << right.err;
    EXPECT_THAT(right.out, HasSubstr("user id 10001"));
    EXPECT_THAT(s.inst.read("conf/l_c_config_01.properties"), HasSubstr("userid=10001\r\n"));

    const Result unknown = bandwidth(s, {"--server", "火星电信"});
    EXPECT_EQ(unknown.code, cli::kFailed);
    EXPECT_THAT(unknown.err, HasSubstr("no test server named \"火星电信\""));

    ASSERT_TRUE(s.service->control("/__control/login-mode?mode=false"));
    const Result refused = bandwidth(s);
    EXPECT_EQ(refused.code, cli::kFailed);
    EXPECT_THAT(refused.err, HasSubstr("refused the stored credentials"));
    ASSERT_TRUE(s.service->control("/__control/login-mode?mode=close"));
    EXPECT_THAT(bandwidth(s).err, HasSubstr("did not answer the login"));

    // Broken catalogue: nothing matches, and the command says so.
    ASSERT_TRUE(s.service->control("/__control/login-mode?mode=normal"));
    s.inst.write("Config/addr_server.xml", "<addr><province-array name=");
    const Result broken = bandwidth(s);
    EXPECT_EQ(broken.code, cli::kFailed);
    EXPECT_THAT(broken.err, HasSubstr("addr_server.xml is missing or unreadable"));
    EXPECT_THAT(broken.err, HasSubstr("no test server matches"));
    EXPECT_EQ(s.service->counter("key_requests"), 0u);
}

// About 40 seconds: the whole test with a record at the end. Asked for at
// the prompt, it is a manual result (automatic only with --auto).
TEST(CliMeasure, BandwidthJsonRunsTheWholeTestToAManualRecord)
{
    test::ServiceInstallation s;
    ASSERT_TRUE(s.service->ok()) << s.service->log();
    ASSERT_EQ(login(s, "tester", "test456").code, cli::kOk);
    const Result run = bandwidth(s, {"--json"});
    ASSERT_EQ(run.code, cli::kOk) << run.err << run.out;
    EXPECT_THAT(run.out, ::testing::StartsWith("{\"outcome\":\"completed\",\"server\":\"北京联通\""));
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
    EXPECT_THAT(run.out, HasSubstr("\"keyReleased\":true"));
    EXPECT_THAT(run.out, HasSubstr("\"contracted_mbit\":null,\"share\":null")); // nothing picked yet
    EXPECT_THAT(run.out, ::testing::ContainsRegex("\"archive\":\"[0-9]{14}_1024_Pccollect.zip\""));
    EXPECT_THAT(run.err, HasSubstr("download 15/15: "));
    EXPECT_THAT(run.err, HasSubstr("upload 15/15: "));
    EXPECT_EQ(s.service->counter("keys_released"), 1u);
    EXPECT_THAT(s.inst.read("HistoryRecord/HistoryRecord10002.txt"),
                ::testing::MatchesRegex("[-0-9: ]{19},手动,带宽测速,北京联通,[0-9]+\\.[0-9]Mb/s;\n"));
}

// A few seconds: the 10 MB preset over the emulated 40 Mbit/s line.
TEST(CliMeasure, DownloadReportsTheFileAndEverySecond)
{
    test::ServiceInstallation s;
    ASSERT_TRUE(s.service->ok()) << s.service->log();
    const std::string base = "http://" + s.address + ":8080/download/";

    std::ostringstream out, err;
    ASSERT_EQ(cli::run({"download", base + "10MB.bin"}, out, err), cli::kOk) << err.str();
    EXPECT_THAT(out.str(), HasSubstr("outcome: completed\n"));
    EXPECT_THAT(out.str(), HasSubstr("size: 10485760 bytes (10240.00 KB)\n"));
    EXPECT_THAT(out.str(), HasSubstr("downloaded: 10485760 bytes\n"));
    EXPECT_THAT(out.str(), ::testing::ContainsRegex("\n2 s: [0-9]+\\.[0-9]{2} KB, [0-9]+\\.[0-9]{2} KB/s\n"));

    struct Row {
        cli::Args args;
        int code;
        std::string inOut, inErr;
    };
    for (const Row& r : {
             Row{{"download", base + "1MB.bin", "--json"},
                 cli::kOk,
                 "\"outcome\":\"completed\",\"url\":\"" + base +
                     "1MB.bin\",\"contentLength\":1048576,\"bytes\":1048576,\"whole\":true,",
                 ""},
             Row{{"download", base + "1MB.bin?status=500"}, cli::kFailed, "outcome: no-size\n", "获取文件大小失败"},
             Row{{"download", base + "1MB.bin?stall_after=0&stall_ms=4000"}, cli::kFailed, "outcome: no-body\n", ""},
             Row{{"download", base + "1MB.bin?stall_after=2000&stall_ms=4000"},
                 cli::kOk,
                 "downloaded: 2000 bytes (cut short)\n",
                 ""},
             Row{{"download", "ftp://127.0.0.1/1MB.bin"}, cli::kFailed, "outcome: bad-url\n", ""},
             Row{{"download", " "}, cli::kFailed, "", "请选择/输入下载文件链接地址！"},
             Row{{"download"}, cli::kUsage, "", "one URL"},
             Row{{"download", base, "--fast"}, cli::kUsage, "", "unknown option --fast"},
         }) {
        SCOPED_TRACE(r.args.back());
        std::ostringstream o, e;
        EXPECT_EQ(cli::run(r.args, o, e), r.code);
        EXPECT_THAT(o.str(), HasSubstr(r.inOut));
        EXPECT_THAT(e.str(), HasSubstr(r.inErr));
    }
}

// The one browser of this binary: the command makes its own application and
// ends it, which a process can do only once. A page without a doctype has a
// body as tall as the view: at the view's size that is no first screen yet.
TEST(CliMeasure, WebpageJsonGivesTheFirstScreenOfAPageThatGrowsAt500Ms)
{
    refsvc_test::RefService svc({"--web", "127.0.0.1:0", "--update", "none", "--test-server", "none"});
    ASSERT_TRUE(svc.ok()) << svc.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(svc.web().port) + "/test/page?quirks=1&grow_ms=500";
    std::ostringstream out, err;
    ASSERT_EQ(cli::run({"webpage", url, "--json"}, out, err), cli::kOk) << err.str();
    const std::string json = out.str();
    EXPECT_THAT(json, ::testing::StartsWith("{\"url\":\"" + url + "\",\"end\":\"height\",\"firstScreenSeconds\":0."));
    const std::size_t at = json.find("\"firstScreenSeconds\":");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(std::stod(json.substr(at + 21)), 0.5, 0.05);
    EXPECT_THAT(json, ::testing::ContainsRegex("\"firstContentfulPaintMs\":[0-9]+\\.[0-9],"));
}

// A second or so: the sample video over the emulated 40 Mbit/s line.
TEST(CliMeasure, VideoResolvesAPageAndMeasuresItsStream)
{
    test::ServiceInstallation s;
    ASSERT_TRUE(s.service->ok()) << s.service->log();
    const std::string web = "http://127.0.0.1:" + std::to_string(s.service->web().port);
    std::string sites = s.inst.read("Config/video_sites.xml");
    sites = std::regex_replace(sites, std::regex(R"(http://127\.0\.0\.1:1808[0-9])"), web);
    s.inst.write("Config/video_sites.xml", sites);
    const std::string dir = s.inst.path().string();
    const std::string sample = web + "/video/sample.mp4";

    struct Row {
        cli::Args args;
        int code;
        std::string inOut, inErr;
    };
    for (const Row& r : {
             Row{{"video", web + "/portal/video/tudou/programs/view/qvclip0002/", "--json", "--dir", dir},
                 cli::kOk,
                 "\"site\":\"土豆\",\"mediatype\":2,\"end\":\"completed\",\"httpStatus\":200,",
                 ""},
             Row{{"video", sample, "--dir", dir},
                 cli::kOk,
                 "site: 其他 (mediatype 0)\nend: completed (HTTP 200)\n",
                 ""},
             Row{{"video", sample + "?status=503", "--dir", dir},
                 cli::kFailed,
                 "end: http-error (HTTP 503)\n",
                 "did not load completely"},
             Row{{"video", web + "/portal/video/sina/none.html", "--dir", dir}, cli::kFailed, "", "no stream found"},
             Row{{"video"}, cli::kUsage, "", "one page or stream URL"},
         }) {
        SCOPED_TRACE(r.args.size() > 1 ? r.args[1] : r.args[0]);
        std::ostringstream o, e;
        EXPECT_EQ(cli::run(r.args, o, e), r.code) << e.str();
        EXPECT_THAT(o.str(), HasSubstr(r.inOut));
        EXPECT_THAT(e.str(), HasSubstr(r.inErr));
    }
    // The sizes are the service's: every byte of the file, counted once per run.
    std::ostringstream o, e;
    ASSERT_EQ(cli::run({"video", sample, "--json", "--dir", dir}, o, e), cli::kOk);
    const std::string size =
        std::to_string(std::filesystem::file_size(refsvc_test::outDir() + "/refsvc/video/sample.mp4"));
    EXPECT_THAT(o.str(), HasSubstr("\"totalSize\":" + size + ",\"speedKBps\":"));
    EXPECT_THAT(o.str(), HasSubstr("\"loadSize\":" + size + ",\"totalTimeMs\":"));
}
