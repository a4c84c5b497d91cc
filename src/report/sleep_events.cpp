// The sleeps of a display: the compositor's vblank standing still, a run's rows that stop while
// the waits fail, failed waits with no vblank between them. Each sleep told once.
#include "report/event_detectors.h"

#include <algorithm>
#include <cmath>

namespace {

const EventTuning& t = kEvents;

// Whether a sleep found already overlaps a stretch (seconds): its start, and the frames it
// lasted at `frameS` each.
bool sleepOverlaps(const std::vector<FoundEvent>& events, double fromS, double toS, double frameS)
{
    return std::any_of(events.begin(), events.end(), [&](const FoundEvent& e) {
        return e.kind == "display_sleep" && e.atS <= toS && e.atS + std::max(1.0, e.frames) * frameS >= fromS;
    });
}

}   // namespace

// A sleeping display: the compositor's vblank stands still for 30 frames or more while the
// vblank waits fail; it begins with the first vblank that did not come.
void sleepEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const Context& c = in.c;
    const ReportSummary& summary = c.summary;
    const std::vector<ReferenceTimeline>& references = in.references;
    for (const TestSummary& run : summary.tests) {
        const size_t which = static_cast<size_t>(run.output);
        if (run.kind == nullptr || !run.kind->compositorVblank || which >= references.size() || !references[which].known())
            continue;
        const ReferenceTimeline& reference = references[which];
        const std::vector<double>& ticks = ticksOf(c, run.table, run.kind->compositorVblank);
        const double shortest = shortestFrame(reference);
        size_t last = ticks.size();
        for (size_t i = 0; i < ticks.size(); ++i) {
            if (!(ticks[i] > 0.0) || (last < ticks.size() && ticks[i] == ticks[last]))
                continue;
            if (last < ticks.size() && ticks[i] - ticks[last] > t.sleepFrames * shortest) {
                const double frame = reference.periodTicksAt(ticks[last]);
                const double frames = std::floor((ticks[i] - ticks[last]) / frame + 0.5) - 1.0;
                // The compositor's own timing run logs a read only when its vblank moved: a jump
                // of 30 frames is a compositor that stood still that long, waits or none.
                if (frames >= t.sleepFrames &&
                    (run.kind->compositorTiming || failedBetween(in, run.table.rows[last].line, run.table.rows[i].line)))
                    events.push_back({"display_sleep", std::ceil(ticks[last] + frame) / c.frequency, frames,
                                      run.kind->compositorTiming
                                          ? format("no vblank for %.0f frames: the compositor's vblank stood still", frames)
                                          : format("no vblank for %.0f frames: the compositor's vblank stood still and the "
                                                   "waits failed",
                                                   frames),
                                      run.key, run.table.rows[last].line});
            }
            last = i;
        }
        // Asleep to the end of the run: its vblank stood still through failed waits, and the
        // run's rows went on.
        if (last + 1 < ticks.size()) {
            size_t failures = 0;
            for (const LogMark& mark : summary.marks)
                failures += mark.kind == "wait_failed" && mark.line > run.table.rows[last].line &&
                                    mark.line < run.table.rows.back().line
                                ? 1
                                : 0;
            if (failures >= t.sleepFailures) {
                const double frame = reference.periodTicksAt(ticks[last]);
                events.push_back({"display_sleep", std::ceil(ticks[last] + frame) / c.frequency, 0.0,
                                  "no vblank to the end of the run: the compositor's vblank stood still and the waits failed",
                                  run.key, run.table.rows[last].line});
            }
        }
    }
}

// A sleep any run's rows tell: two of its rows 30 frames or more apart with failed waits
// between (a wait that times out or fails while the display sleeps), where no sleep was found
// already.
void gapSleepEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const Context& c = in.c;
    for (const TestSummary& run : c.summary.tests) {
        const size_t which = static_cast<size_t>(run.output);
        if (run.kind == nullptr || !run.kind->time || which >= in.references.size() || !in.references[which].known())
            continue;
        const std::vector<double>& ticks = ticksOf(c, run.table, run.kind->time);
        const double shortest = shortestFrame(in.references[which]);
        size_t last = ticks.size();
        for (size_t i = 0; i < ticks.size(); ++i) {
            if (!(ticks[i] > 0.0))
                continue;
            if (last < ticks.size() && ticks[i] - ticks[last] > t.sleepFrames * shortest) {
                const double frame = in.references[which].periodTicksAt(ticks[last]);
                const double frames = std::floor((ticks[i] - ticks[last]) / frame + 0.5) - 1.0;
                const double fromS = ticks[last] / c.frequency, toS = ticks[i] / c.frequency;
                const auto found = [&] { return sleepOverlaps(events, fromS - frame / c.frequency, toS, frame / c.frequency); };
                if (frames >= t.sleepFrames && failedBetween(in, run.table.rows[last].line, run.table.rows[i].line) && !found())
                    events.push_back({"display_sleep", std::ceil(ticks[last] + frame) / c.frequency, frames,
                                      format("no vblank for %.0f frames: the run's rows stopped and its waits failed", frames),
                                      run.key, run.table.rows[last].line});
            }
            last = i;
        }
    }
}

// A sleep the server's failed waits tell: failures whose rows around span 30 frames or more,
// with no vblank waited for between them (a display that sleeps fails every wait until it wakes), where no
// sleep was found already and the server did not go to another output (an unplugged one
// fails its waits too). Dated by the row last timed before the first failure.
void failureSleepEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const Context& c = in.c;
    if (in.failures.size() < 2 || in.references.empty() || !in.references.front().known())
        return;
    std::vector<size_t> waited;   // the lines of the rows that waited for a vblank, sorted
    for (const TestSummary& run : c.summary.tests) {
        if (run.kind != nullptr && (run.kind->wakeUpStamps || run.kind->precise != PreciseStamps::None)) {
            for (const LogRow& row : run.table.rows)
                waited.push_back(row.line);
        }
    }
    std::sort(waited.begin(), waited.end());
    const auto quiet = [&](size_t from, size_t to) {   // no vblank waited for between two lines
        const auto next = std::upper_bound(waited.begin(), waited.end(), from);
        return next == waited.end() || *next >= to;
    };
    for (size_t first = 0, last = 0; first < in.failures.size(); first = last + 1) {
        last = first;
        while (last + 1 < in.failures.size() && quiet(in.failures[last], in.failures[last + 1]))
            ++last;
        if (last == first)
            continue;
        // From the row before the first failure to the row after the last.
        const double fromS = lineTime(in.times, in.failures[first]);
        const auto after = std::upper_bound(in.times.begin(), in.times.end(),
                                            std::make_pair(in.failures[last], static_cast<double>(INFINITY)));
        const double toS = after == in.times.end() ? fromS : after->second;
        const double frame = in.references.front().periodTicksAt(fromS * c.frequency) / c.frequency;
        const double frames = std::floor((toS - fromS) / frame + 0.5);
        const bool told = sleepOverlaps(events, fromS - 1.0, toS + 1.0, frame) ||
                          std::any_of(events.begin(), events.end(), [&](const FoundEvent& e) {
                              return e.kind == "output_removed" && e.line >= in.failures[first];
                          });
        if (fromS >= 0.0 && frames >= t.sleepFrames && !told)
            events.push_back({"display_sleep", fromS, frames,
                              format("%.0f vblank waits failed over %.0f frames with no vblank between them",
                                     static_cast<double>(last - first + 1), frames),
                              "", in.failures[first]});
    }
}
