#include "measure/pacing.h"

#include "core/clock.h"

#include <cmath>

uint32_t deadlineWaitMs(double remainingMs)
{
    const double whole = std::ceil(remainingMs);
    return whole < 1.0 ? 1u : static_cast<uint32_t>(whole);
}

int32_t sleepUntilWith(const PacingCalls& calls, int64_t deadline, bool viaVsync)
{
    int32_t waits = 0;
    for (;;) {
        const int64_t now = calls.now();
        if (now >= deadline)
            return waits;
        ++waits;
        const uint32_t wait = deadlineWaitMs(ticksToMs(deadline - now));
        if (viaVsync) {
            if (calls.vsyncWait(wait))
                return waits;
        } else {
            calls.sleepMs(wait);
        }
    }
}

bool mimicVsyncMode(int32_t i, int32_t n)
{
    const int64_t quarter = n / 4;
    const int64_t threeQuarters = (3 * static_cast<int64_t>(n)) / 4;
    return i > quarter && i < threeQuarters;
}
