// The arithmetic of the compositor tests, apart from the system calls: the refresh period
// that the compositor's rate ratio implies, the interval between compositor vblanks and
// when two intervals differ enough to beep, and the grid of whole refresh periods that
// the flush test lays through the compositor's vblank.
#pragma once

#include <cstdint>

// The rate period in milliseconds, denominator / numerator * 1000 worked out in double and
// kept in single precision, as the value the ratio gives an application: 60/1 gives
// 16.666666 (not 16.666667), 60000/1001 gives 16.683332. A numerator of 0 gives 0.0.
float dwmRatePeriodMs(uint32_t numerator, uint32_t denominator);

// Milliseconds from previousVblank to vblank (ticks), or 0.0 when previousVblank is 0,
// which means there is no previous vblank yet.
double dwmVblankDeltaMs(int64_t vblank, int64_t previousVblank);

// Successive intervals further apart than this (strictly) count as a jump.
constexpr double kDwmJumpLimitMs = 0.5;

// True when both intervals are known (above 0) and differ by more than kDwmJumpLimitMs,
// as when one compositor frame was skipped.
bool dwmIntervalJump(double previousDeltaMs, double deltaMs);

// The flush test moves the compositor's vblank by k whole periods, k running -2, -1, 0,
// 1, 2 with the iteration (from 0) and repeating.
constexpr int32_t kDwmGridCycle = 5;
int64_t dwmGridShift(int32_t iteration);

// How far after now a grid point may lie and still be taken: an eighth of the period,
// truncated (100 gives 12).
int64_t dwmGridLead(int64_t period);

struct DwmGridRow {
    int64_t vhvbl;   // the compositor's vblank moved by dwmGridShift(iteration) periods
    int64_t vhvsc;   // the latest grid point vhvbl + m * period not later than now + lead
};

// One row of the grid, in exact 64-bit integer arithmetic. A period of 0 or less has no
// grid: false, and *row left as it was. Values so large that the signed arithmetic would
// overflow wrap around instead of being undefined; any sample a compositor gives is far
// below that.
bool dwmGridRow(int32_t iteration, int64_t vblank, int64_t period, int64_t now,
                DwmGridRow* row);
