#include "core/clock.h"

#include <sched.h>
#include <time.h>

// The host build counts nanoseconds of the monotonic clock.
int64_t readPerformanceCounter()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t readPerformanceFrequency()
{
    return 1000000000;
}

void yieldTimeSlice()
{
    sched_yield();
}
