#include "measure/estimator.h"

#include "core/clock.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr double kLargestIndexStep = 4294967295.0;

// Vsyncs between two samples dt apart: dt / period to the nearest whole number, halves
// going up. Kept inside 32 bits, so that a sample far out of line cannot make the
// conversion undefined; a step backwards counts none.
uint32_t vsyncsBetween(double dt, double period)
{
    const double whole = dt / period + 0.5;
    if (!(whole > 0.0))   // also NaN
        return 0;
    if (whole >= kLargestIndexStep)
        return static_cast<uint32_t>(kLargestIndexStep);
    return static_cast<uint32_t>(whole);
}

}   // namespace

void RegressionAccumulator::clear()
{
    sumX = 0.0;
    sumY = 0.0;
    sumXX = 0.0;
    sumXY = 0.0;
    count = 0;
    origin = 0.0;
    lastY = 0.0;
    index = 0;
}

void RegressionAccumulator::add(double t, double period)
{
    if (origin == 0.0)
        origin = t;
    const double y = t - origin;
    index += vsyncsBetween(y - lastY, period);
    lastY = y;
    const double x = static_cast<double>(index);
    sumX += x;
    sumY += y;
    sumXX += x * x;
    sumXY += x * y;
    count += 1;
}

double RegressionAccumulator::slope() const
{
    if (count <= 2)
        return 0.0;
    const double n = static_cast<double>(count);
    // Zero when every sample sits at one index (samples much closer together than the
    // period); the division would give a NaN or an infinity as the period.
    const double spreadOfX = n * sumXX - sumX * sumX;
    if (!(spreadOfX > 0.0))
        return 0.0;
    return (n * sumXY - sumX * sumY) / spreadOfX;
}

TimebaseEstimator::TimebaseEstimator()
{
    current.clear();
    next.clear();
    reset("init", true);
}

void TimebaseEstimator::reset(const char* reason, bool clearHistory)
{
    (void)reason;   // names the cause for whoever steps through here; never logged
    if (clearHistory) {
        for (double& time : times)
            time = 0.0;
    }
    accepted = 0;
    stable = 0;
    vsyncTime = 0.0;
    period = 0.0;
    current.clear();
    next.clear();
    check = PeriodCheck{};
}

double TimebaseEstimator::update(double t, double* periodOut)
{
    // The gate: only a sample later than the newest one goes in (this also turns away 0,
    // the time of a vblank that was never recorded, and a repeat of the last one), and only
    // a time at all: an infinity or a NaN is no sample.
    if (!(t > times[4]) || !std::isfinite(t))
        return 0.0;

    for (int k = 0; k < 4; ++k)
        times[k] = times[k + 1];
    times[4] = t;

    double smallest = times[1] - times[0];
    double largest = smallest;
    for (int k = 2; k < 5; ++k) {
        const double interval = times[k] - times[k - 1];
        if (interval < smallest)
            smallest = interval;
        if (interval > largest)
            largest = interval;
    }

    // Only a sample whose last four intervals agree goes into the fit: a missed vsync or a
    // late wake-up keeps its own sample and the three after it out.
    // Samples so far apart that their span overflows give no candidate either.
    const double candidate = (times[4] - times[0]) / 4.0;
    if (largest - smallest < kEstimatorSpreadMs && std::isfinite(candidate)) {
        ++accepted;
        if (period > 0.0 && absDouble(candidate - period) > kEstimatorJumpMs) {
            // The refresh rate changed: fit afresh from this sample, keeping the history.
            char reason[128];
            estimatorPeriodChangeText(reason, sizeof reason, period, candidate);
            reset(reason, false);
        }
        const double fitPeriod = period != 0.0 ? period : candidate;
        current.add(t, fitPeriod);
        next.add(t, fitPeriod);
        if (accepted % kEstimatorHandOver == 0) {
            current = next;
            next.clear();
        }
        // A fit whose sums overflowed has no slope.
        const double slope = current.slope();
        const double fitted = std::isfinite(slope) ? slope : 0.0;
        if (fitted > 0.0 && absDouble(fitted - period) < kEstimatorStableMs)
            ++stable;
        else
            stable = 0;
        period = fitted > 0.0 ? fitted : candidate;
    }

    // A period held while the samples are too noisy to be accepted, or fitted across a gap
    // whose vsyncs were miscounted, would otherwise stay for the rest of the run, however
    // plainly the samples since say otherwise.
    const double interval = t - times[3];
    const uint32_t frames = period > 0.0 && times[3] > 0.0 ? vsyncsBetween(interval, period) : 0;
    if (!(period > 0.0) || frames >= kEstimatorDriftFrames) {
        check = PeriodCheck{};   // no period, or one gap as long as the span: nothing to judge by
    } else if (frames > 0) {
        check.counted += frames;
        if (absDouble(interval - frames * period) <= period / 4.0) {
            check.span += interval;
            check.frames += frames;
        }
        if (check.counted >= kEstimatorDriftFrames) {
            const bool judged = check.frames * 4 >= check.counted * 3;
            const double measured = judged ? check.span / check.frames : period;
            check = PeriodCheck{};
            if (absDouble(measured - period) > kEstimatorDriftMs)
                reset("contradicted", false);
        }
    }

    // Locked onto the grid, the time base follows the earliest arrivals: a sample on or
    // before the grid becomes the time base, a late one moves it by 0.1 % of its lateness.
    double phase = 0.0;
    if (stable > kEstimatorLockCount && vsyncTime > 0.0 && period > 0.0)
        phase = estimatorPhase(t, vsyncTime, period);
    vsyncTime = t - 0.999 * (phase > 0.0 ? phase : 0.0);

    if (periodOut != nullptr) {
        if (period > 0.0)
            *periodOut = period;
        else if (times[3] > 0.0 && std::isfinite(times[4] - times[3]))
            *periodOut = times[4] - times[3];
        else
            *periodOut = kEstimatorFallbackPeriodMs;
    }
    return vsyncTime;
}

void estimatorPeriodChangeText(char* out, size_t size, double oldPeriod, double candidate)
{
    std::snprintf(out, size, "Hz change %f to %f", oldPeriod, candidate);
}

double estimatorPhase(double t, double vsyncTime, double period)
{
    // fmod keeps the sign of its first argument; adding a period and taking the remainder
    // again brings the value into [0, period).
    const double eighth = period / 8.0;
    const double inner = std::fmod((t - vsyncTime) + eighth, period);
    return std::fmod(inner + period, period) - eighth;
}

bool estimatorSourcesDisagree(double serverMs, double compositorMs, double serverPeriod)
{
    if (!(serverPeriod > 0.0))
        return false;
    const double x = std::fmod(absDouble(serverMs - compositorMs), serverPeriod);
    return x > 2.0 && serverPeriod - x > 2.0;
}

bool estimatorLogsRow(int32_t iteration)
{
    return iteration < 10000 || iteration % 10 == 0;
}
