#include "measure/bandwidth_test.h"
#include "measure/file_download.h"
#include "measure/stream_player.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace quorvane::measure
{
namespace
{

// The command line's JSON and the logs tell outcomes apart by their words:
// every value up to the last has one, and no two share it.
template <typename E> std::size_t distinctWords(const char* (*word)(E), E last)
{
    std::set<std::string> words;
    for (int i = 0; i <= static_cast<int>(last); ++i) {
        const std::string w = word(static_cast<E>(i));
        EXPECT_NE(w, "unknown") << i;
        words.insert(w);
    }
    return words.size();
}

TEST(OutcomeWords, EveryOutcomeHasAWordOfItsOwn)
{
    EXPECT_EQ(distinctWords(OutcomeName, RunOutcome::Stopped), 13u);
    EXPECT_EQ(distinctWords(DownloadOutcomeName, DownloadOutcome::NoBody), 8u);
    EXPECT_EQ(distinctWords(StreamEndName, StreamEnd::Stopped), 7u);
    EXPECT_STREQ(OutcomeName(static_cast<RunOutcome>(99)), "unknown");
}

} // namespace
} // namespace quorvane::measure
