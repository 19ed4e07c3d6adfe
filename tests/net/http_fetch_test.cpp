// Fetching a file into the installation against scripted loopback servers:
// only a whole 200 answer leaves a file, and never a stale one.
#include "net/http_fetch.h"
#include "net/http_test_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace quorvane;
using namespace quorvane::testing;

namespace
{

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(HttpFetchToFile, OnlyAWhole200AnswerLeavesAFile)
{
    const std::string manifest = "<?xml version=\"1.0\"?><u><Version>V2.2</Version></u>";
    const struct {
        const char* what;
        std::string reply; // "" : close without answering
        int result;
        int status;
        bool file;
    } cases[] = {
        {"200", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(manifest.size()) + "\r\n\r\n" + manifest,
         kHttpAnswered, 200, true},
        {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing", kHttpAnswered, 404, false},
        {"redirect not followed", "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n",
         kHttpAnswered, 302, false},
        {"body cut short", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n<?xml", kHttpFailed, 0, false},
        {"no answer", "", kHttpFailed, 0, false},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        const auto file = dir.path() / "tmp" / "sub" / "update.xml";
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << "stale manifest";
        std::string head;
        CannedServer server([&](ServerConnection& conn) {
            if (conn.readRequestHead(head) && !c.reply.empty())
                conn.send(c.reply);
        });
        int status = -1;
        HttpOptions options;
        options.connectTimeout = std::chrono::milliseconds(2000);
        EXPECT_EQ(HttpFetchToFile(server.url("/update/update.xml"), file, status, options), c.result) << c.what;
        if (c.result == kHttpAnswered) {
            EXPECT_EQ(status, c.status) << c.what;
        }
        EXPECT_EQ(std::filesystem::exists(file), c.file) << c.what;
        if (c.file) {
            EXPECT_EQ(slurp(file), manifest) << c.what;
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), c.file ? 1 : 0)
            << c.what << ": no partial file left";
        if (c.result == kHttpAnswered) {
            EXPECT_NE(head.find("GET /update/update.xml HTTP/1.1\r\n"), std::string::npos) << head;
            EXPECT_NE(head.find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << head;
            EXPECT_NE(head.find("\r\nPragma: no-cache\r\n"), std::string::npos) << head;
        }
    }
}

TEST(HttpFetchToFile, MakesTheFoldersAndRefusesOtherSchemes)
{
    test::TempDir dir;
    const auto file = dir.path() / "a" / "b" / "m.xml";
    int status = -1;
    EXPECT_EQ(HttpFetchToFile("ftp://127.0.0.1/m.xml", file, status, HttpOptions{}), kHttpFailed);
    EXPECT_TRUE(std::filesystem::is_directory(file.parent_path()));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(status, 0);
}
