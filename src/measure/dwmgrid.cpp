#include "measure/dwmgrid.h"

#include "core/clock.h"

namespace {

// Two's-complement sum, difference and product: what signed 64-bit arithmetic gives
// whenever it does not overflow, and a wrapped value rather than undefined behaviour when
// it would.
int64_t wrapAdd(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

int64_t wrapSub(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

int64_t wrapMul(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

}   // namespace

float dwmRatePeriodMs(uint32_t numerator, uint32_t denominator)
{
    if (numerator == 0)
        return 0.0f;
    const double periodMs = static_cast<double>(denominator) / static_cast<double>(numerator) *
                            1000.0;
    return static_cast<float>(periodMs);
}

double dwmVblankDeltaMs(int64_t vblank, int64_t previousVblank)
{
    return previousVblank != 0 ? ticksToMs(vblank - previousVblank) : 0.0;
}

bool dwmIntervalJump(double previousDeltaMs, double deltaMs)
{
    return previousDeltaMs > 0.0 && deltaMs > 0.0 &&
           absDouble(previousDeltaMs - deltaMs) > kDwmJumpLimitMs;
}

int64_t dwmGridShift(int32_t iteration)
{
    return static_cast<int64_t>(iteration % kDwmGridCycle) - 2;
}

int64_t dwmGridLead(int64_t period)
{
    return period / 8;
}

bool dwmGridRow(int32_t iteration, int64_t vblank, int64_t period, int64_t now,
                DwmGridRow* row)
{
    if (period <= 0)
        return false;
    const int64_t vhvbl = wrapAdd(vblank, wrapMul(dwmGridShift(iteration), period));
    const int64_t lead = dwmGridLead(period);
    // The remainder truncates toward zero, so it carries the sign of the dividend; a
    // negative one is brought into [0, period). Adding the period only then is the same
    // as the second remainder and cannot overflow.
    int64_t r = wrapAdd(wrapSub(now, vhvbl), lead) % period;
    if (r < 0)
        r += period;
    row->vhvbl = vhvbl;
    row->vhvsc = wrapSub(now, r - lead);
    return true;
}
