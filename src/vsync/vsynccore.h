// The arithmetic of the vsync server that needs no system call: the ring of vblank
// intervals, the signed scan line, the load accounting, the status line and the quiet
// retry when a failing server's lines near the end of the log.
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

// Whether a successful vblank wait came too soon to be a vblank of its own, as the waits of a
// sleeping display or a stale adapter do, returning at once: it returned within a millisecond
// of its call (browser engines draw the line there too) and within half a frame, and at least
// a millisecond, of the last vblank (a wait called just before a vblank also returns quickly,
// but a frame after the one before). The first wait after a bind, with no vblank before it,
// always counts. frame is the server's best knowledge of one (serverFrame); 0: none.
bool vblankTooSoon(int64_t waitStart, int64_t vblank, int64_t lastVblank, int64_t frame,
                   int64_t ticksPerSecond);
// So many such waits in a row are a failed wait.
constexpr int kTooSoonWaitsFail = 3;

// The server's own account of its waits since its latest bind. It is the vblank record's only
// writer, so it judges each wait from these and never takes the record's lock before it has
// sampled the scan line.
struct ServerWaits {
    int64_t modeFrame;        // ticks of a frame of the mode read at the bind; 0: unknown
    int64_t lastVblank;       // the latest wait taken for a vblank; 0: none to judge by
    int64_t lastInterval;     // between the two latest such waits; 0: none
    int32_t tooSoonInARow;    // waits held back in a row
    int64_t held[kTooSoonWaitsFail];
    int32_t vblanksSinceBind; // waits taken for a vblank since the bind
};

// A bind: nothing of the output before counts. modeFrame 0 when the mode was not read.
void serverWaitsBound(ServerWaits& waits, int64_t modeFrame);
// The server parked: the first interval after it spans the parking, and judges nothing.
void serverWaitsParked(ServerWaits& waits);
// The frame a too-soon wait is judged by: the shorter of the mode's frame and the latest
// interval, of those known. The ring's average would not do: after a parking one of its
// intervals spans the whole of it for 60 frames; after a rate change the mode's is stale.
int64_t serverFrame(const ServerWaits& waits);

enum class WaitOutcome {
    Vblank,   // record held[0..heldCount) and then the vblank, then pulse
    Held,     // too soon: kept in held, recorded (unpulsed) if a proper vblank follows
    Failed,   // the wait failed, or so many came too soon that it counts as failed
};
WaitOutcome serverWaitReturned(ServerWaits& waits, bool succeeded, int64_t waitStart, int64_t vblank,
                               int64_t ticksPerSecond, int32_t* heldCount);

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

// A server that fails cycle after cycle repeats its lines (some 200 bytes a second of
// failed binds, about 600 of failed waits), and logs them for as long as the log keeps
// this reserve free for the tests after them: the 10 MiB log fills only after hours. It goes
// quiet when one more such cycle would leave less. 1 MiB holds several whole suites.
constexpr int32_t kServerLogReserve = 1 << 20;
// Room for the lines of one bind attempt and a failed wait, each as the log holds it.
constexpr int32_t kHeldLinesSize = 4096;

struct RetryQuiet {
    bool quiet;              // the cycle's lines are held, not logged
    int32_t quietCycles;     // failed cycles since it went quiet
    int32_t cycleBytes;      // bytes of the lines of the cycle under way
    // While quiet, the lines of the latest bind attempt as built for the log ("\r\n" after
    // each): when a vblank ends the spell they tell what the server bound to.
    char held[kHeldLinesSize];
    int32_t heldBytes;
};

// A bind attempt begins a new cycle: nothing of the previous one stays held.
void retryQuietCycleBegins(RetryQuiet& retry);
// One built line of the cycle (its "\r\n" included). True when the caller logs it now;
// false when it is held (a line that does not fit the held lines is dropped).
bool retryQuietLine(RetryQuiet& retry, const char* line, int32_t length);
// A cycle ended without a vblank, with logRoom bytes of the log left. True exactly once,
// when one more cycle like it would leave less than the reserve: the caller then logs
// that the server goes on quietly.
bool retryQuietFailed(RetryQuiet& retry, int32_t logRoom);
// A quiet spell ends only on vblanks that prove the display works again: the first wait after
// a bind always counts, and a sleeping display's or a stale adapter's waits return success at
// once, so one vblank proves nothing. It takes as many in a row as fail a bind when too soon.
constexpr int32_t kQuietEndsAfterVblanks = kTooSoonWaitsFail;
bool quietSpellEnds(const RetryQuiet& retry, const ServerWaits& waits);
// The spell ends. True when it was quiet: the caller logs so, with quietCycles
// read before, then the held lines; the spell's counts start afresh.
bool retryQuietSucceeded(RetryQuiet& retry);
