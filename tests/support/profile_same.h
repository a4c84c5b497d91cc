// Whether two profiles say the same in every key: what the profile line must carry through a
// print and a read.
#pragma once

#include "virtual/profile.h"

#include <string>

inline bool sameRatio(RefreshRatio a, RefreshRatio b)
{
    return a.numerator == b.numerator && a.denominator == b.denominator;
}

// The first key in which they differ; empty when none does.
inline std::string profileDifference(const VirtualProfile& a, const VirtualProfile& b)
{
    if (!sameRatio(a.nominal, b.nominal)) return "rate";
    if (!sameRatio(a.trueRate, b.trueRate)) return "true";
    if (a.wakeNs != b.wakeNs) return "wake";
    if (a.stallMilli != b.stallMilli) return "stall";
    if (a.dwmlagNs != b.dwmlagNs) return "dwmlag";
    if (a.flushNs != b.flushNs) return "flush";
    if (a.dwmskipMilli != b.dwmskipMilli) return "dwmskip";
    if (a.dwmPeriodNominal != b.dwmPeriodNominal) return "dwmperiod";
    if (a.changeCount != b.changeCount) return "change";
    for (int i = 0; i < a.changeCount; ++i) {
        if (a.changes[i].frame != b.changes[i].frame || !sameRatio(a.changes[i].rate, b.changes[i].rate))
            return "change";
    }
    if (a.second != b.second || (a.second && (!sameRatio(a.secondNominal, b.secondNominal) ||
                                              !sameRatio(a.secondTrue, b.secondTrue))))
        return "second";
    if (a.seed != b.seed) return "seed";
    if (a.sleepFrame != b.sleepFrame || a.sleepFrames != b.sleepFrames || a.sleepWaits != b.sleepWaits)
        return "sleep";
    if (a.unplugFrame != b.unplugFrame || a.unplugBack != b.unplugBack) return "unplug";
    if (!sameRatio(a.vrrMin, b.vrrMin) || !sameRatio(a.vrrMax, b.vrrMax)) return "vrr";
    if (a.dwmClockFastest != b.dwmClockFastest) return "dwmclock";
    if (a.dwmVblankNext != b.dwmVblankNext) return "dwmvblank";
    if (a.dwmStaleMilli != b.dwmStaleMilli) return "dwmstale";
    return "";
}
