#include "virtual/model.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// SplitMix64's finaliser.
uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// floor(log2(x)) * 2^24 plus 24 fraction bits, for x >= 1, by repeated squaring.
uint64_t log2Q24(uint64_t x)
{
    int whole = 0;
    while ((x >> whole) > 1)
        ++whole;
    // y = x / 2^whole in [1, 2), as a fraction of 2^31.
    uint64_t y = whole <= 31 ? x << (31 - whole) : x >> (whole - 31);
    uint64_t result = static_cast<uint64_t>(whole) << 24;
    for (int bit = 23; bit >= 0; --bit) {
        y = (y * y) >> 31;
        if (y >= (uint64_t{1} << 32)) {
            y >>= 1;
            result |= uint64_t{1} << bit;
        }
    }
    return result;
}

int64_t periodAt(const Timeline& timeline, int64_t vblank)
{
    return timelineVblankStart(timeline, vblank + 1) - timelineVblankStart(timeline, vblank);
}

bool drawBelow(uint32_t draw, int32_t milli)
{
    // A uniform share in [0, 100000) thousandths of a percent.
    return static_cast<int64_t>((uint64_t{draw} * 100000u) >> 32) < milli;
}

// How far a search for a vblank that is not stalled or missed goes before it gives up.
constexpr int kSearchLimit = 64;

}   // namespace

uint32_t virtualDraw(uint32_t seed, VirtualDraw kind, int output, int64_t vblank)
{
    uint64_t z = mix(uint64_t{seed} + 0x9E3779B97F4A7C15ull);
    z = mix(z ^ (static_cast<uint64_t>(kind) << 32) ^ static_cast<uint32_t>(output));
    z = mix(z ^ static_cast<uint64_t>(vblank));
    return static_cast<uint32_t>(z >> 32);
}

uint64_t virtualNegLogQ24(uint32_t draw)
{
    // (draw + 0.5) / 2^32 = (2 draw + 1) / 2^33, so -ln of it is ln 2 * (33 - log2(2 draw + 1)).
    const uint64_t bits = (uint64_t{33} << 24) - log2Q24(2 * uint64_t{draw} + 1);
    constexpr uint64_t kLn2Q32 = 2977044472u;   // ln 2 * 2^32
    return (bits * kLn2Q32) >> 32;
}

namespace {

bool refused(std::string* why, const std::string& text)
{
    if (why != nullptr)
        *why = text;
    return false;
}

}   // namespace

bool virtualModelInit(VirtualModel* model, const VirtualProfile& profile, int64_t frequency,
                      int64_t origin, std::string* why)
{
    if (frequency <= 0)
        return refused(why, "frequency " + std::to_string(frequency) +
                                " is not above 0; expected the counter's counts per second, above 0");
    VirtualModel made;
    made.profile = profile;
    made.frequency = frequency;
    made.outputs = profile.second ? 2 : 1;
    for (int output = 0; output < made.outputs; ++output) {
        Timeline& timeline = output == 0 ? made.timeline : made.secondTimeline;
        const RefreshRatio rate = output == 0 ? profile.trueRate : profile.secondTrue;
        if (!timelineInit(&timeline, frequency, origin, rate))
            return refused(why, std::string(output == 0 ? "true" : "second true") + " rate '" + virtualRateText(rate) +
                                    "' at frequency " + std::to_string(frequency) +
                                    " gives no timeline; expected 1 to 1000 Hz on a counter whose ticks per frame fit 64 bits");
        for (int i = 0; i < profile.changeCount; ++i) {
            if (!timelineChangeRate(&timeline, profile.changes[i].frame, profile.changes[i].rate))
                return refused(why, "change " + std::to_string(profile.changes[i].frame) + ":" +
                                        virtualRateText(profile.changes[i].rate) + " at frequency " +
                                        std::to_string(frequency) +
                                        " gives no timeline; expected rising frames from 1 at 1 to 1000 Hz on a "
                                        "counter whose ticks per frame fit 64 bits");
        }
        // Variable refresh is the primary output's.
        if (output == 0 && profile.vrrMin.numerator != 0 &&
            !timelineVariableRefresh(&timeline, virtualVrrJitter(profile, frequency), profile.seed))
            return refused(why, "vrr '" + virtualRateText(profile.vrrMin) + ":" + virtualRateText(profile.vrrMax) +
                                    "' at frequency " + std::to_string(frequency) +
                                    " would move a vblank by half a frame or more; expected MIN:MAX, two rates "
                                    "from 1 to 1000 Hz with MIN below MAX, on a counter of many ticks per frame");
    }
    *model = made;
    return true;
}

int64_t virtualVrrJitter(const VirtualProfile& profile, int64_t frequency)
{
    // frequency (b / a - d / c) / 4 for a/b and c/d: the rates parse to 32-bit parts, and the
    // profile refuses parts above 2^20, so the products fit.
    const int64_t a = profile.vrrMin.numerator, b = profile.vrrMin.denominator;
    const int64_t c = profile.vrrMax.numerator, d = profile.vrrMax.denominator;
    if (a == 0 || c == 0 || b * c <= a * d)
        return 0;
    return timelineMulDivFloor(frequency, b * c - a * d, 4 * a * c);
}

const Timeline& virtualOutputTimeline(const VirtualModel& model, int output)
{
    return output == 1 && model.outputs > 1 ? model.secondTimeline : model.timeline;
}

RefreshRatio virtualNominalRate(const VirtualModel& model, int output, int64_t at)
{
    const VirtualProfile& profile = model.profile;
    if (profile.changeCount > 0) {
        const int64_t frame = timelineFrameAt(virtualOutputTimeline(model, output), at);
        for (int i = profile.changeCount - 1; i >= 0; --i) {
            if (frame >= profile.changes[i].frame)
                return profile.changes[i].rate;
        }
    }
    return output == 1 && model.outputs > 1 ? profile.secondNominal : profile.nominal;
}

int virtualCompositorOutput(const VirtualModel& model)
{
    const VirtualProfile& p = model.profile;
    if (!p.dwmClockFastest || model.outputs < 2)
        return 0;
    return uint64_t{p.secondTrue.numerator} * p.trueRate.denominator >
                   uint64_t{p.trueRate.numerator} * p.secondTrue.denominator
               ? 1
               : 0;
}

int64_t virtualCompositorPeriod(const VirtualModel& model, int64_t at)
{
    const int output = virtualCompositorOutput(model);
    if (!model.profile.dwmPeriodNominal)
        return timelinePeriodAt(virtualOutputTimeline(model, output), at);
    // frequency * denominator / numerator, rounded half up.
    const RefreshRatio rate = virtualNominalRate(model, output, at);
    const int64_t twice = timelineMulDivFloor(2 * model.frequency, rate.denominator, rate.numerator);
    return twice / 2 + twice % 2;   // (twice + 1) / 2, without overflowing at the top
}

int64_t virtualNsToCounts(const VirtualModel& model, int64_t ns)
{
    return timelineMulDivFloor(ns, model.frequency, 1000000000);
}

int64_t virtualWakeDelay(const VirtualModel& model, int output, int64_t vblank)
{
    const VirtualProfile& profile = model.profile;
    if (profile.wakeNs == 0)
        return 0;
    const uint32_t draw = virtualDraw(profile.seed, VirtualDraw::kWake, output, vblank);
    // At most 1e9 ns times 23 * 2^24: well inside 64 bits.
    const int64_t ns = static_cast<int64_t>(
        (static_cast<uint64_t>(profile.wakeNs) * virtualNegLogQ24(draw)) >> 24);
    const int64_t delay = virtualNsToCounts(model, ns);
    const int64_t cap = periodAt(virtualOutputTimeline(model, output), vblank) / 2;
    return delay < cap ? delay : cap;
}

int64_t virtualInterruptDue(const VirtualModel& model, int output, int64_t vblank)
{
    return timelineVblankStart(virtualOutputTimeline(model, output), vblank) +
           virtualWakeDelay(model, output, vblank);
}

bool virtualInterruptStalled(const VirtualModel& model, int output, int64_t vblank)
{
    const int32_t share = model.profile.stallMilli;
    return share > 0 &&
           drawBelow(virtualDraw(model.profile.seed, VirtualDraw::kStall, output, vblank), share);
}

int64_t virtualWakeVblank(const VirtualModel& model)
{
    return model.profile.sleepFrame == 0 ? -1 : model.profile.sleepFrame + model.profile.sleepFrames;
}

bool virtualAsleep(const VirtualModel& model, int output, int64_t at)
{
    if (model.profile.sleepFrame == 0)
        return false;
    const Timeline& timeline = virtualOutputTimeline(model, output);
    return at >= timelineVblankStart(timeline, model.profile.sleepFrame) &&
           at < timelineVblankStart(timeline, virtualWakeVblank(model));
}

int64_t virtualNextInterrupt(const VirtualModel& model, int output, int64_t from, int64_t now)
{
    // No vblank comes while the display sleeps, nor from an output while it is unplugged.
    const VirtualProfile& p = model.profile;
    if (p.sleepFrame != 0 && from >= p.sleepFrame && from < virtualWakeVblank(model))
        from = virtualWakeVblank(model);
    int64_t gone = 0, back = 0;
    const bool unplugs = output == 1 && virtualUnpluggedVblanks(model, &gone, &back);
    if (unplugs && from >= gone && from < back)
        from = back;
    if (from == INT64_MAX)
        return -1;
    int64_t chosen = -1;
    for (int64_t k = from; k < from + kSearchLimit; ++k) {
        if (virtualInterruptStalled(model, output, k) || (p.sleepFrame != 0 && k >= p.sleepFrame && k < virtualWakeVblank(model)) ||
            (unplugs && k >= gone && k < back))
            continue;
        if (chosen >= 0 && virtualInterruptDue(model, output, k) > now)
            break;
        chosen = k;
        if (virtualInterruptDue(model, output, k) > now)
            break;
    }
    return chosen;
}

bool virtualCompositorSkipped(const VirtualModel& model, int64_t vblank)
{
    const int32_t share = model.profile.dwmskipMilli;
    return share > 0 &&
           drawBelow(virtualDraw(model.profile.seed, VirtualDraw::kCompositorSkip, 0, vblank),
                     share);
}

int64_t virtualPublishedVblank(const VirtualModel& model, int64_t at)
{
    const int64_t lag = virtualNsToCounts(model, model.profile.dwmlagNs);
    int64_t vblank = timelineLatestVblank(virtualOutputTimeline(model, virtualCompositorOutput(model)), at - lag);
    // While the display sleeps the compositor's vblank stands still at the last before it.
    if (model.profile.sleepFrame != 0 && vblank >= model.profile.sleepFrame && vblank < virtualWakeVblank(model))
        vblank = model.profile.sleepFrame - 1;
    for (int step = 0; step < kSearchLimit && vblank >= 0; ++step, --vblank) {
        if (!virtualCompositorSkipped(model, vblank))
            return vblank;
    }
    return -1;
}

bool virtualCompositorStale(const VirtualModel& model, int64_t vblank)
{
    const int32_t share = model.profile.dwmStaleMilli;
    return share > 0 && drawBelow(virtualDraw(model.profile.seed, VirtualDraw::kCompositorStale, 0, vblank), share);
}

int64_t virtualReportedVblank(const VirtualModel& model, int64_t at)
{
    int64_t vblank = virtualPublishedVblank(model, at);
    if (vblank >= 0 && virtualCompositorStale(model, vblank)) {
        // The answer it gave just before it published this one.
        const Timeline& timeline = virtualOutputTimeline(model, virtualCompositorOutput(model));
        const int64_t published = timelineVblankStart(timeline, vblank) + virtualNsToCounts(model, model.profile.dwmlagNs);
        vblank = virtualPublishedVblank(model, (published < at ? published : at) - 1);
    }
    return vblank >= 0 && model.profile.dwmVblankNext ? vblank + 1 : vblank;
}

int64_t virtualFlushReturn(const VirtualModel& model, int64_t at)
{
    const int output = virtualCompositorOutput(model);
    const Timeline& timeline = virtualOutputTimeline(model, output);
    int64_t vblank = timelineLatestVblank(timeline, at) + 1;
    // A sleeping display composes nothing: a flush returns at once, and one called just before
    // the sleep returns when it begins.
    if (virtualAsleep(model, output, at))
        return at;
    if (model.profile.sleepFrame != 0 && vblank == model.profile.sleepFrame)
        return timelineVblankStart(timeline, vblank);
    // A compositor that misses every frame still lets a flush go after a few of them.
    for (int step = 0; step < 4 && virtualCompositorSkipped(model, vblank); ++step)
        ++vblank;
    return timelineVblankStart(timeline, vblank) + virtualNsToCounts(model, model.profile.flushNs);
}

bool virtualUnpluggedSpan(const VirtualModel& model, int64_t* begins, int64_t* ends)
{
    const VirtualProfile& p = model.profile;
    if (p.unplugFrame == 0 || model.outputs < 2)
        return false;
    *begins = timelineVblankStart(model.timeline, p.unplugFrame);
    *ends = p.unplugBack != 0 ? timelineVblankStart(model.timeline, p.unplugBack) : INT64_MAX;
    return true;
}

bool virtualUnpluggedVblanks(const VirtualModel& model, int64_t* first, int64_t* end)
{
    int64_t begins = 0, ends = 0;
    if (!virtualUnpluggedSpan(model, &begins, &ends))
        return false;
    // The second output's first vblank at or after each moment.
    *first = timelineLatestVblank(model.secondTimeline, begins - 1) + 1;
    *end = ends == INT64_MAX ? INT64_MAX : timelineLatestVblank(model.secondTimeline, ends - 1) + 1;
    return true;
}

namespace {

// The compositor composes a frame at every vblank of its output while the display is awake;
// none while it sleeps. The vblanks slept through: [first, end), empty without a sleep.
void sleptVblanks(const VirtualModel& model, int64_t* first, int64_t* end)
{
    *first = model.profile.sleepFrame == 0 ? INT64_MAX : model.profile.sleepFrame;
    *end = model.profile.sleepFrame == 0 ? INT64_MAX : virtualWakeVblank(model);
}

}   // namespace

uint64_t virtualClockCompletedFrame(const VirtualModel& model, int64_t at)
{
    const Timeline& timeline = virtualOutputTimeline(model, virtualCompositorOutput(model));
    int64_t first = 0, end = 0;
    sleptVblanks(model, &first, &end);
    // The latest awake vblank begun, and the awake one before it, whose frame it showed.
    int64_t shown = timelineLatestVblank(timeline, at);
    if (shown >= first && shown < end)
        shown = first - 1;
    const int64_t composed = shown == end ? first - 1 : shown - 1;
    if (composed < 0)
        return 0;
    return static_cast<uint64_t>(composed < first ? composed + 1 : composed - (end - first) + 1);
}

VirtualFrameStats virtualClockFrameStats(const VirtualModel& model, uint64_t frame)
{
    const Timeline& timeline = virtualOutputTimeline(model, virtualCompositorOutput(model));
    int64_t first = 0, end = 0;
    sleptVblanks(model, &first, &end);
    int64_t v = static_cast<int64_t>(frame) - 1;
    if (v >= first)
        v += end - first;
    const int64_t start = timelineVblankStart(timeline, v);
    const int64_t shownAt = v + 1 == first ? end : v + 1;
    return VirtualFrameStats{start, timelineVblankStart(timeline, shownAt), timelinePeriodAt(timeline, start)};
}

int64_t virtualDesktopChangedAt(const VirtualModel& model, int64_t at)
{
    int64_t begins = 0, ends = 0;
    if (!virtualUnpluggedSpan(model, &begins, &ends) || at < begins)
        return 0;
    return at < ends ? begins : ends;
}

bool virtualOutputListed(const VirtualModel& model, int output, int64_t at)
{
    if (output < 0 || output >= model.outputs)
        return false;
    int64_t begins = 0, ends = 0;
    return output == 0 || !virtualUnpluggedSpan(model, &begins, &ends) || at < begins || at >= ends;
}

VirtualRect virtualOutputRect(int output)
{
    const int32_t left = output == 1 ? kTimelineWidth : 0;
    return VirtualRect{left, 0, left + kTimelineWidth, kTimelineVisibleLines};
}

const char* virtualOutputName(int output)
{
    return output == 1 ? "\\\\.\\DISPLAY2" : "\\\\.\\DISPLAY1";
}

int virtualOutputByName(const VirtualModel& model, const char* name)
{
    if (name == nullptr)
        return -1;
    for (int output = 0; output < model.outputs; ++output) {
        const char* expected = virtualOutputName(output);
        size_t i = 0;
        for (; expected[i] != '\0' && name[i] != '\0'; ++i) {
            char c = name[i];
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            if (c != expected[i])
                break;
        }
        if (expected[i] == '\0' && name[i] == '\0')
            return output;
    }
    return -1;
}

int virtualOutputForRect(const VirtualModel& model, const VirtualRect& rect, bool nearest, int64_t at)
{
    int best = -1;
    int64_t bestArea = 0;
    int closest = 0;
    double closestDistance = 0.0;
    for (int output = 0; output < model.outputs; ++output) {
        if (!virtualOutputListed(model, output, at))
            continue;
        const VirtualRect m = virtualOutputRect(output);
        const int64_t width = int64_t{std::min(rect.right, m.right)} - std::max(rect.left, m.left);
        const int64_t height = int64_t{std::min(rect.bottom, m.bottom)} - std::max(rect.top, m.top);
        const int64_t area = width > 0 && height > 0 ? width * height : 0;
        if (area > bestArea) {
            best = output;
            bestArea = area;
        }
        // Distance between the two rectangles; 0 when they touch or overlap.
        const int64_t dx = std::max<int64_t>({0, int64_t{m.left} - rect.right, int64_t{rect.left} - m.right});
        const int64_t dy = std::max<int64_t>({0, int64_t{m.top} - rect.bottom, int64_t{rect.top} - m.bottom});
        const double distance = static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
        if (output == 0 || distance < closestDistance) {
            closest = output;
            closestDistance = distance;
        }
    }
    if (best >= 0)
        return best;
    return nearest ? closest : -1;
}
