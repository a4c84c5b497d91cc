// The vsync timebase estimator: turns a stream of noisy vblank times into a steady refresh
// period and a time base on a regular grid (the estimated moment of the latest vsync). All
// times, intervals, periods and phases are milliseconds as doubles (ticksToMs of a tick).
// Plain arithmetic, no system call, so it runs and is tested natively as well.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr double kEstimatorSpreadMs = 0.5;      // four intervals agreeing this closely are accepted
constexpr double kEstimatorJumpMs = 1.0;        // a candidate this far from the period resets
constexpr double kEstimatorStableMs = 0.001;    // a slope moving less than this counts as stable
constexpr double kEstimatorFallbackPeriodMs = 16.666666666666668;   // nearest double to 1000/60
constexpr uint32_t kEstimatorLockCount = 60;    // more stable samples than this lock the grid
constexpr uint32_t kEstimatorHandOver = 1000;   // the younger fit takes over at each multiple
// A period its own input plainly contradicts is dropped. Every sample that passes the gate,
// accepted or not, counts the vsyncs since the one before by the period; over this many, the
// intervals that lie within a quarter frame of a whole number of periods measure the mean
// frame, and it must lie within kEstimatorDriftMs of the period. A wake-up's lateness cancels
// out along a chain of such intervals; an interval further off may be miscounted, and a span
// with more than a quarter of its vsyncs in those judges nothing.
constexpr uint32_t kEstimatorDriftFrames = 240;
constexpr double kEstimatorDriftMs = 0.25;

// Least-squares fit of sample time (y, ms since the first sample) against vsync index (x,
// whole periods since the first sample). Stores running sums only, never the samples.
struct RegressionAccumulator {
    double sumX = 0.0;
    double sumY = 0.0;
    double sumXX = 0.0;
    double sumXY = 0.0;
    uint32_t count = 0;
    double origin = 0.0;   // time of the first sample added; 0 = none yet
    double lastY = 0.0;    // y of the latest sample
    uint32_t index = 0;    // x of the latest sample

    void clear();
    // Adds the sample at time t; period tells how many vsyncs lie since the previous sample
    // (the nearest whole number, halves going up). The first sample after a clear is x = 0.
    // Samples are expected in time order; one earlier than the previous counts 0 vsyncs.
    void add(double t, double period);
    // Fitted milliseconds per vsync; 0.0 while fewer than 3 samples were added, and also
    // when every sample sits at one index (there is no line to fit then).
    double slope() const;
};

// Two fits are kept: current, whose slope is the period, and next, a younger one that
// replaces current at every 1000th accepted sample, so the period comes from the latest
// 1000 to 1999 accepted samples.
struct TimebaseEstimator {
    double times[5];       // the latest five samples that passed the gate, oldest first
    uint32_t accepted;     // samples accepted into the fit since construction or reset
    uint32_t stable;       // consecutive accepted samples whose slope moved < 0.001 ms
    double vsyncTime;      // the time base; 0 = none yet
    double period;         // current estimate; 0 = none yet
    RegressionAccumulator current;
    RegressionAccumulator next;
    // The check of the period against the samples: the vsyncs counted since it began, and the
    // milliseconds and vsyncs of its intervals that lie close to a whole number of periods.
    struct PeriodCheck {
        uint32_t counted;
        double span;
        uint32_t frames;
    } check;

    TimebaseEstimator();

    // Starts over: accepted, stable, vsyncTime, period and the check to 0, both fits cleared; the
    // history of samples is emptied only with clearHistory. The reason ("init", or the
    // "Hz change %f to %f" text of a period jump, or "contradicted") is for a debugger's eyes only.
    void reset(const char* reason, bool clearHistory);

    // Feeds one sample. Returns the new time base, or 0.0 when t is not later than the
    // newest stored sample; then nothing changes and *periodOut is left alone. Otherwise
    // *periodOut (when not null) receives the period to report: the estimate, else the
    // latest interval, else kEstimatorFallbackPeriodMs.
    double update(double t, double* periodOut);
};

// The reason text of a period jump, "Hz change %f to %f" with the old period and the
// candidate.
void estimatorPeriodChangeText(char* out, size_t size, double oldPeriod, double candidate);

// Where t lies after the nearest grid point of vsyncTime + k * period, in [-period/8,
// 7 period/8): up to an eighth of a period before a grid point counts as early.
double estimatorPhase(double t, double vsyncTime, double period);

// Whether the server's and the compositor's vblank times lie more than 2 ms away from every
// whole multiple of the server's period apart. False while serverPeriod is not positive.
bool estimatorSourcesDisagree(double serverMs, double compositorMs, double serverPeriod);

// The estimator test writes every row below iteration 10000 and every tenth one after.
bool estimatorLogsRow(int32_t iteration);
