// The compositor tests' arithmetic: the grid of whole periods through the compositor's
// vblank, the single-precision rate period, and the interval jump that beeps.
#include "measure/dwmgrid.h"

#include "core/clock.h"

#include "support/tick_guard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

DwmGridRow gridRow(int32_t iteration, int64_t vblank, int64_t period, int64_t now)
{
    DwmGridRow row = {-1, -1};
    EXPECT_TRUE(dwmGridRow(iteration, vblank, period, now, &row));
    return row;
}

TEST(DwmGrid, VblankMovesByWholePeriodsWhileTheGridPointStays)
{
    const int64_t expectedVhvbl[] = {968, 984, 1000, 1016, 1032, 968, 984};
    for (int32_t i = 0; i < 7; ++i) {
        const DwmGridRow row = gridRow(i, 1000, 16, 1030);
        EXPECT_EQ(expectedVhvbl[i], row.vhvbl) << i;
        EXPECT_EQ(1032, row.vhvsc) << i;   // 2 ticks after now: within P/8
    }
    EXPECT_EQ(1016, gridRow(0, 1000, 16, 1029).vhvsc);   // 3 ticks after: too far
    const DwmGridRow ahead = gridRow(4, 1000, 16, 1005);  // vhvbl later than now
    EXPECT_EQ(1032, ahead.vhvbl);
    EXPECT_EQ(1000, ahead.vhvsc);
    // P = 100: h = 12, not 12.5 rounded, so the point at 100 counts from now = 88 on.
    EXPECT_EQ(12, dwmGridLead(100));
    EXPECT_EQ(100, gridRow(2, 0, 100, 88).vhvsc);
    EXPECT_EQ(0, gridRow(2, 0, 100, 87).vhvsc);
}

TEST(DwmGrid, GridPointIsTheLatestNotLaterThanNowPlusLead)
{
    // The defining property, on both sides of the vblank and of tick 0 (negative
    // remainders), for periods that are and are not multiples of 8.
    for (const int64_t vblank : {int64_t{123456789}, int64_t{-1000}}) {
        for (const int64_t period : {int64_t{16}, int64_t{100}, int64_t{166667}, int64_t{7}}) {
            const int64_t lead = dwmGridLead(period);
            for (int64_t now = vblank - 3 * period; now <= vblank + 3 * period;
                 now += period / 7 + 1) {
                for (int32_t i = 0; i < kDwmGridCycle; ++i) {
                    const DwmGridRow row = gridRow(i, vblank, period, now);
                    EXPECT_EQ(0, (row.vhvsc - vblank) % period) << period << " " << now;
                    EXPECT_LE(row.vhvsc, now + lead) << period << " " << now;
                    EXPECT_GT(row.vhvsc + period, now + lead) << period << " " << now;
                }
            }
        }
    }
}

TEST(DwmGrid, PeriodOfZeroOrLessHasNoGridAndHugeValuesDoNotOverflow)
{
    for (const int64_t period : {int64_t{0}, int64_t{-16}}) {
        DwmGridRow row = {7, 9};
        EXPECT_FALSE(dwmGridRow(3, 1000, period, 1030, &row)) << period;
        EXPECT_EQ(7, row.vhvbl);
        EXPECT_EQ(9, row.vhvsc);
    }
    // k * P = 2^63 does not fit: the sanitizer build stops on signed overflow. The grid of
    // multiples of 2^62 survives wrapping, so the point is still exact.
    const int64_t quarter = int64_t{1} << 62;
    EXPECT_EQ(0, gridRow(4, quarter, quarter, 0).vhvsc);
}

std::string formatted(float value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(value));
    return text;
}

TEST(DwmRatePeriod, IsSinglePrecisionAndZeroWithoutNumerator)
{
    EXPECT_EQ("16.666666", formatted(dwmRatePeriodMs(60, 1)));
    EXPECT_EQ("16.683332", formatted(dwmRatePeriodMs(60000, 1001)));
    EXPECT_EQ("6.944445", formatted(dwmRatePeriodMs(144, 1)));
    EXPECT_EQ("0.000000", formatted(dwmRatePeriodMs(0, 1)));
    EXPECT_EQ("0.000000", formatted(dwmRatePeriodMs(0, 0)));
}

TEST(DwmInterval, JumpNeedsTwoKnownIntervalsMoreThanHalfAMillisecondApart)
{
    {
    const ClockGuard clock(10000000);
    // Vblanks 16.7, 33.4 (a skipped frame), 16.7 and 17.1 ms apart: nothing before the
    // third vblank, a jump on the skip and on the return, none on 0.4 ms.
    const int64_t vblanks[] = {5000000, 5167000, 5501000, 5668000, 5839000};
    const double deltas[] = {0.0, 16.7, 33.4, 16.7, 17.1};
    const bool jumps[] = {false, false, true, true, false};
    int64_t previousVblank = 0;
    double previousDelta = 0.0;
    for (size_t n = 0; n < 5; ++n) {
        const double delta = dwmVblankDeltaMs(vblanks[n], previousVblank);
        EXPECT_NEAR(deltas[n], delta, 1e-9) << n;
        EXPECT_EQ(jumps[n], dwmIntervalJump(previousDelta, delta)) << n;
        previousVblank = vblanks[n];
        previousDelta = delta;
    }
    }
    EXPECT_FALSE(dwmIntervalJump(16.5, 17.0));   // exactly 0.5: strictly more is needed
    EXPECT_TRUE(dwmIntervalJump(17.0078125, 16.5));
    EXPECT_FALSE(dwmIntervalJump(16.7, -16.7));  // not an interval
}

}   // namespace
