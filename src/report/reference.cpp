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

// A part's own fit: its neighbours' distances, each over the frames it spans, counted in the
// part's own lower quartile of them (a part of a run whose rate changed is not numbered in the
// other part's frames). A part whose lengths agree closely numbers its frames from a guess good
// over many of them: its fit need not grow its horizon from the first thirty.
Fit ownFitOf(const std::vector<double>& part, double roughPeriod)
{
    // Worked in place, in two buffers: this runs for every part of every output's stamps.
    std::vector<double> gaps, lengths;
    gaps.reserve(part.size());
    lengths.reserve(part.size());
    for (size_t i = 1; i < part.size(); ++i)
        gaps.push_back(part[i] - part[i - 1]);
    lengths = gaps;
    const double unit = std::max(percentileInPlace(lengths, t.splitLocalQuantile), t.splitLocalFloorFrames * roughPeriod);
    for (size_t i = 0; i < gaps.size(); ++i)
        lengths[i] = gaps[i] / std::max(1.0, std::floor(gaps[i] / unit + 0.5));
    const double guess = percentileInPlace(lengths, 50.0);
    for (double& length : lengths)
        length = std::fabs(length - guess);
    const double relative = percentileInPlace(lengths, 50.0) / guess;
    const Fit exact = exactGrid(part, guess, relative);
    if (exact.used > 0)
        return exact;
    return fitTimeline(part, guess, relative > 0.0 ? t.guessGoodFrames / relative : (part.back() - part.front()) / guess);
}

// DirectDraw's returns come when its poll sees the blank, never before: late by as long as the
// machine held the poll off. A fit lies among them, late by about their scatter (25 us on a
// loaded machine, which tilts a segment it joins across a long gap), while the earliest mark the
// blank's begin. Each part of them (split as the segments split them) is moved by its earliest
// residual, the 2nd percentile of those on its fit.
void toEarliest(std::vector<double>& stamps, double roughPeriod, double frequency)
{
    size_t from = 0;
    for (const std::vector<double>& part : splitAtChanges(stamps, roughPeriod, t.splitPrecise, t.splitPhaseBreakS * frequency)) {
        const size_t to = from + part.size();
        const Fit fit = part.size() >= t.groupPoints ? ownFitOf(part, roughPeriod) : Fit();
        if (fit.used >= t.partFitPoints) {
            const double limit = std::max(t.fitOutlierSpreads * fit.spread, fit.period * t.fitOutlierFloorFrames);
            std::vector<double> residuals;
            for (const double v : part) {
                const double r = nearestOffset(v - fit.origin, fit.period);
                if (std::fabs(r) <= limit)
                    residuals.push_back(r);
            }
            const double shift = std::min(0.0, percentileOf(residuals, t.earliestQuantile));
            for (size_t i = from; i < to; ++i)
                stamps[i] += shift;
        }
        from = to;
    }
}

}   // namespace

// The time stamps of the runs that mark vblanks of an output, one group per run, sorted.
// Precise: the server's vblank times moved back by the scan line it read (how far into the
// vertical blank the display was), DirectDraw's returns (it polls the scan line until the
// blank begins), and the compositor's qpcVBlank where it follows the output (its published
// grid: a vblank begin, whichever frame it names), and the compositor clock's completed frames'
// starts on the output it follows. Otherwise: the wake-ups of the vblank waits, late by their
// own delays. A wait that returned at once or failed marks nothing.
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
        } else if (!gridStands && precise && kind.precise == PreciseStamps::Column) {
            group = ticksOn(c, run, kind.preciseTimes, output);
        }
        const bool polled = !gridStands && precise && kind.precise == PreciseStamps::Times;
        for (std::vector<double>* g : {&group, &grid}) {
            keepDistinctStamps(*g);
            if (polled && g == &group && c.roughPeriod > 0.0)
                toEarliest(*g, c.roughPeriod, c.frequency);
            if (g->size() >= t.groupPoints)
                groups.push_back(std::move(*g));
        }
    }
    std::sort(groups.begin(), groups.end(), [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.front() < b.front();
    });
    return groups;
}

namespace {

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
    // Each part's own fit (ownFitOf).
    struct Part {
        std::vector<double> points;
        Fit own;
    };
    std::vector<Part> fittedParts;
    for (std::vector<double>& part : parts) {
        const Fit own = ownFitOf(part, c.roughPeriod);
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
        const EvidenceRows evidence(run);
        for (const LogRow& row : run.table.rows) {
            if (index >= 0 && cell(row, index) > 0 && evidence(row))
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
    reference.name = outputNameOf(c.summary, output);
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
        // The compositor clock's frame starts where it follows this output; the server's and
        // DirectDraw's stamps where any run timed them here.
        bool clock = false, own = false;
        const std::vector<std::pair<size_t, int>>& binds = c.summary.binds;
        const bool moved = std::any_of(binds.begin(), binds.end(), [&](const std::pair<size_t, int>& b) { return b.second != binds.front().second; });
        for (const TestSummary& run : c.summary.tests) {
            if (run.kind == nullptr || run.table.rows.empty())
                continue;
            clock = clock || (run.kind->precise == PreciseStamps::Column && run.output == output);
            const bool stamps = run.kind->precise == PreciseStamps::Times || run.kind->precise == PreciseStamps::ServerLessScanLine;
            own = own || (stamps && (run.kind->ownOutput() || !moved
                                         ? run.output == output
                                         : std::any_of(run.table.rows.begin(), run.table.rows.end(), [&](const LogRow& row) {
                                               return outputOfRow(c.summary, run, row.line) == output;
                                           })));
        }
        reference.basis = !precise ? "the wake-ups of the vblank waits, moved to their earliest"
                          : own && compositorFollows(c, output)
                              ? "the server's vblank times less the scan line's way into the blank, DirectDraw's polled "
                                "vblank begins, and the compositor's qpcVBlank"
                          : own ? "the server's vblank times less the scan line's way into the blank, and DirectDraw's "
                                  "polled vblank begins"
                                : "";
        if (precise && clock)
            reference.basis += (reference.basis.empty() ? "" : "; ") +
                               std::string("the compositor clock's completed frames' starts");
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

