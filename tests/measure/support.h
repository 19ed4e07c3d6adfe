#pragma once
// Shared pieces of the bandwidth test's tests: a clock that moves only when
// someone sleeps on it, a throwaway installation made from dist/, and the
// program-wide flags put back after every test.
#include "common/clock.h"
#include "common/flags.h"
#include "support/local_time.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace quorvane::test
{

// Starts at a fixed local time. sleepFor moves it forward at once (after a
// real pause of at most `realPause`, so that a thread polling it cannot spin
// the time away from the others).
class SteppingClock : public Clock
{
public:
    explicit SteppingClock(System::time_point wall, std::chrono::milliseconds realPause = std::chrono::milliseconds(0))
        : m_wall(wall), m_realPause(realPause)
    {
    }
    Steady::time_point now() const override
    {
        std::lock_guard lock(m_mutex);
        return Steady::time_point(m_wall.time_since_epoch());
    }
    System::time_point wallNow() const override
    {
        std::lock_guard lock(m_mutex);
        return m_wall;
    }
    void sleepFor(std::chrono::milliseconds d) override
    {
        if (m_realPause.count() > 0)
            std::this_thread::sleep_for(std::min(d, m_realPause));
        std::lock_guard lock(m_mutex);
        m_wall += d + m_oversleep;
        ++m_sleeps;
    }
    // Every sleep lasts this much longer than asked (a loaded machine).
    void setOversleep(std::chrono::milliseconds extra)
    {
        std::lock_guard lock(m_mutex);
        m_oversleep = extra;
    }
    int sleeps() const
    {
        std::lock_guard lock(m_mutex);
        return m_sleeps;
    }

private:
    mutable std::mutex m_mutex;
    System::time_point m_wall;
    std::chrono::milliseconds m_realPause;
    std::chrono::milliseconds m_oversleep{0};
    int m_sleeps = 0;
};

inline void resetFlags()
{
    flags::autoMode = 0;
    flags::stopRequested = 0;
    flags::autoAbortArmed = 0;
    flags::scheduledTaskCount = 0;
    flags::completedTaskCount = 0;
    flags::bandwidthTestRunning = 0;
}

// A copy of the shipped installation's conf/ and Config/ (without the large
// upload file, which the tests write small where they need it), as the
// working directory of the test.
class Installation
{
public:
    Installation()
    {
        const std::filesystem::path dist = std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist";
        for (const char* folder : {"conf", "Config"}) {
            for (const auto& entry : std::filesystem::directory_iterator(dist / folder)) {
                if (entry.path().filename() == "upload.dat")
                    continue;
                std::filesystem::create_directories(m_dir.path() / folder);
                std::filesystem::copy_file(entry.path(), m_dir.path() / folder / entry.path().filename());
            }
        }
        writeFile(m_dir / "conf/upload.dat", std::string(64 * 1024, 'u'));
        m_previous = std::filesystem::current_path();
        std::filesystem::current_path(m_dir.path());
    }
    ~Installation()
    {
        std::error_code ec;
        std::filesystem::current_path(m_previous, ec);
    }
    const std::filesystem::path& path() const { return m_dir.path(); }
    std::filesystem::path operator/(const std::string& name) const { return m_dir / name; }
    std::string read(const std::string& name) const { return readFile(m_dir / name); }
    void write(const std::string& name, const std::string& bytes) const { writeFile(m_dir / name, bytes); }

    // Rewrites one key of conf/config.properties; an empty value removes it.
    void setConfig(const std::string& key, const std::string& value) const
    {
        std::string text = read("conf/config.properties");
        std::string out;
        std::size_t from = 0;
        while (from < text.size()) {
            std::size_t end = text.find('\n', from);
            end = end == std::string::npos ? text.size() : end + 1;
            const std::string line = text.substr(from, end - from);
            if (line.rfind(key + "=", 0) != 0)
                out += line;
            from = end;
        }
        if (!value.empty())
            out += key + "=" + value + "\r\n";
        write("conf/config.properties", out);
    }

private:
    TempDir m_dir;
    std::filesystem::path m_previous;
};

} // namespace quorvane::test
