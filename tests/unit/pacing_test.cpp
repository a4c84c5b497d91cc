// The deadline sleep, the predicted vsync grid and the vsync-mode window of the
// animation test, on a clock that moves only when the code under test sleeps.
#include "core/clock.h"
#include "measure/pacing.h"

#include "support/tick_guard.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int64_t kTicksPerMs = 10000;    // a 10 MHz counter

int64_t g_now = 0;
std::vector<uint32_t> g_sleeps;
std::vector<int64_t> g_sleepShortBy;   // per sleep, how many ticks it falls short (0: it overshoots)
std::vector<uint32_t> g_vsyncWaits;
int g_pulseOnWait = 0;        // the vsync pulse comes during this wait (1-based); 0: never
bool g_waitFailsAtOnce = false;

int64_t fakeNow() { return g_now; }
void fakeSleep(uint32_t ms)
{
    const size_t index = g_sleeps.size();
    g_sleeps.push_back(ms);
    if (index < g_sleepShortBy.size() && g_sleepShortBy[index] > 0)
        g_now += ms * kTicksPerMs - g_sleepShortBy[index];   // this one comes back early
    else
        g_now += ms * kTicksPerMs + 700;    // sleeps overshoot a little
}
bool fakeVsyncWait(uint32_t ms)
{
    g_vsyncWaits.push_back(ms);
    if (g_waitFailsAtOnce) {
        g_now += 3000;    // the call itself takes a moment
        return false;
    }
    if (static_cast<int>(g_vsyncWaits.size()) == g_pulseOnWait) {
        g_now += kTicksPerMs / 2;
        return true;
    }
    g_now += ms * kTicksPerMs;
    return false;
}

const PacingCalls kFakes = {fakeNow, fakeSleep, fakeVsyncWait};

class SleepUntil : public ::testing::Test {
protected:
    const ClockGuard clock{10000000};
    void SetUp() override
    {
        g_now = 1000000;
        g_sleeps.clear();
        g_sleepShortBy.clear();
        g_vsyncWaits.clear();
        g_pulseOnWait = 0;
        g_waitFailsAtOnce = false;
    }
};

TEST_F(SleepUntil, PastOrPresentDeadlineReturnsZeroWithoutWaiting)
{
    EXPECT_EQ(0, sleepUntilWith(kFakes, g_now - 5, false));
    EXPECT_EQ(0, sleepUntilWith(kFakes, g_now, true));
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_TRUE(g_vsyncWaits.empty());
}

TEST_F(SleepUntil, SleepModeRoundsUpAndReturnsOnlyAfterTheDeadline)
{
    const int64_t deadline = g_now + 22000;    // 2.2 ms ahead
    EXPECT_EQ(1, sleepUntilWith(kFakes, deadline, false));
    ASSERT_EQ(1u, g_sleeps.size());
    EXPECT_EQ(3u, g_sleeps[0]);
    EXPECT_GE(g_now, deadline);

}

TEST_F(SleepUntil, ASleepThatFallsShortIsFollowedByOneForTheRest)
{
    // 9.5 ms ahead: a 10 ms sleep that comes back after 8 ms leaves 1.5 ms, so a 2 ms sleep
    // follows; that one falls 1.4 ms short (0.6 ms), leaving 0.9 ms: a 1 ms sleep, which
    // overshoots and ends it.
    g_sleepShortBy = {2 * kTicksPerMs, 14000};
    const int64_t deadline = g_now + 95 * kTicksPerMs / 10;
    EXPECT_EQ(3, sleepUntilWith(kFakes, deadline, false));
    EXPECT_EQ((std::vector<uint32_t>{10, 2, 1}), g_sleeps);
    EXPECT_GE(g_now, deadline);
}

TEST_F(SleepUntil, VsyncModeReturnsAtTheFirstPulseEvenBeforeTheDeadline)
{
    g_pulseOnWait = 1;
    const int64_t deadline = g_now + 12 * kTicksPerMs;
    EXPECT_EQ(1, sleepUntilWith(kFakes, deadline, true));
    ASSERT_EQ(1u, g_vsyncWaits.size());
    EXPECT_EQ(12u, g_vsyncWaits[0]);
    EXPECT_LT(g_now, deadline);
    EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(SleepUntil, VsyncModeWithoutPulsesWaitsOutTheDeadlineCountingEachCall)
{
    // The server has ended: every wait fails at once; the loop keeps counting until
    // the deadline has passed.
    g_waitFailsAtOnce = true;
    const int64_t deadline = g_now + 30000;
    const int32_t waits = sleepUntilWith(kFakes, deadline, true);
    EXPECT_EQ(10, waits);    // 3000 ticks per failed call, 30000 to go
    EXPECT_EQ(static_cast<size_t>(waits), g_vsyncWaits.size());
    EXPECT_GE(g_now, deadline);
}

TEST(DeadlineWait, WholeMillisecondsRoundedUpAtLeastOne)
{
    EXPECT_EQ(3u, deadlineWaitMs(2.2));
    EXPECT_EQ(2u, deadlineWaitMs(2.0));
    EXPECT_EQ(1u, deadlineWaitMs(0.0001));
    EXPECT_EQ(1u, deadlineWaitMs(0.0));
}

int64_t g_clock = 0;
int64_t fixedClock() { return g_clock; }

TEST(StepDeadline, MovesOnByPeriodsUntilNotInThePast)
{
    g_clock = 1330;
    EXPECT_EQ(1480, stepDeadline(1000, 160, fixedClock));    // 1160, 1320, 1480
    g_clock = 1320;
    EXPECT_EQ(1320, stepDeadline(1000, 160, fixedClock));    // equal to now stays
    g_clock = 900;
    EXPECT_EQ(1000, stepDeadline(1000, 160, fixedClock));
    g_clock = 5000;
    EXPECT_EQ(1000, stepDeadline(1000, 0, fixedClock));      // cannot step: no endless loop
}

TEST(StepDeadline, ReadsTheClockAgainAfterEachStep)
{
    // A clock that moves on by 100 ticks at every reading: 1100 (1000 is behind: 1160), 1200
    // (1160 is behind: 1320), 1300 (1320 is not): three readings and 1320. A stepping that
    // read the clock once would stop at 1160.
    static int64_t moving = 1000;
    static int readings = 0;
    moving = 1000;
    readings = 0;
    const int64_t got = stepDeadline(1000, 160, [] {
        ++readings;
        return moving += 100;
    });
    EXPECT_EQ(1320, got);
    EXPECT_EQ(3, readings);
}

TEST(MimicVsyncMode, MiddleHalfOfTheRun)
{
    std::vector<int32_t> on;
    for (int32_t i = 0; i < 60; ++i)
        if (mimicVsyncMode(i, 60))
            on.push_back(i);
    ASSERT_EQ(29u, on.size());
    EXPECT_EQ(16, on.front());
    EXPECT_EQ(44, on.back());

    EXPECT_FALSE(mimicVsyncMode(1, 4));
    EXPECT_TRUE(mimicVsyncMode(2, 4));
    EXPECT_FALSE(mimicVsyncMode(3, 4));
    EXPECT_FALSE(mimicVsyncMode(0, 3));
    EXPECT_TRUE(mimicVsyncMode(1, 3));
    EXPECT_FALSE(mimicVsyncMode(2, 3));
    EXPECT_TRUE(mimicVsyncMode(50000, 100000));
}

}  // namespace
