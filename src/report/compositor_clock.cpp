// Whether the compositor's qpcVBlank times an output: judged at the same moments, beside the
// server's vblanks or against the rates the output's own waits showed, never across a change.
#include "report/findings_rooms.h"

#include <algorithm>
#include <cmath>

namespace {

const ReferenceTuning& t = kReference;

}   // namespace

// A column's frame: the median of the distances between its distinct neighbours that span one
// frame (under one and a half of their lower quartile): a skipped, stale or stalled frame spans
// more, and a wake-up's jitter moves a distance either way.
double frameOfStamps(std::vector<double> ticks)
{
    keepDistinctStamps(ticks);
    if (ticks.size() < t.groupPoints + 1)
        return 0.0;
    // Worked in place: this runs for every stretch of every run's stamps.
    std::vector<double> gaps(ticks.size() - 1);
    for (size_t i = 1; i < ticks.size(); ++i)
        gaps[i - 1] = ticks[i] - ticks[i - 1];
    const double single = t.frameSpanOne * percentileInPlace(gaps, t.splitLocalQuantile);
    gaps.erase(std::remove_if(gaps.begin(), gaps.end(), [&](double g) { return g >= single; }), gaps.end());
    const double guess = percentileInPlace(gaps, 50.0);
    // Wake-ups on a loaded machine come late by up to a frame: a late one lengthens the
    // distance before it past the cut and shortens the one after, which stays, so the single
    // distances read short (121.4 Hz for 120). Each stamp against the first one eight frames or
    // more later, over the whole frames the guess counts between them, is unbiased: the
    // difference of two lateness lies either way alike, and it is spread over eight frames.
    std::vector<double>& lengths = gaps;   // the gaps are done with
    lengths.resize(ticks.size());
    size_t counted = 0;
    for (size_t i = 0, j = 0; i < ticks.size() && guess > 0.0; ++i) {
        j = std::max(j, i + 1);
        while (j < ticks.size() && ticks[j] - ticks[i] < t.frameSpanFrames * guess)
            ++j;
        if (j == ticks.size())
            break;
        const double span = ticks[j] - ticks[i];
        // Not across a gap of stamps (a sleep, a parked run): the guess numbers no long span.
        if (span <= t.frameSpanLongest * t.frameSpanFrames * guess)
            lengths[counted++] = span / std::floor(span / guess + 0.5);
    }
    lengths.resize(counted);
    return counted >= t.groupPoints ? percentileInPlace(lengths, 50.0) : guess;
}

// Whether a column has a frame at all (frameOfStamps above 0): enough distinct stamps, counted
// without working the frame out.
bool hasFrame(std::vector<double> ticks)
{
    keepDistinctStamps(ticks);
    return ticks.size() >= t.groupPoints + 1;
}

// The frames an output's own stamps showed: each run's, each stretch of one rate apart, each
// frame once.
std::vector<double> ownFrames(const Context& c, int output)
{
    const auto key = std::make_pair(output, c.roughPeriod);
    const auto kept = c.kept->ownFrames.find(key);
    if (kept != c.kept->ownFrames.end())
        return kept->second;
    std::vector<double>& frames = c.kept->ownFrames[key];
    for (const TestSummary& run : c.summary.tests) {
        if (run.kind == nullptr || !(run.kind->wakeUpStamps || run.kind->precise == PreciseStamps::Times))
            continue;
        std::vector<double> ticks = ticksOn(c, run, run.kind->time, output);
        ticks.erase(std::remove_if(ticks.begin(), ticks.end(), [](double v) { return !(v > 0.0); }), ticks.end());
        sortIfNeeded(ticks);
        // Stretch by stretch of a few dozen stamps: each rate the run held for longer shows.
        for (size_t from = 0; from < ticks.size(); from += t.ownFrameStamps) {
            const auto begin = ticks.begin() + static_cast<std::ptrdiff_t>(from);
            const double frame =
                frameOfStamps(std::vector<double>(begin, ticks.begin() + static_cast<std::ptrdiff_t>(std::min(ticks.size(), from + t.ownFrameStamps))));
            if (frame > 0.0 && std::none_of(frames.begin(), frames.end(), [&](double f) { return std::fabs(f / frame - 1.0) < t.ownFrameSame; }))
                frames.push_back(frame);
        }
    }
    return frames;
}

namespace {

std::string otherClockOf(const Context& c, const TestSummary& run, const std::vector<double>& own);

}   // namespace

std::string compositorOtherClock(const Context& c, const TestSummary& run, const std::vector<double>& own)
{
    const auto key = std::make_pair(&run, c.roughPeriod);
    const auto kept = c.kept->otherClock.find(key);
    if (kept != c.kept->otherClock.end())
        return kept->second;
    return c.kept->otherClock[key] = otherClockOf(c, run, own);
}

namespace {

std::string otherClockOf(const Context& c, const TestSummary& run, const std::vector<double>& own)
{
    if (run.kind == nullptr || !run.kind->compositorVblank || !(c.roughPeriod > 0.0))
        return {};
    std::vector<double> compositor = ticksOf(c, run.table, run.kind->compositorVblank);
    if (run.kind->wakeUpStamps) {
        // Read beside the server's vblanks: the same frame, and each qpcVBlank a vblank begin
        // at or a little before the server's wake-up (another output's lies anywhere in the frame).
        // A few hundred reads tell both frames and the phase as well as all of them.
        std::vector<double> server = ticksOf(c, run.table, run.kind->time);
        server.resize(std::min(server.size(), t.sideBySideReads));
        compositor.resize(std::min(compositor.size(), t.sideBySideReads));
        const double frame = frameOfStamps(server), theirs = frameOfStamps(compositor);
        if (!(frame > 0.0) || !(theirs > 0.0))
            return {};
        std::vector<double> phase;
        for (size_t i = 0; i < server.size() && i < compositor.size(); ++i) {
            if (server[i] > 0.0 && compositor[i] > 0.0)
                phase.push_back(std::fabs(nearestOffset(server[i] - compositor[i], frame)));
        }
        if (std::fabs(theirs / frame - 1.0) > t.compositorOtherClock)
            return format("the compositor's timing runs at %.3f Hz, the server's vblanks at %.3f Hz", c.frequency / theirs,
                          c.frequency / frame);
        if (medianOf(phase) > t.compositorPhaseFrames * frame)
            return format("the compositor's qpcVBlank lies %.0f us off the server's vblanks at %.3f Hz",
                          medianOf(phase) * 1e6 / c.frequency, c.frequency / frame);
        return {};
    }
    // Read alone: each rate its qpcVBlank showed must be one the output's own waits showed.
    keepDistinctStamps(compositor);
    for (const std::vector<double>& part : splitAtChanges(compositor, c.roughPeriod, t.splitWakeUps)) {
        const double theirs = frameOfStamps(part);
        if (theirs > 0.0 && !own.empty() && std::none_of(own.begin(), own.end(), [&](double f) {
                return std::fabs(theirs / f - 1.0) <= t.compositorOtherClock;
            }))
            return format("the compositor's timing runs at %.3f Hz, a rate the output's own vblank waits never showed",
                          c.frequency / theirs);
    }
    return {};
}

}   // namespace

bool compositorFollows(const Context& c, int output)
{
    if (!(c.roughPeriod > 0.0))
        return false;
    const auto key = std::make_pair(output, c.roughPeriod);
    const auto kept = c.kept->follows.find(key);
    if (kept != c.kept->follows.end())
        return kept->second;
    bool& follows = c.kept->follows[key];
    follows = false;
    const std::vector<double> own = ownFrames(c, output);
    // The compositor's reads are the window's runs: judged on those of this output, if any.
    bool read = false;
    for (const TestSummary& run : c.summary.tests) {
        if (run.output != output || run.kind == nullptr || !run.kind->compositorVblank)
            continue;
        if (!compositorOtherClock(c, run, own).empty())
            return follows;
        read = read || hasFrame(ticksOf(c, run.table, run.kind->compositorVblank));
    }
    follows = read;
    return follows;
}
