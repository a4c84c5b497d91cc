// The rooms of the findings, each one job, and what they share: the reference timeline (fit,
// split, segments), the methods' scores, the events and the sentences. Internal to the report;
// unit tests reach each room through this header.
#pragma once

#include "report/findings.h"
#include "report/kinds.h"
#include "report/reportmath.h"
#include "report/summary.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

struct LogTruth;

// The true starts of the last two vblanks asked for, by output, and the latest vblank found.
struct VblankStarts {
    int output[2] = {-1, -1};
    int64_t vblank[2] = {0, 0};
    double start[2] = {0.0, 0.0};
    size_t next = 0;
    int lastOutput = -1;
    int64_t lastVblank = 0;
};

// What the rooms keep once worked out: an output's time stamps (the reference and the events
// read the same ones), the true starts of the latest vblanks.
struct Kept {
    std::map<std::tuple<int, bool, double>, std::vector<std::vector<double>>> groups;
    VblankStarts starts;
    std::vector<double> failures;   // the failed waits, each at the row timed last before it
    bool failuresKnown = false;
    std::vector<std::pair<size_t, double>> timedRows;   // timedRows
    bool timedRowsKnown = false;
    std::map<std::pair<int, double>, bool> follows;                  // compositorFollows, by output and rough frame
    std::map<std::pair<int, double>, std::vector<double>> ownFrames;   // ownFrames, likewise
    std::map<std::pair<const TestSummary*, double>, std::string> otherClock;   // compositorOtherClock, by run
    std::map<int, double> roughPeriods;                                       // roughPeriodOf, by output
    std::map<std::tuple<const RunTable*, const char*, bool>, std::vector<double>> ticks;   // ticksOf, by column
    std::map<std::tuple<const RunTable*, const char*, bool>, std::vector<double>> evidence;   // evidenceTicks, likewise
};

// What every room reads: the runs, the truth when the log names a profile, the time base.
struct Context {
    const ReportSummary& summary;
    const LogTruth* truth;
    double frequency;
    double ticksPerMs;
    double roughPeriod = 0.0;   // ticks: the median frame of an output's waits, set per output
    std::shared_ptr<Kept> kept = std::make_shared<Kept>();   // shared by the copies of one findings run
};
Context contextOf(const ReportSummary& summary, const LogTruth* truth);

// ---------------------------------------------------------------------------------------------
// The runs' rows, by column key.

int keyIndex(const RunTable& table, const char* key);
inline double cell(const LogRow& row, int index)
{
    return rowValue(row, index);
}
// The values of a column as ticks (ms columns converted); zeros (no value) kept as NaN.
std::vector<double> ticksOf(const RunTable& table, TimeColumn column, double ticksPerMs);
// The same, worked out once per column for all the rooms.
const std::vector<double>& ticksOf(const Context& c, const RunTable& table, TimeColumn column);
// Every timed row of the log: (its line, its tick), in the log's order.
const std::vector<std::pair<size_t, double>>& timedRows(const Context& c);
// The line of the first timed row at or after a tick; SIZE_MAX when none is.
size_t lineAtTick(const Context& c, double tick);
// Which of a run's rows mark a vblank: not a wait that returned at once (blocked under 1 ms) nor
// one whose result was not 0 (RunKind::blocked, RunKind::result).
class EvidenceRows {
public:
    explicit EvidenceRows(const TestSummary& run);
    bool all() const { return blocked < 0 && result < 0; }
    bool operator()(const LogRow& row) const
    {
        return !(blocked >= 0 && cell(row, blocked) < kInstantWaitMs) && !(result >= 0 && cell(row, result) != 0.0);
    }

private:
    int blocked, result;
};
// A row's time that marks no vblank (a wait that returned at once or failed): not a time stamp,
// and no gap of missed vblanks or stall spans it.
constexpr double kNoVblank = -1.0;
// A column's ticks with the rows that mark no vblank at kNoVblank, worked out once per column.
const std::vector<double>& evidenceTicks(const Context& c, const TestSummary& run, TimeColumn column);
// The same, of a run's rows that measured an output; the others' NaN.
std::vector<double> ticksOn(const Context& c, const TestSummary& run, TimeColumn column, int output);
// Keeps each time stamp once, in order, without the rows that have none.
void keepDistinctStamps(std::vector<double>& ticks);
const Figure* figureOf(const TestSummary& run, const char* key);
// The first run of a test (of an output, for the D3DKMT test).
const TestSummary* runOf(const ReportSummary& summary, LogTest test, int output = 0);
// The first run whose kind says so.
const TestSummary* firstRunWhere(const ReportSummary& summary, bool RunKind::*flag);

// ---------------------------------------------------------------------------------------------
// The reference timeline.

struct ReferenceTuning {
    // A fit numbers the points of its first 30 frames, then of twice as many each round that
    // settled, so that a period a little off never slips a frame over a long span; 60 rounds
    // reach 2^30 frames, and four rounds over the whole span settle it.
    double fitFirstFrames = 30.0;
    int fitRounds = 60;
    int fitSettledRounds = 4;
    // A point farther off the fit than five spreads is left out (a preempted sample, a stalled
    // wake-up), but never for less than a hundred-thousandth of a frame, so that exact points
    // are not all thrown out.
    double fitOutlierSpreads = 5.0;
    double fitOutlierFloorFrames = 1e-5;
    // A round that moves the fit's last vblank by less than a hundredth of a tick moved nothing.
    double fitMovedTicks = 1e-2;
    // A fit's spread is the median of at most 512 of its residuals, taken evenly.
    size_t spreadSample = 512;
    // A part whose lengths agree to two hundred-thousandths (the compositor's whole-tick stamps)
    // and whose points lie within two ticks of the line through its ends is fitted by that line.
    double exactLengths = 2e-5;
    double exactTicks = 2.0;
    // A guess whose lengths scatter by a share r of a frame (the median of their deviations)
    // numbers 0.01 / r frames right: a quarter frame's slip takes far more.
    double guessGoodFrames = 0.01;
    // A segment is refitted before it is kept, and on the way when its points or its span grew
    // fifty-fold since its last fit (the fit of a second's precise points judges the phase of
    // points a minute later to a few microseconds).
    double refitGrowth = 50.0;
    // A gap is counted in frames of its neighbourhood: the lower quartile of the eight gaps on
    // either side (a run whose rate doubles would otherwise fit its slower part as every other
    // frame of the faster one), unless that is under 0.3 frames (waits that returned at once).
    size_t splitAround = 8;
    double splitLocalQuantile = 25.0;
    double splitLocalFloorFrames = 0.3;
    // The rate a run starts at: the median of its first nine frame lengths.
    size_t splitStartLengths = 9;
    // A change of rate must hold for five frames: one late wake-up moves one length only.
    size_t splitStays = 5;
    // How far the frame length may move before it is a change: 0.5 % for precise points (a
    // 60 to 59.7 Hz change is 0.5 %), 3 % for wake-ups, which jitter by far more.
    double splitPrecise = 0.005;
    double splitWakeUps = 0.03;
    // Precise stamps that leave their grid by more than 200 us (a scan-line read on a loaded
    // machine is off by tens) and keep to a new one have a new grid.
    double splitPhaseBreakS = 200e-6;
    // A run's stamps or a part of them rebuild nothing under eight points, and an output's under
    // twenty; a part's fit must keep four.
    size_t groupPoints = 8;
    size_t outputPoints = 20;
    size_t partFitPoints = 4;
    // Precise points of a part scatter less than 100 us about its fit (a loaded machine's
    // scan-line reads add a few microseconds); more, and the part is no precise evidence.
    double preciseSpreadS = 100e-6;
    // A part that does not continue the segment and has four in five of its points among the
    // segment's own tells nothing the segment's closer points do not.
    double coveredShare = 0.8;
    // A part continues the segment before it when its rate is within 0.1 % (precise) or 1 %
    // (wake-ups) and its phase within eight spreads, at least 50 us (precise), or a quarter
    // frame (wake-ups).
    double joinRatePrecise = 0.001;
    double joinRateWakeUps = 0.01;
    double joinPhaseSpreads = 8.0;
    double joinPhaseFloorS = 50e-6;
    double joinPhaseWakeUpFrames = 0.25;
    // A second's stretch carries its period's error over a long gap (60 ppm over 24 s is
    // 1.5 ms): it still joins when one fit keeps nine in ten of both and fits them within twice
    // the looser spread of the two, at least 2 us.
    size_t jointKeptIn = 9, jointKeptOf = 10;
    double jointSpreads = 2.0;
    double jointFloorS = 2e-6;
    // Wake-ups come late by the platform's delay; the earliest of them stand for the vblank. A
    // wake-up more than five times the lower half's spread before the median (at least a
    // twentieth of a frame) is one more than half a frame late, and no candidate; the origin is
    // the second percentile of the rest.
    double earliestSpreads = 5.0;
    double earliestFloorFrames = 0.05;
    double earliestQuantile = 2.0;
    // A rate change is dated where the distances between neighbouring stamps go over from the
    // old frame to the new, searched from 90 frames before the new segment (a loop that woke
    // for every other vblank of the faster rate read as the slower one, and the new segment
    // began late) to 30 frames into it. A distance over a frame and a half of the slower rate
    // is a stall and says nothing. Each distance weighs how much nearer it lies to whole new
    // frames than to whole old ones, a fifth of the shorter frame for each vblank it passes
    // over (a loop wakes for most vblanks), at most half the shorter frame off either (a
    // wake-up late by milliseconds lengthens one distance and shortens the next as much).
    // Sums within a millionth of a frame are alike; the new frame shows only where the sum
    // after a split reaches a frame and a half of the shorter frame.
    double changeLookBackFrames = 90.0;
    double changeLookAheadFrames = 30.0;
    double changeStallFrames = 1.5;
    double changePassFrames = 0.2;
    double changeOffCapFrames = 0.5;
    double changeAlikeFrames = 1e-6;
    double changeShownFrames = 1.5;
    // The compositor's qpcVBlank times another output when its frame is more than 1 % off the
    // frame of the server's vblanks read beside it (two displays' rates differ by far more,
    // one display's two columns by far less).
    double compositorOtherClock = 0.01;
    // ... or when its qpcVBlank lies, in the median, more than a quarter frame off the server's
    // wake-ups read with it (a wake-up comes a little after its vblank).
    double compositorPhaseFrames = 0.25;
    // Judged on a run's first 256 reads side by side.
    size_t sideBySideReads = 256;
    // The output's own frames, each from a stretch of 64 stamps; frames within 0.1 % are one.
    size_t ownFrameStamps = 64;
    double ownFrameSame = 0.001;
    // A distance under one and a half of the lower quartile of a column's spans one frame.
    double frameSpanOne = 1.5;
    // A column's frame is the median of each stamp's distance to the first eight frames or more
    // later, over its frames (a wake-up's lateness spread over eight), where that distance is
    // under twice eight frames (none spans a gap in the stamps).
    double frameSpanFrames = 8.0;
    double frameSpanLongest = 2.0;
    // ... and over two thirds of it (shorter ones are waits that came too soon).
    double singleFrameLow = 0.67;
    // Two segments more than a second apart leave the stretch between them not known.
    double unknownGapS = 1.0;
    // A reference of wake-ups may be off by the delay the same wait showed on a precise output
    // (its earliest wake-ups are taken for the vblank), and by its phase's own error: three
    // times the spread over the root of its points.
    double offPhaseSpreads = 3.0;
    // The reference's error against the truth: every vblank it spans, or this many spread evenly
    // over its segments (the error changes smoothly along a fit: a sample tells it all).
    double truthVblanks = 100000.0;
};
extern const ReferenceTuning kReference;

struct Fit {
    double origin = 0.0;   // tick of vblank 0 of the fit
    double period = 0.0;
    size_t used = 0;
    double spread = 0.0;   // 1.4826 MAD of the residuals, in ticks
    double from = 0.0, to = 0.0;
};
// Least squares of t = origin + k period over sorted time stamps, far points left out. Needs a
// guess within a quarter frame per frame, or per `settledFrames` frames from the first point
// (a guess that a fit over that span gave).
Fit fitTimeline(const std::vector<double>& ticks, double guess, double settledFrames = 0.0);
// Each gap's frame: the lower quartile of the gaps around it, or the guess where that is under
// 0.3 frames; with `countOnly`, a gap near the run's own lower quartile is its own frame.
std::vector<double> localFrames(const std::vector<double>& gaps, double guess, bool countOnly = false);
// A part on an exact grid (the compositor's whole-tick stamps), whose lengths scatter by a share
// `relative` of a frame: the line through its ends; `used` 0 where it is no exact grid.
Fit exactGrid(const std::vector<double>& part, double guess, double relative);
// A fit as a segment of the reference (its spread still in ticks).
ReferenceSegment segmentOf(const Fit& fit);
// The stamps split where the frame length moves by more than `tolerance` and stays moved, or
// (precise stamps, `phaseBreak` > 0 ticks) where they leave their grid by more and keep to a new one.
std::vector<std::vector<double>> splitAtChanges(const std::vector<double>& ticks, double guess, double tolerance,
                                                double phaseBreak = 0.0);
// The time stamps of the runs that mark vblanks of an output, one group per run, sorted.
const std::vector<std::vector<double>>& stampsOf(const Context& c, int output, bool precise);
// Why a run's compositor reads time another output than its own, or empty: beside the
// server's vblanks another frame or phase; alone, a rate none of `own` (the frames the
// output's own waits showed) has.
std::string compositorOtherClock(const Context& c, const TestSummary& run, const std::vector<double>& own);
std::vector<double> ownFrames(const Context& c, int output);
// A column's frame: the median distance of its distinct neighbours that span one frame; 0 with
// too few stamps.
double frameOfStamps(std::vector<double> ticks);
// Whether the compositor's qpcVBlank marks vblanks of an output: it follows that output's clock.
bool compositorFollows(const Context& c, int output);
// A rough frame of an output, in ticks, from its waits' own periods; 0 when none has any.
double roughPeriodOf(const Context& c, int output);
ReferenceTimeline referenceOf(const Context& c, int output);
// Where the rate changed between two segments of a reference, in ticks; false where the time
// stamps never showed the new frame.
bool rateChangeTick(const std::vector<double>& points, const ReferenceSegment& before, const ReferenceSegment& after,
                    double* tick);

// ---------------------------------------------------------------------------------------------
// The methods' scores and what each run measured against the reference.

// A wait that leaves out more than half a percent of the vblanks misses them; fewer are the
// gaps a loaded machine leaves now and then.
constexpr double kMissingShare = 0.005;
bool missesVblanks(const MethodScore& m);

std::vector<MethodScore> methodsOf(const Context& c, const std::vector<ReferenceTimeline>& references);
// Ranks the waits of the first output (fewest missed, then the smallest p99) and words each
// method's verdict.
void rankMethods(std::vector<MethodScore>& methods, const std::string& firstOutput);
std::vector<RunFindings> runFindingsOf(const Context& c, const std::vector<ReferenceTimeline>& references);
RefreshFinding refreshOf(const Context& c, const ReferenceTimeline& reference);
double referenceOffsetUs(const Context& c, const ReferenceTimeline& reference, double tick);
double trueOffsetUs(const Context& c, int output, double tick);

// ---------------------------------------------------------------------------------------------
// The events.

std::vector<FoundEvent> eventsOf(const Context& c, const std::vector<ReferenceTimeline>& references);

// What the sentences say of each kind of event, and its mark.
struct EventKind {
    const char* kind;
    const char* words;   // "(s)" stands for the plural's ending
    Finding::Mark mark;
    bool detailed;       // its detail is worth the sentence
    bool moment;         // it happened at a moment (not a cut log or a refused profile)
};
const std::vector<EventKind>& eventKinds();

// ---------------------------------------------------------------------------------------------
// What browser engines' rules meet here (engine_rules.cpp): the waits they count as failed, the
// cadence a window gets from the primary's WaitForVBlank and from the compositor clock.

EngineFindings engineFindingsOf(const Context& c, const std::string& window);
void engineSentences(const Context& c, Findings& f);

// ---------------------------------------------------------------------------------------------
// The sentences.

void sentencesOf(const Context& c, Findings& f);
// Adds a sentence.
void say(Findings& f, const char* topic, const std::string& key, Finding::Mark mark, const std::string& text,
         const std::string& link);

// Words and numbers as the sentences write them.
std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0, double d = 0.0);
std::string grouped(double value);   // 12,345
std::string us(double value);        // a microsecond figure: "0.0", "57.3", "612", "12,345"
std::string hz(double value);        // "60 Hz", "59.9510 Hz"
