#pragma once
// The main window's two levels of pages and when a switch is refused: a page
// whose own test is running keeps the user, and the manual-test level is not
// left while any test runs. No window here, so the rules are tested alone.
#include <array>

namespace quorvane
{

enum TestPage { kBandwidthPage = 0, kWebPage = 1, kVideoPage = 2, kDownloadPage = 3 };
enum TopPage { kManualTop = 0, kHistoryTop = 1, kSettingsTop = 2 };

// Which tests run now, in test-page order.
struct RunningTests {
    std::array<bool, 4> running{};
    bool any() const { return running[0] || running[1] || running[2] || running[3]; }
    static RunningTests current(); // from the program-wide flags
};

class Navigation
{
public:
    enum class Result { Unchanged, Refused, Switched };

    int testPage() const { return m_testPage; }
    int topPage() const { return m_topPage; }

    // A request for the current page changes nothing; a switch away from a
    // page whose test runs is refused and the current page stays.
    Result requestTestPage(int page, const RunningTests& tests);
    Result requestTopPage(int page, const RunningTests& tests);

    // Selects a page without the rules (opening the window from the tray).
    void forceTopPage(int page) { m_topPage = page; }
    void forceTestPage(int page) { m_testPage = page; }

private:
    int m_testPage = kBandwidthPage;
    int m_topPage = kManualTop;
};

inline constexpr const char* kSwitchRefused = "正在测速不能切换。。。";

} // namespace quorvane
