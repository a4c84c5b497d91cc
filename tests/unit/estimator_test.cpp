// The timebase estimator: its fit, gate, lock and reset on the cases worked out by hand, and
// against synthetic vblank streams of known period, jitter and drops. The streams' figures
// (estimator against the plain average of the last 60 intervals) are printed.
#include "measure/estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <deque>
#include <vector>
#include <limits>
#include <string>

namespace {

// xorshift64*: the same numbers on every platform and compiler.
struct Random {
    uint64_t state;
    double uniform()   // [0, 1)
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<double>((state * 2685821657736338717ull) >> 11) / 9007199254740992.0;
    }
};

TEST(RegressionAccumulator, CountsWholePeriodsFitsFromTheThirdSampleAndNeverGivesNaN)
{
    RegressionAccumulator fit;
    fit.add(1000.0, 10.0);
    EXPECT_EQ(1000.0, fit.origin);
    EXPECT_EQ(0u, fit.index);
    fit.add(1014.9, 10.0);   // 1.49 periods: one
    EXPECT_EQ(1u, fit.index);
    EXPECT_EQ(0.0, fit.slope()) << "two samples have no slope";
    fit.add(1030.0, 10.0);   // 1.51 periods: two, so x = 3
    EXPECT_EQ(3u, fit.index);
    EXPECT_EQ(3u, fit.count);
    // Least squares through (0, 0), (1, 14.9), (3, 30).
    EXPECT_NEAR(9.65, fit.slope(), 1e-12);
    fit.add(1045.0, 10.0);   // exactly 1.5 periods: halves go up
    EXPECT_EQ(5u, fit.index);

    // Cleared, then samples far closer together than the period: all at index 0, where no
    // line can be fitted.
    fit.clear();
    EXPECT_EQ(0.0, fit.origin);
    for (const double t : {500.0, 500.1, 500.2, 500.3})
        fit.add(t, 16.67);
    EXPECT_EQ(0u, fit.index);
    EXPECT_EQ(4u, fit.count);
    EXPECT_EQ(0.0, fit.slope());
}

TEST(TimebaseEstimator, FillsFromTheFallbackPeriodThenTheLatestInterval)
{
    TimebaseEstimator estimator;
    double periodOut = -1.0;
    EXPECT_EQ(0.0, estimator.update(0.0, &periodOut)) << "a fresh estimator rejects 0";
    EXPECT_EQ(-1.0, periodOut);

    EXPECT_EQ(500.0, estimator.update(500.0, &periodOut));
    EXPECT_EQ(16.666666666666668, periodOut);
    EXPECT_EQ(516.7, estimator.update(516.7, &periodOut));
    EXPECT_EQ(516.7 - 500.0, periodOut);

    // A sample that is not later than the newest changes nothing.
    periodOut = -1.0;
    EXPECT_EQ(0.0, estimator.update(516.7, &periodOut));
    EXPECT_EQ(0.0, estimator.update(510.0, &periodOut));
    EXPECT_EQ(-1.0, periodOut);
    EXPECT_EQ(516.7, estimator.times[4]);
    EXPECT_EQ(500.0, estimator.times[3]);
    EXPECT_EQ(516.7, estimator.vsyncTime);
}

TEST(TimebaseEstimator, FifthEvenSampleIsTheFirstAcceptedAndTheSlopeTakesOverAtThree)
{
    TimebaseEstimator estimator;
    double periodOut = 0.0;
    for (const double t : {100.0, 116.0, 132.0, 148.0})
        EXPECT_EQ(t, estimator.update(t, &periodOut));
    EXPECT_EQ(0u, estimator.accepted) << "the empty history keeps the spread large";
    EXPECT_EQ(16.0, periodOut);

    EXPECT_EQ(164.0, estimator.update(164.0, &periodOut));
    EXPECT_EQ(1u, estimator.accepted);
    EXPECT_EQ(0u, estimator.stable);
    EXPECT_EQ(16.0, estimator.period);
    EXPECT_EQ(16.0, periodOut);

    // Two samples in the fit: no slope yet, so the candidate (mean of the last four intervals).
    estimator.update(180.4, &periodOut);
    EXPECT_EQ(0.0, estimator.current.slope());
    EXPECT_DOUBLE_EQ((180.4 - 116.0) / 4.0, periodOut);
    EXPECT_EQ(0u, estimator.stable);

    // Three: the slope.
    estimator.update(196.4, &periodOut);
    EXPECT_EQ(3u, estimator.current.count);
    EXPECT_GT(periodOut, 0.0);
    EXPECT_DOUBLE_EQ(estimator.current.slope(), periodOut);
    EXPECT_EQ(196.4, estimator.vsyncTime) << "not locked: the time base is the sample";
}

TEST(TimebaseEstimator, LockedTimeBaseFollowsEarlySamplesAndMovesSlowlyForLateOnes)
{
    // The phase alone: a history that rejects the sample, a lock, and the grid 100 + 16 k.
    auto locked = [] {
        TimebaseEstimator estimator;
        estimator.times[4] = 100.0;
        estimator.stable = 61;
        estimator.period = 16.0;
        estimator.vsyncTime = 100.0;
        return estimator;
    };
    struct Case {
        double t, phase, base;
    };
    for (const Case c : {Case{118.0, 2.0, 116.002}, Case{115.0, -1.0, 115.0},
                         Case{131.0, -1.0, 131.0}}) {
        EXPECT_DOUBLE_EQ(c.phase, estimatorPhase(c.t, 100.0, 16.0)) << c.t;
        TimebaseEstimator estimator = locked();
        EXPECT_NEAR(c.base, estimator.update(c.t, nullptr), 1e-9) << c.t;
        EXPECT_EQ(61u, estimator.stable);
    }
    EXPECT_DOUBLE_EQ(-2.0, estimatorPhase(98.0, 100.0, 16.0)) << "an eighth early";
    EXPECT_DOUBLE_EQ(13.9, estimatorPhase(97.9, 100.0, 16.0)) << "more than that: late";

    // At stable 60 the grid is not trusted yet.
    TimebaseEstimator unlocked = locked();
    unlocked.stable = 60;
    EXPECT_EQ(118.0, unlocked.update(118.0, nullptr));
}

TEST(TimebaseEstimator, MissedVsyncKeepsFourSamplesOutAndAdvancesTheIndexPastTheGap)
{
    TimebaseEstimator estimator;
    for (int k = 0; k < 20; ++k)
        estimator.update(1000.0 + 16.0 * k, nullptr);
    const uint32_t accepted = estimator.accepted;
    const uint32_t index = estimator.current.index;
    ASSERT_EQ(16u, accepted);

    // Vblank 20 is missed; samples 21 to 24 each have the double interval in their window.
    for (int k = 21; k <= 24; ++k) {
        estimator.update(1000.0 + 16.0 * k, nullptr);
        EXPECT_EQ(accepted, estimator.accepted) << k;
    }
    estimator.update(1000.0 + 16.0 * 25, nullptr);
    EXPECT_EQ(accepted + 1, estimator.accepted);
    EXPECT_EQ(index + 6, estimator.current.index);
    EXPECT_NEAR(16.0, estimator.period, 1e-9);
}

TEST(TimebaseEstimator, RefreshChangeResetsWithHistoryAndHandsOverAtOnce)
{
    TimebaseEstimator estimator;
    double t = 1000.0;
    for (int k = 0; k < 200; ++k)
        estimator.update(t += 16.67, nullptr);
    ASSERT_NEAR(16.67, estimator.period, 1e-6);
    ASSERT_GT(estimator.stable, kEstimatorLockCount);

    const uint32_t accepted = estimator.accepted;
    for (int k = 1; k <= 3; ++k) {   // windows that mix both intervals
        estimator.update(t + 20.0 * k, nullptr);
        EXPECT_EQ(accepted, estimator.accepted);
    }
    const double first = t + 80.0;   // the first window of four 20 ms intervals
    double periodOut = 0.0;
    EXPECT_EQ(first, estimator.update(first, &periodOut));
    EXPECT_NEAR(20.0, periodOut, 1e-9);
    EXPECT_NEAR(20.0, estimator.period, 1e-9);
    EXPECT_EQ(0u, estimator.accepted);
    EXPECT_EQ(0u, estimator.stable);
    EXPECT_EQ(first, estimator.vsyncTime);
    EXPECT_EQ(t, estimator.times[0]) << "the history stays";
    // accepted is 0, a multiple of 1000: current keeps the one sample, next starts empty.
    EXPECT_EQ(1u, estimator.current.count);
    EXPECT_EQ(first, estimator.current.origin);
    EXPECT_EQ(0u, estimator.next.count);

    estimator.update(first + 20.0, nullptr);
    EXPECT_EQ(2u, estimator.current.count);
    EXPECT_EQ(1u, estimator.next.count);
    EXPECT_EQ(first + 20.0, estimator.next.origin);

    char reason[64];
    estimatorPeriodChangeText(reason, sizeof reason, 16.67, 20.0);
    EXPECT_STREQ("Hz change 16.670000 to 20.000000", reason);
}

TEST(TimebaseEstimator, FitHoldsTheLatestThousandToNineteenNinetyNineAccepted)
{
    TimebaseEstimator estimator;
    double t = 1000.0;
    auto runTo = [&](uint32_t accepted) {
        while (estimator.accepted < accepted)
            estimator.update(t += 8.0, nullptr);
    };
    runTo(999);
    EXPECT_EQ(999u, estimator.current.count);
    runTo(1000);
    EXPECT_EQ(1000u, estimator.current.count);
    EXPECT_EQ(0u, estimator.next.count);
    runTo(1999);
    EXPECT_EQ(1999u, estimator.current.count);
    EXPECT_EQ(999u, estimator.next.count);
    runTo(2000);
    EXPECT_EQ(1000u, estimator.current.count);
    EXPECT_NEAR(8.0, estimator.period, 1e-9);
}

TEST(TimebaseEstimator, FastSamplesAfterAResetNeverMakeThePeriodNaN)
{
    // A jump to 0.6 ms, then samples 0.25 ms apart: the new fit's three samples share index 0.
    TimebaseEstimator estimator;
    double t = 1000.0;
    double periodOut = 0.0;
    auto step = [&](double interval, int times) {
        for (int k = 0; k < times; ++k)
            estimator.update(t += interval, &periodOut);
    };
    step(16.67, 100);
    step(0.6, 4);
    ASSERT_EQ(0u, estimator.accepted) << "the jump resets";
    step(0.25, 2);
    EXPECT_EQ(3u, estimator.current.count);
    EXPECT_EQ(0u, estimator.current.index);
    EXPECT_EQ(0.0, estimator.current.slope());
    EXPECT_TRUE(std::isfinite(periodOut) && periodOut > 0.0) << periodOut;
    step(0.25, 10);
    EXPECT_TRUE(std::isfinite(periodOut) && periodOut > 0.0) << periodOut;
}

// Four early intervals that agreed on 17.145 ms (wake-ups growing later as tools started), then
// samples of a 60 Hz display too noisy for four intervals ever to agree again: the estimator
// held 17.145 ms for the rest of the run. The samples measure 16.667 ms; within two spans of
// the check the contradicted period is gone. A noisy steady stream is no contradiction.
TEST(TimebaseEstimator, APeriodItsSamplesPlainlyContradictIsDroppedWithinSeconds)
{
    const double frame = 1000.0 / 60.0, wrong = 17.145;
    TimebaseEstimator estimator;
    double period = 0.0, t = 1000.0;
    for (int i = 0; i < 5; ++i, t += wrong)
        estimator.update(t, &period);
    ASSERT_NEAR(wrong, period, 1e-9);
    int heldFor = 0;
    for (int k = 1; k <= 600; ++k) {
        estimator.update(t + k * frame + (k % 2 == 0 ? 0.6 : 0.0), &period);
        if (std::fabs(estimator.period - wrong) < 1e-9)
            heldFor = k;
    }
    EXPECT_EQ(0u, estimator.accepted) << "no four intervals agreed";
    EXPECT_LE(heldFor, static_cast<int>(2 * kEstimatorDriftFrames)) << "frames the contradicted period was held for";

    // 60 s of a display whose samples arrive late by an exponential draw. With 2 ms on average
    // (up to 20), accepted samples alone once led the fit to 17.17 ms and held it for 27 s; no
    // period more than 0.3 ms off is now held for longer than two spans of the check. With 0.3 ms
    // on average the estimator is never reset and ends on the display's period.
    for (const double meanLate : {2.0, 0.3}) {
        Random random{0x9e3779b97f4a7c15ull};
        TimebaseEstimator steady;
        uint32_t accepted = 0;
        int resets = 0, offFor = 0, longestOff = 0;
        for (int k = 1; k <= 3600; ++k) {
            const double late = std::fmin(10.0 * meanLate, -meanLate * std::log(1.0 - random.uniform()));
            steady.update(1000.0 + k * frame + late, &period);
            resets += steady.accepted < accepted ? 1 : 0;
            accepted = steady.accepted;
            offFor = steady.period > 0.0 && std::fabs(steady.period - frame) > 0.3 ? offFor + 1 : 0;
            longestOff = std::max(longestOff, offFor);
        }
        std::printf("[ FIGURES  ] samples late by %.1f ms on average: %d resets, a period 0.3 ms off held for %d frames at most\n",
                    meanLate, resets, longestOff);
        EXPECT_LE(longestOff, static_cast<int>(2 * kEstimatorDriftFrames)) << meanLate;
        if (meanLate < 1.0) {
            EXPECT_EQ(0, resets);
            EXPECT_NEAR(frame, steady.period, 0.01);
        }
    }

    // Locked on clean samples, then up to 30 ms late (beyond half a frame, so never accepted):
    // the right period is kept, as lateness counted by it is at most half a frame either way.
    Random random{0x2545f4914f6cdd1dull};
    TimebaseEstimator locked;
    for (int k = 1; k <= 3600; ++k) {
        locked.update(1000.0 + k * frame + (k > 300 ? 30.0 * random.uniform() : 0.0), &period);
        if (k == 300) {
            ASSERT_NEAR(frame, locked.period, 1e-9);
        }
    }
    EXPECT_NEAR(frame, locked.period, 1e-9) << "a right period was dropped";
}

TEST(EstimatorTestRules, RowsBelowTenThousandThenEveryTenth)
{
    EXPECT_TRUE(estimatorLogsRow(0));
    EXPECT_TRUE(estimatorLogsRow(9999));
    EXPECT_TRUE(estimatorLogsRow(10000));
    for (int32_t i = 10001; i <= 10009; ++i)
        EXPECT_FALSE(estimatorLogsRow(i)) << i;
    EXPECT_TRUE(estimatorLogsRow(10010));
    EXPECT_FALSE(estimatorLogsRow(99999));
}

TEST(EstimatorTestRules, SourcesDisagreeOnlyMoreThanTwoMillisecondsOffTheGrid)
{
    const double p = 16.666666666666668;
    EXPECT_FALSE(estimatorSourcesDisagree(1000.0, 0.0, 0.0)) << "no server period: no check";
    EXPECT_FALSE(estimatorSourcesDisagree(1000.0, 998.1, p));
    EXPECT_TRUE(estimatorSourcesDisagree(1000.0, 997.9, p));
    EXPECT_TRUE(estimatorSourcesDisagree(997.9, 1000.0, p)) << "either order";
    EXPECT_FALSE(estimatorSourcesDisagree(1000.0 + 3 * p + 1.5, 1000.0, p));
    EXPECT_FALSE(estimatorSourcesDisagree(1000.0 + 3 * p - 1.5, 1000.0, p));
    EXPECT_TRUE(estimatorSourcesDisagree(1000.0 + 3 * p + 8.0, 1000.0, p));
    // Without a compositor sample the server's time is compared with 0.
    EXPECT_TRUE(estimatorSourcesDisagree(1005.0, 0.0, p));
}

// ---- Ground truth ---------------------------------------------------------------------------

struct Stream {
    double period;   // ms
    double jitter;   // each sample lands up to this much after its vblank, uniformly
    double drops;    // share of vblanks that never arrive
    const char* name;
};

class EstimatorGroundTruth : public ::testing::TestWithParam<Stream> {};

// The bounds come from the mechanism: an exact stream gives the exact period and grid (to
// what doubles keep); with arrivals up to j late, the fitted slope of about 1000 samples is off
// by its standard error j / sqrt(12) * sqrt(12) / 1000^1.5 or so (six of them allowed), and a
// time base that follows the earliest arrivals never lies before the grid nor more than j
// after it.
TEST_P(EstimatorGroundTruth, PeriodWithinItsStandardErrorAndSettledTimeBaseOnTheGrid)
{
    const Stream stream = GetParam();
    Random random{0x2545f4914f6cdd1dull};
    TimebaseEstimator estimator;
    std::deque<double> window;   // the plain estimate: mean of the last 60 intervals

    double periodOut = 0.0;
    double averageError = 0.0;
    double worstEstimate = 0.0;   // over samples 500 to 1000
    double worstAverage = 0.0;
    // Locking takes the previous (late) sample as the grid; earlier arrivals then pull the
    // time base onto the true grid within a few samples.
    const int settleSamples = 20;
    double worstBase = 0.0;       // locked and settled
    double worstSettling = 0.0;   // the first locked samples
    int lockedSamples = 0;
    int64_t vblank = 0;
    for (int sample = 1; sample <= 1000; ++vblank) {
        if (random.uniform() < stream.drops)
            continue;   // dropped
        const double truth = 1000.0 + stream.period * static_cast<double>(vblank);
        const double t = truth + stream.jitter * random.uniform();
        const double base = estimator.update(t, &periodOut);
        if (estimator.stable > kEstimatorLockCount) {
            double& worst = ++lockedSamples > settleSamples ? worstBase : worstSettling;
            worst = std::fmax(worst, std::fabs(base - truth));
        }
        window.push_back(t);
        if (window.size() > 61)
            window.pop_front();
        if (window.size() == 61)
            averageError = (window.back() - window.front()) / 60.0 - stream.period;
        if (sample >= 500) {
            worstEstimate = std::fmax(worstEstimate, std::fabs(periodOut - stream.period));
            worstAverage = std::fmax(worstAverage, std::fabs(averageError));
        }
        ++sample;
    }
    const double estimateError = periodOut - stream.period;

    std::printf("[ figures  ] %-22s period error/us at sample 1000: estimator %+.4f, "
                "60-interval average %+.3f; worst over 500..1000: %.4f vs %.3f; "
                "time base worst/ms %.4f locked (%.4f while settling) over %d samples\n",
                stream.name, estimateError * 1000.0, averageError * 1000.0,
                worstEstimate * 1000.0, worstAverage * 1000.0, worstBase, worstSettling, lockedSamples);
    const double periodBound = stream.jitter == 0.0 ? 1e-9 : 6.0 * stream.jitter / std::pow(1000.0, 1.5);
    EXPECT_LT(std::fabs(estimateError), periodBound);
    EXPECT_GT(lockedSamples, 500) << "locked late or not at all";
    EXPECT_GT(estimator.stable, kEstimatorLockCount) << "not locked at the end";
    EXPECT_LE(worstBase, stream.jitter + 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, EstimatorGroundTruth,
    ::testing::Values(Stream{1000.0 / 60.0, 0.0, 0.01, "60Hz_exact"},
                      Stream{1000.0 / 60.0, 0.1, 0.01, "60Hz_late0_1ms"},
                      Stream{1000.0 / 60.0, 0.4, 0.01, "60Hz_late0_4ms"},
                      Stream{1000.0 / 60.0, 0.4, 0.0, "60Hz_late0_4ms_nodrop"},
                      Stream{1000.0 / 144.0, 0.0, 0.01, "144Hz_exact"},
                      Stream{1000.0 / 144.0, 0.1, 0.01, "144Hz_late0_1ms"},
                      Stream{1000.0 / 144.0, 0.4, 0.01, "144Hz_late0_4ms"},
                      Stream{1000.0 / 144.0, 0.4, 0.0, "144Hz_late0_4ms_nodrop"}),
    [](const ::testing::TestParamInfo<Stream>& info) { return std::string(info.param.name); });

}   // namespace

namespace {

// Samples no vblank can give: infinities, NaN, and finite values so huge that their
// differences overflow. The estimator turns away what is no time, and nothing it reports
// becomes an infinity or a NaN.
TEST(EstimatorInput, NonFiniteAndHugeSamplesLeaveEveryOutputFinite)
{
    TimebaseEstimator estimator;
    double period = -1.0;
    EXPECT_EQ(0.0, estimator.update(std::numeric_limits<double>::infinity(), &period));
    EXPECT_EQ(-1.0, period) << "a rejected sample leaves the period alone";
    EXPECT_EQ(0.0, estimator.update(std::nan(""), &period));
    EXPECT_EQ(0.0, estimator.times[4]) << "nothing entered the history";

    // Equal intervals whose span overflows: no candidate, so nothing is accepted.
    const double step = 8.5e307;
    for (int k = -2; k <= 2; ++k) {
        const double base = estimator.update(k * step, &period);
        EXPECT_TRUE(std::isfinite(base)) << k;
        EXPECT_TRUE(std::isfinite(period)) << k;
    }
    EXPECT_EQ(0u, estimator.accepted);
    // And a stream so far out that the fit's sums overflow.
    TimebaseEstimator far;
    for (int k = 0; k < 200; ++k) {
        const double base = far.update(1e300 + k * 1e290, &period);
        ASSERT_TRUE(std::isfinite(base)) << k;
        ASSERT_TRUE(std::isfinite(period)) << k;
        ASSERT_TRUE(std::isfinite(far.period)) << k;
    }
    // The ordinary stream afterwards still settles.
    TimebaseEstimator after;
    after.update(std::numeric_limits<double>::infinity(), &period);
    for (int k = 1; k <= 100; ++k)
        after.update(1000.0 + k * 16.0, &period);
    EXPECT_NEAR(16.0, period, 1e-9);
}

}   // namespace

namespace {

// The fit behind the period, worked out apart from the estimator: the same gate and spread
// rule pick the accepted samples, a period jump of more than 1 ms starts them afresh, and the
// hand-over rule keeps the latest 1000 to 1999 of them (the sample of a reset counts as 0).
// Its slope is a least-squares fit of each sample's time against its true vsync index, in
// long double about the means.
class IndependentFit {
public:
    // Feeds a sample at true vsync index k; returns whether it was accepted, and then the
    // period the estimator must report in *period.
    bool feed(double t, int64_t k, double* period)
    {
        for (int i = 0; i < 4; ++i)
            m_history[i] = m_history[i + 1];
        m_history[4] = t;
        double smallest = m_history[1] - m_history[0], largest = smallest;
        for (int i = 2; i < 5; ++i) {
            const double interval = m_history[i] - m_history[i - 1];
            smallest = std::min(smallest, interval);
            largest = std::max(largest, interval);
        }
        if (!(largest - smallest < 0.5))
            return false;
        const double candidate = (m_history[4] - m_history[0]) / 4.0;
        int64_t j = m_next++;
        if (m_period > 0.0 && std::fabs(candidate - m_period) > 1.0) {
            m_kept.clear();
            m_period = 0.0;
            j = 0;
            m_next = 1;
        }
        m_kept.push_back({j, k, t});
        const int64_t lowest = j >= 1000 ? 1000 * (j / 1000 - 1) + 1 : 0;
        while (!m_kept.empty() && m_kept.front().j < lowest)
            m_kept.erase(m_kept.begin());
        const long double slope = fittedSlope();
        m_period = slope > 0 && m_kept.size() >= 3 ? static_cast<double>(slope) : candidate;
        *period = m_period;
        return true;
    }
    size_t kept() const { return m_kept.size(); }

private:
    struct Sample {
        int64_t j;   // the estimator's count of accepted samples when this one came
        int64_t k;
        double t;
    };
    long double fittedSlope() const
    {
        if (m_kept.size() < 3)
            return 0;
        long double meanK = 0, meanT = 0;
        for (const Sample& s : m_kept) {
            meanK += s.k;
            meanT += s.t;
        }
        meanK /= m_kept.size();
        meanT /= m_kept.size();
        long double kk = 0, kt = 0;
        for (const Sample& s : m_kept) {
            kk += (s.k - meanK) * (s.k - meanK);
            kt += (s.k - meanK) * (s.t - meanT);
        }
        return kk > 0 ? kt / kk : 0;
    }
    double m_history[5] = {};
    double m_period = 0.0;
    int64_t m_next = 1;
    std::vector<Sample> m_kept;
};

struct HandOverStream {
    const char* name;
    double periodMs;       // before the change
    double changedMs;      // from sample `changeAt` on (0: no change)
    int changeAt;
    double jitterMs;       // uniform, plus and minus
    int dropEvery;         // a missed vsync every n samples (0: none)
};

class EstimatorHandOver : public ::testing::TestWithParam<HandOverStream> {};

// 5000 samples: after each accepted one the estimator's period is the independent fit's, to
// within what double sums can lose; a fit that kept another window, or a hand-over that
// copied lastY or index wrongly, is off by far more.
TEST_P(EstimatorHandOver, PeriodIsTheFitOfExactlyTheKeptSamples)
{
    const HandOverStream& stream = GetParam();
    Random random{0x9E3779B97F4A7C15ull};
    TimebaseEstimator estimator;
    IndependentFit fit;
    double t = 1000.0, worst = 0.0;
    int64_t k = 0;
    int accepted = 0, handOvers = 0;
    for (int i = 0; i < 5000; ++i) {
        const double period = stream.changeAt != 0 && i >= stream.changeAt ? stream.changedMs : stream.periodMs;
        const int frames = stream.dropEvery != 0 && i % stream.dropEvery == stream.dropEvery - 1 ? 2 : 1;
        k += frames;
        t += frames * period;
        const double sample = t + (random.uniform() * 2.0 - 1.0) * stream.jitterMs;
        double reported = 0.0;
        estimator.update(sample, &reported);
        double expected = 0.0;
        if (!fit.feed(sample, k, &expected))
            continue;
        ++accepted;
        handOvers += estimator.accepted % 1000 == 0 ? 1 : 0;
        ASSERT_NEAR(expected, estimator.period, 1e-9)
            << stream.name << ": sample " << i << ", " << fit.kept() << " samples kept";
        worst = std::max(worst, std::fabs(expected - estimator.period));
    }
    std::printf("[ FIGURES  ] hand-over, %s: %d accepted, %d hand-overs, estimator against the "
                "independent fit: %.3g ms at worst\n",
                stream.name, accepted, handOvers, worst);
    EXPECT_GT(accepted, 2500);
    EXPECT_GE(handOvers, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, EstimatorHandOver,
    ::testing::Values(HandOverStream{"jitter", 16.6667, 0.0, 0, 0.1, 0},
                      HandOverStream{"jitter and drops", 16.6667, 0.0, 0, 0.1, 37},
                      HandOverStream{"rate change", 16.6667, 20.0, 2300, 0.08, 53},
                      HandOverStream{"144 Hz with drops", 6.9444, 0.0, 0, 0.05, 11}),
    [](const ::testing::TestParamInfo<HandOverStream>& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (c == ' ')
                c = '_';
        return name;
    });

}   // namespace
