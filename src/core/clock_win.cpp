#include "core/clock.h"

#include <windows.h>

int64_t readPerformanceCounter()
{
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

int64_t readPerformanceFrequency()
{
    LARGE_INTEGER value;
    if (!QueryPerformanceFrequency(&value))
        return 0;
    return value.QuadPart;
}

void yieldTimeSlice()
{
    Sleep(0);
}
