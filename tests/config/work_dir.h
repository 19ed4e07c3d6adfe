#pragma once
// Every test of the configuration documents runs in a fresh temporary folder
// that is its working directory (the program directory, as far as the code
// under test knows), with the Config and conf folders in place.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace quorvane::test
{

class WorkDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previous = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-config-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        std::filesystem::current_path(m_dir);
        std::filesystem::create_directory("Config");
        std::filesystem::create_directory("conf");
    }

    void TearDown() override
    {
        std::filesystem::current_path(m_previous);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    static void write(const std::string& path, const std::string& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    static std::string read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    const std::filesystem::path& dir() const { return m_dir; }

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_dir;
};

} // namespace quorvane::test
