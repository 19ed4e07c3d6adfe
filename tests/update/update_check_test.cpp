// The main program's update check with its real fetch, against the
// reference service's update server.
#include "update/update_check.h"

#include "net/http_test_server.h"
#include "service/harness.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quorvane::update
{
namespace
{

namespace fs = std::filesystem;

// The check works in the program directory, which is the working directory.
class InDirectory
{
public:
    explicit InDirectory(const fs::path& dir) : m_old(fs::current_path()) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(m_old); }

private:
    fs::path m_old;
};

TEST(UpdateCheck, ComparesTheRecordedVersionWithTheServersManifest)
{
    test::TempDir server, program;
    std::ofstream(server / "update.xml") << "<?xml version=\"1.0\"?><u><Version>V2.0.09</Version></u>";
    std::ofstream(server / "broken.xml") << "<u><Version>V2.0.09</Vers";
    refsvc_test::RefService service(
        {"--web", "none", "--test-server", "none", "--update", "127.0.0.1:0", "--update-dir", server.path().string()});
    ASSERT_TRUE(service.ok()) << service.log();
    const std::string base = "http://127.0.0.1:" + std::to_string(service.update().port) + "/update/";
    // Closes every connection without a word.
    testing::CannedServer mute([](testing::ServerConnection&) {});
    // Says nothing on the first connection, answers on the next.
    const std::string manifest = "<u><Version>V2.0.09</Version></u>";
    testing::CannedServer secondTime([&](testing::ServerConnection& c) {
        std::string head;
        if (c.index() > 0 && c.readRequestHead(head))
            c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(manifest.size()) + "\r\n\r\n" + manifest);
    });
    fs::create_directories(program / "conf");
    InDirectory here(program.path());

    const struct {
        const char* what;
        std::string config; // conf/config.properties
        const char* installed;
        const char* server; // the version learnt
        bool upToDate;
        const char* file; // left in tmp ("" for none)
    } cases[] = {
        {"same version", "update_server_path=" + base + "\r\nupdate_ver_file_name=update.xml\r\n", "V2.0.09", "V2.0.09",
         true, "tmp/update.xml"},
        {"another version", "update_server_path=" + base + "\r\nupdate_ver_file_name=update.xml\r\n", "V2.0.08",
         "V2.0.09", false, "tmp/update.xml"},
        {"keys read from any line containing them, the last one winning",
         "#update_server_path=" + base + "wrong/\r\nx.update_server_path=" + base +
             "\r\nupdate_ver_file_name_old=update.xml\r\n",
         "V2.0.09", "V2.0.09", true, "tmp/update.xml"},
        {"a 404 answer writes no file", "update_server_path=" + base + "\r\nupdate_ver_file_name=none.xml\r\n",
         "V2.0.09", "", false, ""},
        {"a manifest that does not parse", "update_server_path=" + base + "\r\nupdate_ver_file_name=broken.xml\r\n",
         "V2.0.09", "", false, "tmp/broken.xml"},
        {"no answer", "update_server_path=" + mute.url("/") + "\r\nupdate_ver_file_name=update.xml\r\n", "V2.0.09", "",
         false, ""},
        {"no answer on the first connection, the retry brings it",
         "update_server_path=" + secondTime.url("/") + "\r\nupdate_ver_file_name=update.xml\r\n", "V2.0.09", "V2.0.09",
         true, "tmp/update.xml"},
    };
    for (const auto& c : cases) {
        fs::remove_all("tmp");
        std::ofstream("conf/config.properties", std::ios::binary) << c.config;
        std::ofstream("conf/update_process.properties", std::ios::binary)
            << "update_process_id=0\r\nnew_app_ver=" << c.installed << "\r\n";
        const UpdateDecision d = CheckForUpdate(defaultManifestFetch());
        EXPECT_EQ(d.installed, c.installed) << c.what;
        EXPECT_EQ(d.server, c.server) << c.what;
        EXPECT_EQ(d.upToDate, c.upToDate) << c.what;
        if (*c.file)
            EXPECT_TRUE(fs::exists(c.file)) << c.what;
        else
            EXPECT_TRUE(fs::is_empty("tmp")) << c.what;
    }
}

} // namespace
} // namespace quorvane::update
