#include "report/findings.h"

#include "report/findings_rooms.h"
#include "report/summary.h"
#include "report/truth.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

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

std::vector<double> ticksOf(const RunTable& table, TimeColumn column, double ticksPerMs)
{
    std::vector<double> out;
    const int index = column ? keyIndex(table, column.key) : -1;
    if (index < 0)
        return out;
    out.reserve(table.rows.size());
    for (const LogRow& row : table.rows) {
        const double v = cell(row, index);
        out.push_back(v == 0.0 ? NAN : column.ms ? v * ticksPerMs : v);
    }
    return out;
}

const std::vector<double>& ticksOf(const Context& c, const RunTable& table, TimeColumn column)
{
    const auto key = std::make_tuple(&table, column.key, column.ms);
    const auto kept = c.kept->ticks.find(key);
    if (kept != c.kept->ticks.end())
        return kept->second;
    return c.kept->ticks[key] = ticksOf(table, column, c.ticksPerMs);
}

EvidenceRows::EvidenceRows(const TestSummary& run)
    : blocked(run.kind != nullptr && run.kind->blocked != nullptr ? keyIndex(run.table, run.kind->blocked) : -1),
      result(run.kind != nullptr && run.kind->result != nullptr ? keyIndex(run.table, run.kind->result) : -1)
{
}

const std::vector<double>& evidenceTicks(const Context& c, const TestSummary& run, TimeColumn column)
{
    const std::vector<double>& all = ticksOf(c, run.table, column);
    const EvidenceRows evidence(run);
    if (evidence.all())
        return all;
    const auto key = std::make_tuple(&run.table, column.key, column.ms);
    const auto kept = c.kept->evidence.find(key);
    if (kept != c.kept->evidence.end())
        return kept->second;
    std::vector<double>& out = c.kept->evidence[key] = all;
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = evidence(run.table.rows[i]) ? out[i] : kNoVblank;
    return out;
}

void keepDistinctStamps(std::vector<double>& ticks)
{
    ticks.erase(std::remove_if(ticks.begin(), ticks.end(), [](double v) { return !(v > 0.0); }), ticks.end());
    sortIfNeeded(ticks);
    ticks.erase(std::unique(ticks.begin(), ticks.end()), ticks.end());
}

std::vector<double> ticksOn(const Context& c, const TestSummary& run, TimeColumn column, int output)
{
    std::vector<double> out = evidenceTicks(c, run, column);
    // A log whose server never moved to another output measures one output in every window run.
    const std::vector<std::pair<size_t, int>>& binds = c.summary.binds;
    const bool moved = std::any_of(binds.begin(), binds.end(), [&](const std::pair<size_t, int>& b) { return b.second != binds.front().second; });
    if (!moved && !(run.kind != nullptr && run.kind->ownOutput())) {
        if (run.output != output)
            std::fill(out.begin(), out.end(), NAN);
        return out;
    }
    for (size_t i = 0; i < out.size(); ++i) {
        if (outputOfRow(c.summary, run, run.table.rows[i].line) != output)
            out[i] = NAN;
    }
    return out;
}

const std::vector<std::pair<size_t, double>>& timedRows(const Context& c)
{
    std::vector<std::pair<size_t, double>>& rows = c.kept->timedRows;
    if (!c.kept->timedRowsKnown) {
        for (const TestSummary& run : c.summary.tests) {
            if (run.kind == nullptr || !run.kind->time)
                continue;
            const std::vector<double>& ticks = ticksOf(c, run.table, run.kind->time);
            for (size_t i = 0; i < ticks.size(); ++i) {
                if (ticks[i] > 0.0)
                    rows.emplace_back(run.table.rows[i].line, ticks[i]);
            }
        }
        // The runs and their rows are in the log's order already, as a rule.
        if (!std::is_sorted(rows.begin(), rows.end()))
            std::sort(rows.begin(), rows.end());
        c.kept->timedRowsKnown = true;
    }
    return rows;
}

size_t lineAtTick(const Context& c, double tick)
{
    for (const std::pair<size_t, double>& row : timedRows(c)) {
        if (row.second >= tick)
            return row.first;
    }
    return SIZE_MAX;
}

const Figure* figureOf(const TestSummary& test, const char* key)
{
    for (const Figure& figure : test.figures) {
        if (figure.key == key)
            return &figure;
    }
    return nullptr;
}

const TestSummary* runOf(const ReportSummary& summary, LogTest test, int output)
{
    for (const TestSummary& run : summary.tests) {
        if (run.test == test && run.output == output && run.known)
            return &run;
    }
    return nullptr;
}

const TestSummary* firstRunWhere(const ReportSummary& summary, bool RunKind::*flag)
{
    for (const TestSummary& run : summary.tests) {
        if (run.known && run.kind != nullptr && run.kind->*flag)
            return &run;
    }
    return nullptr;
}

Context contextOf(const ReportSummary& summary, const LogTruth* truth)
{
    return Context{summary, truth, static_cast<double>(summary.frequency), static_cast<double>(summary.frequency) / 1000.0};
}

// ---------------------------------------------------------------------------------------------

Distribution distributionOf(std::vector<double> values)
{
    Distribution d;
    d.count = values.size();
    if (values.empty())
        return d;
    // Each percentile is the value of its rank in the sorted values; the ranks rise, so each
    // selection needs only the part above the one before, and nothing is sorted whole.
    auto from = values.begin();
    const auto at = [&](double percent) {
        const auto rank = values.begin() + static_cast<std::ptrdiff_t>(percentileRank(values.size(), percent));
        std::nth_element(from, rank, values.end());
        from = rank;
        return *rank;
    };
    d.p50 = at(50.0);
    d.p95 = at(95.0);
    d.p99 = at(99.0);
    d.p999 = at(99.9);
    d.max = *std::max_element(from, values.end());
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

bool ReferenceTimeline::knownAt(double tick) const
{
    for (const std::pair<double, double>& stretch : unknown) {
        if (tick > stretch.first && tick < stretch.second)
            return false;
    }
    return true;
}

const ReferenceSegment& ReferenceTimeline::segmentAt(double tick) const
{
    if (ordered) {
        // The first segment that ends at or after the tick covers it, or the tick lies between
        // it and the one before: the nearer of the two, the earlier on a tie.
        const auto after = std::lower_bound(segments.begin(), segments.end(), tick,
                                            [](const ReferenceSegment& s, double at) { return s.toTick < at; });
        if (after == segments.begin())
            return segments.front();
        if (after == segments.end())
            return segments.back();
        const ReferenceSegment& before = *(after - 1);
        return tick >= after->fromTick || after->fromTick - tick < tick - before.toTick ? *after : before;
    }
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

Findings findingsOf(const ReportSummary& summary, const LogTruth* truth)
{
    Context c = contextOf(summary, truth);
    Findings f;
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
    f.methods = methodsOf(c, f.references);
    // A reference of wake-ups may be off by the delay the same wait showed where the reference
    // is precise, and by the error of its own phase. A delay of no precise output (none, or one
    // of variable refresh whose average grid puts the waits anywhere in the frame) leaves how far
    // it may be off not known.
    double delay = -1.0;
    for (const MethodScore& m : f.methods) {
        const auto on = std::find_if(f.references.begin(), f.references.end(),
                                     [&](const ReferenceTimeline& r) { return r.name == m.output && r.precise; });
        if (m.method == "d3dkmt" && on != f.references.end() && m.lateUs.p50 > 0.0 && m.lateUs.p95 > 0.0)
            delay = std::max(delay, m.lateUs.p50);
    }
    for (ReferenceTimeline& reference : f.references) {
        if (!reference.known() || reference.precise)
            continue;
        double phase = 0.0;
        for (const ReferenceSegment& s : reference.segments)
            phase = std::max(phase, kReference.offPhaseSpreads * s.residualUs / std::sqrt(static_cast<double>(std::max<size_t>(s.points, 1))));
        reference.mayBeOffUs = delay < 0.0 ? -1.0 : delay + phase;
        for (MethodScore& m : f.methods)
            m.referenceOffUs = m.output == reference.name ? reference.mayBeOffUs : m.referenceOffUs;
    }
    // The waits ranked are the window's: the output its runs measured first.
    std::string window = f.references.empty() ? "" : f.references.front().name;
    for (const TestSummary& run : summary.tests) {
        if (run.kind == nullptr || run.kind->methods.empty() || run.kind->ownOutput())
            continue;
        for (const ReferenceTimeline& r : f.references)
            window = r.output == run.output ? r.name : window;
        break;
    }
    rankMethods(f.methods, window);
    // The methods in the order of their ranks, those not ranked (time stamps, other outputs) after.
    std::stable_sort(f.methods.begin(), f.methods.end(), [](const MethodScore& a, const MethodScore& b) {
        return (a.rank > 0 ? a.rank : INT32_MAX) < (b.rank > 0 ? b.rank : INT32_MAX);
    });
    for (const ReferenceTimeline& reference : f.references) {
        if (reference.known())
            f.refresh.push_back(refreshOf(c, reference));
    }
    f.runs = runFindingsOf(c, f.references);
    f.events = eventsOf(c, f.references);
    f.engines = engineFindingsOf(c, window);
    sentencesOf(c, f);
    return f;
}
