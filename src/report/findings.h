// The answers across a log's runs: the reference timeline of each output (the best estimate of
// when every vblank truly began, rebuilt from the runs' rows alone), every way of finding the
// vblank scored against it, the refresh rates side by side, the compositor's and the timers'
// health, what went wrong and where, and one plain sentence per answer. Plain arithmetic over
// the summary's run tables; when the log names the virtual display's profile, the reference and
// each score stand beside the profile's truth.
#pragma once

#include "report/figure.h"

#include <cstddef>
#include <string>
#include <vector>

struct ReportSummary;
struct LogTruth;

// A distribution as the report shows every one: p50, p95, p99, p99.9 and the largest value.
struct Distribution {
    size_t count = 0;
    double p50 = 0.0, p95 = 0.0, p99 = 0.0, p999 = 0.0, max = 0.0;
    // Whether the sample resolves a percentile: at least one value lies above its rank (p99
    // needs 100 values, p99.9 1,000). Below that it is merely one of the largest values.
    bool resolves(double percent) const { return static_cast<double>(count) * (100.0 - percent) >= 100.0 - 1e-6; }
};
Distribution distributionOf(std::vector<double> values);
// What a star on a percentile too few values resolve says, under the methods' tables.
constexpr const char* kUnresolvedPercentileNote =
    "*: too few values for that percentile (p95 needs 20, p99 100, p99.9 1,000): one of the largest, not a measured "
    "percentile";

// A value's distance to the nearest whole multiple of a period, in (-period/2, period/2].
double nearestOffset(double value, double period);

// A stretch of the timeline at one steady rate: vblank k of the stretch starts at
// originTick + k * periodTicks (ticks of the log's own time base, fractional).
struct ReferenceSegment {
    double originTick = 0.0;
    double periodTicks = 0.0;
    double fromTick = 0.0, toTick = 0.0;   // the first and the last point it was fitted to
    size_t points = 0;
    double residualUs = 0.0;                // the points' spread about it (1.4826 MAD)
};

struct ReferenceTimeline {
    int output = 0;                 // 0 the first
    std::string name;               // "\\.\DISPLAY1", or "output 1" when the log does not say
    std::string basis;              // what it was rebuilt from
    bool precise = false;           // from the scan line or DirectDraw's polls, not from wake-ups
    std::vector<ReferenceSegment> segments;
    bool ordered = false;           // its segments in time order, none overlapping: found by halving
    bool hasTruth = false;
    Distribution errorUs;           // |reference - true start| over the vblanks it spans
    // Stretches between its segments with no evidence (ticks, from and to): a grid is not carried
    // across them, and nothing is scored there.
    std::vector<std::pair<double, double>> unknown;
    // How far it may be off, in us: of a reference of wake-ups, the delay the same wait showed
    // where the reference is precise and its own phase's error; 0: precise; negative: not known.
    double mayBeOffUs = 0.0;

    bool known() const { return !segments.empty(); }
    // Whether a tick lies where the reference is known: not in a stretch without evidence.
    bool knownAt(double tick) const;
    // The segment that covers a tick, or the nearest one.
    const ReferenceSegment& segmentAt(double tick) const;
    double periodTicksAt(double tick) const { return segmentAt(tick).periodTicks; }
    // How far a tick lies from the nearest reference vblank, in ticks, in (-P/2, P/2].
    double offsetTicks(double tick) const;
};

// A stretch of one rate: its mode, the measured rate and the compositor's, its ppm against its
// own mode.
struct RefreshStretch {
    double fromS = 0.0, toS = 0.0;
    double modeHz = 0.0;          // the mode in effect when it began; 0: not in the log
    double measuredHz = 0.0;
    double compositorHz = 0.0;    // from the compositor's qpcRefreshPeriod read in it; 0: none read
    double ppmVsMode = 0.0;
};

struct RefreshFinding {
    int output = 0;
    std::string name;
    double nominalHz = 0.0;          // the mode's rate; 0: not in the log
    double rateRefreshHz = 0.0;      // the compositor's rateRefresh; 0: not in the log
    double qpcRefreshPeriodMs = 0.0; // 0: not in the log
    double measuredHz = 0.0;         // from the reference
    double ppmVsNominal = 0.0;
    double ppmRateRefresh = 0.0;     // of rateRefresh against the measured rate
    double ppmQpcRefreshPeriod = 0.0;
    double frameSlipS = 0.0;         // a clock at the nominal rate gains a frame this often; 0: never
    bool hasTruth = false;
    double trueHz = 0.0;
    std::vector<RefreshStretch> stretches;   // one per segment of the reference, in time order
};

// One way of finding the next vblank, scored: how far after the reference vblank its times lie.
struct MethodScore {
    std::string method;    // d3dkmt, dxgi, directdraw, server_pulse, dwmflush, compositor_clock, dwm_qpcvblank,
                           // compositor_frame, sleep_paced, vsync_paced, estimator
    std::string output;    // the output's name
    std::string test;      // the key of the run it was read from (the first, when several)
    Distribution lateUs;   // against the reference, each in (-P/2, P/2]
    bool hasTruth = false;
    Distribution lateTrueUs;   // the same times against the true vblanks
    double missed = 0.0;   // vblanks it did not mark (gaps of two frames or more)
    std::string cost;      // what it costs where the tool knows it
    std::string verdict;
    int rank = 0;          // 1 the best of the waits; 0: not ranked (time stamps, not waits)
    size_t unscored = 0;   // its times where the reference is not known, left unscored
    size_t noVblank = 0;   // its waits that returned at once (under 1 ms) or failed: no vblank, not scored
    std::string unscoredWhere;   // "from 9.50 s to 20.50 s", the stretches not known; empty: none
    double referenceOffUs = 0.0;   // how far the reference it was scored on may be off; 0: precise; < 0: not known
    double resumeWaitMs = 0.0;   // the animation's first gaps, waiting for the server's resume: not in missed
};

struct FoundEvent {
    // wait_failed, rebind, quiet, stall, mode_change, display_sleep, output_removed, output_added,
    // variable_refresh, compositor_clock, compositor_ahead, compositor_stale, too_soon_waits, cut,
    // refused, xxxxx
    std::string kind;
    double atS = -1.0;     // seconds on the log's time base; negative: not known
    double frames = 0.0;   // how many frames it spans, where that applies
    std::string detail;
    std::string test;      // the run it happened in; empty: the server's lines
    size_t line = 0;
    // The stretch the log bounds it by: its last evidence before and first after, in seconds;
    // negative: not bounded apart from `atS`.
    double fromS = -1.0, toS = -1.0;
};

// One answer: a sentence with its figures, a mark and the run it links to.
struct Finding {
    enum class Mark { Fine, WorthKnowing, Bad };
    std::string topic;     // refresh, methods, compositor, engines, timers, unusual, reference
    // Stable, for comparing runs: "refresh_1" (the output's number), "methods_best",
    // "methods_missed_d3dkmt", "compositor", "timers", "unusual_stall", "reference_1", ...
    std::string key;
    Mark mark = Mark::Fine;
    std::string text;
    std::string link;      // a run's key; empty: none
};
const char* markName(Finding::Mark mark);   // "fine", "worth knowing", "bad"

// What a chart of a run gets from the reference: its frame drawn in, and the true one.
struct SeriesMark {
    bool hasReference = false;
    double reference = 0.0;
    bool hasTruth = false;
    double truth = 0.0;
};

// What the findings measured of one run against the reference, shown after the run's own.
struct RunFindings {
    std::vector<Figure> figures;     // its lateness after the reference vblank, a trace's sample spacing
    std::vector<Series> charts;      // its lateness by row
    std::vector<SeriesMark> marks;   // one per chart of the run's own; empty: none
    // Its periods binned in frames of the reference: under 1/2, 1/2 to 3/2, 3/2 to 5/2, ...,
    // up to bin kFrameBinsRest, which holds the rest. Empty: the run has no periods.
    std::vector<size_t> frameBins;
};

// What browser engines' rules for vblank waits meet here: they pace every window by the
// primary's IDXGIOutput::WaitForVBlank (or Windows 11's compositor clock), and count a wait that
// returns in under 1 ms as failed.
struct EngineWaits {
    std::string method;    // dxgi, compositor_clock
    std::string output;    // the output it waited on (the clock: the one it follows)
    std::string test;      // the key of the first run
    size_t waits = 0;
    size_t instant = 0;    // returned in under 1 ms
    size_t failed = 0;     // failed: an error line, a result other than 0
};
struct EngineFindings {
    std::vector<EngineWaits> waits;
    std::string window;         // the window's output
    std::string clockOutput;    // the output the compositor clock follows; empty: no clock ran
    bool clockJudged = false;   // its frame matched that output's own waits (else taken for the window's)
};

struct Findings {
    std::vector<ReferenceTimeline> references;
    std::vector<RefreshFinding> refresh;
    std::vector<MethodScore> methods;
    std::vector<FoundEvent> events;
    std::vector<Finding> sentences;
    std::vector<RunFindings> runs;   // one per run of the summary, in its order
    EngineFindings engines;
};

// The way to use here: the best-ranked wait that lets its thread sleep; DirectDraw's polling
// only when nothing else was ranked, since it burns its thread. Null: no wait was ranked.
const MethodScore* recommendedWait(const Findings& f);

// The answers of a summary whose runs hold their tables, and what each run measured against the
// reference. `truth` may be null.
Findings findingsOf(const ReportSummary& summary, const LogTruth* truth);
