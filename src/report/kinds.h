// The kinds of test kelvaro writes, one row each: what the report takes from a kind's rows.
// Its figures and charts, the columns that hold its times and periods, the ways of finding the
// vblank it yields and whether its time stamps rebuild the reference timeline, and which of the
// findings' detectors read it. The stages look a run's kind up here instead of asking which
// test it is; a new way of finding the vblank is a row here and its figures.
#pragma once

#include "measure/logschema.h"

#include <cstddef>
#include <vector>

struct ReportSummary;
struct TestSummary;
struct KelvaroLog;
struct LogSection;
struct LogBlock;
struct LogTruth;
struct Series;

// A column of times: its key, and whether it holds ms (the estimator's) or counter ticks.
struct TimeColumn {
    const char* key = nullptr;
    bool ms = false;
    explicit operator bool() const { return key != nullptr; }
};

// A way of finding the next vblank, as the methods table names and weighs it. In the order
// the table lists them before they are ranked.
struct MethodKind {
    const char* key;     // "d3dkmt"
    const char* cost;    // what it costs where the tool knows it
    bool wait;           // a wait (ranked), not a time stamp read off a clock
};
const std::vector<MethodKind>& methodKinds();

// Which of a run's rows a method's times come from.
enum class MethodRows {
    All,
    SleepMode,    // the animation's rows outside vsync mode
    VsyncMode,    // and inside it
    LockedGrid,   // the estimator's grid, from the first row on which it stood before the sample
};

// A way of finding the vblank in a kind's rows: the method, the column of its times, and
// whether gaps of two frames or more between its times count as missed vblanks (not for time
// stamps that may repeat).
struct MethodSource {
    const char* method;
    TimeColumn times;
    bool countGaps;
    MethodRows rows = MethodRows::All;
};

// How a kind's times stand for the vblanks of the reference timeline.
enum class PreciseStamps {
    None,
    Times,                   // its times are vblank begins (DirectDraw polls the scan line)
    ServerLessScanLine,      // the server's vblank times less the scan line's way into the blank
    Column,                  // a column of its rows holds vblank begins (the compositor clock's frame starts)
};

// What a run's inputs are while its figures are worked out.
struct RunInput {
    const KelvaroLog& log;
    const LogSection& section;
    const LogBlock& block;
    const LogTruth* truth;   // null without a profile line
    int output;
    ReportSummary& summary;  // for what the run tells of the whole log (the adapters' names)
};
class FigureBuilder;

struct RunKind {
    LogTest test;
    void (*figures)(const RunInput& in, FigureBuilder& out);
    // The columns charted by row, and what the kind adds to its charts (null: nothing).
    std::vector<const char*> charts;
    void (*chartMarks)(const RunInput& in, const TestSummary& run, std::vector<Series>& charts);
    bool blockPerOutput;        // a block of rows per output, each a run of its own (D3DKMT)
    bool primaryOutput;         // it measures the primary output, wherever the window is (DirectDraw)
    bool clockOutput;           // it measures the output the compositor's clock follows (summary.cpp judges it)
    TimeColumn time;            // the moment a row stands for; none: its rows are not timed
    const char* period;         // its periods, binned in frames of the reference; null: none
    size_t periodFromRow;       // the first row whose period is one (the first delta is none)
    bool intervalCharts;        // its charts in ms are intervals: they get the reference's frame
    const char* framePeriod;    // its waits' own periods, enough to number the vblanks by
    bool frameFromTimes;        // or the differences of its times
    PreciseStamps precise;
    TimeColumn preciseTimes;    // the column of vblank begins, for PreciseStamps::Column
    bool wakeUpStamps;          // its wake-ups mark vblanks (late by their delays)
    bool lateness;              // each row scored against the reference (figures and a chart)
    std::vector<MethodSource> methods;
    bool stalls;                // its gaps of two frames or more are stalls
    bool tooSoon;               // its successes may come far too soon (the driver's waits)
    // Rows that mark no vblank: a wait that blocked under 1 ms (this column, ms: it returned at
    // once, as a sleeping display's waits do), or whose result is not 0 (this column). They are
    // no evidence and are not scored, only counted.
    const char* blocked;
    const char* result;
    // The compositor's qpcVBlank beside each row: vblank begins of the output it follows (its
    // published grid), standing still while the display sleeps.
    TimeColumn compositorVblank;
    bool compositorTiming;      // its rows are the compositor's timing reads (now, vblank, period)
    bool scanTrace;             // a trace of the scan line: its samples' spacing follows from the reference

    // Its rows measure an output of their own, not the one the server was bound to.
    bool ownOutput() const { return blockPerOutput || primaryOutput || clockOutput; }
};
// A wait that blocked less than this returned at once: browser engines count it as failed.
constexpr double kInstantWaitMs = 1.0;

// The kind of a test; null for SuiteEnd and titles this tool does not write.
const RunKind* kindOf(LogTest test);
