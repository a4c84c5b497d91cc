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

namespace {

// STATUS_GRAPHICS_PRESENT_OCCLUDED: the compositor clock's wait found the display off.
constexpr double kOccludedResult = -1071775738.0;

// Whether DXGI's waits returning at once can only be a sleeping display's: the log knows one
// output (a stale adapter is one unplugged while another stays), and the run made no factory
// again (a stale factory's waits return at once until it is made again).
bool soleOutputAsleep(const Context& c, const TestSummary& run)
{
    int outputs = static_cast<int>(c.summary.devices.size());
    for (const TestSummary& other : c.summary.tests)
        outputs = std::max(outputs, other.output + 1);
    for (const std::pair<size_t, int>& bind : c.summary.binds)
        outputs = std::max(outputs, bind.second + 1);
    return outputs == 1 && figureOf(run, "factory_remade") == nullptr;
}

}   // namespace

// A sleep the engines' waits tell: the compositor clock's waits returning OCCLUDED, or DXGI's
// returning at once (under 1 ms), over 30 frames or more between two rows that marked vblanks.
// DXGI's alone are a sleep only where no stale adapter can explain them (soleOutputAsleep) and
// the waits blocked again on the same adapter after; no output went or came back meanwhile.
// Dated from the last vblank before to the first after; where a sleep was found already, told
// once.
void quietWaitSleepEvents(EventInput& in, std::vector<FoundEvent>& events)
{
    const Context& c = in.c;
    for (const TestSummary& run : c.summary.tests) {
        const size_t which = static_cast<size_t>(run.output);
        if (run.kind == nullptr || !run.kind->time || (run.kind->blocked == nullptr && run.kind->result == nullptr) ||
            which >= in.references.size() || !in.references[which].known())
            continue;
        const bool clock = run.kind->result != nullptr;
        if (!clock && !soleOutputAsleep(c, run))
            continue;
        const int result = clock ? keyIndex(run.table, run.kind->result) : -1;
        const std::vector<double>& ticks = ticksOf(c, run.table, run.kind->time);
        const EvidenceRows evidence(run);
        size_t last = ticks.size(), firstQuiet = ticks.size(), lastQuiet = 0;
        bool occluded = false;
        for (size_t i = 0; i < ticks.size(); ++i) {
            if (!(ticks[i] > 0.0))
                continue;
            const LogRow& row = run.table.rows[i];
            if (!evidence(row)) {
                firstQuiet = std::min(firstQuiet, i);
                lastQuiet = i;
                occluded = occluded || cell(row, result) == kOccludedResult;
                continue;
            }
            if (last < ticks.size() && firstQuiet < i && (!clock || occluded)) {
                const double frame = in.references[which].periodTicksAt(ticks[last]);
                const double frames = std::floor((ticks[i] - ticks[last]) / frame + 0.5) - 1.0;
                const double fromS = ticks[last] / c.frequency, toS = ticks[i] / c.frequency;
                // The quiet waits themselves span the stretch, not one wait before a stall.
                const bool spanned = 2.0 * (ticks[lastQuiet] - ticks[firstQuiet]) >= ticks[i] - ticks[last];
                const bool moved = std::any_of(events.begin(), events.end(), [&](const FoundEvent& e) {
                    return (e.kind == "output_removed" || e.kind == "output_added") && e.atS >= fromS && e.atS <= toS;
                });
                if (frames >= t.sleepFrames && spanned && !moved &&
                    !sleepOverlaps(events, fromS - frame / c.frequency, toS, frame / c.frequency)) {
                    FoundEvent e{"display_sleep", std::ceil(ticks[last] + frame) / c.frequency, frames,
                                 clock ? format("no vblank for %.0f frames: the compositor clock's waits returned occluded",
                                                frames)
                                       : format("no vblank for %.0f frames: DXGI's waits returned at once", frames),
                                 run.key, run.table.rows[last].line};
                    e.fromS = fromS;
                    e.toS = toS;
                    events.push_back(e);
                }
            }
            last = i;
            firstQuiet = ticks.size();
            occluded = false;
        }
    }
}

