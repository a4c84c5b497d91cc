// The figures the tests print and bound: the median and a percentile of a set of values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The middle value (the upper one of the two middle values for an even count); 0 for none.
inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The value below which `percent` percent of the others lie, by rank: 0 gives the smallest,
// 100 the largest, never one past the end; 0 for none.
inline double percentile(std::vector<double> values, int percent)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    return values[(values.size() - 1) * static_cast<size_t>(clamped) / 100];
}
