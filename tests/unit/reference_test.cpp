// The reference timeline's room on its own: the fit and the dating of a rate change, each on
// time stamps made here from a timeline whose every vblank is known, never from a whole log.
#include "report/findings_rooms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// Time stamps of a timeline: vblank k at origin + k period, each late by `late(k)` ticks.
template <typename Late>
std::vector<double> stamps(double origin, double period, int from, int to, Late late)
{
    std::vector<double> out;
    for (int k = from; k < to; ++k)
        out.push_back(origin + k * period + late(k));
    return out;
}

// A deterministic jitter of a few ticks.
double jitter(int k)
{
    return static_cast<double>((k * 7919) % 13) - 6.0;
}

}   // namespace

// 100,000 frames of 60 Hz on a 10 MHz counter, every 37th point preempted by 2 ms, with a
// guess 0.1 % off (some 100 frames over the span): the fit numbers every vblank right and
// leaves the preempted points out.
TEST(ReferenceFit, AGuessOffByATenthOfAPercentNeverSlipsAFrameOverALongSpan)
{
    const double origin = 123456.75, period = 1e7 / 60.0;
    const std::vector<double> ticks =
        stamps(origin, period, 0, 100000, [](int k) { return jitter(k) + (k % 37 == 5 ? 20000.0 : 0.0); });
    const Fit fit = fitTimeline(ticks, period * 1.001);
    EXPECT_NEAR(period, fit.period, period * 1e-8);
    EXPECT_NEAR(origin, fit.origin, 5.0);
    EXPECT_LT(fit.spread, 10.0);   // the jitter's, not the preempted points'
    EXPECT_EQ(100000u - 100000u / 37u - 1u, fit.used);
}

// 60 Hz, then 50 Hz from vblank 300 on, the wake-ups late by 40 % of a frame now and then (one
// distance long and the next short, as a loaded machine wakes): the split falls at the change
// and the change is dated on the first stamp that ends a frame of the new length.
TEST(ReferenceFit, ARateChangeIsSplitAndDatedWhereTheFirstNewFrameEnds)
{
    const double p60 = 1e7 / 60.0, p50 = 1e7 / 50.0, origin = 5e6;
    // Late wake-ups everywhere but on the two vblanks around the change, whose distance alone
    // tells the change (a late one there makes the next distance the first to tell it).
    const auto late = [&](int k) { return jitter(k) + (k % 23 == 11 ? 0.4 * p60 : 0.0); };
    std::vector<double> ticks = stamps(origin, p60, 0, 300, late);
    const double changeAt = origin + 300 * p60;
    for (const double t : stamps(changeAt - 300 * p50, p50, 300, 600, late))
        ticks.push_back(t);

    const std::vector<std::vector<double>> parts = splitAtChanges(ticks, p60, kReference.splitWakeUps);
    ASSERT_EQ(2u, parts.size());
    EXPECT_NEAR(changeAt, parts[1].front(), 2.0 * p60) << "split within two frames of the change";

    const ReferenceSegment before = segmentOf(fitTimeline(parts[0], p60));
    const ReferenceSegment after = segmentOf(fitTimeline(parts[1], p50));
    EXPECT_NEAR(p60, before.periodTicks, p60 * 1e-5);
    EXPECT_NEAR(p50, after.periodTicks, p50 * 1e-5);
    double tick = 0.0;
    ASSERT_TRUE(rateChangeTick(ticks, before, after, &tick));
    // Vblank 300 begins a 60 Hz frame after vblank 299; the first frame of the new length ends
    // on vblank 301, and its stamp dates the change.
    EXPECT_NEAR(changeAt + p50, tick, 0.5 * p50) << "dated on the first stamp that ends a new frame";

    // The same rate on both sides of a part that merely began late: no change to date.
    const std::vector<double> steady = stamps(origin, p60, 0, 600, late);
    const ReferenceSegment first = segmentOf(fitTimeline({steady.begin(), steady.begin() + 300}, p60));
    const ReferenceSegment second = segmentOf(fitTimeline({steady.begin() + 300, steady.end()}, p60));
    EXPECT_FALSE(rateChangeTick(steady, first, second, &tick));
}

// Precise stamps of 120 Hz that go over to 60 Hz on a vblank a third of a millisecond off the
// old grid: split on the first stamp of the new grid, where the distances alone split only once
// the new ones fill the neighbourhood. A single stamp preempted by 300 us splits nothing. A fit
// over both sides spans only the points on it: the new rate's first stamp is not its end.
TEST(ReferenceFit, PreciseStampsSplitWhereTheyLeaveTheirGridAndAFitSpansItsOwnPoints)
{
    const double p120 = 1e7 / 120.0, p60 = 1e7 / 60.0, origin = 7e6;
    std::vector<double> ticks = stamps(origin, p120, 0, 200, [](int) { return 0.0; });
    const double changeAt = origin + 200 * p120 + 3333.0;
    for (const double t : stamps(changeAt, p60, 0, 40, [](int) { return 0.0; }))
        ticks.push_back(t);
    const double breakTicks = kReference.splitPhaseBreakS * 1e7;

    const std::vector<std::vector<double>> parts = splitAtChanges(ticks, p120, kReference.splitPrecise, breakTicks);
    ASSERT_GE(parts.size(), 2u);
    EXPECT_EQ(ticks[199], parts[0].back());
    EXPECT_EQ(changeAt, parts[1].front()) << "split on the first stamp off the old grid";
    EXPECT_GT(splitAtChanges(ticks, p120, kReference.splitPrecise).at(1).front(), changeAt + 2 * p60)
        << "the distances alone split later";

    std::vector<double> preempted = stamps(origin, p120, 0, 200, [](int k) { return k == 100 ? 3000.0 : 0.0; });
    EXPECT_EQ(1u, splitAtChanges(preempted, p120, kReference.splitPrecise, breakTicks).size());

    const std::vector<double> straddling(ticks.begin() + 150, ticks.begin() + 203);
    const Fit fit = fitTimeline(straddling, p120);
    EXPECT_NEAR(p120, fit.period, 1e-6 * p120);
    EXPECT_EQ(ticks[199], fit.to) << "the last point on the fit, not the new rate's";
}
