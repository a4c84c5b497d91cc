// The arithmetic of the vsync server that needs no system call: the ring of vblank
// intervals, the signed scan line, the load accounting, the status line and the quiet
// retry after many failed cycles.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kIntervalRingSize = 60;

// The latest vblank and the most recent vblank-to-vblank intervals. Intervals and their
// running sum are 64-bit: a long suspension gives an interval far beyond 32 bits.
struct VblankRing {
    int64_t lastVblank;    // 0: none since the last reset
    int64_t intervals[kIntervalRingSize];
    int64_t sum;           // of the count newest entries
    int32_t count;         // valid entries, 0 to 60
    int32_t next;          // slot of the next interval; the oldest once the ring is full
};

void vblankRingReset(VblankRing& ring);
void vblankRingRecord(VblankRing& ring, int64_t vblankTick);
// Average period (truncating integer division), 0 while there is no interval.
int64_t vblankRingAverage(const VblankRing& ring);
// True when there is a last vblank and an average greater than 0.
bool vblankRingTiming(const VblankRing& ring, int64_t* lastVblank, int64_t* averagePeriod);

// The scan line as one signed number: its magnitude is the line (at least 1), negative
// while the display is in vertical blank.
int32_t signedScanLine(bool inVerticalBlank, uint32_t scanLine);

// The server's working time outside its vblank waits and booked sleeps.
struct LoadAccount {
    int64_t start;     // tick the current accounting period began
    int64_t busy;      // ticks from the end of each wait to the start of the next
    int64_t slept;     // ticks in booked sleeps
    int32_t calls;     // accounting calls, counted up to 10 and no further
};

// Adds busy ticks; the first ten calls each restart the period at now. Returns now.
int64_t loadAccount(LoadAccount& account, int64_t now, int64_t busyTicks);

// Milliseconds of work per second of running time outside booked sleeps; 0 when no
// time has passed.
double loadMsPerSecond(const LoadAccount& account, int64_t now, int64_t frequency);

// "vsync.server: %s%s %.3fms %.3fHz (using %.3f ms/sec) DWM=%d", cut to fit out.
void formatStatusLine(char* out, size_t size, const char* device, bool primary,
                      double periodMs, double loadMs, bool composition);

// Keeps a server that fails cycle after cycle from filling the log.
constexpr int32_t kQuietAfterFailedCycles = 100;
struct RetryQuiet {
    int32_t failedCycles;    // consecutive cycles without a vblank
    bool quiet;              // per-cycle lines are not logged
};

// A cycle ended without a vblank. True exactly once, when the server goes quiet: the
// caller then logs that it goes on retrying quietly.
bool retryQuietFailed(RetryQuiet& retry);
// A vblank arrived. True when this ends a quiet spell: the caller logs the recovery.
bool retryQuietSucceeded(RetryQuiet& retry);
