// Every way of finding the vblank, scored from the runs that used it: how far after the
// reference vblank its times lie, and how many vblanks it missed. And what each run measured
// against the reference: its lateness, its periods in frames, the reference's frame on its
// charts. The refresh rates of each output beside what the mode and the compositor say.
#include "report/findings_rooms.h"

#include "report/truth.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

struct Scored {
    std::vector<double> late, lateTrue;
    double missed = 0.0;
    size_t unscored = 0;
    size_t noVblank = 0;
    double resumeWaitMs = 0.0;
    std::string test;
};

// Whether a wait failed between two moments: the failures dated by the rows timed before them.
bool failedWithin(const Context& c, double from, double to)
{
    std::vector<double>& failures = c.kept->failures;
    if (!c.kept->failuresKnown &&
        std::none_of(c.summary.marks.begin(), c.summary.marks.end(), [](const LogMark& m) { return m.kind == "wait_failed"; }))
        c.kept->failuresKnown = true;
    if (!c.kept->failuresKnown) {
        const std::vector<std::pair<size_t, double>>& rows = timedRows(c);
        for (const LogMark& mark : c.summary.marks) {
            const auto after = std::upper_bound(rows.begin(), rows.end(), std::make_pair(mark.line, static_cast<double>(INFINITY)));
            if (mark.kind == "wait_failed" && after != rows.begin())
                failures.push_back(std::prev(after)->second);
        }
        std::sort(failures.begin(), failures.end());
        c.kept->failuresKnown = true;
    }
    const auto at = std::lower_bound(failures.begin(), failures.end(), from);
    return at != failures.end() && *at < to;
}

// Scores a run's time stamps: each against the nearest reference vblank; gaps of two frames or
// more between neighbours are missed vblanks (not for stamps that may repeat).
void scoreStamps(const Context& c, const ReferenceTimeline& reference, const TestSummary& run,
                 const std::vector<double>& ticks, bool countGaps, Scored* into)
{
    if (into->test.empty())
        into->test = run.key;
    double previous = NAN;
    for (const double v : ticks) {
        // A wait that returned at once or failed marks no vblank: no gap spans it, as no gap
        // spans a failure.
        if (v == kNoVblank) {
            ++into->noVblank;
            previous = NAN;
            continue;
        }
        if (!(v > 0.0))
            continue;
        // Where the reference is not known nothing is scored, and no gap spans that stretch.
        if (!reference.knownAt(v)) {
            ++into->unscored;
            previous = NAN;
            continue;
        }
        const ReferenceSegment& segment = reference.segmentAt(v);
        into->late.push_back(nearestOffset(v - segment.originTick, segment.periodTicks) * 1e6 / c.frequency);
        if (c.truth != nullptr)
            into->lateTrue.push_back(trueOffsetUs(c, reference.output, v));
        // A gap over which the waits failed is no missed vblank: no vblank came (a sleep, an
        // unplugged output), and the failures tell it.
        if (countGaps && previous == previous && !failedWithin(c, previous, v))
            into->missed += extraFrames(v - previous, segment.periodTicks);
        previous = v;
    }
}

// The animation starts as the suite lets the vsync server run again after parking it, and the
// server's average period still spans the parked time: the loop's first deadlines lie many
// frames ahead (283 ms at 60 Hz) until the server has timed enough vblanks again. Its first
// rows whose periods are two frames or more, from the very first (whose period began before
// the run's first row, so the wait did too), are that wait: the suite's own gaps, not vblanks
// the machine missed. The first period of about a frame ends it; every later gap counts. So
// does a server line of trouble (a failed wait, a rebind) since the run's title: then the
// display, not the resume, held the frames back.
size_t resumeWaitRows(const Context& c, const ReferenceTimeline& reference, const TestSummary& run,
                      const std::vector<double>& times)
{
    const int period = run.kind->period != nullptr ? keyIndex(run.table, run.kind->period) : -1;
    const auto troubleBefore = [&](size_t line) {
        return std::any_of(c.summary.marks.begin(), c.summary.marks.end(),
                           [&](const LogMark& mark) { return mark.line > run.titleLine && mark.line < line; });
    };
    size_t rows = 0;
    while (period >= 0 && rows < times.size() && times[rows] > 0.0 && !troubleBefore(run.table.rows[rows].line) &&
           extraFrames(cell(run.table.rows[rows], period) * c.ticksPerMs, reference.periodTicksAt(times[rows])) > 0.0)
        ++rows;
    return rows;
}

// The compositor's qpcVBlank marks the vblanks of the output it follows, which need not be
// the window's: where a run's compositor keeps another output's clock, its stamps belong to the
// one other output whose own waits showed the compositor's frame, all of them, and to no output
// when none or several did (outputs of one rate cannot be told apart). Scored on the window's
// output they would fall anywhere in its frame.
std::vector<double> compositorStampsOn(const Context& c, const TestSummary& run, TimeColumn column, int output)
{
    std::vector<double> stamps = ticksOn(c, run, column, output);
    const int window = run.output;
    if (compositorOtherClock(c, run, ownFrames(c, window)).empty())
        return stamps;
    const double frame = frameOfStamps(ticksOf(c, run.table, column));
    int follows = -1;
    const int outputs = std::max<int>(2, static_cast<int>(c.summary.devices.size()));
    for (int other = 0; other < outputs; ++other) {
        const std::vector<double> frames = other == window ? std::vector<double>() : ownFrames(c, other);
        if (!std::any_of(frames.begin(), frames.end(), [&](double f) { return std::fabs(frame / f - 1.0) <= kReference.compositorOtherClock; }))
            continue;
        follows = follows < 0 ? other : -2;
    }
    stamps = ticksOf(c, run.table, column);
    if (follows != output)
        std::fill(stamps.begin(), stamps.end(), NAN);
    return stamps;
}

// Scores the times a run yields for one way of finding the vblank. The animation's stretches of
// one mode are scored each on its own, so that no gap spans the other mode's rows; the rows of
// its wait for the server's resume each alone, so that no gap spans the wait.
void scoreSource(const Context& c, const ReferenceTimeline& reference, const TestSummary& run,
                 const MethodSource& source, Scored* into)
{
    const RunTable& table = run.table;
    switch (source.rows) {
    case MethodRows::All:
        if (run.kind->compositorVblank && std::string(run.kind->compositorVblank.key) == source.times.key) {
            scoreStamps(c, reference, run, compositorStampsOn(c, run, source.times, reference.output), source.countGaps, into);
            return;
        }
        scoreStamps(c, reference, run, ticksOn(c, run, source.times, reference.output), source.countGaps, into);
        return;
    case MethodRows::LockedGrid: {
        // The estimator's grid, once it has locked (its time base stands before the sample).
        std::vector<double> locked;
        const int now = keyIndex(table, run.kind->time.key), base = keyIndex(table, source.times.key);
        bool on = false;
        for (const LogRow& row : table.rows) {
            on = on || estimatorLocked(cell(row, base), cell(row, now));
            if (on && outputOfRow(c.summary, run, row.line) == reference.output)
                locked.push_back(cell(row, base) * c.ticksPerMs);
        }
        scoreStamps(c, reference, run, locked, source.countGaps, into);
        return;
    }
    case MethodRows::SleepMode:
    case MethodRows::VsyncMode: {
        const bool wanted = source.rows == MethodRows::VsyncMode;
        const std::vector<double> times = ticksOn(c, run, source.times, reference.output);
        const size_t waited = resumeWaitRows(c, reference, run, times);
        std::vector<double> stretch;
        for (size_t i = 0; i <= times.size(); ++i) {
            const bool vsync = i < times.size() && run.vsyncTo > run.vsyncFrom && i + 1 >= run.vsyncFrom && i + 1 <= run.vsyncTo;
            if (i == times.size() || vsync != wanted) {
                if (!stretch.empty())
                    scoreStamps(c, reference, run, stretch, source.countGaps, into);
                stretch.clear();
                continue;
            }
            if (i + 1 < waited) {
                scoreStamps(c, reference, run, {times[i]}, source.countGaps, into);
                into->resumeWaitMs += (times[i + 1] - times[i]) / c.ticksPerMs;
                continue;
            }
            stretch.push_back(times[i]);
        }
        return;
    }
    }
}

bool isWait(const MethodScore& m)
{
    for (const MethodKind& kind : methodKinds()) {
        if (m.method == kind.key)
            return kind.wait;
    }
    return true;
}

}   // namespace

double referenceOffsetUs(const Context& c, const ReferenceTimeline& reference, double tick)
{
    return reference.offsetTicks(tick) * 1e6 / c.frequency;
}

// Rates within a millionth of each other are the same: at 60 Hz they part by a frame only every
// four and a half hours.
constexpr double kSameRate = 1e-6;
// Rates 2 % apart are two rates (a crystal is off by a fraction of a percent).
constexpr double kOtherRate = 0.02;

// How many frames after the last vblank asked for the next time stamp's is looked for there.
constexpr double kFramesAhead = 1000.0;

double trueOffsetUs(const Context& c, int output, double tick)
{
    const Timeline& timeline = virtualOutputTimeline(c.truth->model, output);
    const int64_t at = tickOf(tick);
    // Time stamps come in order, a frame or a few apart: the starts of the last two vblanks asked
    // for are kept, as the vblank after one stamp's is often the next stamp's own.
    VblankStarts& starts = c.kept->starts;
    const auto startOf = [&](int64_t vblank) {
        for (size_t i = 0; i < 2; ++i) {
            if (starts.output[i] == output && starts.vblank[i] == vblank)
                return starts.start[i];
        }
        const double start = static_cast<double>(timelineVblankStart(timeline, vblank));
        starts.output[starts.next] = output;
        starts.vblank[starts.next] = vblank;
        starts.start[starts.next] = start;
        starts.next ^= 1;
        return start;
    };
    // The latest vblank at or before the tick: the last one asked for, moved on by the frames of
    // its length that lie between, where that one's start and the next one's bracket the tick
    // (they rise with the vblank); else the timeline's own search.
    int64_t k = 0;
    bool found = false;
    if (starts.lastOutput == output) {
        const double from = startOf(starts.lastVblank), length = startOf(starts.lastVblank + 1) - from;
        const double frames = length > 0.0 ? std::floor((static_cast<double>(at) - from) / length) : -1.0;
        if (frames >= 0.0 && frames < kFramesAhead) {
            k = starts.lastVblank + static_cast<int64_t>(frames);
            found = startOf(k) <= static_cast<double>(at) && static_cast<double>(at) < startOf(k + 1);
        }
    }
    if (!found)
        k = timelineLatestVblank(timeline, at);
    starts.lastOutput = output;
    starts.lastVblank = k;
    const double start = startOf(k);
    const double next = startOf(k + 1);
    const double after = tick - start, before = tick - next;
    return (after <= -before ? after : before) * 1e6 / c.frequency;
}

bool missesVblanks(const MethodScore& m)
{
    return m.missed > kMissingShare * static_cast<double>(m.lateUs.count);
}

// The ways of finding the next vblank, each scored from the runs that used it, in the order of
// the methods table: the driver's wait on each output, the others on the first.
std::vector<MethodScore> methodsOf(const Context& c, const std::vector<ReferenceTimeline>& references)
{
    std::vector<MethodScore> methods;
    const auto add = [&](const MethodKind& kind, const ReferenceTimeline& reference, Scored& s) {
        if (s.late.empty())
            return;
        MethodScore m;
        m.method = kind.key;
        m.output = reference.name;
        m.test = s.test;
        m.lateUs = distributionOf(s.late);
        m.hasTruth = !s.lateTrue.empty();
        m.lateTrueUs = distributionOf(s.lateTrue);
        m.missed = s.missed;
        m.unscored = s.unscored;
        m.noVblank = s.noVblank;
        for (const std::pair<double, double>& stretch : reference.unknown)
            m.unscoredWhere += (m.unscoredWhere.empty() ? "" : ", ") +
                               format("from %.2f s to %.2f s", stretch.first / c.frequency, stretch.second / c.frequency);
        m.resumeWaitMs = s.resumeWaitMs;
        m.cost = kind.cost;
        methods.push_back(m);
    };
    // Each on every output its rows measured: the D3DKMT test's blocks their own, DirectDraw the
    // primary, the window's runs the output the server was bound to at each row.
    const auto scoreOn = [&](const MethodKind& kind, const ReferenceTimeline& reference) {
        Scored scored;
        for (const TestSummary& run : c.summary.tests) {
            if (run.kind == nullptr)
                continue;
            for (const MethodSource& source : run.kind->methods) {
                if (kind.key == std::string(source.method))
                    scoreSource(c, reference, run, source, &scored);
            }
        }
        add(kind, reference, scored);
    };
    for (const MethodKind& kind : methodKinds()) {
        for (const ReferenceTimeline& reference : references) {
            if (reference.known())
                scoreOn(kind, reference);
        }
    }
    return methods;
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
    std::stable_sort(waits.begin(), waits.end(), [&](const MethodScore* a, const MethodScore* b) {
        if (missesVblanks(*a) != missesVblanks(*b))
            return !missesVblanks(*a);
        return a->lateUs.p99 < b->lateUs.p99;
    });
    for (size_t i = 0; i < waits.size(); ++i)
        waits[i]->rank = static_cast<int>(i + 1);
    const MethodScore* best = waits.empty() ? nullptr : waits.front();
    for (MethodScore& m : methods) {
        const std::string tail = "p50 " + us(m.lateUs.p50) + " us, p99 " + us(m.lateUs.p99) + " us";
        if (!isWait(m) && (m.method == "dwm_qpcvblank" || m.method == "compositor_frame"))
            m.verdict = "a time stamp " + tail + " off the vblank";
        else if (!isWait(m))
            m.verdict = "its grid lies " + tail + " off the vblank";
        else if (m.rank == 1)
            m.verdict = "best here: wakes " + tail + " after the vblank";
        else if (best != nullptr && m.output == firstOutput)
            m.verdict = (missesVblanks(m) ? "misses vblanks; " : "") + std::string("wakes ") + tail + " after the vblank" +
                        (best->lateUs.p99 > 0 ? format(", a p99 %.1fx the best's", m.lateUs.p99 / best->lateUs.p99) : "");
        else
            m.verdict = "wakes " + tail + " after the vblank";
        if (m.missed > 0)
            m.verdict += "; " + grouped(m.missed) + (m.missed == 1 ? " vblank missed" : " vblanks missed");
        if (m.resumeWaitMs > 0)
            m.verdict += format("; its first frames waited %.0f ms for the vsync server's resume (the suite's own gap), "
                                "not counted as missed",
                                m.resumeWaitMs);
        if (m.noVblank > 0)
            m.verdict += "; " + grouped(static_cast<double>(m.noVblank)) +
                         (m.noVblank == 1 ? " wait" : " waits") + " returned at once or failed: no vblank, not scored";
        if (m.unscored > 0)
            m.verdict += "; " + grouped(static_cast<double>(m.unscored)) + " not scored: the reference is not known " +
                         m.unscoredWhere;
        if (m.referenceOffUs > 0)
            m.verdict += "; scored on a reference of wake-ups that may be off by " + us(m.referenceOffUs) + " us";
        else if (m.referenceOffUs < 0)
            m.verdict += "; scored on a reference of wake-ups off by the waits' own delay, not known here";
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

// A trace of the scan line: its samples lie apart by the reference's line length times the lines
// between them. Judged from more than ten steps forward.
constexpr size_t kSpacingSteps = 10;

void sampleSpacing(const TestSummary& run, double frameMs, RunFindings& out)
{
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
    if (lines != nullptr && steps > kSpacingSteps)
        out.figures.push_back({"sample_spacing", "samples lay apart (the reference's line length times the lines between them)",
                               "us", advanced / static_cast<double>(steps) * frameMs * 1000.0 / lines->value, false, 0.0});
}

}   // namespace

// Each run's periods in frames of the reference, each run's lateness against it, and the
// scan-line trace's sample spacing.
std::vector<RunFindings> runFindingsOf(const Context& c, const std::vector<ReferenceTimeline>& references)
{
    std::vector<RunFindings> all(c.summary.tests.size());
    for (size_t r = 0; r < c.summary.tests.size(); ++r) {
        const TestSummary& run = c.summary.tests[r];
        RunFindings& out = all[r];
        const size_t which = static_cast<size_t>(run.output);
        if (which >= references.size() || !references[which].known() || run.kind == nullptr)
            continue;
        const RunKind& kind = *run.kind;
        const ReferenceTimeline& reference = references[which];
        // Its rows that mark no vblank are no lateness.
        const std::vector<double> times = kind.time ? evidenceTicks(c, run, kind.time) : std::vector<double>();
        double middle = NAN;
        for (size_t i = times.size() / 2; i < times.size() && !(middle > 0.0); ++i)
            middle = times[i];
        const double frameTicks = reference.periodTicksAt(middle > 0.0 ? middle : reference.segments.front().fromTick);
        const double frameMs = frameTicks / c.ticksPerMs;
        if (kind.scanTrace)
            sampleSpacing(run, frameMs, out);
        const int periods = kind.period != nullptr ? keyIndex(run.table, kind.period) : -1;
        if (periods >= 0) {
            for (size_t i = kind.periodFromRow; i < run.table.rows.size(); ++i) {
                // In frames of the reference at that row: a run across a change of rate counts
                // each period in its own stretch's frames.
                const double rowMs = i < times.size() && times[i] > 0.0 ? reference.periodTicksAt(times[i]) / c.ticksPerMs : frameMs;
                const double frames = std::floor(cell(run.table.rows[i], periods) / rowMs + 0.5);
                const size_t bin = frames < 0 ? 0 : std::min(kFrameBinsRest, static_cast<size_t>(frames));
                if (out.frameBins.size() <= bin)
                    out.frameBins.resize(bin + 1, 0);
                ++out.frameBins[bin];
            }
        }
        // The charts of periods get the reference's frame, and the true one when known.
        out.marks.resize(run.series.size());
        for (size_t i = 0; i < run.series.size(); ++i) {
            const Series& series = run.series[i];
            const bool period = periods >= 0 && series.name == run.table.columns[static_cast<size_t>(periods)];
            if (period || (kind.intervalCharts && series.unit == "ms")) {
                out.marks[i].hasReference = true;
                out.marks[i].reference = frameMs;
            }
            if (period && c.truth != nullptr && middle > 0.0) {
                out.marks[i].hasTruth = true;
                out.marks[i].truth = c.truth->periodMsAt(tickOf(middle), run.output);
            }
        }
        if (!kind.lateness)
            continue;
        std::vector<double> late, lateTrue;
        for (const double v : times) {
            if (!(v > 0.0))
                continue;
            late.push_back(referenceOffsetUs(c, reference, v));
            if (c.truth != nullptr)
                lateTrue.push_back(trueOffsetUs(c, run.output, v));
        }
        const Distribution d = distributionOf(late), dt = distributionOf(lateTrue);
        if (d.count == 0)
            continue;
        Series chart;
        chart.name = "after the reference vblank/us";
        chart.unit = "us";
        chart.values = late;
        chart.hasReference = true;
        out.charts.push_back(std::move(chart));
        const std::pair<const char*, double Distribution::*> parts[] = {{"median", &Distribution::p50},
                                                                         {"p95", &Distribution::p95},
                                                                         {"p99", &Distribution::p99},
                                                                         {"p999", &Distribution::p999},
                                                                         {"max", &Distribution::max}};
        for (const auto& part : parts) {
            const std::string name = part.first;
            out.figures.push_back({"after_vblank_" + name, "after the reference vblank, " + (name == "p999" ? "p99.9" : name),
                                   "us", d.*part.second, dt.count > 0, dt.*part.second});
        }
    }
    return all;
}

RefreshFinding refreshOf(const Context& c, const ReferenceTimeline& reference)
{
    RefreshFinding r;
    r.output = reference.output;
    r.name = reference.name;
    // The longest segment: the rate the display ran at for most of the log.
    const ReferenceSegment* main = &reference.segments.front();
    for (const ReferenceSegment& s : reference.segments)
        main = s.toTick - s.fromTick > main->toTick - main->fromTick ? &s : main;
    r.measuredHz = c.frequency / main->periodTicks;
    // The mode in effect at a moment: the line of the first row timed at or after it, needed
    // only where the output's mode was read more than once.
    const bool oneMode = std::count_if(c.summary.modes.begin(), c.summary.modes.end(),
                                       [&](const LogMode& mode) { return mode.device == reference.name; }) <= 1;
    const auto modeAt = [&](double tick) {
        const size_t line = oneMode ? SIZE_MAX : lineAtTick(c, tick);
        double hz = 0.0;
        for (const LogMode& mode : c.summary.modes) {
            if (mode.device == reference.name && (hz == 0.0 || mode.line <= line))
                hz = mode.hz;
        }
        return hz;
    };
    // The mode of the stretch measured: ppm never compares one mode's rate with another's.
    r.nominalHz = modeAt(main->fromTick);
    // Each stretch with its mode, and the compositor's rate read in it where it times this output.
    const TestSummary* timing = firstRunWhere(c.summary, &RunKind::compositorTiming);
    const bool compositor = timing != nullptr && compositorFollows(c, reference.output);
    for (const ReferenceSegment& s : reference.segments) {
        RefreshStretch stretch;
        stretch.fromS = s.fromTick / c.frequency;
        stretch.toS = s.toTick / c.frequency;
        stretch.modeHz = modeAt(s.fromTick);
        stretch.measuredHz = c.frequency / s.periodTicks;
        stretch.ppmVsMode = stretch.modeHz > 0 ? (stretch.measuredHz - stretch.modeHz) / stretch.modeHz * 1e6 : 0.0;
        if (compositor) {
            std::vector<double> periods;
            const int now = keyIndex(timing->table, "now"), period = keyIndex(timing->table, "period_qpc");
            for (const LogRow& row : timing->table.rows) {
                if (cell(row, now) >= s.fromTick && cell(row, now) <= s.toTick && cell(row, period) > 0)
                    periods.push_back(cell(row, period));
            }
            stretch.compositorHz = periods.empty() ? 0.0 : c.frequency / medianOf(periods);
        }
        r.stretches.push_back(stretch);
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
    // A rate within a millionth of its mode's slips no frame worth telling; one 2 % off or more
    // is another rate, not a slipping clock.
    r.frameSlipS = r.nominalHz > 0 && slip > kSameRate * r.nominalHz && slip < kOtherRate * r.nominalHz ? 1.0 / slip : 0.0;
    if (c.truth != nullptr) {
        const Timeline& timeline = virtualOutputTimeline(c.truth->model, reference.output);
        const double mid = (main->fromTick + main->toTick) / 2.0;
        r.hasTruth = true;
        r.trueHz = timelineRateHz(timelineRateAt(timeline, tickOf(mid)));
    }
    return r;
}
