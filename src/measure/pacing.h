// Pacing by the display: the deadline sleep of the animation test, its predicted vsync
// grid and its vsync-mode window. No system calls: the clock, the sleep and the vsync
// wait come in as calls.
#pragma once

#include <cstdint>

struct PacingCalls {
    int64_t (*now)();                  // the current tick
    void (*sleepMs)(uint32_t ms);
    bool (*vsyncWait)(uint32_t ms);    // true when the vsync pulse came
};

// Whole milliseconds to wait for a deadline remainingMs away: rounded up, at least 1.
uint32_t deadlineWaitMs(double remainingMs);

// Sleeps (or, viaVsync, waits for the vsync pulse) until the deadline tick has passed;
// in vsync mode it also returns at the first pulse. Returns how many sleeps or vsync
// waits it made: 0 when the deadline had already passed.
int32_t sleepUntilWith(const PacingCalls& calls, int64_t deadline, bool viaVsync);

// The first predicted vsync on the grid of want and period that is not in the past:
// while want is before now, want moves on by a period and now is read again. A period
// of 0 or less cannot step and leaves want as it is.
template <typename Clock>
int64_t stepDeadline(int64_t want, int64_t period, Clock now)
{
    if (period <= 0)
        return want;
    for (int64_t t = now(); want < t; t = now())
        want += period;
    return want;
}

// The animation test waits for the vsync pulse in the middle half of its run:
// i > n/4 and i < 3n/4, integer division.
bool mimicVsyncMode(int32_t i, int32_t n);
