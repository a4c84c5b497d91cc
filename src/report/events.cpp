// What went wrong and where, and what a display did that an application must know: one detector
// per kind of event, run in the order of their table, each reading the runs' rows, the log's
// marked lines and the reference timelines. Events are sorted by when they happened; those the
// log does not date come last.
#include "report/event_detectors.h"

#include <algorithm>
#include <cmath>

const EventTuning kEvents;

double lineTime(const std::vector<std::pair<size_t, double>>& times, size_t line)
{
    auto it = std::upper_bound(times.begin(), times.end(), std::make_pair(line, static_cast<double>(INFINITY)));
    return it == times.begin() ? -1.0 : std::prev(it)->second;
}

double shortestFrame(const ReferenceTimeline& reference)
{
    double shortest = INFINITY;
    for (const ReferenceSegment& segment : reference.segments)
        shortest = std::min(shortest, segment.periodTicks);
    return shortest;
}

// The moment of an output's last vblank timed before a line: the latest stamp of a run that
// waits for its vblanks; negative: none.
double lastVblankOf(const EventInput& in, int output, size_t line)
{
    double last = -1.0;
    for (const TestSummary& run : in.c.summary.tests) {
        if (run.kind == nullptr || !(run.kind->wakeUpStamps || run.kind->precise != PreciseStamps::None))
            continue;
        const std::vector<double> ticks = ticksOn(in.c, run, run.kind->time, output);
        for (size_t i = 0; i < ticks.size() && run.table.rows[i].line < line; ++i) {
            if (ticks[i] > 0.0)
                last = std::max(last, ticks[i] / in.c.frequency);
        }
    }
    return last;
}

// Whether a wait failed between two lines of the log.
bool failedBetween(const EventInput& in, size_t from, size_t to)
{
    const auto next = std::upper_bound(in.failures.begin(), in.failures.end(), from);
    return next != in.failures.end() && *next < to;
}

namespace {

const EventTuning& t = kEvents;


// The lines that tell of something gone wrong: failed waits, rebinds, quiet spells, "XXXXX".
void markedLines(EventInput& in, std::vector<FoundEvent>& events)
{
    for (const LogMark& mark : in.c.summary.marks)
        events.push_back({mark.kind, lineTime(in.times, mark.line), 0.0, mark.text, mark.test, mark.line});
}

void outputEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const ReportSummary& summary = in.c.summary;
    const std::vector<std::pair<size_t, double>>& times = in.times;
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
            // The log bounds it by the last vblank it timed of that output and the failure.
            const double lastS = lastVblankOf(in, outputOfDevice(bound), failed->line);
            FoundEvent e{"output_removed", at, 0.0,
                         bound + ": its vblank waits failed and the server went to " + device, failed->test, failed->line};
            e.fromS = lastS >= 0.0 ? std::min(lastS, at) : -1.0;
            e.toS = at;
            events.push_back(e);
        } else if (rebind != nullptr && gone != removed.end()) {
            FoundEvent e{"output_added", lineTime(times, rebind->line), 0.0,
                         device + " came back and the window with it: the server bound it again", rebind->test, rebind->line};
            // Since the output went, nothing of it was timed: it came back after its last failure.
            const auto went = std::find_if(events.rbegin(), events.rend(), [&](const FoundEvent& r) {
                return r.kind == "output_removed" && r.detail.compare(0, device.size() + 1, device + ":") == 0;
            });
            e.fromS = went != events.rend() ? went->toS : -1.0;
            e.toS = e.atS;
            events.push_back(e);
            removed.erase(gone);
        }
        bound = device;
        failed = rebind = nullptr;
    }
    // An output the adapters' list named when the suite began that the D3DKMT test, which waits
    // on every output, no longer found: it went between the two.
    const TestSummary* driver = nullptr;
    for (const TestSummary& run : summary.tests)
        driver = driver == nullptr && run.kind != nullptr && run.kind->blockPerOutput && !run.table.rows.empty() ? &run : driver;
    if (driver == nullptr)
        return;
    for (const std::string& device : summary.devices) {
        const int output = outputOfDevice(device);
        const bool tested = std::any_of(summary.tests.begin(), summary.tests.end(), [&](const TestSummary& run) {
            return run.kind != nullptr && run.kind->blockPerOutput && run.titleLine == driver->titleLine && run.output == output;
        });
        const bool told = std::any_of(events.begin(), events.end(), [&](const FoundEvent& e) {
            return e.kind == "output_removed" && e.detail.compare(0, device.size() + 1, device + ":") == 0;
        });
        if (tested || told)
            continue;
        const std::vector<double>& ticks = ticksOf(in.c, driver->table, driver->kind->time);
        const auto first = std::find_if(ticks.begin(), ticks.end(), [](double v) { return v > 0.0; });
        if (first == ticks.end())
            continue;
        FoundEvent e{"output_removed", *first / in.c.frequency, 0.0,
                     device + ": listed among the adapters when the suite began, gone when the D3DKMT test waited on "
                              "every output",
                     driver->key, driver->titleLine};
        e.fromS = 0.0;
        e.toS = e.atS;
        events.push_back(e);
    }
}

// An output that went and that a later test waiting on every output (DXGI's, after the rest of
// the suite) timed again: back between its removal and that test's first vblank of it.
void outputBackEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const ReportSummary& summary = in.c.summary;
    for (const TestSummary& run : summary.tests) {
        if (run.kind == nullptr || !run.kind->blockPerOutput || static_cast<size_t>(run.output) >= summary.devices.size())
            continue;
        const std::string& device = summary.devices[static_cast<size_t>(run.output)];
        const std::vector<double> ticks = ticksOn(in.c, run, run.kind->time, run.output);
        const auto first = std::find_if(ticks.begin(), ticks.end(), [](double v) { return v > 0.0; });
        if (first == ticks.end())
            continue;
        const double firstS = *first / in.c.frequency;
        const auto of = [&](const FoundEvent& e) { return e.detail.compare(0, device.size() + 1, device + ":") == 0 || e.detail.compare(0, device.size() + 1, device + " ") == 0; };
        // The latest removal before, and no return told since.
        const FoundEvent* went = nullptr;
        bool back = false;
        for (const FoundEvent& e : events) {
            if (e.kind == "output_removed" && of(e) && e.atS >= 0.0 && e.atS < firstS) {
                went = &e;
                back = false;
            } else if (e.kind == "output_added" && of(e) && went != nullptr) {
                back = true;
            }
        }
        if (went == nullptr || back)
            continue;
        FoundEvent e{"output_added", firstS, 0.0, device + " came back: " + run.title + " timed its vblanks again", run.key,
                     run.table.rows[static_cast<size_t>(first - ticks.begin())].line};
        e.fromS = went->toS >= 0.0 ? went->toS : went->atS;
        e.toS = firstS;
        events.push_back(e);
    }
}

bool variableRefresh(const Context& c, const ReferenceTimeline& reference, FoundEvent* event)
{
    if (!reference.known())
        return false;
    std::vector<double> off, lengths;
    double from = 0.0, to = 0.0;
    for (const std::vector<double>& group : stampsOf(c, reference.output, reference.precise)) {
        for (size_t i = 1; i < group.size(); ++i) {
            const double gap = group[i] - group[i - 1], frame = reference.periodTicksAt(group[i]);
            if (gap > t.variableLongestFrames * frame)
                continue;
            off.push_back(std::fabs(nearestOffset(gap, frame)) / frame);
            if (gap < t.variableLengthFrames * frame)
                lengths.push_back(gap);
        }
        from = from == 0.0 ? group.front() : std::min(from, group.front());
        to = std::max(to, group.back());
    }
    if (off.size() < t.variablePoints || lengths.size() < t.variablePoints || !(medianOf(off) > t.variableOffFrames))
        return false;
    const double p10 = percentileOf(lengths, 10.0), p50 = percentileOf(lengths, 50.0), p90 = percentileOf(lengths, 90.0);
    *event = {"variable_refresh", from / c.frequency, std::floor((to - from) / p50 + 0.5),
              format("frames from %.2f to %.2f ms (p10 to p90), %.1f to %.1f Hz: no steady period", p10 / c.ticksPerMs,
                     p90 / c.ticksPerMs, c.frequency / p90, c.frequency / p10),
              "", 0};
    return true;
}

void compositorEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const Context& c = in.c;
    std::vector<std::vector<double>> own;
    for (size_t r = 0; r < in.references.size(); ++r)
        own.push_back(ownFrames(in.outputs[r], in.references[r].output));
    for (const TestSummary& run : c.summary.tests) {
        if (run.kind == nullptr || !run.kind->compositorVblank || run.table.rows.size() < t.compositorRows)
            continue;
        const double rows = static_cast<double>(run.table.rows.size());
        // Judged on the rows of the same moments: beside the server's vblanks, or against the
        // rates the output's own waits showed; never a rate of one mode against another's.
        const size_t which = static_cast<size_t>(run.output);
        if (which < in.references.size() && !in.variable[which]) {
            const std::string other = compositorOtherClock(in.outputs[which], run, own[which]);
            if (!other.empty()) {
                const std::vector<double>& ticks = ticksOf(c, run.table, run.kind->time);
                const auto first = std::find_if(ticks.begin(), ticks.end(), [](double v) { return v > 0.0; });
                events.push_back({"compositor_clock", first == ticks.end() ? -1.0 : *first / c.frequency, rows,
                                  in.references[which].name + ": " + other, run.key, run.table.rows.front().line});
            }
        }
        if (!run.kind->compositorTiming)
            continue;
        const int now = keyIndex(run.table, "now"), vblank = keyIndex(run.table, "vblank"),
                  period = keyIndex(run.table, "period_qpc");
        size_t ahead = 0;
        for (const LogRow& row : run.table.rows)
            ahead += cell(row, vblank) > cell(row, now) ? 1 : 0;
        const double firstS = cell(run.table.rows.front(), now) / c.frequency;
        if (static_cast<double>(ahead) > t.aheadShare * rows)
            events.push_back({"compositor_ahead", firstS, rows,
                              format("its qpcVBlank lay after the moment it was read in %.0f of %.0f reads: it reports "
                                     "the upcoming vblank",
                                     static_cast<double>(ahead), rows),
                              run.key, run.table.rows.front().line});
        // Stale: its vblank moved by two of its own periods or more between two reads. Each
        // read's own qpcRefreshPeriod counts the frames, so a change of rate is none; a variable
        // rate has no period to count by.
        if (which >= in.references.size() || in.variable[which])
            continue;
        // A read logged as soon as the compositor published lies its usual publish delay after
        // the vblank (the fastest twentieth of the reads); one that came later was held off
        // itself, and a jump it shows may be its own, not the compositor's. The poller must have
        // kept up on both sides of the missing frame: a loaded machine holds it off for frames
        // and now and then lets it run just after a publish, so a prompt read after a late one
        // shows a jump the poller missed. The run's first read comes when the poll began, and
        // its delay tells nothing of that.
        std::vector<double> delays;
        for (const LogRow& row : run.table.rows)
            delays.push_back(cell(row, now) - cell(row, vblank));
        const double usual = percentileOf(delays, t.stalePromptQuantile);
        const auto late = [&](size_t i) { return delays[i] - usual > t.staleReadLateUs * c.ticksPerMs / 1000.0; };
        for (size_t i = 1; i < run.table.rows.size(); ++i) {
            const LogRow& before = run.table.rows[i - 1];
            const LogRow& after = run.table.rows[i];
            const double frame = std::max(cell(before, period), cell(after, period));
            if (!(frame > 0.0) || late(i) || (i > 1 && late(i - 1)))
                continue;
            const double frames = std::floor((cell(after, vblank) - cell(before, vblank)) / frame + 0.5);
            if (frames >= t.staleFromFrames && frames < t.staleFrames)
                events.push_back({"compositor_stale", (cell(before, vblank) + frame) / c.frequency, frames - 1.0,
                                  format("its qpcVBlank did not advance for %.0f frame(s): stale or skipped", frames - 1.0),
                                  run.key, after.line});
        }
    }
}

void tooSoonEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const Context& c = in.c;
    // No display mode the server read delivers vblanks faster than its rate (a variable rate's
    // mode is its highest); the waits themselves cannot tell, they may be all too soon.
    double fastestHz = 0.0;
    for (const LogMode& mode : c.summary.modes)
        fastestHz = std::max(fastestHz, mode.hz);
    const double floor = t.tooSoonFloorMs * c.ticksPerMs;
    const double modeLimit = fastestHz > 0 ? std::max(floor, c.frequency / fastestHz * t.tooSoonFrames) : floor;
    for (const TestSummary& run : c.summary.tests) {
        if (run.kind == nullptr || !run.kind->tooSoon)
            continue;
        // An output the server never bound has no mode in the log: its own reference, where that
        // found a display's rate, tells its frame.
        double limit = modeLimit;
        const size_t which = static_cast<size_t>(run.output);
        if (which < in.references.size() && in.references[which].known()) {
            const double frame = in.references[which].segments.front().periodTicks;
            if (frame >= c.frequency / t.fastestDisplayHz)
                limit = std::max(floor, std::min(limit, frame * t.tooSoonFrames));
        }
        const std::vector<double>& ticks = ticksOf(c, run.table, run.kind->time);
        // soon[i]: row i came too soon after row i - 1.
        std::vector<bool> soon(ticks.size(), false);
        for (size_t i = 1; i < ticks.size(); ++i)
            soon[i] = ticks[i] > 0 && ticks[i - 1] > 0 && ticks[i] - ticks[i - 1] < limit;
        // Most of the run too soon: one stretch from the first quick wait to the last, whatever
        // a loaded machine stretched in between.
        const size_t quickInRun = static_cast<size_t>(std::count(soon.begin(), soon.end(), true));
        if (quickInRun >= t.tooSoonStretch && 2 * quickInRun > ticks.size()) {
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
            if (quick >= t.tooSoonStretch)
                events.push_back({"too_soon_waits", ticks[i] / c.frequency, static_cast<double>(quick),
                                  format("%.0f waits returned success far less than a frame after the one before: no "
                                         "vblank comes that fast",
                                         static_cast<double>(quick)),
                                  run.key, run.table.rows[i].line});
            i = end;
        }
    }
}

// Variable refresh, per output: it has no stalls and no mode changes, as it has no period.
void variableRefreshEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    for (size_t r = 0; r < in.references.size(); ++r) {
        const Context& own = in.outputs[r];
        FoundEvent event;
        if (own.roughPeriod > 0 && variableRefresh(own, in.references[r], &event)) {
            event.detail = in.references[r].name + ": " + event.detail;
            events.push_back(event);
            in.variable[r] = true;
        }
    }
}

// Stalls: the vblank waits' and the server's gaps of two frames or more.
void stallEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const Context& c = in.c;
    const ReportSummary& summary = c.summary;
    std::vector<std::pair<double, double>> changes;   // each dated rate change: (from, at) in seconds
    for (const FoundEvent& e : events) {
        if (e.kind == "mode_change")
            changes.emplace_back(e.fromS >= 0 ? e.fromS : e.atS, e.atS);
    }
    for (const TestSummary& run : summary.tests) {
        const size_t which = static_cast<size_t>(run.output);
        if (run.kind == nullptr || !run.kind->stalls || which >= in.references.size() || !in.references[which].known() ||
            in.variable[which])
            continue;
        const std::vector<double>& ticks = evidenceTicks(c, run, run.kind->time);
        // Rows without a vblank (the server rebinding) are passed over; a gap over which the
        // waits failed, or returned at once, is no stall but a failure (and maybe a sleep, below).
        size_t last = ticks.size();
        for (size_t i = 0; i < ticks.size(); ++i) {
            if (ticks[i] == kNoVblank)
                last = ticks.size();
            if (!(ticks[i] > 0.0))
                continue;
            if (last < ticks.size() && !failedBetween(in, run.table.rows[last].line, run.table.rows[i].line)) {
                // Across a change of rate the longer frame of the two counts, and a gap the
                // change lies in is the change's.
                const ReferenceTimeline& reference = in.references[which];
                const double frame = std::max(reference.periodTicksAt(ticks[i]), reference.periodTicksAt(ticks[last]));
                const double extra = extraFrames(ticks[i] - ticks[last], frame);
                const double fromS = ticks[last] / c.frequency, toS = ticks[i] / c.frequency;
                const bool change = extra > 0 && std::any_of(changes.begin(), changes.end(), [&](const std::pair<double, double>& e) {
                    return e.second >= fromS && e.first <= toS;
                });
                if (extra > 0 && !change)
                    events.push_back({"stall", ticks[i] / c.frequency, extra + 1.0,
                                      format("%.3f ms between vblanks", (ticks[i] - ticks[last]) / c.ticksPerMs),
                                      run.key, run.table.rows[i].line});
            }
            last = i;
        }
    }
}

// A change of the display's rate: where two segments of a reference part and the stamps show
// the new frame, unless the server moved to another output there.
void modeChangeEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const Context& c = in.c;
    for (size_t r = 0; r < in.references.size(); ++r) {
        const ReferenceTimeline& reference = in.references[r];
        if (in.variable[r])
            continue;
        std::vector<double> points;
        for (const std::vector<double>& group : stampsOf(in.outputs[r], reference.output, reference.precise))
            points.insert(points.end(), group.begin(), group.end());
        // Each group is sorted, and runs that do not overlap leave them in order together.
        if (!std::is_sorted(points.begin(), points.end()))
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
            // The old segment may reach past the move by the stamps it fitted on both sides.
            const double changeS = std::min(before.toTick, first) / c.frequency;
            const bool moved = std::any_of(events.begin(), events.end(), [&](const FoundEvent& e) {
                return (e.kind == "output_removed" || e.kind == "output_added" || e.kind == "rebind") &&
                       e.atS >= changeS - t.moveBeforeS && e.atS <= std::max(after.fromTick, first) / c.frequency + t.moveAfterS;
            });
            const bool display = std::min(before.periodTicks, after.periodTicks) >= c.frequency / t.fastestDisplayHz;
            if (!moved && display) {
                // The stamp before the first of the new frame bounds it from below.
                const auto at = std::lower_bound(points.begin(), points.end(), first);
                FoundEvent e{"mode_change", first / c.frequency, 0.0,
                             reference.name + format(": %.4f Hz to %.4f Hz", c.frequency / before.periodTicks,
                                                     c.frequency / after.periodTicks),
                             "", 0};
                e.fromS = at == points.begin() ? -1.0 : *(at - 1) / c.frequency;
                e.toS = e.atS;
                events.push_back(e);
            }
        }
        // A display that ran at another rate than its mode says from the first vblank the log
        // times changed before it (a crystal is off by a fraction of a percent, not by 2 %).
        if (reference.known()) {
            const ReferenceSegment& first = reference.segments.front();
            double modeHz = 0.0;
            for (const LogMode& mode : c.summary.modes) {
                if (mode.device == reference.name && mode.line <= lineAtTick(c, first.fromTick))
                    modeHz = mode.hz;
            }
            const double measuredHz = c.frequency / first.periodTicks;
            const double firstS = std::min(first.fromTick, points.empty() ? first.fromTick : points.front()) / c.frequency;
            if (modeHz > 0.0 && std::fabs(measuredHz / modeHz - 1.0) > t.changedBeforeShare) {
                FoundEvent e{"mode_change", firstS, 0.0,
                             reference.name + format(": %.4f Hz from the first vblank the log times, where its mode says "
                                                     "%.4f Hz: it changed before %.2f s",
                                                     measuredHz, modeHz, firstS),
                             "", 0};
                e.fromS = 0.0;
                e.toS = e.atS;
                events.push_back(e);
            }
        }
    }
}

// Runs the log ends inside, a log cut before the tool's exit line, a refused profile.
void logEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const ReportSummary& summary = in.c.summary;
    for (const TestSummary& run : summary.tests) {
        if (run.cut)
            events.push_back({"cut", -1.0, 0.0, "the log ends inside " + run.title, run.key, run.titleLine});
    }
    if (!summary.ended && std::none_of(summary.tests.begin(), summary.tests.end(), [](const TestSummary& r) { return r.cut; }))
        events.push_back({"cut", -1.0, 0.0, "the log ends before the tool said it exits", "", 0});
    if (!summary.refused.empty())
        events.push_back({"refused", -1.0, 0.0, summary.refused, "", 0});
}

// The detectors, in the order they run: a later one may read what an earlier one found (a
// rate change where the server moved is the move's; no stall on a variable rate nor across a
// rate change; no compositor's clock judged on a variable rate; one sleep however many tell it).
struct Detector {
    const char* kinds;
    void (*find)(EventInput& in, std::vector<FoundEvent>& events);
};
const Detector kDetectors[] = {
    {"wait_failed rebind quiet xxxxx", markedLines},
    {"output_removed output_added", outputEvents},
    {"output_added", outputBackEvents},
    {"too_soon_waits", tooSoonEvents},
    {"variable_refresh", variableRefreshEvents},
    {"compositor_clock compositor_ahead compositor_stale", compositorEvents},
    {"mode_change", modeChangeEvents},
    {"stall", stallEvents},
    {"display_sleep", sleepEvents},
    {"display_sleep", gapSleepEvents},
    {"display_sleep", quietWaitSleepEvents},
    {"display_sleep", failureSleepEvents},
    {"cut refused", logEvents},
};

}   // namespace

std::vector<FoundEvent> eventsOf(const Context& c, const std::vector<ReferenceTimeline>& references)
{
    EventInput in{c, references, {}, std::vector<Context>(references.size(), c), std::vector<bool>(references.size(), false), {}};
    for (const std::pair<size_t, double>& row : timedRows(c))
        in.times.emplace_back(row.first, row.second / c.frequency);
    for (const LogMark& mark : c.summary.marks) {
        if (mark.kind == "wait_failed")
            in.failures.push_back(mark.line);
    }
    std::sort(in.failures.begin(), in.failures.end());
    for (size_t r = 0; r < references.size(); ++r)
        in.outputs[r].roughPeriod = roughPeriodOf(c, references[r].output);
    std::vector<FoundEvent> events;
    for (const Detector& detector : kDetectors)
        detector.find(in, events);
    std::stable_sort(events.begin(), events.end(), [](const FoundEvent& a, const FoundEvent& b) {
        return (a.atS < 0 ? 1e300 : a.atS) < (b.atS < 0 ? 1e300 : b.atS);
    });
    return events;
}

// What the sentences call each kind of event, and how it weighs, in the order they are told.
const std::vector<EventKind>& eventKinds()
{
    static const std::vector<EventKind> kinds = {
        {"wait_failed", "failed wait(s)", Finding::Mark::Bad, false, true},
        {"rebind", "rebind(s) of the server", Finding::Mark::WorthKnowing, false, true},
        {"quiet", "quiet spell(s) of a failing server", Finding::Mark::Bad, false, true},
        {"stall", "stall(s): two frames or more between a wait's vblanks", Finding::Mark::WorthKnowing, true, true},
        {"mode_change", "change(s) of the display's rate", Finding::Mark::WorthKnowing, true, true},
        {"display_sleep", "sleep(s) of the display: no vblanks, waits failing; an application must not take a "
                          "wait that fails or returns at once for a vblank",
         Finding::Mark::WorthKnowing, true, true},
        {"output_removed", "output(s) removed under the window: its waits fail, the server goes to the output left; an "
                           "application must bind again, not retry the dead adapter",
         Finding::Mark::WorthKnowing, true, true},
        {"output_added", "output(s) back: the window returned to it and the server with it", Finding::Mark::Fine, true, true},
        {"variable_refresh", "stretch(es) of variable refresh: no steady period; pace by the measured interval, not by a "
                             "period",
         Finding::Mark::WorthKnowing, true, true},
        {"compositor_clock", "compositor run(s) on another output's clock: its qpcRefreshPeriod and qpcVBlank are not "
                             "this output's; time this output by its own vblank waits",
         Finding::Mark::WorthKnowing, true, true},
        {"compositor_ahead", "compositor run(s) reporting the upcoming vblank: qpcVBlank lies in the future; subtract a "
                             "period before taking it for the latest vblank",
         Finding::Mark::WorthKnowing, true, true},
        {"compositor_stale", "frame(s) on which the compositor's vblank did not advance (stale or skipped): never trust "
                             "a single read",
         Finding::Mark::WorthKnowing, true, true},
        {"too_soon_waits", "run(s) of vblank waits that returned at once: a success that fast is no vblank",
         Finding::Mark::Bad, true, true},
        {"xxxxx", "\"XXXXX\" line(s): the server's and the compositor's vblanks more than 2 ms off each other's grid",
         Finding::Mark::WorthKnowing, false, true},
        {"cut", "run(s) cut short", Finding::Mark::WorthKnowing, true, false},
        {"refused", "refused profile(s)", Finding::Mark::Bad, true, false},
    };
    return kinds;
}
