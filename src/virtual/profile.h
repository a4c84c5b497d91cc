// Profiles of the virtual display, as text: what kind of display, driver and compositor it
// plays, read from the environment's text and printed as the log's profile line, from which
// alone the model (virtual/model.h) gives the truth of every event. Plain text processing.
//
// A profile is written as a name (ideal, desktop, busy) or RATE[,key=value]...:
//   RATE            nominal rate, Hz (60, 59.94) or a ratio (60000/1001): what the display
//                   mode and the compositor's rateRefresh report
//   true=RATE       the rate the display really runs at (default: the nominal one)
//   wake=US         mean extra delay of the vblank interrupt (random, exponential)
//   stall=PERCENT   share of interrupts delayed past the next vblank
//   dwmlag=US       the compositor publishes vblank k this long after it started
//   flush=US        DwmFlush returns this long after the vblank (default: dwmlag)
//   dwmskip=PERCENT share of frames the compositor misses
//   dwmperiod=true|nominal   what qpcRefreshPeriod reports
//   change=FRAME:RATE[/FRAME:RATE]...   mode changes: from each frame on, the display runs
//                   at its RATE (a laptop's dynamic refresh); frames rise, at most 8 changes
//   second=RATE[:TRUE]       a second output with its own nominal (and true) rate; the
//                   other keys apply to both outputs
//   seed=N          seed of the random draws (default 1)
//   sleep=FRAME:FRAMES[:occluded|timeout|instant]   the display sleeps from vblank FRAME for
//                   FRAMES frames: no vblanks, no scan line, the compositor's vblank stands
//                   still, a flush returns at once; vblank waits do as the third part says
//   unplug=FRAME[:BACK]      the second output goes away at the primary's vblank FRAME, and
//                   comes back at BACK: the desktop stops listing it, a window on it moves to the
//                   primary (and back with it, as Windows 11 puts it back), waits on its
//                   adapter fail as a removed device's
//   vrr=MIN:MAX     variable refresh: each frame's length is drawn between the two rates
//                   (seeded); the true rate is their average frame's
//   dwmclock=primary|fastest   the output whose vblanks the compositor's timing follows
//   dwmvblank=past|next        the compositor reports the vblank it published last, or the
//                   upcoming one
//   dwmstale=PERCENT           share of frames during which the compositor repeats the answer
//                   of the frame before
// A name may be followed by keys that override its own.
//
// Output 1 is \\.\DISPLAY1, primary, at (0,0)-(1920,1080); output 2, \\.\DISPLAY2, stands
// to its right at (1920,0)-(3840,1080). Both start vblank 0 at the same moment.
#pragma once

#include "virtual/timeline.h"

#include <cstdint>
#include <string>

// What a vblank wait does while the display sleeps: fail at once as an occluded display does
// (STATUS_GRAPHICS_PRESENT_OCCLUDED), block about 100 ms and fail with a time-out, or return
// success at once, as a stale adapter does.
enum class VirtualSleepWaits { kOccluded, kTimeout, kInstant };

constexpr int kProfileMaxChanges = kTimelineMaxChanges;

struct VirtualChange {
    int64_t frame;
    RefreshRatio rate;
};

struct VirtualProfile {
    RefreshRatio nominal = {60, 1};
    RefreshRatio trueRate = {60, 1};
    int64_t wakeNs = 0;            // mean extra interrupt delay
    int32_t stallMilli = 0;        // thousandths of a percent: 0 .. 100000
    int64_t dwmlagNs = 0;
    int64_t flushNs = 0;
    int32_t dwmskipMilli = 0;      // thousandths of a percent
    bool dwmPeriodNominal = false;
    VirtualChange changes[kProfileMaxChanges] = {};   // rising frames
    int changeCount = 0;
    bool second = false;           // a second output
    RefreshRatio secondNominal = {0, 0};
    RefreshRatio secondTrue = {0, 0};
    uint32_t seed = 1;
    int64_t sleepFrame = 0;        // 0: the display never sleeps
    int64_t sleepFrames = 0;
    VirtualSleepWaits sleepWaits = VirtualSleepWaits::kOccluded;
    int64_t unplugFrame = 0;       // 0: the second output stays
    int64_t unplugBack = 0;        // 0: it never comes back
    RefreshRatio vrrMin = {0, 0};  // numerator 0: a fixed rate
    RefreshRatio vrrMax = {0, 0};
    bool dwmClockFastest = false;
    bool dwmVblankNext = false;
    int32_t dwmStaleMilli = 0;     // thousandths of a percent
};

constexpr int kVirtualMaxOutputs = 2;

// The largest latency a profile accepts, in microseconds, and the largest change frame.
constexpr int64_t kProfileMaxLatencyUs = 1000000;
constexpr int64_t kProfileMaxChangeFrame = 1000000000;

// The ideal display at a rate: nominal and true rate equal, nothing delayed or missed.
VirtualProfile virtualProfileAt(RefreshRatio rate);

// Reads a profile text. On failure *profile is untouched and *why says what was wrong and
// what is expected (it never holds the text itself).
bool virtualProfileParse(const std::string& text, VirtualProfile* profile, std::string* why);

// The log's profile line: "virtual.display profile " and every effective key as key=value,
// then frequency=, vblank0= (the tick at which vblank 0 starts) and lines=1125.
std::string virtualProfileLine(const VirtualProfile& profile, int64_t frequency, int64_t vblank0);
// A rate as the profile line writes it: "60", "59.94", "60000/1001".
std::string virtualRateText(RefreshRatio rate);
// Reads such a line back (the text from "virtual.display profile" on).
bool virtualProfileReadLine(const std::string& line, VirtualProfile* profile, int64_t* frequency,
                            int64_t* vblank0, std::string* why);
