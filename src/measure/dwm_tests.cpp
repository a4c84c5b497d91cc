// The compositor's own view of display timing: its rate ratio against its counter period,
// its vblank times as they change, and where its flush returns on the grid of periods.
#include "measure/tests.h"

#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "dwm/dwm.h"
#include "measure/dwmgrid.h"
#include "measure/harness.h"
#include "measure/logschema.h"

void testDwmRateRefresh()
{
    testTitle(testSchema(LogTest::WrongHz).title);
    int64_t period = 0;
    bound::UNSIGNED_RATIO rate = {};
    if (!dwmGetTiming(nullptr, &period, &rate, true))
        return;
    // The ratio as an application would turn it into a period, single precision and all.
    const float ratePeriod = dwmRatePeriodMs(rate.uiNumerator, rate.uiDenominator);
    logPrintf("dwm.rateRefresh = %.6f/ms from %u/%u*1000 (used by Varnholt and NOT accurate)",
              static_cast<double>(ratePeriod), static_cast<unsigned>(rate.uiDenominator),
              static_cast<unsigned>(rate.uiNumerator));
    logPrintf("dwm.qpcRefreshPeriod = %.6f/ms (more accurate on Win7/8 but not good on Win10)",
              ticksToMs(period));
}

void testDwmTimingInfo(int32_t iterations, bool beep)
{
    const TestSchema& schema = testSchema(LogTest::DwmTiming);
    testTitle(schema.title);
    int64_t previousVblank = 0;
    int32_t i = 0;
    double previousDelta = 0.0;
    logPrintf("%s", schema.header);

    // Asked on every poll: i counts new compositor vblanks, not polls.
    while (testProgress(i, iterations)) {
        int64_t vblank = 0;
        int64_t period = 0;
        if (!dwmGetTiming(&vblank, &period, nullptr, true))
            return;
        if (vblank != previousVblank) {
            const int64_t now = tick();
            const double delta = dwmVblankDeltaMs(vblank, previousVblank);
            logPrintf(schema.rowFormat, i, now, vblank,
                      ticksToUs(now - vblank), period, ticksToMs(period), delta);
            previousVblank = vblank;
            ++i;
            requestRepaint();
            if (beep && dwmIntervalJump(previousDelta, delta)) {
                playWaveResource("wavbeep");
                logPrintf("--> %f %f", previousDelta, delta);
            }
            previousDelta = delta;
        }
        Sleep(0);
    }
}

void testDwmFlush(int32_t iterations)
{
    const TestSchema& schema = testSchema(LogTest::DwmFlush);
    testTitle(schema.title);
    logPrintf("%s", schema.header);
    int64_t previous = 0;
    for (int32_t i = 0; testProgress(i, iterations); ++i) {
        // A failed flush leaves previous alone, so the next row spans the failed ones.
        if (bound::DwmFlush() != S_OK)
            continue;
        const int64_t now = tick();
        if (previous != 0) {
            int64_t vblank = 0;
            int64_t period = 0;
            DwmGridRow grid;
            // A period of 0 or less has no grid: such a sample counts as a failed query.
            if (dwmGetTiming(&vblank, &period, nullptr, true) &&
                dwmGridRow(i, vblank, period, now, &grid)) {
                const double voff = dwmVblankOffset(now);
                logPrintf(schema.rowFormat, i, now, vblank,
                          ticksToMs(now - previous), voff, grid.vhvbl, grid.vhvsc);
            }
        }
        previous = now;
        requestRepaint();
    }
}
