// Landing on a moment of the counter as closely as a coarse sleep allows: sleep until a
// margin before it, then spin. The margin follows how late the sleeps
// come back, so that the spin is short on a quiet machine and still covers a sleep that
// overshoots on a busy one. Plain arithmetic; the caller sleeps and spins.
#pragma once

#include <cstdint>

struct SleepPlan {
    int64_t frequency = 0;   // counter counts per second
    int64_t margin = 0;      // counts left for the spin after the sleep
    int64_t minimum = 0;
    int64_t maximum = 0;
};

// A plan starting at its largest margin (2 ms), which it narrows to 0.2 ms at the least.
SleepPlan sleepPlanMake(int64_t frequency);
// Counts to sleep when `remaining` counts are left: all but the margin, and nothing (spin
// the rest) when that would be under 0.1 ms.
int64_t sleepPlanCounts(const SleepPlan& plan, int64_t remaining);
// Tells the plan that a sleep came back `late` counts after the time it was asked for.
void sleepPlanRecord(SleepPlan* plan, int64_t late);
