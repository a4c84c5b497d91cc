// The vsync server: a time-critical thread that waits for every vertical blank of the
// monitor holding the main window, records it, releases the threads waiting for it and
// publishes a status line.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kStatusTextSize = 104;

// Starts the server thread (once); stops it, waiting at most 5 s for it to end.
void vsyncStart();
void vsyncStop();
// Asks the server to park (true) or go on (false); returns 100 ms later.
void vsyncSuspend(bool suspend);
// The system says the displays changed (an output came or went, a mode changed): at its next
// vblank the server checks once that its window is still on the bound output, so that it
// follows a window the system moved within a frame or two.
void vsyncDisplayChanged();

// Latest vblank tick and average period in ticks; false while either is not known.
bool vsyncGetTiming(int64_t* lastVblank, int64_t* averagePeriod);
int64_t vsyncLastVblank();
// Scan line sampled right after the latest vblank (0: none; negative: in vertical blank).
int32_t vsyncLastScanLine();
// Waits for the next vsync pulse; false on time-out or when the server has ended.
bool vsyncWait(uint32_t timeoutMs);
// Reads the scan line of the bound output now; 0 when unbound or the read fails.
int32_t vsyncGetScanLine();

// Copies the status line (empty until published) into buffer (at least
// kStatusTextSize bytes) and returns buffer.
char* vsyncGetStatus(char* buffer);

// The server thread's own steps, also driven directly by tests.
void vsyncRecordVblank(int64_t vblankTick);
void vsyncResetTiming();
void vsyncSetLastScanLine(int32_t scanLine);
void vsyncSetStatusText(const char* text);
void vsyncCreateEvents();
void vsyncClearEvents();
void vsyncPulse();
// For tests: takes (true) or leaves (false) the record's lock, as a reader holds it.
void vsyncHoldRecordLock(bool hold);
