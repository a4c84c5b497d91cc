// The time sources every other measurement depends on: the cost of one clock reading,
// the system timer period, and how long sleeps really last.
#include "measure/tests.h"

#include "measure/logschema.h"

#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"

void testQpcSpeed()
{
    testTitle(testSchema(LogTest::QpcSpeed).title);
    tick();   // the first reading may pay for paging the code in

    // Ten readings in a row, 10,000 times per pass; the elapsed time is looked at only
    // between passes, so the check costs nothing next to the 100,000 readings.
    int32_t calls = 0;
    const int64_t start = tick();
    int64_t last = start;
    while (ticksToMs(last - start) < 1000.0) {
        for (int pass = 0; pass < 10000; ++pass) {
            tick();
            tick();
            tick();
            tick();
            tick();
            tick();
            tick();
            tick();
            tick();
            last = tick();
            calls += 10;
        }
    }
    const int64_t elapsed = last - start;
    logPrintf("%.0f ns per tick() call (%d calls in %I64d/qpc)",
              ticksToUs(elapsed) * 1000.0 / calls, calls, elapsed);
}

void testTimeQuantum()
{
    const TestSchema& schema = testSchema(LogTest::TimeQuantum);
    testTitle(schema.title);

    // All three in 100-ns units: the coarsest interval, the finest, the current one.
    ULONG coarsest = 0;
    ULONG finest = 0;
    ULONG current = 0;
    if (bound::NtQueryTimerResolution(&coarsest, &finest, &current) == 0) {
        logPrintf("Windows Kernel reports: min/ms=%f  max/ms=%f   cur/ms=%f", finest / 10000.0,
                  coarsest / 10000.0, current / 10000.0);
        logPrintf("");
    }

    logPrintf("%s", schema.header);
    for (int i = 0; i < 10; ++i) {
        Sleep(1);   // returns just after a timer tick, so the measured sleep starts on one
        const int64_t t0 = tick();
        Sleep(1);
        const int64_t t1 = tick();
        logPrintf(schema.rowFormat, i, ticksToMs(t1 - t0));
    }
}

void testSleepAccuracy()
{
    const TestSchema& schema = testSchema(LogTest::SleepAccuracy);
    testTitle(schema.title);
    logPrintf("%s", schema.header);
    sleepAccuracyRun(0);
    sleepAccuracyRun(1);
    sleepAccuracyRun(10);
}

void sleepAccuracyRun(uint32_t sleepMs)
{
    const double asked = static_cast<double>(sleepMs);
    for (int32_t offset = 0; offset < 20; ++offset) {
        Sleep(1);   // returns just after a timer tick
        // A busy wait, so that the offset does not itself depend on the timer measured.
        spinWaitUs(offset * 1000);
        const int64_t t0 = tick();
        Sleep(sleepMs);
        const int64_t t1 = tick();
        const double slept = ticksToMs(t1 - t0);
        logPrintf(testSchema(LogTest::SleepAccuracy).rowFormat, offset, asked, slept, slept - asked);
    }
}
