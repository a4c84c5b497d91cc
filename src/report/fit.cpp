// The reference's fitting: a steady timeline through time stamps by least squares, the line
// through an exact grid's ends, and the split of a run's stamps where its rate changes.
#include "report/findings_rooms.h"

#include <algorithm>
#include <cmath>

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

// How far a distance lies off a whole number of frames.
double partFrames(double gap, double frame)
{
    return std::fabs(gap - std::max(1.0, std::floor(gap / frame + 0.5)) * frame);
}

}   // namespace

// Each gap's frame: the lower quartile of the gaps around it, or the guess where that is under
// 0.3 frames (waits that returned at once).
std::vector<double> localFrames(const std::vector<double>& gaps, double guess, bool countOnly)
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
