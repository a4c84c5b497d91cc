#include "report/findings.h"

#include "report/summary.h"
#include "report/truth.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <utility>

namespace {

// ---------------------------------------------------------------------------------------------
// The runs' rows, by column key.

int keyIndex(const RunTable& table, const char* key)
{
    for (size_t i = 0; i < table.keys.size(); ++i) {
        if (table.keys[i] == key)
            return static_cast<int>(i);
    }
    return -1;
}

double cell(const LogRow& row, int index)
{
    return index >= 0 && static_cast<size_t>(index) < row.values.size() ? row.values[static_cast<size_t>(index)] : 0.0;
}

// A time of a row, in ticks: its column and whether the column is in ms.
struct TimeColumn {
    const char* key;
    bool ms;
};

// The moment a run's row stands for: the wake-up, the sample, the server's vblank.
bool timeColumnOf(LogTest test, TimeColumn* column)
{
    switch (test) {
    case LogTest::DirectDraw:
    case LogTest::D3dkmt: *column = {"vsync", false}; return true;
    case LogTest::DwmTiming:
    case LogTest::DwmFlush: *column = {"now", false}; return true;
    case LogTest::Mimic: *column = {"got", false}; return true;
    case LogTest::WaitForBlanking: *column = {"server_now", false}; return true;
    case LogTest::Estimator: *column = {"server_now", true}; return true;
    default: return false;
    }
}

// The values of a column as ticks (ms columns converted); zeros (no value) kept as NaN.
std::vector<double> ticksOf(const RunTable& table, const char* key, bool ms, double ticksPerMs)
{
    std::vector<double> out;
    const int index = keyIndex(table, key);
    if (index < 0)
        return out;
    out.reserve(table.rows.size());
    for (const LogRow& row : table.rows) {
        const double v = cell(row, index);
        out.push_back(v == 0.0 ? NAN : ms ? v * ticksPerMs : v);
    }
    return out;
}

// A time as a counter tick, rounded down; beyond the counter's range, held at its ends (a log
// may hold any number).
int64_t tickOf(double value)
{
    if (!(value > -9.2e18))
        return value > 0 ? INT64_MAX : -INT64_MAX;
    return value < 9.2e18 ? static_cast<int64_t>(std::floor(value)) : INT64_MAX;
}

double median(std::vector<double> values)
{
    return percentileOf(std::move(values), 50.0);
}

const Figure* figureOf(const TestSummary& test, const char* key)
{
    for (const Figure& figure : test.figures) {
        if (figure.key == key)
            return &figure;
    }
    return nullptr;
}

// The first run of a test (of an output, for the D3DKMT test).
const TestSummary* runOf(const ReportSummary& summary, LogTest test, int output = 0)
{
    for (const TestSummary& run : summary.tests) {
        if (run.test == test && run.output == output && run.known)
            return &run;
    }
    return nullptr;
}

std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0, double d = 0.0)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

// A whole number with thousands separated, as a person reads it.
std::string grouped(double value)
{
    const long long n = std::llround(value);
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return (n < 0 ? "-" : "") + out;
}

// ---------------------------------------------------------------------------------------------
// Fitting a steady timeline to time stamps.

struct Fit {
    double origin = 0.0;   // tick of vblank 0 of the fit
    double period = 0.0;
    size_t used = 0;
    double spread = 0.0;   // 1.4826 MAD of the residuals, in ticks
    double from = 0.0, to = 0.0;
};

// Least squares of t = origin + k period over the points, each given its frame k by the guess,
// the points that lie far from the rest (a preempted sample, a stalled wake-up) left out, the
// frames assigned afresh over ever longer stretches so that a small error of the first period
// never slips a frame however long the span. Needs a guess within a quarter frame per frame.
Fit fitTimeline(const std::vector<double>& ticks, double guess)
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
    double horizon = 30.0;   // frames from the first point that the current fit may number
    int settled = 0;
    for (int round = 0; round < 60 && settled < 4; ++round) {
        const auto within = [&](size_t i) { return (ticks[i] - base) / fit.period <= horizon; };
        double sk = 0, st = 0, skk = 0, skt = 0, n = 0;
        for (size_t i = 0; i < ticks.size(); ++i) {
            if (!kept[i] || !within(i))
                continue;
            const double k = std::floor((ticks[i] - fit.origin) / fit.period + 0.5);
            const double t = ticks[i] - base;
            sk += k;
            st += t;
            skk += k * k;
            skt += k * t;
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
        // Leave out what lies beyond five spreads (at least a tick's worth of a millionth of a
        // frame, so that exact points are not all thrown out); a point newly within the
        // horizon is in until a fit that includes it judges it.
        std::vector<double> near;
        for (size_t i = 0; i < ticks.size(); ++i) {
            const double k = std::floor((ticks[i] - fit.origin) / fit.period + 0.5);
            residual[i] = ticks[i] - (fit.origin + k * fit.period);
            if (within(i))
                near.push_back(std::fabs(residual[i]));
        }
        fit.spread = 1.4826 * median(near);
        const double limit = std::max(5.0 * fit.spread, fit.period * 1e-5);
        for (size_t i = 0; i < ticks.size(); ++i)
            kept[i] = within(i) ? (std::fabs(residual[i]) <= limit ? 1 : 0) : 1;
        if ((ticks.back() - base) / fit.period <= horizon)
            ++settled;
        else
            horizon *= 2.0;
    }
    return fit;
}

// The run of points split where the rate changes: the frame length between neighbours (a gap
// of several frames counted as that many) moves by more than `tolerance` and stays moved.
std::vector<std::vector<double>> splitAtChanges(const std::vector<double>& ticks, double guess, double tolerance)
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
    constexpr size_t kAround = 8;
    for (size_t i = 0; i < gaps.size(); ++i) {
        const size_t from = i > kAround ? i - kAround : 0, to = std::min(gaps.size(), i + kAround + 1);
        double local = percentileOf(std::vector<double>(gaps.begin() + static_cast<std::ptrdiff_t>(from),
                                                        gaps.begin() + static_cast<std::ptrdiff_t>(to)),
                                    25.0);
        local = local > 0.3 * guess ? local : guess;
        lengths.push_back(gaps[i] / std::max(1.0, std::floor(gaps[i] / local + 0.5)));
    }
    double current = median(std::vector<double>(lengths.begin(), lengths.begin() + std::min<size_t>(lengths.size(), 9)));
    parts.back().push_back(ticks[0]);
    constexpr size_t kStays = 5;
    for (size_t i = 1; i < ticks.size(); ++i) {
        const double length = lengths[i - 1];
        bool changed = false;
        if (std::fabs(length - current) > tolerance * current && i + kStays <= lengths.size()) {
            changed = true;
            for (size_t j = i; j < i + kStays; ++j)
                changed = changed && std::fabs(lengths[j - 1] - length) <= tolerance * length &&
                          std::fabs(lengths[j - 1] - current) > tolerance * current;
        }
        if (changed) {
            parts.emplace_back();
            current = length;
        }
        parts.back().push_back(ticks[i]);
    }
    return parts;
}

// ---------------------------------------------------------------------------------------------

struct Context {
    ReportSummary& summary;
    const LogTruth* truth;
    double frequency;
    double ticksPerMs;
    double roughPeriod = 0.0;   // ticks: the median frame of the wake-ups
};

// The time stamps of the runs that mark vblanks of an output, one group per run, sorted.
// Precise: the server's vblank times moved back by the scan line it read (how far into the
// vertical blank the display was), and DirectDraw's returns (it polls the scan line until the
// blank begins). Otherwise: the wake-ups of the vblank waits, late by their own delays.
std::vector<std::vector<double>> stampsOf(const Context& c, int output, bool precise)
{
    std::vector<std::vector<double>> groups;
    // The frame's lines from the trace: the highest line seen is the last, and the blank begins
    // after the mode's visible lines (the first blank line a trace happens to see may be the
    // one after).
    double lines = 0.0, blankFrom = 0.0;
    if (const TestSummary* trace = runOf(c.summary, LogTest::ScanLine)) {
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
    for (const TestSummary& run : c.summary.tests) {
        if (!run.known || run.table.rows.empty())
            continue;
        std::vector<double> group;
        if (precise && output == 0 && run.test == LogTest::Estimator && lines > 0.0) {
            const int now = keyIndex(run.table, "server_now"), scan = keyIndex(run.table, "scanline");
            for (const LogRow& row : run.table.rows) {
                const double line = std::fabs(cell(row, scan));
                if (line == 0.0 || cell(row, now) == 0.0 || line >= lines)
                    continue;
                // The sample lies somewhere in its line: half a line on average.
                const double into = std::fmod(line - blankFrom + lines, lines) + 0.5;
                group.push_back(cell(row, now) * c.ticksPerMs - into * c.roughPeriod / lines);
            }
        } else if (precise && output == 0 && run.test == LogTest::DirectDraw) {
            group = ticksOf(run.table, "vsync", false, c.ticksPerMs);
        } else if (!precise && run.output == output &&
                   (run.test == LogTest::D3dkmt ||
                    (output == 0 && (run.test == LogTest::WaitForBlanking || run.test == LogTest::Estimator)))) {
            TimeColumn column{};
            timeColumnOf(run.test, &column);
            group = ticksOf(run.table, column.key, column.ms, c.ticksPerMs);
        }
        group.erase(std::remove_if(group.begin(), group.end(), [](double t) { return !(t > 0.0); }), group.end());
        std::sort(group.begin(), group.end());
        group.erase(std::unique(group.begin(), group.end()), group.end());
        if (group.size() >= 8)
            groups.push_back(std::move(group));
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

// Groups into segments: a group joins the segment before it when its own rate and its phase
// continue that segment's; otherwise a new segment begins (a mode change, a rebind).
std::vector<ReferenceSegment> segmentsOf(const Context& c, const std::vector<std::vector<double>>& groups, bool precise)
{
    const double tolerance = precise ? 0.005 : 0.03;
    std::vector<std::vector<double>> parts;
    for (const std::vector<double>& group : groups) {
        for (std::vector<double>& part : splitAtChanges(group, c.roughPeriod, tolerance)) {
            if (part.size() >= 8)
                parts.push_back(std::move(part));
        }
    }
    std::vector<ReferenceSegment> segments;
    std::vector<double> points;
    Fit current;
    for (const std::vector<double>& part : parts) {
        // The part's own frame: its neighbours' distances, each over the frames it spans,
        // counted in the part's own lower quartile of them (a part of a run whose rate changed
        // is not numbered in the other part's frames).
        std::vector<double> gaps, lengths;
        for (size_t i = 1; i < part.size(); ++i)
            gaps.push_back(part[i] - part[i - 1]);
        const double unit = std::max(percentileOf(gaps, 25.0), 0.3 * c.roughPeriod);
        for (const double gap : gaps)
            lengths.push_back(gap / std::max(1.0, std::floor(gap / unit + 0.5)));
        const Fit own = fitTimeline(part, median(lengths));
        if (own.used < 4)
            continue;
        bool joins = !points.empty();
        if (joins) {
            const double rate = std::fabs(own.period - current.period) / current.period;
            std::vector<double> phase;
            for (const double t : part)
                phase.push_back(nearestOffset(t - current.origin, current.period));
            const double shift = std::fabs(median(phase));
            const double phaseLimit = precise ? std::max(8.0 * current.spread, 50e-6 * c.frequency) : current.period / 4.0;
            joins = rate < (precise ? 0.001 : 0.01) && shift < phaseLimit;
            // A second's stretch (DirectDraw's run) carries its period's own error over a long gap
            // to the next: 60 ppm over 24 s is 1.5 ms. The two still continue each other when
            // one timeline fits both about as closely as each fits itself (within 2 us where
            // both fit to a microsecond); a rebind's new phase lies frames' fractions off.
            if (!joins && precise && rate < 0.001) {
                std::vector<double> both(points);
                both.insert(both.end(), part.begin(), part.end());
                std::sort(both.begin(), both.end());
                const Fit joint = fitTimeline(both, current.period);
                joins = joint.used * 10 >= both.size() * 9 &&
                        joint.spread <= std::max(2.0 * std::max(current.spread, own.spread), 2e-6 * c.frequency);
            }
        }
        if (!joins) {
            if (!points.empty())
                segments.push_back(segmentOf(current));
            points.clear();
        }
        points.insert(points.end(), part.begin(), part.end());
        std::sort(points.begin(), points.end());
        current = fitTimeline(points, points.size() == part.size() ? own.period : current.period);
    }
    if (!points.empty() && current.used > 0)
        segments.push_back(segmentOf(current));
    return segments;
}

// A rough frame of an output, in ticks, from its waits' own periods: enough to number its
// vblanks. 0 when no run of it has periods.
double roughPeriodOf(const Context& c, int output)
{
    std::vector<double> periods;
    for (const TestSummary& run : c.summary.tests) {
        if (run.output != output)
            continue;
        const char* key = run.test == LogTest::WaitForBlanking ? "server_period"
                          : run.test == LogTest::D3dkmt || run.test == LogTest::DirectDraw ? "period"
                                                                                            : nullptr;
        const int index = key != nullptr ? keyIndex(run.table, key) : -1;
        for (const LogRow& row : run.table.rows) {
            if (index >= 0 && cell(row, index) > 0)
                periods.push_back(cell(row, index));
        }
        if (run.test == LogTest::Estimator) {
            const std::vector<double> now = ticksOf(run.table, "server_now", true, c.ticksPerMs);
            for (size_t i = 1; i < now.size(); ++i) {
                if (now[i] > now[i - 1])
                    periods.push_back((now[i] - now[i - 1]) / c.ticksPerMs);
            }
        }
    }
    return median(periods) * c.ticksPerMs;
}

// The reference of an output, and its error against the truth when known.
ReferenceTimeline referenceOf(const Context& c, int output)
{
    ReferenceTimeline reference;
    reference.output = output;
    reference.name = output < static_cast<int>(c.summary.devices.size()) ? c.summary.devices[static_cast<size_t>(output)]
                                                                          : "output " + std::to_string(output + 1);
    for (const bool precise : {true, false}) {
        if (precise && output > 0)
            continue;
        const std::vector<std::vector<double>> groups = stampsOf(c, output, precise);
        size_t count = 0;
        for (const std::vector<double>& g : groups)
            count += g.size();
        if (count < 20)
            continue;
        reference.segments = segmentsOf(c, groups, precise);
        if (reference.segments.empty())
            continue;
        reference.precise = precise;
        reference.basis = precise ? "the server's vblank times less the scan line's way into the blank, and "
                                    "DirectDraw's polled vblank begins"
                                  : "the wake-ups of the vblank waits, moved to their earliest";
        if (!precise) {
            // Wake-ups come late by the platform's delay: the earliest of them stand for the
            // vblank itself. A wake-up more than half a frame late (3.5 ms at 144 Hz) reads
            // as one before the others, and is no candidate: none comes before the vblank, so
            // the early side of the wake-ups is tight, and what lies far before their median
            // is such a late one.
            for (ReferenceSegment& s : reference.segments) {
                std::vector<double> late;
                for (const std::vector<double>& g : groups) {
                    for (const double t : g) {
                        if (t >= s.fromTick && t <= s.toTick)
                            late.push_back(nearestOffset(t - s.originTick, s.periodTicks));
                    }
                }
                const double middle = median(late);
                const double earliest = middle - std::max(5.0 * (middle - percentileOf(late, 25.0)), 0.05 * s.periodTicks);
                late.erase(std::remove_if(late.begin(), late.end(), [&](double l) { return l < earliest; }), late.end());
                s.originTick += percentileOf(late, 2.0);
            }
        }
        break;
    }
    for (ReferenceSegment& s : reference.segments)
        s.residualUs = s.residualUs * 1e6 / c.frequency;
    if (reference.known() && c.truth != nullptr) {
        const Timeline& timeline = virtualOutputTimeline(c.truth->model, output);
        std::vector<double> errors;
        for (const ReferenceSegment& s : reference.segments) {
            const int64_t first = timelineLatestVblank(timeline, tickOf(s.fromTick));
            const int64_t last = timelineLatestVblank(timeline, tickOf(s.toTick));
            // Every vblank it spans, or 100,000 spread evenly over a longer span.
            const double span = static_cast<double>(last) - static_cast<double>(first);
            const double count = std::min(span, 100000.0);
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

// ---------------------------------------------------------------------------------------------

double referenceOffsetUs(const Context& c, const ReferenceTimeline& reference, double tick)
{
    return reference.offsetTicks(tick) * 1e6 / c.frequency;
}

double trueOffsetUs(const Context& c, int output, double tick)
{
    const Timeline& timeline = virtualOutputTimeline(c.truth->model, output);
    const int64_t t = tickOf(tick);
    const int64_t k = timelineLatestVblank(timeline, t);
    const double start = static_cast<double>(timelineVblankStart(timeline, k));
    const double next = static_cast<double>(timelineVblankStart(timeline, k + 1));
    const double after = tick - start, before = tick - next;
    return (after <= -before ? after : before) * 1e6 / c.frequency;
}

// The frames a gap spans beyond the first, for a gap of one and a half frames or more.
double extraFrames(double gap, double frame)
{
    return frame > 0.0 && gap >= 1.5 * frame ? std::floor(gap / frame + 0.5) - 1.0 : 0.0;
}

struct Scored {
    std::vector<double> late, lateTrue;
    double missed = 0.0;
    std::string test;
};

// Scores a run's time stamps: each against the nearest reference vblank; gaps of two frames or
// more between neighbours are missed vblanks (not for stamps that may repeat).
void scoreStamps(const Context& c, const ReferenceTimeline& reference, const TestSummary& run,
                 const std::vector<double>& ticks, bool countGaps, Scored* into)
{
    if (into->test.empty())
        into->test = run.key;
    double previous = NAN;
    for (const double t : ticks) {
        if (!(t > 0.0))
            continue;
        into->late.push_back(referenceOffsetUs(c, reference, t));
        if (c.truth != nullptr)
            into->lateTrue.push_back(trueOffsetUs(c, reference.output, t));
        if (countGaps && previous == previous)
            into->missed += extraFrames(t - previous, reference.periodTicksAt(t));
        previous = t;
    }
}

std::string us(double value)
{
    value = value == 0.0 ? 0.0 : value;   // no "-0.0"
    if (std::fabs(value) < 0.05)
        value = 0.0;
    return std::fabs(value) >= 10000 ? grouped(value) : format(std::fabs(value) >= 100 ? "%.0f" : "%.1f", value);
}

// The ways of finding the next vblank, each scored from the runs that used it.
std::vector<MethodScore> methodsOf(Context& c)
{
    std::vector<MethodScore> methods;
    const std::vector<ReferenceTimeline>& references = c.summary.findings.references;
    const auto add = [&](const char* name, int output, Scored& s, const char* cost) {
        if (s.late.empty())
            return;
        MethodScore m;
        m.method = name;
        m.output = references[static_cast<size_t>(output)].name;
        m.test = s.test;
        m.lateUs = distributionOf(s.late);
        m.hasTruth = !s.lateTrue.empty();
        m.lateTrueUs = distributionOf(s.lateTrue);
        m.missed = s.missed;
        m.cost = cost;
        methods.push_back(m);
    };
    for (const ReferenceTimeline& reference : references) {
        if (!reference.known())
            continue;
        Scored d3dkmt;
        for (TestSummary& run : c.summary.tests) {
            if (run.test == LogTest::D3dkmt && run.output == reference.output)
                scoreStamps(c, reference, run, ticksOf(run.table, "vsync", false, c.ticksPerMs), true, &d3dkmt);
        }
        add("d3dkmt", reference.output, d3dkmt, "the waiting thread sleeps in the driver");
    }
    if (references.empty() || !references.front().known())
        return methods;
    const ReferenceTimeline& first = references.front();
    Scored directDraw, pulse, flush, stamp, sleepPaced, vsyncPaced, grid;
    for (TestSummary& run : c.summary.tests) {
        const RunTable& t = run.table;
        switch (run.test) {
        case LogTest::DirectDraw:
            scoreStamps(c, first, run, ticksOf(t, "vsync", false, c.ticksPerMs), true, &directDraw);
            break;
        case LogTest::WaitForBlanking:
            scoreStamps(c, first, run, ticksOf(t, "server_now", false, c.ticksPerMs), true, &pulse);
            scoreStamps(c, first, run, ticksOf(t, "dwm_now", false, c.ticksPerMs), false, &stamp);
            break;
        case LogTest::Estimator:
            scoreStamps(c, first, run, ticksOf(t, "server_now", true, c.ticksPerMs), true, &pulse);
            break;
        case LogTest::DwmFlush:
            scoreStamps(c, first, run, ticksOf(t, "now", false, c.ticksPerMs), true, &flush);
            break;
        case LogTest::DwmTiming:
            scoreStamps(c, first, run, ticksOf(t, "vblank", false, c.ticksPerMs), true, &stamp);
            break;
        case LogTest::Mimic: {
            // Each stretch of rows in one mode on its own (the window of vsync mode is shaded
            // on its chart), so that no gap spans the other mode's rows.
            const std::vector<double> got = ticksOf(t, "got", false, c.ticksPerMs);
            const Series* shaded = run.series.empty() ? nullptr : &run.series.front();
            std::vector<double> stretch;
            bool mode = false;
            for (size_t i = 0; i <= got.size(); ++i) {
                const bool vsync = i < got.size() && shaded != nullptr && shaded->windowTo > shaded->windowFrom &&
                                   i + 1 >= shaded->windowFrom && i + 1 <= shaded->windowTo;
                if (i == got.size() || (vsync != mode && !stretch.empty())) {
                    scoreStamps(c, first, run, stretch, true, mode ? &vsyncPaced : &sleepPaced);
                    stretch.clear();
                }
                if (i < got.size())
                    stretch.push_back(got[i]);
                mode = vsync;
            }
            break;
        }
        default:
            break;
        }
        if (run.test == LogTest::Estimator) {
            // The estimator's grid, once it has locked (its time base stands before the sample).
            std::vector<double> locked;
            const int now = keyIndex(t, "server_now"), base = keyIndex(t, "server_vsync");
            bool on = false;
            for (const LogRow& row : t.rows) {
                on = on || (cell(row, base) > 0.0 && cell(row, base) < cell(row, now) - 0.00005);
                if (on)
                    locked.push_back(cell(row, base) * c.ticksPerMs);
            }
            scoreStamps(c, first, run, locked, false, &grid);
        }
    }
    add("directdraw", 0, directDraw, "burns the waiting thread: it polls the scan line until the blank begins");
    add("server_pulse", 0, pulse, "one server thread at time-critical priority; waiters sleep on an event");
    add("dwmflush", 0, flush, "the waiting thread sleeps until the compositor has composed");
    add("dwm_qpcvblank", 0, stamp, "a query, no wait");
    add("sleep_paced", 0, sleepPaced, "sleeps to the predicted vsync: Sleep's quantum decides");
    add("vsync_paced", 0, vsyncPaced, "waits for the server's pulse");
    add("estimator", 0, grid, "arithmetic on the server's times: about a microsecond per update");
    return methods;
}

bool isWait(const MethodScore& m)
{
    return m.method != "dwm_qpcvblank" && m.method != "estimator";
}

// Ranks the waits of the first output: fewest missed vblanks first (a share under half a
// percent counts as none), then the smallest p99 of lateness; and words each one's verdict.
void rankMethods(std::vector<MethodScore>& methods, const std::string& firstOutput)
{
    std::vector<MethodScore*> waits;
    for (MethodScore& m : methods) {
        if (isWait(m) && m.output == firstOutput)
            waits.push_back(&m);
    }
    const auto missing = [](const MethodScore* m) { return m->missed > 0.005 * static_cast<double>(m->lateUs.count); };
    std::stable_sort(waits.begin(), waits.end(), [&](const MethodScore* a, const MethodScore* b) {
        if (missing(a) != missing(b))
            return !missing(a);
        return a->lateUs.p99 < b->lateUs.p99;
    });
    for (size_t i = 0; i < waits.size(); ++i)
        waits[i]->rank = static_cast<int>(i + 1);
    const MethodScore* best = waits.empty() ? nullptr : waits.front();
    for (MethodScore& m : methods) {
        const std::string tail = "p50 " + us(m.lateUs.p50) + " us, p99 " + us(m.lateUs.p99) + " us";
        if (m.method == "dwm_qpcvblank")
            m.verdict = "a time stamp " + tail + " off the vblank";
        else if (m.method == "estimator")
            m.verdict = "its grid lies " + tail + " off the vblank";
        else if (m.rank == 1)
            m.verdict = "best here: wakes " + tail + " after the vblank";
        else if (best != nullptr && m.output == firstOutput)
            m.verdict = (missing(&m) ? "misses vblanks; " : "") + std::string("wakes ") + tail + " after the vblank" +
                        (best->lateUs.p99 > 0 ? format(", a p99 %.1fx the best's", m.lateUs.p99 / best->lateUs.p99) : "");
        else
            m.verdict = "wakes " + tail + " after the vblank";
        if (m.missed > 0)
            m.verdict += "; " + grouped(m.missed) + (m.missed == 1 ? " vblank missed" : " vblanks missed");
    }
}

// ---------------------------------------------------------------------------------------------

// Each run's periods in frames of the reference, each run's lateness against it, and the
// scan-line trace's sample spacing.
void scoreRuns(const Context& c)
{
    const std::vector<ReferenceTimeline>& references = c.summary.findings.references;
    for (TestSummary& run : c.summary.tests) {
        const size_t which = static_cast<size_t>(run.output);
        if (which >= references.size() || !references[which].known())
            continue;
        const ReferenceTimeline& reference = references[which];
        TimeColumn column{};
        const bool timed = timeColumnOf(run.test, &column);
        const std::vector<double> times = timed ? ticksOf(run.table, column.key, column.ms, c.ticksPerMs) : std::vector<double>();
        double middle = NAN;
        for (size_t i = times.size() / 2; i < times.size() && !(middle > 0.0); ++i)
            middle = times[i];
        const double frameTicks = reference.periodTicksAt(middle > 0.0 ? middle : reference.segments.front().fromTick);
        const double frameMs = frameTicks / c.ticksPerMs;
        if (run.test == LogTest::ScanLine) {
            const Figure* lines = figureOf(run, "lines_per_frame");
            double advanced = 0.0;
            size_t steps = 0;
            const int scan = keyIndex(run.table, "scanline");
            for (size_t i = 1; i < run.table.rows.size(); ++i) {
                const double a = std::fabs(cell(run.table.rows[i - 1], scan)), b = std::fabs(cell(run.table.rows[i], scan));
                if (a > 0 && b > a) {
                    advanced += b - a;
                    ++steps;
                }
            }
            if (lines != nullptr && steps > 10)
                run.figures.push_back({"sample_spacing", "samples lay apart (the reference's line length times the lines between them)",
                                       "us", advanced / static_cast<double>(steps) * frameMs * 1000.0 / lines->value,
                                       false, 0.0});
        }
        const char* periodKey = run.test == LogTest::WaitForBlanking ? "server_period"
                                : run.test == LogTest::DwmTiming     ? "delta"
                                : timed && run.test != LogTest::Estimator ? "period"
                                                                     : nullptr;
        const int periods = periodKey != nullptr ? keyIndex(run.table, periodKey) : -1;
        if (periods >= 0) {
            for (size_t i = run.test == LogTest::DwmTiming ? 1 : 0; i < run.table.rows.size(); ++i) {
                const double frames = std::floor(cell(run.table.rows[i], periods) / frameMs + 0.5);
                const size_t bin = frames < 0 ? 0 : std::min(kFrameBinsRest, static_cast<size_t>(frames));
                if (run.frameBins.size() <= bin)
                    run.frameBins.resize(bin + 1, 0);
                ++run.frameBins[bin];
            }
        }
        // The charts of periods get the reference's frame, and the true one when known.
        const bool intervals = run.test == LogTest::Estimator;
        for (Series& series : run.series) {
            const bool period = periods >= 0 && series.name == run.table.columns[static_cast<size_t>(periods)];
            if (period || (intervals && series.unit == "ms")) {
                series.hasReference = true;
                series.reference = frameMs;
            }
            if (period && c.truth != nullptr && middle > 0.0) {
                series.hasTruth = true;
                series.truth = c.truth->periodMsAt(tickOf(middle), run.output);
            }
        }
        if (!timed || run.test == LogTest::Estimator || run.test == LogTest::DwmTiming)
            continue;
        std::vector<double> late, lateTrue;
        for (const double t : times) {
            if (!(t > 0.0))
                continue;
            late.push_back(referenceOffsetUs(c, reference, t));
            if (c.truth != nullptr)
                lateTrue.push_back(trueOffsetUs(c, run.output, t));
        }
        const Distribution d = distributionOf(late), dt = distributionOf(lateTrue);
        if (d.count == 0)
            continue;
        Series chart;
        chart.name = "after the reference vblank/us";
        chart.unit = "us";
        chart.values = late;
        chart.hasReference = true;
        run.series.push_back(std::move(chart));
        const std::pair<const char*, double Distribution::*> parts[] = {{"median", &Distribution::p50},
                                                                         {"p95", &Distribution::p95},
                                                                         {"p99", &Distribution::p99},
                                                                         {"p999", &Distribution::p999},
                                                                         {"max", &Distribution::max}};
        for (const auto& part : parts) {
            const std::string name = part.first;
            run.figures.push_back({"after_vblank_" + name, "after the reference vblank, " + (name == "p999" ? "p99.9" : name),
                                   "us", d.*part.second, dt.count > 0, dt.*part.second});
        }
    }
}

// ---------------------------------------------------------------------------------------------

double lineTime(const std::vector<std::pair<size_t, double>>& times, size_t line)
{
    // The time of the latest row at or before the line.
    auto it = std::upper_bound(times.begin(), times.end(), std::make_pair(line, static_cast<double>(INFINITY)));
    return it == times.begin() ? -1.0 : std::prev(it)->second;
}

// Whether a wait failed between two lines of the log.
bool failedBetween(const ReportSummary& summary, size_t from, size_t to)
{
    for (const LogMark& mark : summary.marks) {
        if (mark.kind == "wait_failed" && mark.line > from && mark.line < to)
            return true;
    }
    return false;
}

// The server's outputs coming and going: a failed wait on one output followed by a bind to
// another is that output removed (the server went to the one left); a later rebind back to a
// removed output, after the configuration check, is that output back.
void outputEvents(const Context& c, const std::vector<std::pair<size_t, double>>& times, std::vector<FoundEvent>& events)
{
    const ReportSummary& summary = c.summary;
    struct Step {
        size_t line;
        const LogMark* mark;      // a failed wait or a rebind
        const LogMode* bind;
    };
    std::vector<Step> steps;
    for (const LogMark& mark : summary.marks) {
        if (mark.kind == "wait_failed" || mark.kind == "rebind")
            steps.push_back({mark.line, &mark, nullptr});
    }
    for (const LogMode& mode : summary.modes)
        steps.push_back({mode.line, nullptr, &mode});
    std::sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) { return a.line < b.line; });
    std::string bound;
    const LogMark* failed = nullptr;
    const LogMark* rebind = nullptr;
    std::vector<std::string> removed;
    for (const Step& step : steps) {
        if (step.mark != nullptr) {
            (step.mark->kind == "wait_failed" ? failed : rebind) = step.mark;
            continue;
        }
        const std::string& device = step.bind->device;
        const auto gone = std::find(removed.begin(), removed.end(), device);
        if (failed != nullptr && !bound.empty() && device != bound) {
            removed.push_back(bound);
            // The rows logged between the failure and the new bind still show the last vblank
            // the server had of the output that went: it went right after that one.
            double at = lineTime(times, failed->line);
            for (auto t = std::upper_bound(times.begin(), times.end(), std::make_pair(failed->line, static_cast<double>(INFINITY)));
                 t != times.end() && t->first < step.line; ++t)
                at = std::max(at, t->second);
            events.push_back({"output_removed", at, 0.0,
                              bound + ": its vblank waits failed and the server went to " + device, failed->test,
                              failed->line});
        } else if (rebind != nullptr && gone != removed.end()) {
            events.push_back({"output_added", lineTime(times, rebind->line), 0.0,
                              device + " came back and the window with it: the server bound it again", rebind->test,
                              rebind->line});
            removed.erase(gone);
        }
        bound = device;
        failed = rebind = nullptr;
    }
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
        std::max(before.fromTick, after.fromTick - 90.0 * std::max(before.periodTicks, after.periodTicks));
    const auto from = std::lower_bound(points.begin(), points.end(), ahead);
    const auto to = std::upper_bound(points.begin(), points.end(),
                                     std::min(after.toTick, after.fromTick + 30.0 * after.periodTicks));
    const double longest = 1.5 * std::max(before.periodTicks, after.periodTicks);
    const double shorter = std::min(before.periodTicks, after.periodTicks);
    const auto offWhole = [shorter](double gap, double frame) {
        const double n = std::max(1.0, std::floor(gap / frame + 0.5));
        return std::min(std::fabs(gap - n * frame) + (n - 1.0) * 0.2 * shorter, shorter / 2.0);
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
    const double alike = 1e-6 * shorter;
    double sum = 0.0, best = 0.0;
    std::vector<size_t> tied;
    for (size_t b = weight.size(); b-- > 0;) {
        sum += weight[b];
        if (weight[b] == 0.0)
            continue;
        if (sum > best + alike)
            tied.clear();
        if (sum > best - alike && sum >= 1.5 * shorter)
            tied.push_back(b);
        best = std::max(best, sum);
    }
    if (tied.empty())
        return false;
    *tick = *(firstQ + static_cast<std::ptrdiff_t>(tied[tied.size() / 2]));
    return true;
}

// Variable refresh: the vblanks of an output come at no steady period. The distances between
// neighbouring time stamps lie, in the median, more than an eighth of the reference's frame off
// every whole number of its frames (a fixed rate's, even one that changes, lie off only by the
// wake-ups' jitter), so no reference can stand for them.
bool variableRefresh(const Context& c, const ReferenceTimeline& reference, FoundEvent* event)
{
    if (!reference.known())
        return false;
    std::vector<double> off, lengths;
    double from = 0.0, to = 0.0;
    for (const std::vector<double>& group : stampsOf(c, reference.output, reference.precise)) {
        for (size_t i = 1; i < group.size(); ++i) {
            const double gap = group[i] - group[i - 1], frame = reference.periodTicksAt(group[i]);
            if (gap > 3.5 * frame)
                continue;
            off.push_back(std::fabs(nearestOffset(gap, frame)) / frame);
            if (gap < 1.7 * frame)
                lengths.push_back(gap);
        }
        from = from == 0.0 ? group.front() : std::min(from, group.front());
        to = std::max(to, group.back());
    }
    if (off.size() < 20 || lengths.size() < 20 || !(median(off) > 0.125))
        return false;
    const double p10 = percentileOf(lengths, 10.0), p50 = percentileOf(lengths, 50.0), p90 = percentileOf(lengths, 90.0);
    *event = {"variable_refresh", from / c.frequency, std::floor((to - from) / p50 + 0.5),
              format("frames from %.2f to %.2f ms (p10 to p90), %.1f to %.1f Hz: no steady period", p10 / c.ticksPerMs,
                     p90 / c.ticksPerMs, c.frequency / p90, c.frequency / p10),
              "", 0};
    return true;
}

// The compositor as its timing test read it: on another output's clock (its period is not the
// server's output's), reporting the upcoming vblank (qpcVBlank after the moment it was read), and
// not advancing for a frame (stale or skipped: the next new vblank comes two frames or more on).
void compositorEvents(const Context& c, std::vector<FoundEvent>& events)
{
    const ReferenceTimeline* reference = c.summary.findings.references.empty() ? nullptr : &c.summary.findings.references.front();
    for (const TestSummary& run : c.summary.tests) {
        if (run.test != LogTest::DwmTiming || run.table.rows.size() < 20)
            continue;
        const int now = keyIndex(run.table, "now"), vblank = keyIndex(run.table, "vblank"),
                  period = keyIndex(run.table, "period_qpc");
        std::vector<double> periods;
        size_t ahead = 0;
        for (const LogRow& row : run.table.rows) {
            periods.push_back(cell(row, period));
            ahead += cell(row, vblank) > cell(row, now) ? 1 : 0;
        }
        const double frame = median(periods);
        const double firstS = cell(run.table.rows.front(), now) / c.frequency;
        const double rows = static_cast<double>(run.table.rows.size());
        if (reference != nullptr && reference->known() && frame > 0) {
            const double own = reference->periodTicksAt(cell(run.table.rows.front(), now));
            if (std::fabs(frame / own - 1.0) > 0.01)
                events.push_back({"compositor_clock", firstS, rows,
                                  format("the compositor's timing runs at %.3f Hz, ", c.frequency / frame) + reference->name +
                                      format(" at %.3f Hz", c.frequency / own),
                                  run.key, run.table.rows.front().line});
        }
        if (static_cast<double>(ahead) > 0.5 * rows)
            events.push_back({"compositor_ahead", firstS, rows,
                              format("its qpcVBlank lay after the moment it was read in %.0f of %.0f reads: it reports "
                                     "the upcoming vblank",
                                     static_cast<double>(ahead), rows),
                              run.key, run.table.rows.front().line});
        if (!(frame > 0))
            continue;
        for (size_t i = 1; i < run.table.rows.size(); ++i) {
            const double before = cell(run.table.rows[i - 1], vblank), after = cell(run.table.rows[i], vblank);
            const double frames = std::floor((after - before) / frame + 0.5);
            if (frames >= 2 && frames < 30)
                events.push_back({"compositor_stale", (before + frame) / c.frequency, frames - 1.0,
                                  format("its qpcVBlank did not advance for %.0f frame(s): stale or skipped", frames - 1.0),
                                  run.key, run.table.rows[i].line});
        }
    }
}

// Vblank waits that report success far too soon to be vblanks (a sleeping display's or a
// stale adapter's waits return at once): eight or more in a row, each under half a frame of the
// fastest mode after the one before (1 ms where the log names no mode). Fewer come now and then
// when a late interrupt lets the waits it overtook go at once. A run that is mostly too soon is
// one stretch, whatever a loaded machine stretched in between.
constexpr size_t kTooSoonStretch = 8;

void tooSoonEvents(const Context& c, std::vector<FoundEvent>& events)
{
    // No display mode the server read delivers vblanks faster than its rate (a variable rate's
    // mode is its highest); the waits themselves cannot tell, they may be all too soon.
    double fastestHz = 0.0;
    for (const LogMode& mode : c.summary.modes)
        fastestHz = std::max(fastestHz, mode.hz);
    const double limit = fastestHz > 0 ? std::max(c.ticksPerMs, c.frequency / fastestHz / 2.0) : c.ticksPerMs;
    for (const TestSummary& run : c.summary.tests) {
        if (run.test != LogTest::D3dkmt)
            continue;
        const std::vector<double> ticks = ticksOf(run.table, "vsync", false, c.ticksPerMs);
        // soon[i]: row i came too soon after row i - 1.
        std::vector<bool> soon(ticks.size(), false);
        for (size_t i = 1; i < ticks.size(); ++i)
            soon[i] = ticks[i] > 0 && ticks[i - 1] > 0 && ticks[i] - ticks[i - 1] < limit;
        // Most of the run too soon: one stretch from the first quick wait to the last, whatever
        // a loaded machine stretched in between.
        const size_t quickInRun = static_cast<size_t>(std::count(soon.begin(), soon.end(), true));
        if (quickInRun >= kTooSoonStretch && 2 * quickInRun > ticks.size()) {
            const size_t first = static_cast<size_t>(std::find(soon.begin(), soon.end(), true) - soon.begin());
            events.push_back({"too_soon_waits", ticks[first] / c.frequency, static_cast<double>(quickInRun),
                              format("%.0f waits returned success far less than a frame after the one before: no "
                                     "vblank comes that fast",
                                     static_cast<double>(quickInRun)),
                              run.key, run.table.rows[first].line});
            continue;
        }
        for (size_t i = 1; i < ticks.size();) {
            if (!soon[i]) {
                ++i;
                continue;
            }
            size_t end = i, quick = 0;
            while (end < ticks.size() && soon[end]) {
                ++quick;
                ++end;
            }
            if (quick >= kTooSoonStretch)
                events.push_back({"too_soon_waits", ticks[i] / c.frequency, static_cast<double>(quick),
                                  format("%.0f waits returned success far less than a frame after the one before: no "
                                         "vblank comes that fast",
                                         static_cast<double>(quick)),
                                  run.key, run.table.rows[i].line});
            i = end;
        }
    }
}

std::vector<FoundEvent> eventsOf(const Context& c)
{
    const ReportSummary& summary = c.summary;
    std::vector<std::pair<size_t, double>> times;   // (line, seconds) of every timed row
    for (const TestSummary& run : summary.tests) {
        TimeColumn column{};
        if (!timeColumnOf(run.test, &column))
            continue;
        const int index = keyIndex(run.table, column.key);
        for (const LogRow& row : run.table.rows) {
            const double v = cell(row, index);
            if (v > 0.0)
                times.emplace_back(row.line, (column.ms ? v * c.ticksPerMs : v) / c.frequency);
        }
    }
    std::sort(times.begin(), times.end());
    std::vector<FoundEvent> events;
    for (const LogMark& mark : summary.marks)
        events.push_back({mark.kind, lineTime(times, mark.line), 0.0, mark.text, mark.test, mark.line});
    outputEvents(c, times, events);
    compositorEvents(c, events);
    tooSoonEvents(c, events);
    // Variable refresh, per output: it has no stalls and no mode changes, as it has no period.
    const std::vector<ReferenceTimeline>& references = summary.findings.references;
    // Each output's context: its own rough frame, by which its time stamps are numbered.
    std::vector<Context> outputs(references.size(), c);
    std::vector<bool> variable(references.size(), false);
    for (size_t r = 0; r < references.size(); ++r) {
        Context& own = outputs[r];
        own.roughPeriod = roughPeriodOf(c, references[r].output);
        FoundEvent event;
        if (own.roughPeriod > 0 && variableRefresh(own, references[r], &event)) {
            event.detail = references[r].name + ": " + event.detail;
            events.push_back(event);
            variable[r] = true;
        }
    }
    // Stalls: the vblank waits' and the server's gaps of two frames or more.
    for (const TestSummary& run : summary.tests) {
        const size_t which = static_cast<size_t>(run.output);
        const bool waits = run.test == LogTest::D3dkmt || run.test == LogTest::WaitForBlanking || run.test == LogTest::Estimator;
        if (!waits || which >= references.size() || !references[which].known() || variable[which])
            continue;
        TimeColumn column{};
        timeColumnOf(run.test, &column);
        const std::vector<double> ticks = ticksOf(run.table, column.key, column.ms, c.ticksPerMs);
        // Rows without a vblank (the server rebinding) are passed over; a gap over which the
        // waits failed is no stall but a failure (and maybe a sleep, below).
        size_t last = ticks.size();
        for (size_t i = 0; i < ticks.size(); ++i) {
            if (!(ticks[i] > 0.0))
                continue;
            if (last < ticks.size() && !failedBetween(summary, run.table.rows[last].line, run.table.rows[i].line)) {
                const double frame = references[which].periodTicksAt(ticks[i]);
                const double extra = extraFrames(ticks[i] - ticks[last], frame);
                if (extra > 0)
                    events.push_back({"stall", ticks[i] / c.frequency, extra + 1.0,
                                      format("%.3f ms between vblanks", (ticks[i] - ticks[last]) / c.ticksPerMs),
                                      run.key, run.table.rows[i].line});
            }
            last = i;
        }
    }
    // A sleeping display: the compositor's vblank stands still for half a second or more while
    // the vblank waits fail; it begins with the first vblank that did not come.
    for (const TestSummary& run : summary.tests) {
        const bool estimator = run.test == LogTest::Estimator;
        if ((!estimator && run.test != LogTest::WaitForBlanking) || references.empty() || !references.front().known())
            continue;
        const std::vector<double> ticks = ticksOf(run.table, "dwm_now", estimator, c.ticksPerMs);
        size_t last = ticks.size();
        for (size_t i = 0; i < ticks.size(); ++i) {
            if (!(ticks[i] > 0.0) || (last < ticks.size() && ticks[i] == ticks[last]))
                continue;
            if (last < ticks.size()) {
                const double frame = references.front().periodTicksAt(ticks[last]);
                const double frames = std::floor((ticks[i] - ticks[last]) / frame + 0.5) - 1.0;
                if (frames >= 30 && failedBetween(summary, run.table.rows[last].line, run.table.rows[i].line))
                    events.push_back({"display_sleep", std::ceil(ticks[last] + frame) / c.frequency, frames,
                                      format("no vblank for %.0f frames: the compositor's vblank stood still and the "
                                             "waits failed", frames),
                                      run.key, run.table.rows[last].line});
            }
            last = i;
        }
        // Asleep to the end of the run: its vblank stood still through three failed waits or more
        // (each followed by half a second's rest), and the run's rows went on.
        if (last + 1 < ticks.size()) {
            size_t failures = 0;
            for (const LogMark& mark : summary.marks)
                failures += mark.kind == "wait_failed" && mark.line > run.table.rows[last].line &&
                                    mark.line < run.table.rows.back().line
                                ? 1
                                : 0;
            if (failures >= 3) {
                const double frame = references.front().periodTicksAt(ticks[last]);
                events.push_back({"display_sleep", std::ceil(ticks[last] + frame) / c.frequency, 0.0,
                                  "no vblank to the end of the run: the compositor's vblank stood still and the waits failed",
                                  run.key, run.table.rows[last].line});
            }
        }
    }
    for (size_t r = 0; r < references.size(); ++r) {
        const ReferenceTimeline& reference = references[r];
        const Context& own = outputs[r];
        if (variable[r])
            continue;
        std::vector<double> points;
        for (const std::vector<double>& group : stampsOf(own, reference.output, reference.precise))
            points.insert(points.end(), group.begin(), group.end());
        std::sort(points.begin(), points.end());
        // A segment that parts from the one before without a change is read as part of it.
        size_t prior = 0;
        for (size_t s = 1; s < reference.segments.size(); ++s) {
            const ReferenceSegment& before = reference.segments[prior];
            const ReferenceSegment& after = reference.segments[s];
            double first = 0.0;
            if (!rateChangeTick(points, before, after, &first))
                continue;
            prior = s;
            // The server moved to another output there: its rate is that output's, no mode change.
            // After a failed wait it rests half a second before it binds the other output, and
            // the old segment may reach past the move by the stamps it fitted on both sides.
            const double changeS = std::min(before.toTick, first) / c.frequency;
            const bool moved = std::any_of(events.begin(), events.end(), [&](const FoundEvent& e) {
                return (e.kind == "output_removed" || e.kind == "output_added" || e.kind == "rebind") &&
                       e.atS >= changeS - 1.0 && e.atS <= std::max(after.fromTick, first) / c.frequency + 0.5;
            });
            // Faster than a kilohertz is no display's rate: those are waits that returned at
            // once, named as such on their own.
            const bool display = std::min(before.periodTicks, after.periodTicks) >= c.frequency / 1000.0;
            if (!moved && display)
                events.push_back({"mode_change", first / c.frequency, 0.0,
                                  reference.name + format(": %.4f Hz to %.4f Hz", c.frequency / before.periodTicks,
                                                          c.frequency / after.periodTicks),
                                  "", 0});
        }
    }
    for (const TestSummary& run : summary.tests) {
        if (run.cut)
            events.push_back({"cut", -1.0, 0.0, "the log ends inside " + run.title, run.key, run.titleLine});
    }
    if (!summary.ended && std::none_of(summary.tests.begin(), summary.tests.end(), [](const TestSummary& t) { return t.cut; }))
        events.push_back({"cut", -1.0, 0.0, "the log ends before the tool said it exits", "", 0});
    if (!summary.refused.empty())
        events.push_back({"refused", -1.0, 0.0, summary.refused, "", 0});
    std::stable_sort(events.begin(), events.end(), [](const FoundEvent& a, const FoundEvent& b) {
        return (a.atS < 0 ? 1e300 : a.atS) < (b.atS < 0 ? 1e300 : b.atS);
    });
    return events;
}

// ---------------------------------------------------------------------------------------------
// The sentences.

void say(Findings& f, const char* topic, const std::string& key, Finding::Mark mark, const std::string& text,
         const std::string& link)
{
    f.sentences.push_back({topic, key, mark, text, link});
}

std::string outputKey(const char* topic, int output)
{
    return std::string(topic) + "_" + std::to_string(output + 1);
}

std::string hz(double value)
{
    return format(std::fabs(value - std::floor(value + 0.5)) < 5e-7 ? "%.0f Hz" : "%.4f Hz", value);
}

std::string linkOf(const ReportSummary& summary, LogTest test, int output = 0)
{
    const TestSummary* run = runOf(summary, test, output);
    return run != nullptr ? run->key : "";
}

void refreshSentences(const Context& c, Findings& f)
{
    for (const RefreshFinding& r : f.refresh) {
        const auto variable = std::find_if(f.events.begin(), f.events.end(), [&](const FoundEvent& e) {
            return e.kind == "variable_refresh" && e.detail.compare(0, r.name.size() + 1, r.name + ":") == 0;
        });
        if (variable != f.events.end()) {
            say(f, "refresh", outputKey("refresh", r.output), Finding::Mark::WorthKnowing,
                r.name + " has no steady period: variable refresh, " + variable->detail.substr(r.name.size() + 2) +
                    (r.nominalHz > 0 ? "; its mode says " + hz(r.nominalHz) : std::string()) +
                    ". Pace by the measured interval, not by a period; the reference and the scores against it are an "
                    "average grid only.",
                linkOf(c.summary, LogTest::Estimator));
            continue;
        }
        std::string text = r.name + " refreshes at " + hz(r.measuredHz) + " measured";
        if (r.hasTruth)
            text += format(" (true %.4f Hz, off by %.4f Hz)", r.trueHz,
                           std::fabs(r.measuredHz - r.trueHz) < 5e-5 ? 0.0 : r.measuredHz - r.trueHz);
        Finding::Mark mark = Finding::Mark::Fine;
        if (r.nominalHz > 0) {
            text += "; its mode says " + hz(r.nominalHz) + format(" (%+.0f ppm)", r.ppmVsNominal);
            if (std::fabs(r.ppmVsNominal) > 100)
                mark = Finding::Mark::WorthKnowing;
        }
        if (r.rateRefreshHz > 0)
            text += ", the compositor's rateRefresh " + hz(r.rateRefreshHz) + format(" (%+.0f ppm)", r.ppmRateRefresh);
        if (r.qpcRefreshPeriodMs > 0)
            text += format(", its qpcRefreshPeriod %.4f ms (%+.0f ppm)", r.qpcRefreshPeriodMs, r.ppmQpcRefreshPeriod);
        if (r.frameSlipS > 0 && r.nominalHz > 0)
            text += ": an animation clocked on " + hz(r.nominalHz) + (r.nominalHz > r.measuredHz ? " gains" : " loses") +
                    format(" one frame every %.1f s", r.frameSlipS);
        text += ".";
        say(f, "refresh", outputKey("refresh", r.output), mark, text, linkOf(c.summary, LogTest::WrongHz));
    }
}


RefreshFinding refreshOf(const Context& c, const ReferenceTimeline& reference)
{
    RefreshFinding r;
    r.output = reference.output;
    r.name = reference.name;
    // The segment that most points lie on: the rate the display ran at for most of the log.
    const ReferenceSegment* main = &reference.segments.front();
    for (const ReferenceSegment& s : reference.segments)
        main = s.points > main->points ? &s : main;
    r.measuredHz = c.frequency / main->periodTicks;
    for (const LogMode& mode : c.summary.modes) {
        if (mode.device == reference.name && r.nominalHz == 0.0)
            r.nominalHz = mode.hz;
    }
    if (reference.output == 0) {
        if (const TestSummary* wrong = runOf(c.summary, LogTest::WrongHz)) {
            const Figure* ratio = figureOf(*wrong, "ratio_period");
            const Figure* counter = figureOf(*wrong, "counter_period");
            r.rateRefreshHz = ratio != nullptr && ratio->value > 0 ? 1000.0 / ratio->value : 0.0;
            r.qpcRefreshPeriodMs = counter != nullptr ? counter->value : 0.0;
        }
    }
    const auto ppm = [&](double hz) { return hz > 0 ? (hz - r.measuredHz) / r.measuredHz * 1e6 : 0.0; };
    r.ppmVsNominal = r.nominalHz > 0 ? (r.measuredHz - r.nominalHz) / r.nominalHz * 1e6 : 0.0;
    r.ppmRateRefresh = ppm(r.rateRefreshHz);
    r.ppmQpcRefreshPeriod = r.qpcRefreshPeriodMs > 0 ? ppm(1000.0 / r.qpcRefreshPeriodMs) : 0.0;
    const double slip = std::fabs(r.nominalHz - r.measuredHz);
    r.frameSlipS = r.nominalHz > 0 && slip > 0 ? 1.0 / slip : 0.0;
    if (c.truth != nullptr) {
        const Timeline& timeline = virtualOutputTimeline(c.truth->model, reference.output);
        const double mid = (main->fromTick + main->toTick) / 2.0;
        r.hasTruth = true;
        r.trueHz = timelineRateHz(timelineRateAt(timeline, tickOf(mid)));
    }
    return r;
}

const MethodScore* methodNamed(const Findings& f, const char* name)
{
    for (const MethodScore& m : f.methods) {
        if (m.method == name)
            return &m;
    }
    return nullptr;
}

void methodSentences(Findings& f)
{
    // The recommendation: the best wait that lets its thread sleep; DirectDraw's polling is
    // named beside it when it came closer.
    const MethodScore* best = nullptr;
    const MethodScore* polling = nullptr;
    for (const MethodScore& m : f.methods) {
        if (m.rank > 0 && m.method != "directdraw" && (best == nullptr || m.rank < best->rank))
            best = &m;
        if (m.rank > 0 && m.method == "directdraw")
            polling = &m;
    }
    if (best == nullptr)
        best = polling;
    if (best == nullptr) {
        say(f, "methods", "methods_none", Finding::Mark::WorthKnowing,
            "No way of finding the vblank could be scored: the log has no reference timeline.", "");
        return;
    }
    std::string text = "Use " + best->method + " here: of the waits that let their thread sleep it comes closest, " +
                       us(best->lateUs.p50) + " us after the vblank (p95 " + us(best->lateUs.p95) + " us, p99 " +
                       us(best->lateUs.p99) + " us, max " + us(best->lateUs.max) + " us)";
    if (best == polling)
        text = "Only DirectDraw's polling could be scored: " + us(best->lateUs.p50) + " us after the vblank (p99 " +
               us(best->lateUs.p99) + " us), and it burns its thread";
    text += best->missed > 0 ? ", " + grouped(best->missed) + (best->missed == 1 ? " vblank" : " vblanks") + " missed." : ", none missed.";
    if (polling != nullptr && polling != best && polling->rank < best->rank)
        text += " DirectDraw's polling comes closer (p99 " + us(polling->lateUs.p99) + " us) but burns its thread.";
    std::string others;
    for (const MethodScore& m : f.methods) {
        if (m.rank > 0 && &m != best && &m != polling)
            others += (others.empty() ? " Then " : "; ") + m.method + " p99 " + us(m.lateUs.p99) + " us" +
                      (m.missed > 0 ? ", " + grouped(m.missed) + " missed" : "");
    }
    text += others.empty() ? "" : others + ".";
    const Finding::Mark mark = best->lateUs.p99 < 1000 && best->missed == 0 ? Finding::Mark::Fine
                               : best->lateUs.p99 < 4000                    ? Finding::Mark::WorthKnowing
                                                                            : Finding::Mark::Bad;
    say(f, "methods", "methods_best", mark, text, best->test);
    for (const MethodScore& m : f.methods) {
        if (m.rank > 0 && m.missed > 0.005 * static_cast<double>(m.lateUs.count))
            say(f, "methods", "methods_missed_" + m.method, Finding::Mark::Bad,
                m.method + " missed " + grouped(m.missed) + " of about " +
                    grouped(static_cast<double>(m.lateUs.count) + m.missed) + " vblanks (gaps of two frames or more).",
                m.test);
    }
}

void compositorSentence(const Context& c, Findings& f)
{
    const TestSummary* timing = runOf(c.summary, LogTest::DwmTiming);
    if (timing == nullptr || c.summary.findings.references.empty() || !c.summary.findings.references.front().known())
        return;
    const ReferenceTimeline& reference = c.summary.findings.references.front();
    // Where each reported vblank lies against the latest reference vblank at the moment it was read.
    size_t ahead = 0, behind = 0, current = 0, unchanged = 0;
    const int now = keyIndex(timing->table, "now"), vblank = keyIndex(timing->table, "vblank");
    double previous = NAN;
    for (const LogRow& row : timing->table.rows) {
        const double at = cell(row, now) * 1.0, reported = cell(row, vblank);
        const ReferenceSegment& s = reference.segmentAt(at);
        const double latest = s.originTick + std::floor((at - s.originTick) / s.periodTicks) * s.periodTicks;
        if (reported == previous)
            ++unchanged;
        else if (reported > latest + s.periodTicks / 2)
            ++ahead;
        else if (reported < latest - s.periodTicks / 2)
            ++behind;
        else
            ++current;
        previous = reported;
    }
    const Figure* delay = figureOf(*timing, "publish_delay_median");
    const Figure* skipped = figureOf(*timing, "frames_skipped");
    std::string text = "The compositor";
    if (delay != nullptr)
        text += " publishes each vblank " + us(delay->value) + " us after it began";
    if (skipped != nullptr)
        text += format(", skipped %.0f frames", skipped->value);
    text += "; its qpcVBlank was the current vblank in " + grouped(static_cast<double>(current)) + " reads, ahead in " +
            grouped(static_cast<double>(ahead)) + ", behind in " + grouped(static_cast<double>(behind)) + ", unchanged in " +
            grouped(static_cast<double>(unchanged));
    if (const MethodScore* stamp = methodNamed(f, "dwm_qpcvblank"))
        text += "; it lies " + us(stamp->lateUs.p50) + " us off the reference (p99 " + us(stamp->lateUs.p99) + " us)";
    if (const MethodScore* flush = methodNamed(f, "dwmflush"))
        text += "; DwmFlush returns " + us(flush->lateUs.p50) + " us after the vblank (p99 " + us(flush->lateUs.p99) + " us)";
    text += ".";
    const bool skips = skipped != nullptr && skipped->value > 0;
    say(f, "compositor", "compositor", skips || behind > 0 ? Finding::Mark::WorthKnowing : Finding::Mark::Fine, text, timing->key);
}

void timerSentence(const Context& c, Findings& f)
{
    std::string text;
    std::string link;
    if (const TestSummary* quantum = runOf(c.summary, LogTest::TimeQuantum)) {
        link = quantum->key;
        if (const Figure* sleep = figureOf(*quantum, "sleep_quantum_median"))
            text += format("Sleep(1) lasts %.3f ms (median)", sleep->value);
        if (const Figure* resolution = figureOf(*quantum, "kernel_resolution_current"))
            text += (text.empty() ? "The" : ", the") + format(" timer resolution %.3f ms", resolution->value);
    }
    const auto wake = [&](LogTest test, const char* key, const char* what) {
        const TestSummary* run = runOf(c.summary, test);
        const Figure* p50 = run != nullptr ? figureOf(*run, (std::string(key) + "_median").c_str()) : nullptr;
        const Figure* p99 = run != nullptr ? figureOf(*run, (std::string(key) + "_p99").c_str()) : nullptr;
        const Figure* max = run != nullptr ? figureOf(*run, (std::string(key) + "_max").c_str()) : nullptr;
        if (p50 == nullptr || p99 == nullptr || max == nullptr)
            return;
        text += (text.empty() ? "" : "; ") + std::string(what) + " " + us(p50->value) + " us (p99 " + us(p99->value) +
                " us, max " + us(max->value) + " us)";
        link = link.empty() ? run->key : link;
    };
    wake(LogTest::WaitSpeed, "event_wakeup", "an event wakes its waiter in");
    wake(LogTest::MessageLoop, "posted_message_delay", "a posted message arrives in");
    if (text.empty())
        return;
    const TestSummary* quantum = runOf(c.summary, LogTest::TimeQuantum);
    const Figure* sleep = quantum != nullptr ? figureOf(*quantum, "sleep_quantum_median") : nullptr;
    say(f, "timers", "timers", sleep != nullptr && sleep->value > 2.5 ? Finding::Mark::WorthKnowing : Finding::Mark::Fine,
        text + ".", link);
}

void unusualSentences(const Context& c, Findings& f)
{
    struct Kind {
        const char* kind;
        const char* words;
        Finding::Mark mark;
    };
    static const Kind kinds[] = {
        {"wait_failed", "failed wait(s)", Finding::Mark::Bad},
        {"rebind", "rebind(s) of the server", Finding::Mark::WorthKnowing},
        {"quiet", "quiet spell(s) of a failing server", Finding::Mark::Bad},
        {"stall", "stall(s): two frames or more between a wait's vblanks", Finding::Mark::WorthKnowing},
        {"mode_change", "change(s) of the display's rate", Finding::Mark::WorthKnowing},
        {"display_sleep", "sleep(s) of the display: no vblanks, waits failing; an application must not take a "
                          "wait that fails or returns at once for a vblank",
         Finding::Mark::WorthKnowing},
        {"output_removed", "output(s) removed under the window: its waits fail, the server goes to the output left; an "
                           "application must bind again, not retry the dead adapter",
         Finding::Mark::WorthKnowing},
        {"output_added", "output(s) back: the window returned to it and the server with it", Finding::Mark::Fine},
        {"variable_refresh", "stretch(es) of variable refresh: no steady period; pace by the measured interval, not by a "
                             "period",
         Finding::Mark::WorthKnowing},
        {"compositor_clock", "compositor run(s) on another output's clock: its qpcRefreshPeriod and qpcVBlank are not "
                             "this output's; time this output by its own vblank waits",
         Finding::Mark::WorthKnowing},
        {"compositor_ahead", "compositor run(s) reporting the upcoming vblank: qpcVBlank lies in the future; subtract a "
                             "period before taking it for the latest vblank",
         Finding::Mark::WorthKnowing},
        {"compositor_stale", "frame(s) on which the compositor's vblank did not advance (stale or skipped): never trust "
                             "a single read",
         Finding::Mark::WorthKnowing},
        {"too_soon_waits", "run(s) of vblank waits that returned at once: a success that fast is no vblank",
         Finding::Mark::Bad},
        {"xxxxx", "\"XXXXX\" line(s): the server's and the compositor's vblanks more than 2 ms off each other's grid",
         Finding::Mark::WorthKnowing},
        {"cut", "run(s) cut short", Finding::Mark::WorthKnowing},
        {"refused", "refused profile(s)", Finding::Mark::Bad},
    };
    bool any = false;
    for (const Kind& kind : kinds) {
        std::vector<const FoundEvent*> of;
        for (const FoundEvent& e : f.events) {
            if (e.kind == kind.kind)
                of.push_back(&e);
        }
        if (of.empty())
            continue;
        any = true;
        // "(s)" stands for the plural's ending.
        std::string words = kind.words;
        for (size_t at = words.find("(s)"); at != std::string::npos; at = words.find("(s)"))
            words.replace(at, 3, of.size() == 1 ? "" : "s");
        std::string text = grouped(static_cast<double>(of.size())) + " " + words + ";";
        for (size_t i = 0; i < of.size() && i < 3; ++i) {
            const FoundEvent& e = *of[i];
            text += std::string(i == 0 ? " " : ", ") + (e.atS >= 0 ? format("at %.2f s", e.atS) : "");
            text += e.test.empty() ? "" : (e.atS >= 0 ? " in " : "in ") + e.test;
            text += e.kind != "wait_failed" && e.kind != "rebind" && e.kind != "quiet" && e.kind != "xxxxx"
                        ? " (" + e.detail + ")"
                        : "";
        }
        text += of.size() > 3 ? ", ..." : "";
        say(f, "unusual", std::string("unusual_") + kind.kind, kind.mark, text + ".", of.front()->test);
    }
    if (!any)
        say(f, "unusual", "unusual_none", Finding::Mark::Fine,
            "Nothing unusual: no failed wait, rebind, quiet spell, stall, rate change, \"XXXXX\" line or cut run.", "");
    (void)c;
}

void referenceSentences(const Context& c, Findings& f)
{
    for (const ReferenceTimeline& r : f.references) {
        if (!r.known()) {
            say(f, "reference", outputKey("reference", r.output), Finding::Mark::WorthKnowing, "No reference timeline for " + r.name + ": too few vblank times.", "");
            continue;
        }
        size_t points = 0;
        for (const ReferenceSegment& s : r.segments)
            points += s.points;
        const double span = (r.segments.back().toTick - r.segments.front().fromTick) / c.frequency;
        std::string text = "The reference timeline of " + r.name + " rests on " + grouped(static_cast<double>(points)) +
                           " time stamps over " + format("%.1f s", span) + " (" + r.basis + "), " +
                           grouped(static_cast<double>(r.segments.size())) +
                           (r.segments.size() == 1 ? " segment" : " segments") +
                           format(", the points within %.1f us of it", r.segments.front().residualUs);
        if (r.hasTruth)
            text += format("; its error against the profile's truth: median %.1f us, max %.1f us", r.errorUs.p50, r.errorUs.max);
        say(f, "reference", outputKey("reference", r.output), r.precise ? Finding::Mark::Fine : Finding::Mark::WorthKnowing, text + ".", "");
    }
}

}   // namespace

// ---------------------------------------------------------------------------------------------

Distribution distributionOf(std::vector<double> values)
{
    Distribution d;
    d.count = values.size();
    if (values.empty())
        return d;
    std::sort(values.begin(), values.end());
    const auto at = [&](double percent) {
        return values[static_cast<size_t>(static_cast<double>(values.size() - 1) * percent / 100.0)];
    };
    d.p50 = at(50.0);
    d.p95 = at(95.0);
    d.p99 = at(99.0);
    d.p999 = at(99.9);
    d.max = values.back();
    return d;
}

double nearestOffset(double value, double period)
{
    return value - period * std::ceil(value / period - 0.5);
}

const char* markName(Finding::Mark mark)
{
    switch (mark) {
    case Finding::Mark::Fine: return "fine";
    case Finding::Mark::WorthKnowing: return "worth knowing";
    case Finding::Mark::Bad: return "bad";
    }
    return "fine";
}

const ReferenceSegment& ReferenceTimeline::segmentAt(double tick) const
{
    const ReferenceSegment* best = &segments.front();
    double distance = INFINITY;
    for (const ReferenceSegment& s : segments) {
        const double d = tick < s.fromTick ? s.fromTick - tick : tick > s.toTick ? tick - s.toTick : 0.0;
        if (d < distance) {
            distance = d;
            best = &s;
        }
    }
    return *best;
}

double ReferenceTimeline::offsetTicks(double tick) const
{
    const ReferenceSegment& s = segmentAt(tick);
    return nearestOffset(tick - s.originTick, s.periodTicks);
}

Findings findingsOf(ReportSummary& summary, const LogTruth* truth)
{
    Context c{summary, truth, static_cast<double>(summary.frequency), static_cast<double>(summary.frequency) / 1000.0};
    Findings& f = summary.findings;
    f = Findings();
    if (!(c.frequency > 0))
        return f;
    int outputs = 1;
    for (const TestSummary& run : summary.tests)
        outputs = std::max(outputs, run.output + 1);
    for (int output = 0; output < outputs; ++output) {
        c.roughPeriod = roughPeriodOf(c, output);
        if (c.roughPeriod > 0)
            f.references.push_back(referenceOf(c, output));
    }
    f.methods = methodsOf(c);
    rankMethods(f.methods, f.references.empty() ? "" : f.references.front().name);
    for (const ReferenceTimeline& reference : f.references) {
        if (reference.known())
            f.refresh.push_back(refreshOf(c, reference));
    }
    scoreRuns(c);
    f.events = eventsOf(c);
    refreshSentences(c, f);
    methodSentences(f);
    compositorSentence(c, f);
    timerSentence(c, f);
    unusualSentences(c, f);
    referenceSentences(c, f);
    return f;
}

std::string findingsText(const Findings& f)
{
    std::string out = "Findings\n";
    for (const Finding& finding : f.sentences)
        out += "  [" + std::string(markName(finding.mark)) + "] " + finding.text + "\n";
    if (!f.methods.empty()) {
        out += "\nWays of finding the vblank, against the reference (us, each in (-P/2, P/2])\n";
        char line[512];
        std::snprintf(line, sizeof line, "  %-4s %-14s %-12s %9s %9s %9s %9s %9s %7s %9s\n", "rank", "method", "output", "p50",
                      "p95", "p99", "p99.9", "max", "missed", "true p50");
        out += line;
        for (const MethodScore& m : f.methods) {
            const std::string rank = m.rank > 0 ? std::to_string(m.rank) : "-";
            std::snprintf(line, sizeof line, "  %-4s %-14s %-12s %9.1f %9.1f %9.1f %9.1f %9.1f %7.0f", rank.c_str(), m.method.c_str(),
                          m.output.c_str(), m.lateUs.p50, m.lateUs.p95, m.lateUs.p99, m.lateUs.p999, m.lateUs.max, m.missed);
            out += line;
            if (m.hasTruth) {
                std::snprintf(line, sizeof line, " %9.1f", m.lateTrueUs.p50);
                out += line;
            }
            out += "\n      " + m.verdict + " (" + m.cost + ")\n";
        }
    }
    return out;
}
