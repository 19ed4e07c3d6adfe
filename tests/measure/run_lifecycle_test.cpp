#include "measure/run_lifecycle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvane::measure
{
namespace
{

struct FakeRun {
    int id = 0;
    bool complete = true;
    bool recordable() const { return complete; }
};

// Each step keeps a run ("keep N", "keep N short" for one that is not
// recordable) or asks for the record ("take"); a take answers with the id of
// the run it hands out, or 0 for none.
struct RecordCase {
    const char* name;
    std::vector<std::string> steps;
    std::vector<int> takes;
};

TEST(RunLifecycle, HandsEachRecordableRunOutOnce)
{
    const RecordCase cases[] = {
        {"no run yet", {"take"}, {0}},
        {"a second message for the same run", {"keep 1", "take", "take"}, {1, 0}},
        {"a run short of its figures", {"keep 1 short", "take"}, {0}},
        {"every new run once", {"keep 1", "take", "keep 2", "take"}, {1, 2}},
        {"a short run replaces one not yet taken", {"keep 1", "keep 2 short", "take"}, {0}},
        {"the latest of two unread runs", {"keep 1", "keep 2", "take", "take"}, {2, 0}},
        {"a refused take leaves the next run its own", {"keep 1 short", "take", "keep 2", "take"}, {0, 2}},
    };
    for (const RecordCase& c : cases) {
        RunLifecycle<FakeRun> life;
        std::vector<int> takes;
        for (const std::string& step : c.steps) {
            if (step == "take") {
                const auto taken = life.takeForRecord();
                takes.push_back(taken ? taken->first.id : 0);
            } else {
                FakeRun run;
                run.id = step[5] - '0';
                run.complete = step.find("short") == std::string::npos;
                life.keep(run);
            }
        }
        EXPECT_EQ(takes, c.takes) << c.name;
    }
}

TEST(RunLifecycle, TheRecordIsForTheUserAtWritingTime)
{
    // A login between the run and its record-ready message names the user
    // the page has then, as the record's session fields always did.
    RunLifecycle<FakeRun> life;
    UserSession alice, bob;
    alice.userId = "1";
    bob.userId = "2";
    life.setUser(alice);
    life.keep(FakeRun{7, true});
    life.setUser(bob);
    const auto taken = life.takeForRecord();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->second.userId, "2");
}

TEST(RunLifecycle, OneRunAtATimeAndAManualThreadThatIsWaitedFor)
{
    RunLifecycle<FakeRun> life;
    ASSERT_TRUE(life.begin());
    EXPECT_FALSE(life.begin()) << "a second start while a run goes";
    std::atomic<bool> ran{false};
    life.startManual([&] {
        ran = true;
        life.keep(FakeRun{3, true});
        life.release();
    });
    life.waitForManualRun();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(life.manualRunActive());
    EXPECT_TRUE(life.begin()) << "released by the run's end";
    EXPECT_EQ(life.lastRun().id, 3);
}

TEST(RunLifecycle, CompletedAutomaticRunsCountUnlessStopped)
{
    struct Case {
        bool automatic;
        int stopRequested;
        bool handsOver;
    };
    const Case cases[] = {{true, 0, true}, {true, 1, false}, {false, 0, false}, {false, 1, false}};
    for (const Case& c : cases) {
        flags::stopRequested = c.stopRequested;
        flags::completedTaskCount = 5;
        EXPECT_EQ(CountCompletedRun(c.automatic), c.handsOver) << c.automatic << c.stopRequested;
        EXPECT_EQ(flags::completedTaskCount.load(), c.handsOver ? 6 : 5) << c.automatic << c.stopRequested;
    }
    flags::stopRequested = 0;
    flags::completedTaskCount = 0;
}

TEST(RunLifecycle, OnlyAStopOfArmedAutomaticTestingStopsARun)
{
    // A manual start disarms: the user's own run goes on whatever the old
    // stop says.
    const int cases[][3] = {{1, 1, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}};
    for (const auto& c : cases) {
        flags::autoAbortArmed = c[0];
        flags::stopRequested = c[1];
        EXPECT_EQ(AutomaticStopRequested(), c[2] == 1) << c[0] << c[1];
    }
    flags::autoAbortArmed = 0;
    flags::stopRequested = 0;
}

} // namespace
} // namespace quorvane::measure
