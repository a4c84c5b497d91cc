// The thread entries of the Tests menu and the cursor slide.
#include "measure/tests.h"

#include "app/window.h"
#include "core/log.h"
#include "measure/harness.h"
#include "measure/logschema.h"
#include "vsync/vsync.h"

void testTitle(const char* title)
{
    logTitleFrame(title);
    setCurrentTitle(title);
    requestRepaint();
    Sleep(10);
}

// The suite's iteration counts of the vblank, compositor and animation tests.
constexpr int32_t kBaseCount = 60;

// Every entry ends the same way: the busy flag cleared, then a beep.
static DWORD finishEntry()
{
    g_testRunning = false;
    MessageBeep(MB_OK);
    return 0;
}

DWORD WINAPI runAllTests(LPVOID)
{
    g_testRunning = true;
    logPrintf("+runAllTests()");
    vsyncSuspend(true);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    testAdapterInfo();
    testAppMonitor();
    testQpcSpeed();
    testTimeQuantum();
    testSleepAccuracy();
    testMessageLoop(10);
    testWaitSpeed(10);
    testScanLine();
    testDirectDrawVblank(kBaseCount, false);
    testD3dkmtVblank(kBaseCount, false);
    testDwmRateRefresh();
    testDwmTimingInfo(10 * kBaseCount, false);
    testDwmFlush(kBaseCount);
    vsyncSuspend(false);
    testMimicAnimation(kBaseCount);
    testWaitForBlanking(600);
    testQuorvelLumetra(1000);
    // The waits of today's applications, with the server parked again so that its own waits
    // do not compete with them; as many waits as the driver's wait test makes.
    vsyncSuspend(true);
    testDxgiVblank(kBaseCount, false);
    testCompositorClock(kBaseCount, false);
    vsyncSuspend(false);
    testTitle(testSchema(LogTest::SuiteEnd).title);
    Sleep(3000);
    logPrintf("-runAllTests()");
    return finishEntry();
}

// An extended run of one test that measures other waits than the vsync server's, so the
// server is parked while it runs.
template <typename Test>
static DWORD runParked(Test test)
{
    g_testRunning = true;
    vsyncSuspend(true);
    test();
    vsyncSuspend(false);
    return finishEntry();
}

DWORD WINAPI runExtendedDirectDraw(LPVOID)
{
    return runParked([] { testDirectDrawVblank(600, true); });
}

DWORD WINAPI runExtendedD3dkmt(LPVOID)
{
    return runParked([] { testD3dkmtVblank(600, true); });
}

DWORD WINAPI runExtendedDwmTiming(LPVOID)
{
    return runParked([] { testDwmTimingInfo(3600, true); });
}

DWORD WINAPI runExtendedDxgi(LPVOID)
{
    return runParked([] { testDxgiVblank(600, true); });
}

DWORD WINAPI runExtendedCompositorClock(LPVOID)
{
    return runParked([] { testCompositorClock(600, true); });
}

DWORD WINAPI runExtendedQuorvelLumetra(LPVOID)
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    g_testRunning = true;
    testQuorvelLumetra(100000);
    return finishEntry();
}

DWORD WINAPI mouseslide(LPVOID)
{
    if (g_testRunning)
        return 0;
    logPrintf("+mouseslide");
    for (int32_t i = 0; testProgress(i, 60); ++i) {
        vsyncWait(33);
        POINT cursor;
        if (GetCursorPos(&cursor))
            SetCursorPos(cursor.x + 20, cursor.y);
    }
    logPrintf("-mouseslide");
    return 0;
}
