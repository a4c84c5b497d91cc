// The model of a virtual display: from a profile, the true moment of every event. Where each
// vblank starts, when its interrupt fires, which interrupts stall, which frames the
// compositor misses, when it publishes and when a flush returns. Plain arithmetic, no
// Windows call; the stand-in functions follow this model, and tests and readers of a log
// compute the same truth from the profile line alone.
#pragma once

#include "virtual/profile.h"
#include "virtual/timeline.h"

#include <cstdint>
#include <string>

// Random draws: a 32-bit value for (seed, what, output, vblank), the same on every platform
// and build, so that a log's reader draws exactly what the display drew.
enum class VirtualDraw : uint32_t { kWake = 1, kStall = 2, kCompositorSkip = 3, kCompositorStale = 4 };
uint32_t virtualDraw(uint32_t seed, VirtualDraw kind, int output, int64_t vblank);
// -ln((draw + 0.5) / 2^32) in units of 2^-24, in integer arithmetic only.
uint64_t virtualNegLogQ24(uint32_t draw);

// One installed display: its profile and the timeline of each output (ticks or counter
// values, as the origin was given).
struct VirtualModel {
    VirtualProfile profile;
    int64_t frequency = 0;
    int outputs = 1;
    Timeline timeline;         // output 1, the primary
    Timeline secondTimeline;   // output 2, when there is one
};

// The timeline of output `output` (0 or 1); the primary's for any other.
const Timeline& virtualOutputTimeline(const VirtualModel& model, int output);

// False for a frequency that is not positive or a profile whose rates the timeline refuses,
// with the value that is wrong and what is expected in *why (when not null).
bool virtualModelInit(VirtualModel* model, const VirtualProfile& profile, int64_t frequency,
                      int64_t origin, std::string* why = nullptr);

// The largest move of a vblank under variable refresh, in counts: a quarter of the difference
// between the longest and the shortest frame, so that frames fall between the two (always
// below half the average frame, whatever the range).
int64_t virtualVrrJitter(const VirtualProfile& profile, int64_t frequency);

// The nominal rate of an output's mode at `at` (the latest change's rate from its frame on).
RefreshRatio virtualNominalRate(const VirtualModel& model, int output, int64_t at);
// The output whose vblanks the compositor follows: the primary, or with dwmclock=fastest the
// output with the higher true rate.
int virtualCompositorOutput(const VirtualModel& model);
// The compositor's qpcRefreshPeriod at `at`: the true period of its output, or its nominal one
// rounded.
int64_t virtualCompositorPeriod(const VirtualModel& model, int64_t at);

// Extra delay of the interrupt of vblank k: exponential with the profile's mean, at most
// half of that frame's period.
int64_t virtualWakeDelay(const VirtualModel& model, int output, int64_t vblank);
// When the interrupt of vblank k is due: its start plus the extra delay.
int64_t virtualInterruptDue(const VirtualModel& model, int output, int64_t vblank);
// Whether the interrupt of vblank k stalls past the next vblank, so that no waiter sees k.
bool virtualInterruptStalled(const VirtualModel& model, int output, int64_t vblank);
// The vblank the interrupt should deliver next, at `now`, when every vblank before `from`
// is done: of the vblanks from `from` on that do not stall, the latest one already due (a
// late interrupt serves the ones it overtook at once), else the first one. -1 when every
// vblank of a long stretch stalls.
int64_t virtualNextInterrupt(const VirtualModel& model, int output, int64_t from, int64_t now);

// Whether the compositor misses frame k (publishes nothing for vblank k).
bool virtualCompositorSkipped(const VirtualModel& model, int64_t vblank);
// The latest vblank the compositor has published at `at`: the latest k it did not miss with
// start(k) + dwmlag at or before `at`; -1 when there is none.
int64_t virtualPublishedVblank(const VirtualModel& model, int64_t at);
// Whether the compositor repeats its previous answer while vblank k is its latest.
bool virtualCompositorStale(const VirtualModel& model, int64_t vblank);
// The vblank whose start the compositor reports at `at` (its qpcVBlank and cRefresh): the
// latest published, the one before it while that frame is stale, and with dwmvblank=next the
// one after; -1 before the first.
int64_t virtualReportedVblank(const VirtualModel& model, int64_t at);
// When a DwmFlush called at `at` returns: flush after the first vblank that starts after
// `at` and that the compositor does not miss.
int64_t virtualFlushReturn(const VirtualModel& model, int64_t at);

// Windows 11's compositor clock ticks at the vblanks of the compositor's output, which composes
// a frame at each vblank while the display is awake (none while it sleeps) and shows it at the
// next awake vblank: a frame's startTime is the start of the vblank it was composed at, its
// targetTime the start of the one it was shown at, its framePeriod the output's true period
// there. Ids count the frames composed, from 1 (0 is no frame). The completed frame at `at` is
// the one shown at the latest awake vblank begun by then: 0 before vblank 1.
uint64_t virtualClockCompletedFrame(const VirtualModel& model, int64_t at);
struct VirtualFrameStats {
    int64_t start, target, period;   // counter values and counts
};
VirtualFrameStats virtualClockFrameStats(const VirtualModel& model, uint64_t frame);
// The moment the desktop last changed at or before `at` (an output unplugged or back): 0
// when it never did. A DXGI factory made before it is no longer current.
int64_t virtualDesktopChangedAt(const VirtualModel& model, int64_t at);

// Where the outputs stand on the desktop, and which one holds a window.
struct VirtualRect {
    int32_t left, top, right, bottom;   // right and bottom exclusive
};
VirtualRect virtualOutputRect(int output);
const char* virtualOutputName(int output);   // "\\.\DISPLAY1", "\\.\DISPLAY2"
// The output of a device name (case as Windows takes it: any); -1 when the model has none.
int virtualOutputByName(const VirtualModel& model, const char* name);
// Whether the desktop lists an output at `at`: the second one not while it is unplugged, from
// the start of the primary's vblank unplugFrame to the start of its vblank unplugBack.
bool virtualOutputListed(const VirtualModel& model, int output, int64_t at);
// The start and end of the unplugged stretch on the counter; end is the largest value when the
// output never comes back. False without an unplug.
bool virtualUnpluggedSpan(const VirtualModel& model, int64_t* begins, int64_t* ends);
// The same stretch in the second output's vblanks: the first that does not come, and the one it
// comes back with (the largest value for never).
bool virtualUnpluggedVblanks(const VirtualModel& model, int64_t* first, int64_t* end);
// Of the outputs listed at `at`, the one that holds the larger part of `rect` (the first on a
// tie); when none holds any of it, the nearest one with `nearest` set, else -1.
int virtualOutputForRect(const VirtualModel& model, const VirtualRect& rect, bool nearest, int64_t at);

// The display's sleep on an output's timeline: whether it sleeps at `at` (from the start of
// vblank sleepFrame to the start of the vblank it wakes with), and that first vblank after it.
bool virtualAsleep(const VirtualModel& model, int output, int64_t at);
int64_t virtualWakeVblank(const VirtualModel& model);

// Latency in counter counts (floor), for a latency in nanoseconds.
int64_t virtualNsToCounts(const VirtualModel& model, int64_t ns);
