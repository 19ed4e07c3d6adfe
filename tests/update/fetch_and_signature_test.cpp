#include "update/raw_get.h"
#include "update/signature.h"

#include "net/http_test_server.h"
#include "support/temp_dir.h"
#include "update/release_key.h"

#include <gtest/gtest.h>

using namespace quorvane::update;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::testing::CannedServer;
using quorvane::testing::ReleaseKey;
using quorvane::testing::ServerConnection;

TEST(RawGet, JudgesTheStatusLineNotTheHeadsText)
{
    const struct {
        const char* what;
        std::string answer;
        RawGetResult result;
        std::string body;
    } cases[] = {
        {"plain", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", RawGetResult::Ok, "hello"},
        {"404 in an ETag", "HTTP/1.1 200 OK\r\nETag: \"a404b\"\r\nContent-Length: 2\r\n\r\nok", RawGetResult::Ok, "ok"},
        {"404 as the length", "HTTP/1.0 200 OK\r\nContent-Length: 404\r\n\r\n" + std::string(404, 'x'),
         RawGetResult::Ok, std::string(404, 'x')},
        {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", RawGetResult::NotSuccess, ""},
        {"server error", "HTTP/1.1 500 Oops\r\nContent-Length: 2\r\n\r\nno", RawGetResult::NotSuccess, ""},
        {"redirect", "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", RawGetResult::NotSuccess, ""},
        {"no length", "HTTP/1.1 200 OK\r\n\r\nbody", RawGetResult::NoLength, ""},
        {"zero length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", RawGetResult::NoLength, ""},
        {"short body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", RawGetResult::Short, "abc"},
        {"closed in the head", "HTTP/1.1 200 OK\r\nContent-Le", RawGetResult::BadHead, ""},
        {"not HTTP", "SSH-2.0-x\r\n\r\n", RawGetResult::NotSuccess, ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        CannedServer server([&](ServerConnection& conn) {
            std::string head;
            if (conn.readRequestHead(head))
                conn.send(c.answer);
        });
        const auto file = dir / "deep/folder/file.bin";
        EXPECT_EQ(rawGet(server.url("/files/a.bin?x=1"), file), c.result) << c.what;
        if (!c.body.empty()) {
            EXPECT_EQ(readFile(file), c.body) << c.what;
        }
        server.stop();
        const auto heads = server.requestHeads();
        ASSERT_EQ(heads.size(), 1u) << c.what;
        EXPECT_EQ(heads[0],
                  "GET /files/a.bin?x=1 HTTP/1.1\r\nAccept: */*\r\nConnection: Keep-Alive\r\nHost: 127.0.0.1:" +
                      std::to_string(server.port()) + "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n\r\n")
            << c.what;
    }
}

TEST(RawGet, FailsWithoutAServerOrAUsableUrl)
{
    TempDir dir;
    std::uint16_t closedPort;
    {
        CannedServer gone([](ServerConnection&) {});
        closedPort = gone.port();
    }
    EXPECT_EQ(rawGet("http://127.0.0.1:" + std::to_string(closedPort) + "/x", dir / "x"), RawGetResult::NoConnection);
    EXPECT_EQ(rawGet("https://127.0.0.1/x", dir / "x"), RawGetResult::BadUrl);
    EXPECT_EQ(rawGet("no url", dir / "x"), RawGetResult::BadUrl);
    quorvane::test::writeFile(dir / "plain", "a file, not a folder");
    EXPECT_EQ(rawGet("http://127.0.0.1:1/x", dir / "plain/x"), RawGetResult::NoFolder);
}

TEST(ReleaseSignature, OnlyTheKeysOwnSignatureOfTheseBytesPasses)
{
    const ReleaseKey key, stranger;
    const std::string manifest = "<update><Version>V3</Version></update>\n";
    std::string altered = manifest;
    altered[18] = '4';
    const std::string good = key.sign(manifest);
    const struct {
        const char* what;
        std::string configured;
        std::optional<std::string> signature;
        SignatureVerdict verdict;
    } cases[] = {
        {"no key", "null", std::nullopt, SignatureVerdict::NotRequired},
        {"empty key", " ", stranger.sign(manifest), SignatureVerdict::NotRequired},
        {"raw key, raw signature", key.rawPublic(), good, SignatureVerdict::Valid},
        {"PEM body, base64 signature", key.pemBody(), quorvane::testing::base64(good) + "\n", SignatureVerdict::Valid},
        {"missing", key.rawPublic(), std::nullopt, SignatureVerdict::Missing},
        {"of other bytes", key.rawPublic(), key.sign(altered), SignatureVerdict::Invalid},
        {"by another key", key.pemBody(), stranger.sign(manifest), SignatureVerdict::Invalid},
        {"cut short", key.rawPublic(), good.substr(0, 63), SignatureVerdict::Invalid},
        {"empty file", key.rawPublic(), std::string(), SignatureVerdict::Invalid},
        {"key not base64", "not-a-key!", good, SignatureVerdict::BadKey},
        {"key too short", key.rawPublic().substr(0, 40), good, SignatureVerdict::BadKey},
    };
    for (const auto& c : cases) {
        const auto verdict = checkManifestSignature(c.configured, manifest, c.signature);
        EXPECT_EQ(verdict, c.verdict) << c.what;
        EXPECT_EQ(allowsInstall(verdict),
                  c.verdict == SignatureVerdict::NotRequired || c.verdict == SignatureVerdict::Valid);
    }
}

TEST(ReleaseSignature, Base64)
{
    EXPECT_EQ(decodeBase64("aGVsbG8="), "hello");
    EXPECT_EQ(decodeBase64("aGVs\nbG8"), "hello");
    EXPECT_EQ(decodeBase64(""), "");
    EXPECT_FALSE(decodeBase64("aGVsbG8=x"));
    EXPECT_FALSE(decodeBase64("a"));
    EXPECT_FALSE(decodeBase64("aGV*"));
}
