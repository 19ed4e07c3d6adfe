#include "app/shell/navigation.h"

#include "common/flags.h"

namespace quorvane
{

RunningTests RunningTests::current()
{
    RunningTests t;
    t.running = {flags::bandwidthTestRunning.load() != 0, flags::webTestRunning.load() != 0,
                 flags::videoTestRunning.load() != 0, flags::downloadTestRunning.load() != 0};
    return t;
}

Navigation::Result Navigation::requestTestPage(int page, const RunningTests& tests)
{
    if (page < 0 || page > 3 || page == m_testPage)
        return Result::Unchanged;
    if (tests.running[static_cast<std::size_t>(m_testPage)])
        return Result::Refused;
    m_testPage = page;
    return Result::Switched;
}

Navigation::Result Navigation::requestTopPage(int page, const RunningTests& tests)
{
    if (page < 0 || page > 2)
        return Result::Unchanged;
    if (m_topPage == kManualTop && page != kManualTop && tests.any())
        return Result::Refused;
    // Asking for the current top page again still re-selects it (the manual
    // level then shows its current test page again).
    m_topPage = page;
    return Result::Switched;
}

} // namespace quorvane
