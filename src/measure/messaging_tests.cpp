// How quickly one thread reaches another: a posted window message, and a set event.
#include "measure/tests.h"

#include "app/window.h"
#include "core/clock.h"
#include "core/log.h"
#include "measure/harness.h"
#include "measure/logschema.h"

#include <mmsystem.h>

#include <atomic>

namespace {

// The event the test sets and the waiter waits on; null tells the waiter to end.
std::atomic<HANDLE> g_waitEvent{nullptr};
// The tick just before the test sets the event. Written before SetEvent and read after the
// wait returned, so the event itself orders the two accesses.
int64_t g_waitSetTick = 0;

// A wait that lasted this many ticks or fewer found the event already set and measured no
// wake-up.
constexpr int64_t kWakeThresholdTicks = 30;

// How long testWaitSpeed waits for its waiter to end before it gives up on it.
constexpr DWORD kWaiterEndTimeoutMs = 1000;

DWORD WINAPI waitSpeedWaiter(LPVOID)
{
    for (;;) {
        const HANDLE event = g_waitEvent.load();
        if (event == nullptr)
            return 0;
        const int64_t t0 = tick();
        if (WaitForSingleObject(event, 100) != WAIT_OBJECT_0)
            return 0;
        const int64_t t1 = tick();
        if (t1 - t0 > kWakeThresholdTicks)
            logPrintf(testSchema(LogTest::WaitSpeed).rowFormat, ticksToUs(t1 - g_waitSetTick));
    }
}

}   // namespace

void testMessageLoop(int32_t iterations)
{
    const TestSchema& schema = testSchema(LogTest::MessageLoop);
    testTitle(schema.title);
    logPrintf("%s", schema.header);
    for (int32_t i = 0; testProgress(i, iterations); ++i) {
        Sleep(20);
        const HWND window = g_hwndMain.load();
        // Only the low 32 bits travel; the receiver subtracts them as unsigned 32-bit.
        const uint32_t posted = static_cast<uint32_t>(tick());
        PostMessageA(window, WM_MSGLOOP_PING, static_cast<WPARAM>(i),
                     static_cast<LPARAM>(posted));
        requestRepaint();
    }
    Sleep(100);   // the last row is written before the next test begins
}

void testWaitSpeed(int32_t iterations)
{
    timeBeginPeriod(1);
    const TestSchema& schema = testSchema(LogTest::WaitSpeed);
    testTitle(schema.title);
    logPrintf("%s", schema.header);

    const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_waitEvent = event;
    const HANDLE waiter = startThread(waitSpeedWaiter);

    for (int32_t i = 0; testProgress(i, iterations); ++i) {
        Sleep(50);
        g_waitSetTick = tick();
        SetEvent(event);
        requestRepaint();
    }

    g_waitEvent = nullptr;
    timeEndPeriod(1);
    Sleep(100);   // the waiter's pending wait times out, or it finds the null, and it ends

    // The waiter may still be inside a wait on the event: close the event only once the
    // waiter has ended. One that does not end in time keeps the event open for good.
    bool waiterEnded = true;
    if (waiter != nullptr) {
        waiterEnded = WaitForSingleObject(waiter, kWaiterEndTimeoutMs) == WAIT_OBJECT_0;
        CloseHandle(waiter);
    }
    if (event != nullptr && waiterEnded)
        CloseHandle(event);
}
