// The reference timeline of each output: the best estimate of when every vblank truly began,
// rebuilt from the runs' time stamps alone. Each run's stamps are split where the rate changes,
// each part fitted with a steady timeline, and the parts joined into segments where they
// continue each other.
#include "report/findings_rooms.h"

#include "report/truth.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

const ReferenceTuning kReference;

namespace {

const ReferenceTuning& t = kReference;

// The spread of a normal distribution from the median of the absolute deviations.
constexpr double kMadToSigma = 1.4826;

}   // namespace

// Least squares of t = origin + k period over the sorted points, each given its frame k by the guess,
// the points that lie far from the rest (a preempted sample, a stalled wake-up) left out, the
// frames assigned afresh over ever longer stretches so that a small error of the first period
// never slips a frame however long the span. Needs a guess within a quarter frame per frame.
Fit fitTimeline(const std::vector<double>& ticks, double guess, double settledFrames)
{
    Fit fit;
    if (ticks.size() < 2 || !(guess > 0.0))
        return fit;
    fit.origin = ticks.front();
    fit.period = guess;
    fit.from = ticks.front();
    fit.to = ticks.back();
    const double base = ticks.front();
    std::vector<double> residual(ticks.size());
    std::vector<char> kept(ticks.size(), 1);
    // Frames from the first point that the current fit may number: the first 30, or as many as
    // a guess already settled over.
    double horizon = std::max(t.fitFirstFrames, settledFrames);
    // The points are sorted, so those within the horizon are the first ones: each round reads
    // only them, and the rounds over a long span cost about as much as two passes over it.
    const auto horizonEnd = [&] {
        return static_cast<size_t>(std::partition_point(ticks.begin(), ticks.end(),
                                                        [&](double v) { return (v - base) / fit.period <= horizon; }) -
                                   ticks.begin());
    };
    size_t judged = 0;   // the points whose `kept` (and `number`, by the current fit) the last round set
    std::vector<double> number(ticks.size());
    std::vector<double> near;
    near.reserve(ticks.size());
    int settled = 0;
    for (int round = 0; round < t.fitRounds && settled < t.fitSettledRounds; ++round) {
        const double origin = fit.origin, period = fit.period, inverse = 1.0 / fit.period;
        double sk = 0, st = 0, skk = 0, skt = 0, n = 0;
        for (size_t i = 0, end = horizonEnd(); i < end; ++i) {
            if (!kept[i])
                continue;
            const double k = i < judged ? number[i] : std::floor((ticks[i] - origin) * inverse + 0.5);
            const double at = ticks[i] - base;
            sk += k;
            st += at;
            skk += k * k;
            skt += k * at;
            n += 1;
        }
        const double det = n * skk - sk * sk;
        if (n < 2 || !(det > 0))
            break;
        const double slope = (n * skt - sk * st) / det;
        if (!(slope > 0.0))
            break;
        fit.origin = base + (st - slope * sk) / n;
        fit.period = slope;
        fit.used = static_cast<size_t>(n);
        // Leave out what lies beyond five spreads (at least a hundred-thousandth of a frame, so
        // that exact points are not all thrown out); a point newly within the horizon is in
        // until a fit that includes it judges it, and one the new period puts beyond it is in.
        const size_t end = horizonEnd();
        near.clear();
        const double fitted = 1.0 / fit.period;
        // The spread from at most 512 of the residuals, evenly taken: as good a median.
        const size_t step = std::max<size_t>(1, end / t.spreadSample);
        for (size_t i = 0; i < end; ++i) {
            const double k = std::floor((ticks[i] - fit.origin) * fitted + 0.5);
            number[i] = k;
            residual[i] = ticks[i] - (fit.origin + k * fit.period);
            if (i % step == 0)
                near.push_back(std::fabs(residual[i]));
        }
        fit.spread = kMadToSigma * percentileInPlace(near, 50.0);
        const double limit = std::max(t.fitOutlierSpreads * fit.spread, fit.period * t.fitOutlierFloorFrames);
        // A round moved the fit when it left out or took in a point, or moved the span's last
        // vblank by a thousandth of a tick or more (rounding moves it by less).
        const double frames = (ticks[end - 1] - base) / fit.period;
        bool moved = std::fabs(fit.origin - origin) + frames * std::fabs(fit.period - period) >= t.fitMovedTicks || end != judged;
        for (size_t i = 0; i < end; ++i) {
            const char keep = std::fabs(residual[i]) <= limit ? 1 : 0;
            moved = moved || keep != kept[i];
            kept[i] = keep;
        }
        for (size_t i = end; i < judged; ++i)
            kept[i] = 1;
        judged = end;
        if ((ticks.back() - base) / fit.period <= horizon) {
            // Over the whole span, a round that changed nothing is what every later one would be.
            if (!moved)
                break;
            ++settled;
        } else {
            horizon *= 2.0;
        }
    }
    // The fit spans its first and last points that lie on it: a point left out at either end
    // (the first vblank of a new rate, counted with the old) is no part of its stretch.
    if (fit.used > 0) {
        const double limit = std::max(t.fitOutlierSpreads * fit.spread, fit.period * t.fitOutlierFloorFrames);
        const auto on = [&](double v) { return std::fabs(nearestOffset(v - fit.origin, fit.period)) <= limit; };
        const auto first = std::find_if(ticks.begin(), ticks.end(), on);
        const auto last = std::find_if(ticks.rbegin(), ticks.rend(), on);
        if (first != ticks.end()) {
            fit.from = *first;
            fit.to = *last;
        }
    }
    return fit;
}

namespace {

// Time stamps come in order as a rule: sorted only when they are not.
template <typename Values>
void sortIfNeeded(Values& values)
{
    if (!std::is_sorted(values.begin(), values.end()))
        std::sort(values.begin(), values.end());
}

// How far a distance lies off a whole number of frames.
double partFrames(double gap, double frame)
{
    return std::fabs(gap - std::max(1.0, std::floor(gap / frame + 0.5)) * frame);
}

// Each gap's frame: the lower quartile of the gaps around it, or the guess where that is under
// 0.3 frames (waits that returned at once).
std::vector<double> localFrames(const std::vector<double>& gaps, double guess, bool countOnly = false)
{
    std::vector<double> out;
    out.reserve(gaps.size());
    // Where only the count of frames a gap spans matters, a gap near the run's own lower
    // quartile spans one: it is its own frame, and its neighbourhood need not be sorted.
    const double quartile = countOnly && !gaps.empty() ? percentileOf(gaps, t.splitLocalQuantile) : 0.0;
    const size_t around = t.splitAround;
    // The neighbourhood slides along the gaps, kept sorted: one gap comes in, one goes out.
    std::vector<double> window;
    window.reserve(2 * around + 2);
    size_t windowFrom = 0, windowTo = 0;
    for (size_t i = 0; i < gaps.size(); ++i) {
        if (quartile > t.splitLocalFloorFrames * guess && gaps[i] >= t.singleFrameLow * quartile &&
            gaps[i] <= t.frameSpanOne * quartile) {
            out.push_back(gaps[i]);
            continue;
        }
        const size_t from = i > around ? i - around : 0, to = std::min(gaps.size(), i + around + 1);
        for (; windowTo < to; ++windowTo)
            window.insert(std::upper_bound(window.begin(), window.end(), gaps[windowTo]), gaps[windowTo]);
        for (; windowFrom < from; ++windowFrom)
            window.erase(std::lower_bound(window.begin(), window.end(), gaps[windowFrom]));
        const double local = window[percentileRank(window.size(), t.splitLocalQuantile)];
        out.push_back(local > t.splitLocalFloorFrames * guess ? local : guess);
    }
    return out;
}

}   // namespace

// The run of points split where the rate changes: the frame length between neighbours (a gap
// of several frames counted as that many) moves by more than `tolerance` and stays moved.
std::vector<std::vector<double>> splitAtChanges(const std::vector<double>& ticks, double guess, double tolerance,
                                                double phaseBreak)
{
    std::vector<std::vector<double>> parts(1);
    if (ticks.empty())
        return {};
    // Each gap counted in frames of its neighbourhood (the lower quartile of the gaps around
    // it), not of the whole run: a run whose rate doubles would otherwise fit its slower part
    // as every other frame of the faster one.
    std::vector<double> gaps;
    for (size_t i = 1; i < ticks.size(); ++i)
        gaps.push_back(ticks[i] - ticks[i - 1]);
    std::vector<double> lengths;
    const std::vector<double> local = localFrames(gaps, guess, true);
    for (size_t i = 0; i < gaps.size(); ++i)
        lengths.push_back(gaps[i] / std::max(1.0, std::floor(gaps[i] / local[i] + 0.5)));
    double current =
        medianOf(std::vector<double>(lengths.begin(), lengths.begin() + std::min<size_t>(lengths.size(), t.splitStartLengths)));
    parts.back().push_back(ticks[0]);
    const size_t kStays = t.splitStays;
    for (size_t i = 1; i < ticks.size(); ++i) {
        const double length = lengths[i - 1];
        bool changed = false;
        if (std::fabs(length - current) > tolerance * current && i + kStays <= lengths.size()) {
            changed = true;
            for (size_t j = i; j < i + kStays; ++j)
                changed = changed && std::fabs(lengths[j - 1] - length) <= tolerance * length &&
                          std::fabs(lengths[j - 1] - current) > tolerance * current;
        }
        // Precise points keep to their grid: a distance that leaves it, followed by distances
        // that keep to one again, is a new grid (a change of rate whose new frames the
        // neighbourhood does not show yet, its first vblank off the old grid).
        // A point preempted off the grid leaves it by one distance and comes back by the next:
        // the point before it, on the old grid, must be off the new one too.
        if (!changed && phaseBreak > 0.0 && i >= 2 && i + kStays <= lengths.size() &&
            partFrames(gaps[i - 1], current) > phaseBreak && partFrames(ticks[i] - ticks[i - 2], current) > phaseBreak) {
            changed = true;
            for (size_t j = i + 1; j < i + kStays; ++j)
                changed = changed && partFrames(gaps[j - 1], current) <= phaseBreak;
        }
        if (changed) {
            parts.emplace_back();
            current = length;
        }
        parts.back().push_back(ticks[i]);
    }
    return parts;
}

namespace {

// A column's frame: the median of the distances between its distinct neighbours that span one
// frame (under one and a half of their lower quartile): a skipped, stale or stalled frame spans
// more, and a wake-up's jitter moves a distance either way.
double frameOfStamps(std::vector<double> ticks)
{
    ticks.erase(std::remove_if(ticks.begin(), ticks.end(), [](double v) { return !(v > 0.0); }), ticks.end());
    sortIfNeeded(ticks);
    ticks.erase(std::unique(ticks.begin(), ticks.end()), ticks.end());
    std::vector<double> gaps;
    for (size_t i = 1; i < ticks.size(); ++i)
        gaps.push_back(ticks[i] - ticks[i - 1]);
    if (gaps.size() < t.groupPoints)
        return 0.0;
    const double single = t.frameSpanOne * percentileOf(gaps, t.splitLocalQuantile);
    gaps.erase(std::remove_if(gaps.begin(), gaps.end(), [&](double g) { return g >= single; }), gaps.end());
    return medianOf(gaps);
}

}   // namespace

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
    compositor.erase(std::remove_if(compositor.begin(), compositor.end(), [](double v) { return !(v > 0.0); }), compositor.end());
    sortIfNeeded(compositor);
    compositor.erase(std::unique(compositor.begin(), compositor.end()), compositor.end());
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
        read = read || frameOfStamps(ticksOf(c, run.table, run.kind->compositorVblank)) > 0.0;
    }
    follows = read;
    return follows;
}

// The time stamps of the runs that mark vblanks of an output, one group per run, sorted.
// Precise: the server's vblank times moved back by the scan line it read (how far into the
// vertical blank the display was), DirectDraw's returns (it polls the scan line until the
// blank begins), and the compositor's qpcVBlank where it follows the output (its published
// grid: a vblank begin, whichever frame it names). Otherwise: the wake-ups of the vblank
// waits, late by their own delays.
const std::vector<std::vector<double>>& stampsOf(const Context& c, int output, bool precise)
{
    const auto key = std::make_tuple(output, precise, c.roughPeriod);
    const auto cached = c.kept->groups.find(key);
    if (cached != c.kept->groups.end())
        return cached->second;
    std::vector<std::vector<double>>& groups = c.kept->groups[key];
    // The frame's lines from the trace: the highest line seen is the last, and the blank begins
    // after the mode's visible lines (the first blank line a trace happens to see may be the
    // one after).
    double lines = 0.0, blankFrom = 0.0;
    if (const TestSummary* trace = firstRunWhere(c.summary, &RunKind::scanTrace)) {
        const Figure* total = figureOf(*trace, "lines_per_frame");
        const Figure* first = figureOf(*trace, "blank_first_line");
        if (total != nullptr && first != nullptr && first->value < total->value) {
            lines = total->value;
            blankFrom = first->value;
            // Any line from the mode's height to the frame's last is in the blank, and a trace
            // whose samples lie 18 us apart on a busy machine may first see the eighth of them
            // (each line taken for the first would move every time stamp by 15 us at 60 Hz).
            for (const LogMode& mode : c.summary.modes) {
                if (mode.height > 0 && mode.height <= blankFrom && blankFrom < lines)
                    blankFrom = mode.height;
            }
        }
    }
    if (precise && !(lines > 0.0)) {
        // A trace that never saw the blank (a loaded machine's samples lie far apart): the blank
        // begins after the mode's visible lines, and the frame ends at the last line the
        // server's own reads saw in it.
        double height = 0.0, last = 0.0;
        for (const LogMode& mode : c.summary.modes)
            height = mode.height > 0 ? mode.height : height;
        for (const TestSummary& run : c.summary.tests) {
            if (run.kind == nullptr || run.kind->precise != PreciseStamps::ServerLessScanLine)
                continue;
            const int scan = keyIndex(run.table, "scanline");
            for (const LogRow& row : run.table.rows)
                last = std::max(last, std::fabs(cell(row, scan)));
        }
        if (height > 0.0 && last >= height) {
            lines = last + 1.0;
            blankFrom = height;
        }
    }
    const bool onGrid = precise && compositorFollows(c, output);
    for (const TestSummary& run : c.summary.tests) {
        if (!run.known || run.kind == nullptr || run.table.rows.empty())
            continue;
        const RunKind& kind = *run.kind;
        std::vector<double> group, grid;
        // Read beside the run's own precise stamps, the compositor's qpcVBlank marks the same
        // vblanks exactly: it stands for them.
        bool gridStands = false;
        if (onGrid && kind.compositorVblank) {
            grid = ticksOn(c, run, kind.compositorVblank, output);
            gridStands = kind.precise != PreciseStamps::None &&
                         static_cast<size_t>(std::count_if(grid.begin(), grid.end(), [](double v) { return v > 0.0; })) >= t.groupPoints;
        }
        if (!gridStands && precise && kind.precise == PreciseStamps::ServerLessScanLine && lines > 0.0) {
            const int now = keyIndex(run.table, kind.time.key), scan = keyIndex(run.table, "scanline");
            std::vector<std::pair<double, double>> read;   // (the server's time, lines into the blank)
            for (const LogRow& row : run.table.rows) {
                const double line = std::fabs(cell(row, scan));
                if (line == 0.0 || cell(row, now) == 0.0 || line >= lines || outputOfRow(c.summary, run, row.line) != output)
                    continue;
                // The sample lies somewhere in its line: half a line on average.
                read.emplace_back(cell(row, now) * (kind.time.ms ? c.ticksPerMs : 1.0),
                                  std::fmod(line - blankFrom + lines, lines) + 0.5);
            }
            // A line lasts the frame of its moment over the frame's lines: the frame the lower
            // quartile of the neighbouring distances, so that a run across a change of rate
            // moves each time by its own line's length.
            sortIfNeeded(read);
            std::vector<double> gaps;
            for (size_t i = 1; i < read.size(); ++i)
                gaps.push_back(read[i].first - read[i - 1].first);
            const std::vector<double> local = localFrames(gaps, c.roughPeriod);
            for (size_t i = 0; i < read.size(); ++i) {
                const double frame = local.empty() ? c.roughPeriod : local[std::min(i, local.size() - 1)];
                group.push_back(read[i].first - read[i].second * frame / lines);
            }
        } else if (!gridStands && ((precise && kind.precise == PreciseStamps::Times) || (!precise && kind.wakeUpStamps))) {
            group = ticksOn(c, run, kind.time, output);
        }
        for (std::vector<double>* g : {&group, &grid}) {
            g->erase(std::remove_if(g->begin(), g->end(), [](double v) { return !(v > 0.0); }), g->end());
            sortIfNeeded(*g);
            g->erase(std::unique(g->begin(), g->end()), g->end());
            if (g->size() >= t.groupPoints)
                groups.push_back(std::move(*g));
        }
    }
    std::sort(groups.begin(), groups.end(), [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.front() < b.front();
    });
    return groups;
}

ReferenceSegment segmentOf(const Fit& fit)
{
    ReferenceSegment s;
    s.originTick = fit.origin;
    s.periodTicks = fit.period;
    s.fromTick = fit.from;
    s.toTick = fit.to;
    s.points = fit.used;
    s.residualUs = fit.spread;
    return s;
}

namespace {

// A part on an exact grid (the compositor's stamps, whole ticks of one): the line through its
// ends, where every point lies within two ticks of it; else none (`used` 0).
Fit exactGrid(const std::vector<double>& part, double guess, double relative)
{
    Fit fit;
    if (!(relative <= t.exactLengths) || part.size() < 2)
        return fit;
    const double frames = std::floor((part.back() - part.front()) / guess + 0.5);
    if (!(frames > 0.0))
        return fit;
    fit.origin = part.front();
    fit.period = (part.back() - part.front()) / frames;
    double worst = 0.0;
    for (const double v : part)
        worst = std::max(worst, std::fabs(nearestOffset(v - fit.origin, fit.period)));
    if (worst > t.exactTicks)
        return fit;
    fit.used = part.size();
    fit.spread = worst;
    fit.from = part.front();
    fit.to = part.back();
    return fit;
}

// Groups into segments: a group joins the segment before it when its own rate and its phase
// continue that segment's; otherwise a new segment begins (a mode change, a rebind).
std::vector<ReferenceSegment> segmentsOf(const Context& c, const std::vector<std::vector<double>>& groups, bool precise)
{
    const double tolerance = precise ? t.splitPrecise : t.splitWakeUps;
    std::vector<std::vector<double>> parts;
    for (const std::vector<double>& group : groups) {
        for (std::vector<double>& part :
             splitAtChanges(group, c.roughPeriod, tolerance, precise ? t.splitPhaseBreakS * c.frequency : 0.0)) {
            if (part.size() >= t.groupPoints)
                parts.push_back(std::move(part));
        }
    }
    // Each part's own fit: its neighbours' distances, each over the frames it spans, counted in
    // the part's own lower quartile of them (a part of a run whose rate changed is not
    // numbered in the other part's frames).
    struct Part {
        std::vector<double> points;
        Fit own;
    };
    std::vector<Part> fittedParts;
    for (std::vector<double>& part : parts) {
        std::vector<double> gaps, lengths;
        for (size_t i = 1; i < part.size(); ++i)
            gaps.push_back(part[i] - part[i - 1]);
        const double unit = std::max(percentileOf(gaps, t.splitLocalQuantile), t.splitLocalFloorFrames * c.roughPeriod);
        for (const double gap : gaps)
            lengths.push_back(gap / std::max(1.0, std::floor(gap / unit + 0.5)));
        // A part whose lengths agree closely numbers its frames from a guess good over many of
        // them: its fit need not grow its horizon from the first thirty.
        const double guess = medianOf(lengths);
        std::vector<double> off;
        off.reserve(lengths.size());
        for (const double length : lengths)
            off.push_back(std::fabs(length - guess));
        const double relative = medianOf(off) / guess;
        Fit own = exactGrid(part, guess, relative);
        if (own.used == 0)
            own = fitTimeline(part, guess, relative > 0.0 ? t.guessGoodFrames / relative : (part.back() - part.front()) / guess);
        if (own.used < t.partFitPoints)
            continue;
        // Precise points lie within microseconds of their fit; a run whose points scatter by
        // more (DirectDraw's polls on a loaded machine, preempted as they poll) tells no
        // vblank precisely, and its rate may be a multiple of the display's.
        if (precise && own.spread > t.preciseSpreadS * c.frequency)
            continue;
        fittedParts.push_back({std::move(part), own});
    }
    // Walked in time order. Runs that read two columns side by side (the server's vblanks and
    // the compositor's) give parts of the same moments: of two that overlap, the one that fits
    // more closely comes first, and a later one that mostly lies among the points the segment
    // already has but does not continue it is left out (the closer points tell that stretch).
    std::stable_sort(fittedParts.begin(), fittedParts.end(),
                     [](const Part& a, const Part& b) { return a.points.front() < b.points.front(); });
    for (size_t i = 1; i < fittedParts.size(); ++i) {
        if (fittedParts[i].points.front() < fittedParts[i - 1].points.back() &&
            fittedParts[i].own.spread < fittedParts[i - 1].own.spread)
            std::swap(fittedParts[i], fittedParts[i - 1]);
    }
    std::vector<ReferenceSegment> segments;
    std::vector<double> points;
    Fit current;
    size_t fitted = 0;         // the points of the segment when it was last fitted
    double fittedSpan = 0.0;   // and their span
    for (const Part& each : fittedParts) {
        const std::vector<double>& part = each.points;
        const Fit& own = each.own;
        bool joins = !points.empty();
        if (joins) {
            const double rate = std::fabs(own.period - current.period) / current.period;
            std::vector<double> phase;
            for (const double v : part)
                phase.push_back(nearestOffset(v - current.origin, current.period));
            const double shift = std::fabs(medianOf(phase));
            const double phaseLimit = precise ? std::max(t.joinPhaseSpreads * current.spread, t.joinPhaseFloorS * c.frequency)
                                              : current.period * t.joinPhaseWakeUpFrames;
            const double rateLimit = precise ? t.joinRatePrecise : t.joinRateWakeUps;
            joins = rate < rateLimit && shift < phaseLimit;
            // A second's stretch (DirectDraw's run) carries its period's own error over a long gap
            // to the next: 60 ppm over 24 s is 1.5 ms. The two still continue each other when
            // one timeline fits both about as closely as each fits itself (within 2 us where
            // both fit to a microsecond); a rebind's new phase lies frames' fractions off.
            if (!joins && precise && rate < rateLimit) {
                std::vector<double> both(points.size() + part.size());
                std::merge(points.begin(), points.end(), part.begin(), part.end(), both.begin());
                const Fit joint = fitTimeline(both, current.period);
                joins = joint.used * t.jointKeptOf >= both.size() * t.jointKeptIn &&
                        joint.spread <= std::max(t.jointSpreads * std::max(current.spread, own.spread),
                                                 t.jointFloorS * c.frequency);
            }
        }
        if (!joins && !points.empty()) {
            const auto among = std::count_if(part.begin(), part.end(), [&](double v) { return v <= current.to; });
            if (static_cast<double>(among) >= t.coveredShare * static_cast<double>(part.size()))
                continue;
        }
        // A segment's fit is brought up to date before it is kept, and on the way when its
        // points or its span grew fifty-fold; in between, a part that continues it is judged by
        // the last fit. The join checked the new points' phase
        // against the segment's grid: its period numbers the whole merged span.
        const auto refit = [&] {
            current = fitTimeline(points, current.period, (points.back() - points.front()) / current.period);
            fitted = points.size();
            fittedSpan = points.back() - points.front();
        };
        if (!joins) {
            if (!points.empty()) {
                if (fitted != points.size())
                    refit();
                segments.push_back(segmentOf(current));
            }
            points.clear();
        }
        // Both are sorted: merged, not sorted afresh.
        const size_t before = points.size();
        points.insert(points.end(), part.begin(), part.end());
        std::inplace_merge(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(before), points.end());
        if (points.size() == part.size()) {
            current = fitTimeline(points, own.period);
            fitted = points.size();
            fittedSpan = points.back() - points.front();
        } else if (points.size() >= t.refitGrowth * fitted || points.back() - points.front() >= t.refitGrowth * fittedSpan) {
            refit();
        } else {
            current.to = std::max(current.to, part.back());
        }
    }
    if (!points.empty() && current.used > 0) {
        if (fitted != points.size())
            current = fitTimeline(points, current.period, (points.back() - points.front()) / current.period);
        segments.push_back(segmentOf(current));
    }
    return segments;
}

}   // namespace

// A rough frame of an output, in ticks, from its waits' own periods: enough to number its
// vblanks. 0 when no run of it has periods.
double roughPeriodOf(const Context& c, int output)
{
    const auto kept = c.kept->roughPeriods.find(output);
    if (kept != c.kept->roughPeriods.end())
        return kept->second;
    std::vector<double> periods;
    for (const TestSummary& run : c.summary.tests) {
        if (run.output != output || run.kind == nullptr)
            continue;
        const int index = run.kind->framePeriod != nullptr ? keyIndex(run.table, run.kind->framePeriod) : -1;
        for (const LogRow& row : run.table.rows) {
            if (index >= 0 && cell(row, index) > 0)
                periods.push_back(cell(row, index));
        }
        if (run.kind->frameFromTimes) {
            const std::vector<double>& now = ticksOf(c, run.table, run.kind->time);
            for (size_t i = 1; i < now.size(); ++i) {
                if (now[i] > now[i - 1])
                    periods.push_back((now[i] - now[i - 1]) / c.ticksPerMs);
            }
        }
    }
    return c.kept->roughPeriods[output] = medianOf(periods) * c.ticksPerMs;
}

// The reference of an output, and its error against the truth when known.
ReferenceTimeline referenceOf(const Context& c, int output)
{
    ReferenceTimeline reference;
    reference.output = output;
    reference.name = output < static_cast<int>(c.summary.devices.size()) ? c.summary.devices[static_cast<size_t>(output)]
                                                                          : "output " + std::to_string(output + 1);
    for (const bool precise : {true, false}) {
        const std::vector<std::vector<double>>& groups = stampsOf(c, output, precise);
        size_t count = 0;
        for (const std::vector<double>& g : groups)
            count += g.size();
        if (count < t.outputPoints)
            continue;
        reference.segments = segmentsOf(c, groups, precise);
        if (reference.segments.empty())
            continue;
        reference.precise = precise;
        reference.basis = !precise ? "the wake-ups of the vblank waits, moved to their earliest"
                          : compositorFollows(c, output)
                              ? "the server's vblank times less the scan line's way into the blank, DirectDraw's polled "
                                "vblank begins, and the compositor's qpcVBlank"
                              : "the server's vblank times less the scan line's way into the blank, and DirectDraw's "
                                "polled vblank begins";
        if (!precise) {
            // Wake-ups come late by the platform's delay: the earliest of them stand for the
            // vblank itself. A wake-up more than half a frame late (3.5 ms at 144 Hz) reads
            // as one before the others, and is no candidate: none comes before the vblank, so
            // the early side of the wake-ups is tight, and what lies far before their median
            // is such a late one.
            for (ReferenceSegment& s : reference.segments) {
                std::vector<double> late;
                for (const std::vector<double>& g : groups) {
                    // A group is sorted: the points the segment spans lie together.
                    const auto first = std::lower_bound(g.begin(), g.end(), s.fromTick);
                    const auto last = std::upper_bound(first, g.end(), s.toTick);
                    for (auto v = first; v != last; ++v)
                        late.push_back(nearestOffset(*v - s.originTick, s.periodTicks));
                }
                const double middle = medianOf(late);
                const double earliest =
                    middle - std::max(t.earliestSpreads * (middle - percentileOf(late, 25.0)), t.earliestFloorFrames * s.periodTicks);
                late.erase(std::remove_if(late.begin(), late.end(), [&](double l) { return l < earliest; }), late.end());
                s.originTick += percentileOf(late, t.earliestQuantile);
            }
        }
        break;
    }
    for (ReferenceSegment& s : reference.segments)
        s.residualUs = s.residualUs * 1e6 / c.frequency;
    reference.ordered = true;
    for (size_t s = 0; s < reference.segments.size(); ++s) {
        const ReferenceSegment& segment = reference.segments[s];
        reference.ordered = reference.ordered && segment.fromTick <= segment.toTick &&
                            (s == 0 || reference.segments[s - 1].toTick < segment.fromTick);
        // Between two segments the grid is neither's: over a second without evidence, not known.
        if (s > 0 && segment.fromTick - reference.segments[s - 1].toTick > t.unknownGapS * c.frequency)
            reference.unknown.emplace_back(reference.segments[s - 1].toTick, segment.fromTick);
    }

    if (reference.known() && c.truth != nullptr) {
        const Timeline& timeline = virtualOutputTimeline(c.truth->model, output);
        std::vector<double> errors;
        // Every vblank it spans, or so many spread evenly over the segments of a longer span.
        std::vector<std::pair<int64_t, double>> spans;   // each segment's first vblank, and how many follow
        double total = 0.0;
        for (const ReferenceSegment& s : reference.segments) {
            const int64_t first = timelineLatestVblank(timeline, tickOf(s.fromTick));
            const int64_t last = timelineLatestVblank(timeline, tickOf(s.toTick));
            spans.emplace_back(first, static_cast<double>(last) - static_cast<double>(first));
            total += std::max(0.0, spans.back().second);
        }
        const double share = total > t.truthVblanks ? t.truthVblanks / total : 1.0;
        for (size_t i = 0; i < reference.segments.size(); ++i) {
            const ReferenceSegment& s = reference.segments[i];
            const int64_t first = spans[i].first;
            const double span = spans[i].second;
            const double count = share < 1.0 ? std::floor(span * share) : span;
            for (double n = 1; n <= count; n += 1) {
                const int64_t k = tickOf(static_cast<double>(first) + n * span / count);
                const double start = static_cast<double>(timelineVblankStart(timeline, k));
                errors.push_back(std::fabs(nearestOffset(start - s.originTick, s.periodTicks)) * 1e6 / c.frequency);
            }
        }
        reference.hasTruth = !errors.empty();
        reference.errorUs = distributionOf(errors);
    }
    return reference;
}

// Where the rate changed between two segments of an output's reference, in ticks; false where
// the time stamps never showed the new frame.
bool rateChangeTick(const std::vector<double>& points, const ReferenceSegment& before, const ReferenceSegment& after,
                    double* tick)
{
    // The change is where the distances between neighbouring time stamps go over from
    // the old frame to the new. Each distance weighs how much nearer it lies to a whole
    // number of new frames than to one of old frames, with a fifth of the shorter frame
    // for each vblank a number passes over (a loop wakes for most vblanks), and at most
    // half the shorter frame off either: a wake-up late by a few milliseconds lengthens
    // one distance and shortens the next by as much, and the two weigh little together.
    // A distance of more than a frame and a half of the slower rate is a stall and says
    // nothing. The split is where the weights after it sum highest. The search reaches
    // well back: a loop that woke for every other vblank of the faster rate read as the
    // slower one, and the new segment began late.
    const double ahead =
        std::max(before.fromTick, after.fromTick - t.changeLookBackFrames * std::max(before.periodTicks, after.periodTicks));
    const auto from = std::lower_bound(points.begin(), points.end(), ahead);
    const auto to = std::upper_bound(points.begin(), points.end(),
                                     std::min(after.toTick, after.fromTick + t.changeLookAheadFrames * after.periodTicks));
    const double longest = t.changeStallFrames * std::max(before.periodTicks, after.periodTicks);
    const double shorter = std::min(before.periodTicks, after.periodTicks);
    const auto offWhole = [&](double gap, double frame) {
        const double n = std::max(1.0, std::floor(gap / frame + 0.5));
        return std::min(std::fabs(gap - n * frame) + (n - 1.0) * t.changePassFrames * shorter, shorter * t.changeOffCapFrames);
    };
    const auto firstQ = from == points.begin() && from != to ? from + 1 : from;
    std::vector<double> weight;   // per stamp from firstQ: > 0 the new frame, < 0 the old
    for (auto q = firstQ; q < to; ++q) {
        const double gap = *q - *(q - 1);
        weight.push_back(gap >= longest ? 0.0 : offWhole(gap, before.periodTicks) - offWhole(gap, after.periodTicks));
    }
    // The change is dated by the first distance after the split, so a split falls only
    // where a distance says something. Splits that sum alike lie on either side of
    // distances that weigh nothing together (a wake-up late by a third of a frame or
    // more, at 60 to 50 Hz): the change lies among them, and the middle one is taken.
    // Where no split sums to a frame and a half of the shorter frame (a few distances
    // of the new frame, or eight vblanks of the faster rate that never came), the
    // distances never showed the new frame: the two segments part on a rate that a
    // stretch of mixed distances fitted (16.9 ms between 60 and 50 Hz, 150 Hz in a
    // 144 Hz run's first wake-ups), and there is no change.
    const double alike = t.changeAlikeFrames * shorter;
    double sum = 0.0, best = 0.0;
    std::vector<size_t> tied;
    for (size_t b = weight.size(); b-- > 0;) {
        sum += weight[b];
        if (weight[b] == 0.0)
            continue;
        if (sum > best + alike)
            tied.clear();
        if (sum > best - alike && sum >= t.changeShownFrames * shorter)
            tied.push_back(b);
        best = std::max(best, sum);
    }
    if (tied.empty())
        return false;
    *tick = *(firstQ + static_cast<std::ptrdiff_t>(tied[tied.size() / 2]));
    return true;
}

