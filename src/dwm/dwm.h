// The compositor's timing: one sample of it, and how far a moment lies from the
// compositor's latest vblank. Both run on the calling (test) thread and take no lock.
#pragma once

#include "core/bound.h"

#include <cstdint>

// Takes one sample of the desktop's composition timing. On success writes, through each
// pointer that is not null, the latest vblank as a tick, the refresh period in counter
// ticks and the refresh rate, and returns true. On failure writes nothing, logs
// "GTI ERROR %d" with the HRESULT when logFailure is set, and returns false.
bool dwmGetTiming(int64_t* vblank, int64_t* period, bound::UNSIGNED_RATIO* rate,
                  bool logFailure);

// Microseconds from the compositor's latest vblank to t, which the caller has just taken
// (positive when t is later). Polls, at normal priority and for at most 500 us, until the
// compositor reports a vblank other than the one the previous call ended with, then puts
// the caller's priority back. 0.0 when no sample could be taken; such a call leaves the
// remembered vblank as it was. Never logs.
double dwmVblankOffset(int64_t t);
