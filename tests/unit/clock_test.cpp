// Tick conversions and the two waits, measured against the standard steady clock.
#include "core/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

namespace {

struct FrequencyOverride {
    int64_t saved;
    explicit FrequencyOverride(int64_t frequency) : saved(tickFrequency) { tickFrequency = frequency; }
    ~FrequencyOverride() { tickFrequency = saved; }
};

TEST(TickConversion, AtTenMegahertz)
{
    FrequencyOverride at(10000000);
    EXPECT_DOUBLE_EQ(1.5, ticksToUs(15));
    EXPECT_DOUBLE_EQ(0.0015, ticksToMs(15));
    EXPECT_DOUBLE_EQ(-1.0, ticksToUs(-10));
    EXPECT_DOUBLE_EQ(166666.7, ticksToUs(1666667));
    EXPECT_DOUBLE_EQ(16.6666, ticksToMs(166666));
}

TEST(TickConversion, LargeDifferencesStayExact)
{
    FrequencyOverride at(10000000);
    // A day of ticks converts without overflow.
    EXPECT_DOUBLE_EQ(86400000.0, ticksToMs(864000000000LL));
}

TEST(Tick, StartsNearZeroAfterInit)
{
    ASSERT_TRUE(tickInit());
    EXPECT_GT(tickFrequency, 0);
    EXPECT_EQ(0, toTick(tickBase));
    const int64_t first = tick();
    EXPECT_GE(first, 0);
    EXPECT_LT(ticksToMs(first), 1000.0);    // loosely: well within a second of init
    EXPECT_GE(tick(), first);
}

TEST(AbsDouble, KeepsNegativeZero)
{
    EXPECT_EQ(2.5, absDouble(-2.5));
    EXPECT_EQ(2.5, absDouble(2.5));
    EXPECT_TRUE(std::signbit(absDouble(-0.0)));
}

TEST(Waits, SpinWaitUsLastsAtLeastItsArgument)
{
    ASSERT_TRUE(tickInit());
    using Clock = std::chrono::steady_clock;
    for (int round = 0; round < 20; ++round) {
        const Clock::time_point before = Clock::now();
        const int64_t start = tick();
        spinWaitUs(15);
        const int64_t end = tick();
        const auto elapsed = Clock::now() - before;
        EXPECT_GE(ticksToUs(end - start), 15.0);
        EXPECT_GE(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count(), 15000);
    }
    const int64_t start = tick();
    spinWaitUs(0);
    spinWaitUs(-5);
    EXPECT_LT(ticksToMs(tick() - start), 1000.0);
}

TEST(Waits, SpinOneMsLastsAtLeastOneMillisecond)
{
    ASSERT_TRUE(tickInit());
    using Clock = std::chrono::steady_clock;
    for (int round = 0; round < 10; ++round) {
        const Clock::time_point before = Clock::now();
        spinOneMs();
        const auto elapsed = Clock::now() - before;
        EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(), 1000);
    }
}

}  // namespace
