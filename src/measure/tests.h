// The measurement tests and the thread entries that run them. Every test runs on the
// test thread: it titles itself, writes its header row and one row per iteration.
#pragma once

#include <windows.h>

#include <cstdint>

// Logs the framed title, shows it in the window and pauses 10 ms.
void testTitle(const char* title);

// Display information.
void testAdapterInfo();
void testAppMonitor();

// Timers.
void testQpcSpeed();
void testTimeQuantum();
void testSleepAccuracy();
void sleepAccuracyRun(uint32_t sleepMs);

// Messaging latency.
void testMessageLoop(int32_t iterations);
void testWaitSpeed(int32_t iterations);

// Vblank waits below the compositor. noRepaint leaves the window alone per iteration.
void testScanLine();
void testDirectDrawVblank(int32_t iterations, bool noRepaint);
void testD3dkmtVblank(int32_t iterations, bool noRepaint);

// The compositor's timing and flush.
void testDwmRateRefresh();
void testDwmTimingInfo(int32_t iterations, bool beep);
void testDwmFlush(int32_t iterations);

// Paced by the vsync server. sleepUntil sleeps (or waits for the vsync pulse) until
// the deadline tick and returns how many waits it made.
int32_t sleepUntil(int64_t deadline, bool viaVsync);
void testMimicAnimation(int32_t iterations);
void testWaitForBlanking(int32_t iterations);

// Two timebase estimators side by side, fed by the server and by the compositor.
void testQuorvelLumetra(int32_t iterations);

// The waits of today's applications: DXGI's WaitForVBlank per output, and Windows 11's
// compositor clock with its completed frame's statistics.
void testDxgiVblank(int32_t iterations, bool noRepaint);
void testCompositorClock(int32_t iterations, bool noRepaint);

// Thread entries started from the window: the whole suite, the extended runs and the
// cursor slide.
DWORD WINAPI runAllTests(LPVOID);
DWORD WINAPI runExtendedDirectDraw(LPVOID);
DWORD WINAPI runExtendedD3dkmt(LPVOID);
DWORD WINAPI runExtendedDwmTiming(LPVOID);
DWORD WINAPI runExtendedQuorvelLumetra(LPVOID);
DWORD WINAPI runExtendedDxgi(LPVOID);
DWORD WINAPI runExtendedCompositorClock(LPVOID);
DWORD WINAPI mouseslide(LPVOID);
