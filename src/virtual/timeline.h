// The virtual display's timeline: where every vertical blank and every scan line of an
// imagined 1920 x 1080 display lies on the performance counter. Plain arithmetic, no
// Windows call, so that it is tested natively as well as under Wine.
//
// The picture. A frame has 1125 lines: lines 0 to 1079 are visible, lines 1080 to 1124 are
// the vertical blank. The frame period is divided into 1125 lines of equal length.
//
// The counting. Lines are numbered from the start of vblank 0, which is the timeline's
// origin: vblank k starts at line 1125 k, so
//     vblank k starts at  origin + k * frequency * denominator / numerator
// rounded down once, computed from k alone (never by adding up a rounded period, so the
// timeline does not drift however far it runs). Frame k is the picture whose vertical
// blank is vblank k: its line 0 starts 1080 lines before vblank k, its last line ends when
// frame k + 1 begins. So frame 0 began before the origin; the origin itself is in frame 0's
// vertical blank.
//
// A change of rate at frame k: frame k and every later one run at the new rate, frame k
// starting exactly where it would have without the change. Up to kTimelineMaxChanges of them.
//
// Variable refresh: vblank k (k >= 1) is moved from its place on the even grid by a seeded
// draw within +-jitter counts, each frame's lines evenly spread over its own length, so that
// frame lengths fall anywhere from the grid's period - 2 jitter to its period + 2 jitter. A move
// below half a period keeps every frame longer than zero, so any range of rates can be played
// (40 to 165 Hz: frames of 6.1 to 25 ms about a grid of 15.5).
#pragma once

#include <cstdint>

// A refresh rate in Hz as numerator / denominator, e.g. 60/1, 60000/1001, 59940/1000.
struct RefreshRatio {
    uint32_t numerator;
    uint32_t denominator;
};

constexpr int32_t kTimelineLines = 1125;          // lines per frame
constexpr int32_t kTimelineVisibleLines = 1080;   // lines 0 .. 1079
constexpr int32_t kTimelineBlankLines = 45;       // lines 1080 .. 1124
constexpr int32_t kTimelineWidth = 1920;

// Lowest and highest rate the timeline accepts, in Hz.
constexpr double kTimelineMinimumHz = 1.0;
constexpr double kTimelineMaximumHz = 1000.0;

// Reads a refresh rate: "60", "144", "59.94" (up to six decimals; one to three decimals
// give the denominator 1000, so "59.94" is 59940/1000), or a ratio "60000/1001". Blanks
// around the text are allowed. True only for a rate from 1 to 1000 Hz whose numerator and
// denominator fit 32 bits; anything else (empty, "0", "abc", "-5", "1e9") leaves *rate
// unchanged and gives false.
bool timelineParseRate(const char* text, RefreshRatio* rate);

// The rate in Hz; 0.0 for a zero denominator.
double timelineRateHz(RefreshRatio rate);
// Whether the timeline accepts this rate.
bool timelineRateValid(RefreshRatio rate);

// A stretch of lines at one rate: line u (u >= firstLine, up to the next segment) starts at
//     startCounter + floor((u - firstLine) * lineTicksNumerator / lineTicksDenominator).
struct TimelineSegment {
    int64_t firstLine;
    int64_t startCounter;
    int64_t lineTicksNumerator;     // frequency * denominator, reduced
    int64_t lineTicksDenominator;   // 1125 * numerator, reduced
    RefreshRatio rate;
};

constexpr int kTimelineMaxChanges = 8;

struct Timeline {
    int64_t frequency = 0;          // counter counts per second
    int64_t origin = 0;             // counter value at which vblank 0 starts
    TimelineSegment segments[kTimelineMaxChanges + 1] = {};
    int segmentCount = 0;           // 0: not set up; more than 1: changes of rate
    int64_t changeFrame = 0;        // first frame of the latest change
    int64_t jitter = 0;             // variable refresh: the largest move of a vblank, counts
    uint32_t jitterSeed = 0;
};

// Sets the timeline up afresh (no options). False, and the timeline left unusable, for a
// frequency that is not positive or a rate the timeline does not accept.
bool timelineInit(Timeline* timeline, int64_t frequency, int64_t origin, RefreshRatio rate);
// Frame `frame` and every later one run at `rate`. Needs frame >= 1 and past every earlier
// change, an accepted rate, room for one more change and no variable refresh; false
// otherwise, with the timeline unchanged.
bool timelineChangeRate(Timeline* timeline, int64_t frame, RefreshRatio rate);
// Variable refresh on a timeline without changes: every vblank from 1 on moves by a draw of
// `seed` within +-jitter counts. Needs 0 <= jitter < half the period; false otherwise,
// with the timeline unchanged.
bool timelineVariableRefresh(Timeline* timeline, int64_t jitter, uint32_t seed);
// Where the draw puts vblank k off the grid, in -jitter .. jitter (0 for k <= 0).
int64_t timelineJitter(const Timeline& timeline, int64_t vblank);

// Counter value at which line `line` (counted from the start of vblank 0) starts.
int64_t timelineLineStart(const Timeline& timeline, int64_t line);
// The line that is being scanned at `counter`: the last line that starts at or before it.
int64_t timelineLineAt(const Timeline& timeline, int64_t counter);

// Start of vblank k (start of line 1080 of frame k).
int64_t timelineVblankStart(const Timeline& timeline, int64_t vblank);
// End of vblank k, which is the start of line 0 of frame k + 1.
int64_t timelineVblankEnd(const Timeline& timeline, int64_t vblank);
// Start of line 0 of frame k.
int64_t timelineFrameStart(const Timeline& timeline, int64_t frame);
// The frame that is being scanned at `counter`.
int64_t timelineFrameAt(const Timeline& timeline, int64_t counter);
// The latest vblank that started at or before `counter`.
int64_t timelineLatestVblank(const Timeline& timeline, int64_t counter);
// Scan line (0 .. 1124) at `counter`; *inVerticalBlank (may be null) tells whether it is one
// of the last 45.
int32_t timelineScanLine(const Timeline& timeline, int64_t counter, bool* inVerticalBlank);

// The rate, and the period rounded to whole counts, of the frame scanned at `counter` (with
// variable refresh: the grid's rate, and the length of the frame between the latest vblank
// and the next).
RefreshRatio timelineRateAt(const Timeline& timeline, int64_t counter);
int64_t timelinePeriodAt(const Timeline& timeline, int64_t counter);
// A rate rounded to whole Hz.
uint32_t timelineIntegerRate(RefreshRatio rate);
// The greatest common divisor (a for b = 0).
uint64_t timelineGcd(uint64_t a, uint64_t b);

// floor(value * multiplier / divisor) without overflow in the product, for multiplier >= 0
// and divisor > 0; a result beyond 64 bits is the end of the range on its side. Exposed
// for its tests.
int64_t timelineMulDivFloor(int64_t value, int64_t multiplier, int64_t divisor);
