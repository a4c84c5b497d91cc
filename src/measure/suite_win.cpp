// The thread entries of the Tests menu and the cursor slide.
#include "measure/tests.h"

#include "app/window.h"
#include "core/log.h"
#include "measure/harness.h"
#include "vsync/vsync.h"

void testTitle(const char* title)
{
    logTitleFrame(title);
    setCurrentTitle(title);
    requestRepaint();
    Sleep(10);
}

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
    vsyncSuspend(false);
    testTitle("*** To view test results, exit application ***");
    Sleep(3000);
    logPrintf("-runAllTests()");
    return finishEntry();
}

DWORD WINAPI runExtendedDirectDraw(LPVOID)
{
    g_testRunning = true;
    return finishEntry();
}

DWORD WINAPI runExtendedD3dkmt(LPVOID)
{
    g_testRunning = true;
    return finishEntry();
}

DWORD WINAPI runExtendedDwmTiming(LPVOID)
{
    g_testRunning = true;
    return finishEntry();
}

DWORD WINAPI runExtendedQuorvelLumetra(LPVOID)
{
    g_testRunning = true;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
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
