// Small arithmetic that the report's stages share, so that each asks it the same way.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

// The rank of a percentile among that many sorted values (0 the smallest): the value there is
// the percentile every figure of the report gives. Percent is held to 0 to 100.
inline size_t percentileRank(size_t count, double percent)
{
    const double clamped = percent < 0.0 ? 0.0 : percent > 100.0 ? 100.0 : percent;
    return count == 0 ? 0 : static_cast<size_t>(static_cast<double>(count - 1) * clamped / 100.0);
}

double percentileOf(std::vector<double> values, double percent);
// The same of values it may reorder, without a copy.
double percentileInPlace(std::vector<double>& values, double percent);

inline double medianOf(std::vector<double> values)
{
    return percentileOf(std::move(values), 50.0);
}

// A time as a counter tick, rounded down; beyond the counter's range, held at its ends (a log
// may hold any number).
inline int64_t tickOf(double value)
{
    if (!(value > -9.2e18))
        return value > 0 ? INT64_MAX : -INT64_MAX;
    return value < 9.2e18 ? static_cast<int64_t>(std::floor(value)) : INT64_MAX;
}

// The frames a gap spans beyond the first, for a gap of one and a half frames or more: the
// gap rounded to whole frames, less one, so that the edge agrees with the rounding (1.5
// frames round to 2). A double, so absurd gaps count high without overflowing.
constexpr double kMissedGapFrames = 1.5;
inline double extraFrames(double gap, double frame)
{
    return frame > 0.0 && gap >= kMissedGapFrames * frame ? std::floor(gap / frame + 0.5) - 1.0 : 0.0;
}

// The estimator's time base counts once it stands before the sample it was read with: by
// more than half of the 0.1 us its ms column resolves, so that a base printed equal to the
// sample is not taken for one before it.
constexpr double kEstimatorLockedMarginMs = 0.00005;
inline bool estimatorLocked(double baseMs, double nowMs)
{
    return baseMs > 0.0 && baseMs < nowMs - kEstimatorLockedMarginMs;
}

// Time stamps come in order as a rule: sorted only when they are not.
template <typename Values>
inline void sortIfNeeded(Values& values)
{
    if (!std::is_sorted(values.begin(), values.end()))
        std::sort(values.begin(), values.end());
}
