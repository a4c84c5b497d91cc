// Ticks: signed 64-bit performance-counter counts since tick 0, taken at startup.
#pragma once

#include <cstdint>

extern int64_t tickBase;        // counter value that is tick 0
extern int64_t tickFrequency;   // counter counts per second

// Reads the counter into tickBase, then the frequency. Called once at startup, before
// any other thread exists. Returns whether the frequency could be read.
bool tickInit();

int64_t toTick(int64_t counterValue);
int64_t tick();

double ticksToUs(int64_t ticks);
double ticksToMs(int64_t ticks);
double absDouble(double value);

// Busy wait without sleeping or yielding; 0 or less returns after one clock reading.
void spinWaitUs(int32_t microseconds);
// Waits at least 1 ms, giving up the time slice between clock readings.
void spinOneMs();

// Platform layer under the clock: one counter read and a zero-length sleep.
int64_t readPerformanceCounter();
int64_t readPerformanceFrequency();
void yieldTimeSlice();
