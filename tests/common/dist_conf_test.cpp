// The property files the installation ships: in the on-disk format, holding
// every key the programs read, enciphered values that decipher, and end
// points on this machine only.
#include "common/cipher.h"
#include "common/codepage.h"
#include "common/paths.h"
#include "common/property_file.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace quorvane;

namespace
{

const std::string kConf = std::string(QUORVANE_SOURCE_DIR) + "/dist/conf/";

struct Shipped {
    const char* file;
    std::vector<const char*> keys; // every key the programs read from it
};

const Shipped kFiles[] = {
    {"config.properties",
     {"login_window_show", "update_server_url", "web_project_port", "web_project_name", "login_servlet", "s_coru_e",
      "view_ui", "view_ui_k", "AutoPeriod", "CPUMemoryPeriod", "WlanPeriod", "manual", "url_down_file",
      "upload_local_file_path", "update_server_path", "update_ver_file_name", "update_ver_xml"}},
    {"l_c_config_01.properties",
     {"username", "userpass", "uname", "userid", "rem", "auto", "pre_date", "upload_method"}},
    {"update_process.properties", {"update_process_id", "new_app_ver"}},
    {"ipconfig.properties", {}},
    {"user_conf.properties", {"geography_id"}},
};

PropertyFile loadShipped(const std::string& name)
{
    PropertyFile file(kConf + name);
    EXPECT_TRUE(file.load()) << name << " must load to its end";
    return file;
}

bool isDecimal(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool isLoopbackHost(const std::string& host)
{
    return host == "localhost" || std::regex_match(host, std::regex(R"(127\.\d{1,3}\.\d{1,3}\.\d{1,3})"));
}

TEST(ShippedConfiguration, FilesAreInTheOnDiskFormat)
{
    for (const auto& shipped : kFiles) {
        SCOPED_TRACE(shipped.file);
        const std::string text = test::readFile(kConf + shipped.file);
        ASSERT_FALSE(text.empty()) << "missing";
        EXPECT_THAT(text, ::testing::StartsWith("#user config\r\n#"));
        EXPECT_THAT(text, ::testing::EndsWith("\r\n"));
        EXPECT_EQ(text.find("\r\n\r\n"), std::string::npos) << "no empty lines";
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                ASSERT_EQ(text[i - 1], '\r') << "bare LF at " << i;
            }
        }
        EXPECT_TRUE(isValidUtf8(text));

        const auto file = loadShipped(shipped.file);
        std::set<std::string> seen;
        for (const auto& [key, value] : file.entries())
            EXPECT_TRUE(seen.insert(key).second) << "duplicated key " << key;
        for (const char* key : shipped.keys)
            EXPECT_NE(file.get(key), PropertyFile::kNull) << "missing key " << key;
    }
}

TEST(ShippedConfiguration, WebProjectEndPointIsOnThisMachineForEveryRegionSuffix)
{
    const auto config = loadShipped("config.properties");
    const auto userConf = loadShipped("user_conf.properties");
    // The suffix the login uses: the shipped geography_id, and "null" for
    // an installation whose user_conf.properties got lost.
    for (const std::string& suffix : {userConf.get("geography_id"), std::string(PropertyFile::kNull)}) {
        SCOPED_TRACE("suffix \"" + suffix + "\"");
        const std::string hostKey = suffix.empty() ? "update_server_url" : "update_server_url_" + suffix;
        const std::string portKey = suffix.empty() ? "web_project_port" : "web_project_port_" + suffix;
        const std::string cipher = config.get(hostKey);
        ASSERT_NE(cipher, PropertyFile::kNull);
        ASSERT_TRUE(isWellFormedCipherText(cipher)) << cipher;
        EXPECT_TRUE(isLoopbackHost(decryptValue(cipher, kValueKey))) << decryptValue(cipher, kValueKey);
        const std::string port = config.get(portKey);
        ASSERT_TRUE(isDecimal(port)) << port;
        EXPECT_GT(std::stoi(port), 0);
        EXPECT_LT(std::stoi(port), 65536);
    }
    EXPECT_EQ(userConf.get("geography_id"), "");
    for (const char* servlet : {"web_project_name", "login_servlet", "s_coru_e", "view_ui", "view_ui_k"}) {
        EXPECT_THAT(config.get(servlet), ::testing::MatchesRegex("[A-Za-z0-9_]+")) << servlet;
    }
}

TEST(ShippedConfiguration, SwitchesPeriodsAndUpdateLocationsAreUsable)
{
    const auto config = loadShipped("config.properties");
    EXPECT_EQ(config.get("login_window_show"), "false");
    EXPECT_EQ(config.get("manual"), "0");
    for (const char* period : {"AutoPeriod", "CPUMemoryPeriod", "WlanPeriod"}) {
        ASSERT_TRUE(isDecimal(config.get(period))) << period;
        EXPECT_GT(std::stoi(config.get(period)), 0) << period << " of 0 minutes would re-run a rejected round at once";
    }
    EXPECT_THAT(config.get("url_down_file"), ::testing::MatchesRegex("[A-Za-z0-9_.-]+"));
    // The bandwidth test uploads this file; upload threads end at once on a
    // missing or empty one, and every upload would then measure nothing.
    const auto uploadFile =
        programPath(std::string(QUORVANE_SOURCE_DIR) + "/dist", config.get("upload_local_file_path"));
    EXPECT_TRUE(std::filesystem::is_regular_file(uploadFile)) << uploadFile;
    if (std::filesystem::is_regular_file(uploadFile)) {
        EXPECT_GE(std::filesystem::file_size(uploadFile), 1024u * 1024u);
    }

    const std::string base = config.get("update_server_path");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(base, m, std::regex(R"(http://([^/:]+)(:\d+)?/.*/)"))) << base;
    EXPECT_TRUE(isLoopbackHost(m[1])) << base;
    EXPECT_THAT(config.get("update_ver_file_name"), ::testing::MatchesRegex("[A-Za-z0-9_.-]+"));
    EXPECT_THAT(config.get("update_ver_xml"), ::testing::MatchesRegex("[A-Za-z0-9_.-]+"));

    // The update check and Velomark read the file with the lighter lookups;
    // they must find what the property object finds.
    const std::string path = kConf + "config.properties";
    EXPECT_EQ(lookupContaining(path, "update_server_path", "update_ver_file_name"),
              std::make_pair(base, config.get("update_ver_file_name")));
    for (const auto& [key, value] : config.entries())
        EXPECT_EQ(lookupFirst(path, key), value) << key;
}

TEST(ShippedConfiguration, AFreshInstallationAsksForALogin)
{
    const auto login = loadShipped("l_c_config_01.properties");
    EXPECT_EQ(login.get("auto"), "0");
    EXPECT_EQ(login.get("upload_method"), "m1");
    EXPECT_EQ(login.get("pre_date"), "") << "an empty pre_date reads as a first login";
    for (const char* key : {"username", "userpass"}) {
        const std::string cipher = login.get(key);
        EXPECT_TRUE(isWellFormedCipherText(cipher)) << key;
        EXPECT_EQ(decryptValue(cipher, kValueKey), "") << key;
    }
    const auto process = loadShipped("update_process.properties");
    EXPECT_TRUE(isDecimal(process.get("update_process_id")));
    EXPECT_FALSE(process.get("new_app_ver").empty()) << "an empty installed version stops every update";
}

// What the programs do to the shipped files at run time works on them:
// the first start adds the adapter address, the settings flip the flags
// in place, a login stamps pre_date.
TEST(ShippedConfiguration, RunTimeChangesApplyToTheShippedFiles)
{
    test::TempDir dir;
    for (const auto& shipped : kFiles)
        std::filesystem::copy_file(kConf + shipped.file, dir.file(shipped.file));

    {
        PropertyFile ip(dir.file("ipconfig.properties"));
        EXPECT_TRUE(ip.load());
        ip.add("00-1A-2B-3C-4D-5E", "1");
        EXPECT_TRUE(ip.save(false));
        PropertyFile again(dir.file("ipconfig.properties"));
        EXPECT_TRUE(again.load());
        EXPECT_EQ(again.get("00-1A-2B-3C-4D-5E"), "1");
    }
    for (const auto& [file, key] : {std::pair{"config.properties", "manual"}, {"l_c_config_01.properties", "auto"}}) {
        const std::string path = dir.file(file);
        const auto size = std::filesystem::file_size(path);
        toggleFlagInPlace(path, key, '1');
        PropertyFile flipped(path);
        EXPECT_TRUE(flipped.load());
        EXPECT_EQ(flipped.get(key), "1") << file;
        EXPECT_EQ(std::filesystem::file_size(path), size);
    }
    {
        PropertyFile login(dir.file("l_c_config_01.properties"));
        login.load();
        login.set("username", encryptValue("测速用户", kValueKey));
        EXPECT_TRUE(login.save(true));
        PropertyFile again(dir.file("l_c_config_01.properties"));
        again.load();
        EXPECT_EQ(decryptValue(again.get("username"), kValueKey), "测速用户");
        EXPECT_THAT(again.get("pre_date"), ::testing::MatchesRegex(R"([0-9]+-[0-9]+-[0-9]+ [0-9]+\\:[0-9]+\\:[0-9]+)"));
    }
}

} // namespace
