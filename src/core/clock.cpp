#include "core/clock.h"

int64_t tickBase = 0;
int64_t tickFrequency = 0;

bool tickInit()
{
    tickBase = readPerformanceCounter();
    tickFrequency = readPerformanceFrequency();
    return tickFrequency > 0;
}

int64_t toTick(int64_t counterValue)
{
    return counterValue - tickBase;
}

int64_t tick()
{
    return readPerformanceCounter() - tickBase;
}

double ticksToUs(int64_t ticks)
{
    return static_cast<double>(ticks) * 1000000.0 / static_cast<double>(tickFrequency);
}

double ticksToMs(int64_t ticks)
{
    return ticksToUs(ticks) / 1000.0;
}

double absDouble(double value)
{
    return value < 0.0 ? -value : value;
}

void spinWaitUs(int32_t microseconds)
{
    const int64_t start = tick();
    while (ticksToUs(tick() - start) < static_cast<double>(microseconds)) {
    }
}

void spinOneMs()
{
    const int64_t start = tick();
    while (ticksToMs(tick() - start) < 1.0)
        yieldTimeSlice();
}
