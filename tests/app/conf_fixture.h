#pragma once
// A throw-away program directory with the conf/ files the shell reads, made
// the working directory for the duration of a test.
#include "common/cipher.h"
#include "common/property_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <unistd.h>
#include <utility>

namespace quorvane::testing
{

class ProgramDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previous = std::filesystem::current_path();
        char tmpl[] = "/tmp/quorvane-app-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        std::filesystem::create_directories(m_dir / "conf");
        std::filesystem::current_path(m_dir);
        writeDefaultConf();
    }

    void TearDown() override
    {
        std::filesystem::current_path(m_previous);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    using Lines = std::initializer_list<std::pair<std::string, std::string>>;

    void writeProps(const std::string& name, Lines lines)
    {
        std::ofstream out(m_dir / "conf" / name, std::ios::binary);
        out << "#user config\r\n";
        for (const auto& [k, v] : lines)
            out << k << "=" << v << "\r\n";
    }

    std::string prop(const std::string& name, const std::string& key)
    {
        PropertyFile f((m_dir / "conf" / name).string());
        f.load();
        return f.get(key);
    }

    // The shipped shape: the web project on loopback, a user stored.
    void writeDefaultConf(const std::string& storedUser = "alice", const std::string& storedPass = "secret")
    {
        writeProps("config.properties", {{"login_window_show", "false"},
                                         {"update_server_url", encryptValue("127.0.0.1", kValueKey)},
                                         {"update_server_url_gd", encryptValue("127.0.0.9", kValueKey)},
                                         {"web_project_port", "18080"},
                                         {"web_project_port_gd", "18099"},
                                         {"web_project_name", "qvweb"},
                                         {"login_servlet", "loginCheck"},
                                         {"s_coru_e", "scoreQuery"},
                                         {"view_ui", "portalPage"},
                                         {"view_ui_k", "portalKey"},
                                         {"CPUMemoryPeriod", "15"},
                                         {"WlanPeriod", "30"},
                                         {"manual", "0"}});
        writeProps("l_c_config_01.properties", {{"username", encryptValue(storedUser, kValueKey)},
                                                {"userpass", encryptValue(storedPass, kValueKey)},
                                                {"uname", "old"},
                                                {"userid", "7"},
                                                {"rem", "0"},
                                                {"auto", "1"},
                                                {"pre_date", "2013-05-06 09\\:41\\:07"}});
        writeProps("user_conf.properties", {{"geography_id", ""}});
    }

    std::filesystem::path m_dir;
    std::filesystem::path m_previous;
};

} // namespace quorvane::testing
