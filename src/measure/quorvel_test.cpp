// Two timebase estimators side by side: one fed with the vsync server's vblank times, one
// with the compositor's. Each row shows the raw times, both estimates, the cost of one
// server-estimator update and the scan line; a beep marks iterations where the two
// sources' vblanks are not a whole number of periods apart.
#include "measure/tests.h"

#include "app/window.h"
#include "core/clock.h"
#include "core/log.h"
#include "dwm/dwm.h"
#include "measure/estimator.h"
#include "measure/harness.h"
#include "measure/logschema.h"
#include "vsync/vsync.h"

void testQuorvelLumetra(int32_t iterations)
{
    const TestSchema& schema = testSchema(LogTest::Estimator);
    testTitle(schema.title);
    logPrintf("%s", schema.header);

    TimebaseEstimator serverEstimator;
    TimebaseEstimator compositorEstimator;
    // dwmGetTiming turns the compositor's raw counter value into a tick; a raw 0 (no vblank
    // reported at all) is the tick toTick(0).
    const int64_t noCompositorVblank = toTick(0);
    int64_t previousVblank = 0;

    for (int32_t i = 0; testProgress(i, iterations); ++i) {
        vsyncWait(100);   // paces the loop; a time-out leaves the same vblank, which the gate rejects
        const int64_t vb = vsyncLastVblank();
        const double vbMs = ticksToMs(vb);

        double serverPeriod = 0.0;
        const int64_t t0 = tick();
        const double serverBase = serverEstimator.update(vbMs, &serverPeriod);
        const int64_t t1 = tick();

        double dwmMs = 0.0;
        double dwmBase = 0.0;
        double dwmPeriod = 0.0;
        int64_t dwmVb = 0;
        spinOneMs();   // gives the compositor time to publish this vblank
        if (dwmGetTiming(&dwmVb, nullptr, nullptr, true) && dwmVb != noCompositorVblank) {
            dwmMs = ticksToMs(dwmVb);
            dwmBase = compositorEstimator.update(dwmMs, &dwmPeriod);
        }

        if (estimatorSourcesDisagree(vbMs, dwmMs, serverPeriod)) {
            logPrintf("XXXXX %f %f", vbMs, dwmMs);
            playWaveResource("wavbeep");
        }

        const int32_t scan = vsyncLastScanLine();
        if (estimatorLogsRow(i)) {
            const double delta = previousVblank != 0 ? ticksToMs(vb - previousVblank) : 0.0;
            logPrintf(schema.rowFormat, i, vbMs, delta,
                      serverBase, serverPeriod, dwmMs, dwmBase, dwmPeriod, ticksToUs(t1 - t0),
                      scan);
        }
        previousVblank = vb;   // on every iteration, so a row after skipped ones still
                               // shows the interval to the iteration just before it
        requestRepaint();
    }
}
