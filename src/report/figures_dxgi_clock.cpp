// The figures of the two waits browser engines pace by: DXGI's WaitForVBlank, a block per
// output, and the compositor's clock; and which output that clock follows, from its frame.
#include "report/figures.h"

#include "report/reportmath.h"
#include "report/truth.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace {

// A wait's result as the compositor clock's test logs it: 0 the clock ticked, 258 it timed out
// (WAIT_TIMEOUT after 100 ms), STATUS_GRAPHICS_PRESENT_OCCLUDED while the display is off.
constexpr int kTimedOut = 258;
constexpr int kOccluded = -1071775738;
// Two frames within 1 % are one output's (two displays' rates differ by far more).
constexpr double kSameFrame = 0.01;

size_t linesStarting(const LogBlock& block, const char* prefix)
{
    size_t count = 0;
    for (const LogLine& line : block.lines)
        count += startsWith(line.text, prefix) ? 1 : 0;
    return count;
}

// The median of a block's frames: its evidence rows' periods (ms), a row of a wait under 1 ms
// no evidence.
double blockFrameMs(const LogBlock& block)
{
    const int period = columnIndex(block, "period"), wait = columnIndex(block, "wait");
    std::vector<double> periods;
    for (const LogRow& row : block.rows) {
        if (rowValue(row, period) > 0.0 && (wait < 0 || rowValue(row, wait) >= kInstantWaitMs))
            periods.push_back(rowValue(row, period));
    }
    return medianOf(periods);
}

}   // namespace

void dxgiFigures(const RunInput& in, FigureBuilder& out)
{
    // The driver's figures over the waits that blocked: a wait under 1 ms marks no vblank.
    LogBlock waited = in.block;
    const int wait = columnIndex(in.block, "wait");
    waited.rows.clear();
    std::vector<double> blocked;
    size_t instant = 0;
    for (const LogRow& row : in.block.rows) {
        if (rowValue(row, wait) < kInstantWaitMs) {
            ++instant;
            continue;
        }
        waited.rows.push_back(row);
        blocked.push_back(rowValue(row, wait));
    }
    const RunInput own{in.log, in.section, waited, in.truth, in.output, in.summary};
    d3dkmtFigures(own, out);
    out.add("instant_returns", "waits under 1 ms: no vblank (engines count them failed)", "waits",
            static_cast<double>(instant));
    if (!blocked.empty())
        out.add("wait_median", "the wait blocked, median (waits of 1 ms or more)", "ms", medianOf(blocked));
    if (const size_t remade = linesStarting(in.block, "factory stale"))
        out.add("factory_remade", "factory stale (IsCurrent false), made again", "", static_cast<double>(remade));
    for (const LogLine& line : in.block.lines) {
        if (startsWith(line.text, "output ") || startsWith(line.text, "gave up ") || startsWith(line.text, "no DXGI factory"))
            out.test.notes.push_back(line.text);
    }
}

void compositorClockFigures(const RunInput& in, FigureBuilder& out)
{
    const LogBlock& block = in.block;
    for (const LogLine& line : block.lines) {
        if (startsWith(line.text, "no compositor clock"))
            out.test.notes.push_back(line.text);
    }
    if (block.rows.empty())
        return;
    const int vsync = columnIndex(block, "vsync"), period = columnIndex(block, "period"), wait = columnIndex(block, "wait"),
              frame = columnIndex(block, "frame"), target = columnIndex(block, "target"),
              framePeriod = columnIndex(block, "frame_period"), result = columnIndex(block, "result");
    const double perUs = in.log.frequency > 0 ? 1e6 / static_cast<double>(in.log.frequency) : 0.0;
    size_t ticked = 0, timedOut = 0, occluded = 0, other = 0, instant = 0;
    double unseen = 0.0, lastFrame = -1.0;
    std::vector<double> periods, frames, afterTarget;
    for (const LogRow& row : block.rows) {
        instant += rowValue(row, wait) < kInstantWaitMs ? 1 : 0;
        const int code = static_cast<int>(rowValue(row, result));
        if (code != 0) {
            timedOut += code == kTimedOut ? 1 : 0;
            occluded += code == kOccluded ? 1 : 0;
            other += code != kTimedOut && code != kOccluded ? 1 : 0;
            // No frame is composed while the display is off: the ids after it skip none.
            lastFrame = code == kOccluded ? -1.0 : lastFrame;
            continue;
        }
        ++ticked;
        periods.push_back(rowValue(row, period));
        if (rowValue(row, framePeriod) > 0.0)
            frames.push_back(rowValue(row, framePeriod) * perUs / 1000.0);
        if (rowValue(row, target) > 0.0)
            afterTarget.push_back((rowValue(row, vsync) - rowValue(row, target)) * perUs);
        // Each tick completes the next frame: a frame id that jumps passed frames no wait saw.
        const double id = rowValue(row, frame);
        if (lastFrame >= 0.0 && id > lastFrame + 1.0)
            unseen += id - lastFrame - 1.0;
        lastFrame = id > 0.0 ? id : lastFrame;
    }
    double truePeriod = 0.0;
    const LogRow& middle = block.rows[block.rows.size() / 2];
    if (in.truth != nullptr)
        truePeriod = in.truth->periodMsAt(tickOf(rowValue(middle, vsync)), in.output);
    out.add("clock_ticks", "waits the clock ticked on (result 0)", "waits", static_cast<double>(ticked));
    out.add("timed_out", "waits timed out (100 ms)", "waits", static_cast<double>(timedOut));
    out.add("occluded", "waits occluded (the display off)", "waits",
            static_cast<double>(occluded));
    if (other > 0)
        out.add("other_failures", "waits failed otherwise", "waits", static_cast<double>(other));
    out.add("instant_returns", "waits under 1 ms (engines count them failed)", "waits",
            static_cast<double>(instant));
    out.spread("period", "period between ticks", "ms", periods, in.truth != nullptr, truePeriod);
    if (!frames.empty())
        out.addTrue("frame_period_median", "the completed frame's framePeriod, median", "ms", medianOf(frames),
                    in.truth != nullptr, truePeriod);
    out.add("frames_unseen", "completed frames no wait saw (frame ids skipped)", "frames", unseen);
    out.spread("return_past_target", "return past the completed frame's targetTime", "us", afterTarget);
}

int clockOutputOf(const KelvaroLog& log, const LogBlock& block, int fallback, double* frameMs, bool* judged)
{
    // The clock's frame: its completed frames' framePeriod, else the distances of their starts.
    const int result = columnIndex(block, "result"), framePeriod = columnIndex(block, "frame_period"),
              start = columnIndex(block, "start");
    std::vector<double> periods, starts;
    for (const LogRow& row : block.rows) {
        if (rowValue(row, result) != 0.0)
            continue;
        if (rowValue(row, framePeriod) > 0.0)
            periods.push_back(rowValue(row, framePeriod));
        if (rowValue(row, start) > 0.0 && (starts.empty() || rowValue(row, start) > starts.back()))
            starts.push_back(rowValue(row, start));
    }
    if (periods.empty()) {
        for (size_t i = 1; i < starts.size(); ++i)
            periods.push_back(starts[i] - starts[i - 1]);
    }
    *frameMs = log.frequency > 0 ? medianOf(periods) * 1000.0 / static_cast<double>(log.frequency) : 0.0;
    // Each output's frames: the median of each of its blocks of vblank waits.
    int matched = -1;
    bool several = false, fallbackMatches = false;
    for (const LogSection& section : log.sections) {
        if (section.schema == nullptr || (section.schema->test != LogTest::D3dkmt && section.schema->test != LogTest::Dxgi))
            continue;
        for (const LogBlock& waits : section.blocks) {
            const double ms = blockFrameMs(waits);
            if (waits.label.empty() || !(ms > 0.0) || !(*frameMs > 0.0) || std::fabs(ms / *frameMs - 1.0) > kSameFrame)
                continue;
            const int output = outputOfDevice(waits.label);
            several = several || (matched >= 0 && matched != output);
            fallbackMatches = fallbackMatches || output == fallback;
            matched = matched < 0 ? output : matched;
        }
    }
    // Outputs of one rate cannot be told apart: the window's stands for them.
    *judged = matched >= 0 && !several;
    return matched < 0 || (several && fallbackMatches) ? fallback : matched;
}
