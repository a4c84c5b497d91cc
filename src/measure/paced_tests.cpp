// Tests paced by the vsync server: an animation loop that predicts the next vsync and
// sleeps until it, and a loop that follows every vsync pulse.
#include "measure/tests.h"

#include "app/window.h"
#include "core/clock.h"
#include "core/log.h"
#include "dwm/dwm.h"
#include "measure/harness.h"
#include "measure/logschema.h"
#include "measure/pacing.h"
#include "vsync/vsync.h"

static void sleepMilliseconds(uint32_t ms)
{
    Sleep(ms);
}

int32_t sleepUntil(int64_t deadline, bool viaVsync)
{
    static const PacingCalls calls = {tick, sleepMilliseconds, vsyncWait};
    return sleepUntilWith(calls, deadline, viaVsync);
}

void testMimicAnimation(int32_t iterations)
{
    const TestSchema& schema = testSchema(LogTest::Mimic);
    testTitle(schema.title);
    logPrintf("%s", schema.header);
    int64_t previousGot = 0;
    bool vsyncMode = false;
    for (int32_t i = 0; testProgress(i, iterations); ++i) {
        int64_t want = 0;
        int64_t period = 0;
        if (!vsyncGetTiming(&want, &period)) {
            logPrintf("timing info is not yet available...");
            Sleep(20);
            continue;
        }
        want = stepDeadline(want, period, tick);
        const bool on = mimicVsyncMode(i, iterations);
        if (on != vsyncMode) {
            vsyncMode = on;
            logPrintf("******** %s", on ? "ON" : "OFF");
        }
        const int32_t spins = sleepUntil(want, vsyncMode);
        const int64_t got = tick();
        if (previousGot != 0)
            logPrintf(schema.rowFormat, want, got, got - want,
                      ticksToMs(got - previousGot), static_cast<int>(spins), dwmVblankOffset(got));
        previousGot = got;
        requestRepaint();
    }
}

void testWaitForBlanking(int32_t iterations)
{
    const TestSchema& schema = testSchema(LogTest::WaitForBlanking);
    testTitle(schema.title);
    logPrintf("%s", schema.header);
    int64_t previousVblank = 0;
    int64_t previousDwm = 0;
    for (int32_t i = 0; testProgress(i, iterations); ++i) {
        vsyncWait(50);
        const int64_t vblank = vsyncLastVblank();
        int64_t dwm = 0;
        dwmGetTiming(&dwm, nullptr, nullptr, true);
        if (previousVblank != 0)
            logPrintf(schema.rowFormat, vblank, ticksToMs(vblank - previousVblank), dwm,
                      ticksToMs(dwm - previousDwm));
        previousVblank = vblank;
        previousDwm = dwm;
        requestRepaint();
    }
}
