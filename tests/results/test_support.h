#pragma once
// Shared pieces of the results tests: a throwaway installation folder, a
// clock the test sets, and a log that remembers what it was told.
#include "common/clock.h"
#include "results/result_log.h"
#include "results/service_time.h"
#include "support/local_time.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvane::test
{

// A wall clock that stands still until the test moves it.
class FakeClock : public Clock
{
public:
    explicit FakeClock(System::time_point wall) : m_wall(wall) {}
    Steady::time_point now() const override { return Steady::time_point(m_wall.time_since_epoch()); }
    System::time_point wallNow() const override { return m_wall; }
    void sleepFor(std::chrono::milliseconds d) override { m_wall += d; }
    void set(System::time_point wall) { m_wall = wall; }

private:
    System::time_point m_wall;
};

// The instant whose local calendar time is the given one.
inline std::chrono::system_clock::time_point atLocal(int year, int month, int day, int hour, int minute, int second)
{
    return localTime(year, month, day, hour, minute, second);
}

// A service clock that never asks the network: the fake clock's local time.
struct StillClock {
    std::shared_ptr<FakeClock> clock;
    ServiceClock service;
    StillClock(int year, int month, int day, int hour, int minute, int second)
        : clock(std::make_shared<FakeClock>(atLocal(year, month, day, hour, minute, second))),
          service("", nullptr, clock)
    {
    }
    void advance(std::chrono::seconds s) { clock->sleepFor(s); }
};

class LogCollector
{
public:
    ResultLog sink()
    {
        return [this](const std::string& line) {
            std::lock_guard guard(m_mutex);
            m_lines.push_back(line);
        };
    }
    bool contains(const std::string& part) const
    {
        std::lock_guard guard(m_mutex);
        for (const auto& line : m_lines) {
            if (line.find(part) != std::string::npos)
                return true;
        }
        return false;
    }
    std::string all() const
    {
        std::lock_guard guard(m_mutex);
        std::string out;
        for (const auto& line : m_lines)
            out += line + "\n";
        return out;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

inline std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void spit(const std::filesystem::path& path, const std::string& bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::vector<std::string> listNames(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace quorvane::test
