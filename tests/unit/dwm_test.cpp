// The compositor vblank-offset poll: when it stops, what it measures and which vblank it
// hands on to the next call.
#include "dwm/dwmcore.h"

#include "core/clock.h"

#include "support/tick_guard.h"

#include <gtest/gtest.h>

namespace {

// A 10 MHz counter whose tick 0 lies at counter value 1,000,000, so that a raw counter
// value and its tick differ.
class DwmPollTest : public ::testing::Test {
protected:
    static constexpr int64_t kBase = 1000000;
    const ClockGuard clock{10000000, kBase};
    DwmPoll poll = {};
    static int64_t raw(int64_t tickValue) { return tickValue + kBase; }
};

TEST_F(DwmPollTest, NewerVblankEndsThePollAtOnceAndIsMeasuredAndRemembered)
{
    dwmPollBegin(poll, 500000, 600000);
    EXPECT_FALSE(dwmPollSample(poll, true, raw(666667), 600010));
    EXPECT_DOUBLE_EQ(1250.0, dwmPollOffsetUs(poll, 679167));     // 12,500 ticks later
    EXPECT_DOUBLE_EQ(-66.7, dwmPollOffsetUs(poll, 666000));      // before the vblank
    EXPECT_EQ(666667, dwmPollRemembered(poll));
}

TEST_F(DwmPollTest, SameVblankPollsForJustUnderHalfAMillisecondThenMeasuresFromIt)
{
    const int64_t v = 900000;
    dwmPollBegin(poll, v, 1000000);
    EXPECT_TRUE(dwmPollSample(poll, true, raw(v), 1000000));
    EXPECT_TRUE(dwmPollSample(poll, true, raw(v), 1004999));    // 499.9 us
    EXPECT_FALSE(dwmPollSample(poll, true, raw(v), 1005000));   // 500.0 us: give up
    EXPECT_DOUBLE_EQ(10500.0, dwmPollOffsetUs(poll, 1005000));
    EXPECT_EQ(v, dwmPollRemembered(poll));
}

TEST_F(DwmPollTest, VblankThatChangesDuringThePollEndsIt)
{
    dwmPollBegin(poll, 100, 200);
    EXPECT_TRUE(dwmPollSample(poll, true, raw(100), 210));
    EXPECT_FALSE(dwmPollSample(poll, true, raw(300), 220));
    EXPECT_DOUBLE_EQ(10.0, dwmPollOffsetUs(poll, 400));
    EXPECT_EQ(300, dwmPollRemembered(poll));
}

TEST_F(DwmPollTest, FailedSampleOrRawVblankOfZeroGivesZeroAndKeepsTheRememberedVblank)
{
    dwmPollBegin(poll, 777, 1000);
    EXPECT_FALSE(dwmPollSample(poll, false, raw(5000), 1001));
    EXPECT_EQ(0.0, dwmPollOffsetUs(poll, 9000));
    EXPECT_EQ(777, dwmPollRemembered(poll));

    // Raw 0 would otherwise become the tick -1,000,000 and an offset of 100 ms.
    dwmPollBegin(poll, 777, 1000);
    EXPECT_FALSE(dwmPollSample(poll, true, 0, 1001));
    EXPECT_EQ(0.0, dwmPollOffsetUs(poll, 0));
    EXPECT_EQ(777, dwmPollRemembered(poll));
}

TEST_F(DwmPollTest, FailureAfterAGoodSampleGivesZeroButHandsOnTheVblankSeen)
{
    dwmPollBegin(poll, 777, 1000);
    EXPECT_TRUE(dwmPollSample(poll, true, raw(777), 1001));
    EXPECT_FALSE(dwmPollSample(poll, false, raw(888), 1002));
    EXPECT_EQ(0.0, dwmPollOffsetUs(poll, 2000));
    EXPECT_EQ(777, dwmPollRemembered(poll));
}

}   // namespace
