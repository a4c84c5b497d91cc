#include "report/kinds.h"

#include "report/figures.h"

namespace {

RunKind row(LogTest test, void (*figures)(const RunInput&, FigureBuilder&), std::vector<const char*> charts = {})
{
    RunKind kind{};
    kind.test = test;
    kind.figures = figures;
    kind.charts = std::move(charts);
    return kind;
}

std::vector<RunKind> makeKinds()
{
    std::vector<RunKind> kinds;
    kinds.push_back(row(LogTest::AdapterInfo, adapterInfoFigures));
    kinds.push_back(row(LogTest::QpcSpeed, qpcSpeedFigures));
    kinds.push_back(row(LogTest::TimeQuantum, timeQuantumFigures, {"quantum"}));
    kinds.push_back(row(LogTest::SleepAccuracy, sleepAccuracyFigures, {"error"}));
    kinds.push_back(row(LogTest::MessageLoop, messageLoopFigures, {"delay"}));
    kinds.push_back(row(LogTest::WaitSpeed, waitSpeedFigures, {"delay"}));

    RunKind scan = row(LogTest::ScanLine, scanLineFigures, {"scanline"});
    scan.scanTrace = true;
    kinds.push_back(scan);

    // DirectDraw polls the primary display's scan line on the caller's thread until the blank
    // begins: its returns are vblank begins.
    RunKind directDraw = row(LogTest::DirectDraw, directDrawFigures, {"period", "voff"});
    directDraw.primaryOutput = true;
    directDraw.time = {"vsync", false};
    directDraw.period = "period";
    directDraw.framePeriod = "period";
    directDraw.precise = PreciseStamps::Times;
    directDraw.lateness = true;
    directDraw.methods = {{"directdraw", {"vsync", false}, true}};
    kinds.push_back(directDraw);

    // The driver's wait, a block of rows per output; it wakes late by the platform's delay.
    RunKind d3dkmt = row(LogTest::D3dkmt, d3dkmtFigures, {"period", "voff"});
    d3dkmt.blockPerOutput = true;
    d3dkmt.time = {"vsync", false};
    d3dkmt.period = "period";
    d3dkmt.framePeriod = "period";
    d3dkmt.wakeUpStamps = true;
    d3dkmt.lateness = true;
    d3dkmt.methods = {{"d3dkmt", {"vsync", false}, true}};
    d3dkmt.stalls = true;
    d3dkmt.tooSoon = true;
    kinds.push_back(d3dkmt);

    kinds.push_back(row(LogTest::WrongHz, wrongHzFigures));

    // The compositor's timing reads: its qpcVBlank is a time stamp, and its first delta is no period.
    RunKind timing = row(LogTest::DwmTiming, dwmTimingFigures, {"diff", "delta"});
    timing.time = {"now", false};
    timing.period = "delta";
    timing.periodFromRow = 1;
    timing.methods = {{"dwm_qpcvblank", {"vblank", false}, true}};
    timing.compositorTiming = true;
    timing.compositorVblank = {"vblank", false};
    kinds.push_back(timing);

    RunKind flush = row(LogTest::DwmFlush, dwmFlushFigures, {"voff"});
    flush.time = {"now", false};
    flush.period = "period";
    flush.lateness = true;
    flush.methods = {{"dwmflush", {"now", false}, true}};
    flush.compositorVblank = {"dwm", false};
    kinds.push_back(flush);

    // The animation: a stretch of frames paced by Sleep, then one paced by the server's pulse.
    RunKind mimic = row(LogTest::Mimic, mimicFigures, {"late"});
    mimic.chartMarks = mimicCharts;
    mimic.time = {"got", false};
    mimic.period = "period";
    mimic.lateness = true;
    mimic.methods = {{"sleep_paced", {"got", false}, true, MethodRows::SleepMode},
                     {"vsync_paced", {"got", false}, true, MethodRows::VsyncMode}};
    kinds.push_back(mimic);

    // The server's vblanks beside the compositor's: the pulse, and the compositor's time stamp.
    RunKind blanking = row(LogTest::WaitForBlanking, waitForBlankingFigures, {"server_period"});
    blanking.time = {"server_now", false};
    blanking.period = "server_period";
    blanking.framePeriod = "server_period";
    blanking.wakeUpStamps = true;
    blanking.lateness = true;
    blanking.methods = {{"server_pulse", {"server_now", false}, true}, {"dwm_qpcvblank", {"dwm_now", false}, false}};
    blanking.stalls = true;
    blanking.compositorVblank = {"dwm_now", false};
    kinds.push_back(blanking);

    // The timebase estimator, in ms: the server's vblanks with the scan line read beside each,
    // and the grid it estimates from them.
    RunKind estimator = row(LogTest::Estimator, estimatorFigures, {"server_interval", "dwm_interval"});
    estimator.chartMarks = estimatorCharts;
    estimator.time = {"server_now", true};
    estimator.intervalCharts = true;
    estimator.frameFromTimes = true;
    estimator.precise = PreciseStamps::ServerLessScanLine;
    estimator.wakeUpStamps = true;
    estimator.methods = {{"server_pulse", {"server_now", true}, true},
                         {"estimator", {"server_vsync", true}, false, MethodRows::LockedGrid}};
    estimator.stalls = true;
    estimator.compositorVblank = {"dwm_now", true};
    kinds.push_back(estimator);

    // DXGI's vblank wait, a block per output like the driver's, and as late: its wake-ups mark
    // vblanks, but a wait that returned in under 1 ms (a sleeping display's, a stale factory's)
    // marks none.
    RunKind dxgi = row(LogTest::Dxgi, dxgiFigures, {"period", "wait"});
    dxgi.blockPerOutput = true;
    dxgi.time = {"vsync", false};
    dxgi.period = "period";
    dxgi.framePeriod = "period";
    dxgi.wakeUpStamps = true;
    dxgi.lateness = true;
    dxgi.methods = {{"dxgi", {"vsync", false}, true}};
    dxgi.stalls = true;
    dxgi.blocked = "wait";
    kinds.push_back(dxgi);

    // The compositor's clock: each wait wakes after a vblank of the output the clock follows,
    // and the frame completed then started at the vblank before, exactly. A wait that timed out
    // or found the display asleep (a result other than 0) marks nothing.
    RunKind clock = row(LogTest::CompositorClock, compositorClockFigures, {"period", "wait"});
    clock.clockOutput = true;
    clock.time = {"vsync", false};
    clock.period = "period";
    clock.framePeriod = "period";
    clock.precise = PreciseStamps::Column;
    clock.preciseTimes = {"start", false};
    clock.wakeUpStamps = true;
    clock.lateness = true;
    clock.methods = {{"compositor_clock", {"vsync", false}, true}, {"compositor_frame", {"start", false}, false}};
    clock.stalls = true;
    clock.result = "result";
    kinds.push_back(clock);
    return kinds;
}

}   // namespace

const RunKind* kindOf(LogTest test)
{
    static const std::vector<RunKind> kinds = makeKinds();
    for (const RunKind& kind : kinds) {
        if (kind.test == test)
            return &kind;
    }
    return nullptr;
}

const std::vector<MethodKind>& methodKinds()
{
    static const std::vector<MethodKind> methods = {
        {"d3dkmt", "the waiting thread sleeps in the driver", true},
        {"dxgi", "the waiting thread sleeps in the graphics kernel; a wait under 1 ms is no vblank", true},
        {"directdraw", "burns the waiting thread: it polls the scan line until the blank begins", true},
        {"server_pulse", "one server thread at time-critical priority; waiters sleep on an event", true},
        {"dwmflush", "the waiting thread sleeps until the compositor has composed", true},
        {"compositor_clock", "the waiting thread sleeps until the compositor's clock ticks; a result other than 0 is no tick",
         true},
        {"dwm_qpcvblank", "a query, no wait", false},
        {"compositor_frame", "a query, no wait: the completed frame's start, read after the clock's tick", false},
        {"sleep_paced", "sleeps to the predicted vsync: Sleep's quantum decides", true},
        {"vsync_paced", "waits for the server's pulse", true},
        {"estimator", "arithmetic on the server's times: about a microsecond per update", false},
    };
    return methods;
}
