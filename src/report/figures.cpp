// The figures of each kind of test, from its run's rows and lines: medians, tails, missed
// vblanks, the compositor's delays, the estimator's settled period, each beside its true
// value when the log names the virtual display's profile. Plain arithmetic over what the log
// reader read; the kinds table says which function a run's kind takes.
#include "report/figures.h"

#include "report/kinds.h"
#include "report/reportmath.h"
#include "report/summary.h"
#include "report/truth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// The value of a row in the column of a key (0 when the block has no such column).
struct Cell {
    int index;
    Cell(const LogBlock& block, const char* key) : index(columnIndex(block, key)) {}
    double operator()(const LogRow& row) const { return rowValue(row, index); }
};

double maxOf(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

// The run's own offsets, each taken to the nearest vblank of a frame of `frameUs`: in
// (-P/2, P/2]. Left as they are when the frame is not known.
std::vector<double> wrapped(std::vector<double> values, double frameUs)
{
    if (frameUs > 0.0) {
        for (double& v : values)
            v = nearestOffset(v, frameUs);
    }
    return values;
}

// A distribution's five figures, the median beside the true value when one is known (the tails
// are the spread about it, not errors).
void addDistribution(TestSummary& test, const std::string& key, const std::string& label, const char* unit,
                     const Distribution& d, bool hasTruth = false, double truth = 0.0)
{
    if (d.count == 0)
        return;
    const std::pair<const char*, double> parts[] = {
        {"median", d.p50}, {"p95", d.p95}, {"p99", d.p99}, {"p99.9", d.p999}, {"max", d.max}};
    for (const auto& part : parts) {
        const std::string name = part.first;
        test.figures.push_back({key + "_" + (name == "p99.9" ? "p999" : name), label + ", " + name, unit, part.second,
                                hasTruth && name == "median", truth});
    }
}

// The rows between "******** ON" and "******** OFF" ran in vsync mode.
void vsyncModeLines(const LogBlock& block, size_t* on, size_t* off)
{
    for (const LogLine& line : block.lines) {
        if (line.text == "******** ON")
            *on = line.line;
        else if (line.text == "******** OFF")
            *off = line.line;
    }
}

bool inVsyncMode(size_t on, size_t off, size_t line)
{
    return on != 0 && line > on && (off == 0 || line < off);
}

const LogLine* lineStarting(const LogSection& section, const char* prefix)
{
    for (const LogBlock& block : section.blocks) {
        for (const LogLine& line : block.lines) {
            if (startsWith(line.text, prefix))
                return &line;
        }
    }
    return nullptr;
}

}   // namespace

void qpcSpeedFigures(const RunInput& in, FigureBuilder& out)
{
    for (const LogLine& line : in.block.lines) {
        double ns = 0.0;
        if (std::sscanf(line.text.c_str(), "%lf ns per tick() call", &ns) == 1)
            out.add("tick_cost", "cost of one tick() call", "ns", ns);
    }
}

void timeQuantumFigures(const RunInput& in, FigureBuilder& out)
{
    const LogSection& section = in.section;
    const LogBlock& block = in.block;
    {
        if (const LogLine* kernel = lineStarting(section, "Windows Kernel reports:")) {
            double finest = 0, coarsest = 0, current = 0;
            if (std::sscanf(kernel->text.c_str(), "Windows Kernel reports: min/ms=%lf max/ms=%lf cur/ms=%lf",
                            &finest, &coarsest, &current) == 3) {
                out.add("kernel_resolution_min", "kernel timer resolution, finest", "ms", finest);
                out.add("kernel_resolution_max", "kernel timer resolution, coarsest", "ms", coarsest);
                out.add("kernel_resolution_current", "kernel timer resolution, current", "ms", current);
            }
        }
        const std::vector<double> quantum = columnValues(block, "quantum");
        if (!quantum.empty())
            out.add("sleep_quantum_median", "a 1 ms sleep lasts, median", "ms", medianOf(quantum));
    }
}

// The error by requested length.
void sleepAccuracyFigures(const RunInput& in, FigureBuilder& out)
{
    const LogBlock& block = in.block;
    {
        const Cell sleep(block, "sleep"), error(block, "error");
        for (const double asked : {0.0, 1.0, 10.0}) {
            std::vector<double> errors;
            for (const LogRow& row : block.rows) {
                if (sleep(row) == asked)
                    errors.push_back(error(row));
            }
            if (errors.empty())
                continue;
            char key[32], label[64];
            std::snprintf(key, sizeof key, "sleep%.0f_error", asked);
            std::snprintf(label, sizeof label, "Sleep(%.0f) error", asked);
            out.spread(key, label, "ms", errors);
        }
    }
}

namespace {

void messaging(const LogBlock& block, FigureBuilder& out, bool loop)
{
    const std::vector<double> delays = columnValues(block, "delay");
    out.spread(loop ? "posted_message_delay" : "event_wakeup", loop ? "posted message delay" : "event wake-up",
               "us", delays);
    if (loop && !block.rows.empty()) {
        // Rows are numbered from 0: the highest number tells how many there should be.
        const std::vector<double> iterations = columnValues(block, "iteration");
        const double expected = iterations.empty() ? 0.0 : maxOf(iterations) + 1.0;
        out.add("rows_missing", "rows missing", "rows", expected - static_cast<double>(block.rows.size()));
    } else if (!loop) {
        // The suite asks for 10 wake-ups; a missing row is a wait that did not block.
        out.add("rows_missing_of_10", "rows missing, of the suite's 10", "rows",
                std::max(0.0, 10.0 - static_cast<double>(block.rows.size())));
    }
}

}   // namespace

void messageLoopFigures(const RunInput& in, FigureBuilder& out)
{
    messaging(in.block, out, true);
}

void waitSpeedFigures(const RunInput& in, FigureBuilder& out)
{
    messaging(in.block, out, false);
}

void scanLineFigures(const RunInput& in, FigureBuilder& out)
{
    const LogSection& section = in.section;
    const LogBlock& block = in.block;
    double costUs = 0.0;
    if (const LogLine* cost = lineStarting(section, "vsyncGetScanLine() runs in ")) {
        costUs = std::strtod(cost->text.c_str() + std::strlen("vsyncGetScanLine() runs in "), nullptr);
        out.add("query_cost", "one scan-line query", "us", costUs);
    }
    const std::vector<double> samples = columnValues(block, "scanline");
    int blank = 0, zero = 0;
    double blankLow = 1e18, blankHigh = -1.0, highest = 0.0;
    for (const double sample : samples) {
        if (sample < 0) {
            ++blank;
            blankLow = std::min(blankLow, -sample);
            blankHigh = std::max(blankHigh, -sample);
        } else if (sample == 0) {
            ++zero;
        }
        highest = std::max(highest, std::fabs(sample));
    }
    out.add("samples_in_blank", "samples in the vertical blank", "samples", blank);
    if (zero == static_cast<int>(samples.size()) && !samples.empty())
        out.test.notes.push_back("every sample is 0: no scan line could be read (no bound output)");
    if (blank > 0) {
        out.add("blank_lines_seen", "vertical blank, lines seen", "lines", blankHigh - blankLow + 1.0);
        out.add("blank_first_line", "vertical blank, first line seen", "lines", blankLow);
    }
    if (highest > 0)
        out.add("lines_per_frame", "lines per frame (the highest seen, plus one)", "lines", highest + 1.0);
    // How far apart the samples lay follows from the reference's period (they are spaced by a
    // busy wait, not by the clock): the findings add it.
}

// The DirectDraw and D3DKMT blocks: period, missed vblanks, blank, offset, errors.
namespace {

void vblankWaits(const RunInput& in, FigureBuilder& out, bool directDraw)
{
    const LogBlock& block = in.block;
    const LogTruth* truth = in.truth;
    const int64_t frequency = in.log.frequency;
    const std::vector<double> periods = columnValues(block, "period");
    const std::vector<double> offsets = columnValues(block, "voff");
    const Cell vsync(block, "vsync");
    const double frame = medianOf(periods);
    double truePeriod = 0.0;
    if (truth != nullptr && !block.rows.empty())
        truePeriod = truth->periodMsAt(tickOf(vsync(block.rows[block.rows.size() / 2])), in.output);
    if (!periods.empty()) {
        out.spread("period", "period", "ms", periods, truth != nullptr, truePeriod);
        if (block.rows.size() >= 2 && frequency > 0 && frame > 0.0) {
            // The block's mean: the wake-up delays cancel but for the two ends.
            const double spanMs = (vsync(block.rows.back()) - vsync(block.rows.front())) * 1000.0 /
                                  static_cast<double>(frequency);
            const double frames = std::floor(spanMs / frame + 0.5);
            if (frames > 0)
                out.addTrue("period_mean", "period, mean over the block", "ms", spanMs / frames, truth != nullptr, truePeriod);
        }
        double missed = 0;
        for (const double p : periods)
            missed += extraFrames(p, frame);
        out.add("vblanks_missed", "vblanks missed (periods over 1.5 frames)", "vblanks", missed);
    }
    if (directDraw) {
        const std::vector<double> blank = columnValues(block, "invblank");
        if (!blank.empty())
            out.addTrue("blank_median", "vertical blank, median", "ms", medianOf(blank), truth != nullptr,
                        truePeriod * 45.0 / 1125.0);
    }
    // The compositor's vblank may be the one before: an offset of one frame less a delay is a
    // delay, so each offset is taken to the nearest of its vblanks.
    out.spread("offset", "offset from the compositor's vblank", "us", wrapped(offsets, frame * 1000.0));
    int errors = 0;
    for (const LogLine& line : block.lines)
        errors += startsWith(line.text, "err ") ? 1 : 0;
    out.add("errors", "failed waits", "waits", errors);
    for (const LogLine& line : block.lines) {
        if (startsWith(line.text, "oa=") && line.text != "oa=0")
            out.test.notes.push_back("the adapter did not open: " + line.text);
    }
}

}   // namespace

void directDrawFigures(const RunInput& in, FigureBuilder& out)
{
    vblankWaits(in, out, true);
}

void d3dkmtFigures(const RunInput& in, FigureBuilder& out)
{
    vblankWaits(in, out, false);
}

void wrongHzFigures(const RunInput& in, FigureBuilder& out)
{
    const LogBlock& block = in.block;
    const LogTruth* truth = in.truth;
    {
        double ratio = 0.0, counter = 0.0;
        bool haveRatio = false, haveCounter = false;
        for (const LogLine& line : block.lines) {
            haveRatio = haveRatio || std::sscanf(line.text.c_str(), "dwm.rateRefresh = %lf/ms", &ratio) == 1;
            haveCounter = haveCounter || std::sscanf(line.text.c_str(), "dwm.qpcRefreshPeriod = %lf/ms", &counter) == 1;
        }
        if (haveRatio)
            out.add("ratio_period", "period from the refresh ratio", "ms", ratio);
        if (haveCounter)
            out.add("counter_period", "qpcRefreshPeriod", "ms", counter);
        if (haveRatio && haveCounter && counter > 0.0) {
            double implied = 0.0;
            if (truth != nullptr) {
                const VirtualProfile& p = in.log.profile;
                const double nominal = 1000.0 * p.nominal.denominator / p.nominal.numerator;
                const double real = p.dwmPeriodNominal ? nominal : 1000.0 * p.trueRate.denominator / p.trueRate.numerator;
                implied = (nominal - real) / real * 1e6;
            }
            out.addTrue("wrong_hz", "the wrong Hz: ratio against qpcRefreshPeriod", "ppm",
                        (ratio - counter) / counter * 1e6, truth != nullptr, implied);
        }
    }
}

void dwmTimingFigures(const RunInput& in, FigureBuilder& out)
{
    const LogBlock& block = in.block;
    const LogTruth* truth = in.truth;
    {
        const std::vector<double> diffs = columnValues(block, "diff");
        const std::vector<double> periods = columnValues(block, "period");
        const std::vector<double> deltas = columnValues(block, "delta");
        // Each delta counted in the compositor's own period at that read: a change of rate
        // skips nothing.
        double skipped = 0;
        for (size_t i = 1; i < deltas.size() && i < periods.size(); ++i)
            skipped += extraFrames(deltas[i], std::max(periods[i], periods[i - 1]));
        double truePeriod = 0.0;
        if (truth != nullptr && !block.rows.empty())
            truePeriod = truth->periodMsAt(tickOf(Cell(block, "vblank")(block.rows[block.rows.size() / 2])));
        if (!periods.empty())
            out.spread("refresh_period", "qpcRefreshPeriod", "ms", periods, truth != nullptr, truePeriod);
        out.add("frames_skipped", "frames the compositor skipped", "frames", skipped);
        if (!diffs.empty()) {
            const double lag = truth != nullptr ? static_cast<double>(in.log.profile.dwmlagNs) / 1000.0 : 0.0;
            out.spread("publish_delay", "publish delay (diff/us)", "us", diffs, truth != nullptr, lag);
        }
        int beeps = 0;
        for (const LogLine& line : block.lines)
            beeps += startsWith(line.text, "--> ") ? 1 : 0;
        if (beeps > 0)
            out.add("interval_jumps", "interval jumps beeped", "jumps", beeps);
    }
}

void dwmFlushFigures(const RunInput& in, FigureBuilder& out)
{
    const LogBlock& block = in.block;
    const std::vector<double> periods = columnValues(block, "period");
    const std::vector<double> offsets = columnValues(block, "voff");
    if (!periods.empty())
        out.add("flush_period_median", "time between flushes, median", "ms", medianOf(periods));
    if (!offsets.empty()) {
        const std::vector<double> flushes = wrapped(offsets, medianOf(periods) * 1000.0);
        const double flush = in.truth != nullptr ? static_cast<double>(in.log.profile.flushNs) / 1000.0 : 0.0;
        out.spread("flush_offset", "flush returns after the compositor's vblank", "us", flushes, in.truth != nullptr, flush);
    }
}

void mimicFigures(const RunInput& in, FigureBuilder& out)
{
    const LogBlock& block = in.block;
    size_t on = 0, off = 0;
    vsyncModeLines(block, &on, &off);
    // How late each frame woke is scored against the reference with the other ways of finding
    // the vblank; here, how steady its frames were.
    std::vector<double> periodSleep, periodVsync;
    const Cell period(block, "period");
    for (const LogRow& row : block.rows)
        (inVsyncMode(on, off, row.line) ? periodVsync : periodSleep).push_back(period(row));
    const auto spreadOf = [](const std::vector<double>& v) { return percentileOf(v, 95.0) - percentileOf(v, 5.0); };
    if (!periodSleep.empty())
        out.add("sleep_period_spread", "sleep mode: frame period spread (p5 to p95)", "ms", spreadOf(periodSleep));
    if (!periodVsync.empty())
        out.add("vsync_period_spread", "vsync mode: frame period spread (p5 to p95)", "ms", spreadOf(periodVsync));
    int waiting = 0;
    for (const LogLine& line : block.lines)
        waiting += line.text == "timing info is not yet available..." ? 1 : 0;
    if (waiting > 0)
        out.test.notes.push_back(std::to_string(waiting) + " iterations found no vsync timing");
    // The rows written in vsync mode, as row numbers from 1.
    if (on != 0) {
        for (size_t i = 0; i < block.rows.size(); ++i) {
            if (block.rows[i].line > on && out.test.vsyncFrom == 0)
                out.test.vsyncFrom = i + 1;
            if (off != 0 && block.rows[i].line < off)
                out.test.vsyncTo = i + 1;
        }
        if (off == 0)
            out.test.vsyncTo = block.rows.size();
    }
}

void waitForBlankingFigures(const RunInput& in, FigureBuilder& out)
{
    const LogBlock& block = in.block;
    const LogTruth* truth = in.truth;
    const KelvaroLog& log = in.log;
    const std::vector<double> intervals = columnValues(block, "server_period");
    const Cell serverNow(block, "server_now"), dwmNow(block, "dwm_now");
    const double frame = medianOf(intervals);
    double truePeriod = 0.0;
    if (truth != nullptr && !block.rows.empty())
        truePeriod = truth->periodMsAt(tickOf(serverNow(block.rows[block.rows.size() / 2])));
    if (!intervals.empty()) {
        out.spread("server_interval", "server vblank interval", "ms", intervals, truth != nullptr, truePeriod);
        double missed = 0;
        int repeated = 0;
        for (const double i : intervals) {
            missed += extraFrames(i, frame);
            repeated += i == 0.0 ? 1 : 0;
        }
        out.add("server_vblanks_missed", "server vblanks missed", "vblanks", missed);
        if (repeated > 0)
            out.add("server_no_new_vblank", "waits that found no new vblank", "waits", repeated);
    }
    std::vector<double> apart;
    const double perUs = log.frequency > 0 ? 1e6 / static_cast<double>(log.frequency) : 0.0;
    for (const LogRow& row : block.rows) {
        if (dwmNow(row) != 0.0)
            apart.push_back((serverNow(row) - dwmNow(row)) * perUs);
    }
    out.spread("server_minus_compositor", "server minus compositor vblank", "us", wrapped(apart, frame * 1000.0));
}

void estimatorFigures(const RunInput& in, FigureBuilder& out)
{
    const LogBlock& block = in.block;
    const LogTruth* truth = in.truth;
    const std::vector<LogRow>& rows = block.rows;
    if (rows.empty())
        return;
    const size_t tail = rows.size() > 100 ? rows.size() - 100 : 0;
    const Cell iteration(block, "iteration");
    for (const int source : {0, 1}) {
        const Cell interval(block, source == 0 ? "server_interval" : "dwm_interval");
        const Cell now(block, source == 0 ? "server_now" : "dwm_now");
        const Cell base(block, source == 0 ? "server_vsync" : "dwm_vsync");
        std::vector<double> settled;
        for (size_t i = tail; i < rows.size(); ++i) {
            if (interval(rows[i]) > 0.0)
                settled.push_back(interval(rows[i]));
        }
        double truePeriod = 0.0;
        if (truth != nullptr) {
            const double ms = now(rows.back());
            truePeriod = truth->periodMsAt(tickOf(ms * static_cast<double>(truth->model.frequency) / 1000.0));
        }
        out.addTrue(source == 0 ? "server_settled_period" : "compositor_settled_period",
                    source == 0 ? "server estimator, settled period (last 100 rows)"
                                : "compositor estimator, settled period (last 100 rows)",
                    "ms", medianOf(settled), truth != nullptr, truePeriod);
        // Locked: from the first row on which the time base stood before the sample (the grid
        // correction only works once locked).
        for (const LogRow& row : rows) {
            if (estimatorLocked(base(row), now(row))) {
                out.add(source == 0 ? "server_locked_at" : "compositor_locked_at",
                        source == 0 ? "server estimator locked at iteration" : "compositor estimator locked at iteration",
                        "", iteration(row));
                break;
            }
        }
    }
    int disagreements = 0;
    for (const LogLine& line : block.lines)
        disagreements += startsWith(line.text, "XXXXX ") ? 1 : 0;
    out.add("disagreements", "XXXXX lines (sources more than 2 ms off each other's grid)", "lines", disagreements);
    out.spread("update_cost", "estimator update", "us", columnValues(block, "overhead"));
}

void adapterInfoFigures(const RunInput& in, FigureBuilder& out)
{
    for (const LogLine& line : in.block.lines) {
        out.test.notes.push_back(line.text);
        char device[64];
        if (std::sscanf(line.text.c_str(), "Adaptor%*d=%63s", device) == 1)
            in.summary.devices.push_back(device);
    }
}

void FigureBuilder::add(const char* key, const char* label, const char* unit, double value)
{
    test.figures.push_back({key, label, unit, value, false, 0.0});
}

void FigureBuilder::addTrue(const char* key, const char* label, const char* unit, double value, bool hasTruth,
                            double truth)
{
    test.figures.push_back({key, label, unit, value, hasTruth, truth});
}

void FigureBuilder::spread(const char* key, const char* label, const char* unit, const std::vector<double>& values,
                           bool hasTruth, double truth)
{
    if (values.empty())
        return;
    addDistribution(test, key, label, unit, distributionOf(values), hasTruth, truth);
}

// ---------------------------------------------------------------------------------------------
// The charts.

std::vector<Series> chartsOf(const RunInput& in, const RunKind& kind, const TestSummary& run)
{
    std::vector<Series> out;
    for (const char* key : kind.charts) {
        const int column = columnIndex(in.block, key);
        if (column < 0)
            continue;
        Series series;
        series.name = in.block.columns[static_cast<size_t>(column)].text;
        series.unit = in.block.columns[static_cast<size_t>(column)].unit;
        series.values = columnValues(in.block, key);
        if (!series.values.empty())
            out.push_back(series);
    }
    if (kind.chartMarks != nullptr)
        kind.chartMarks(in, run, out);
    return out;
}

// The animation's chart shades the rows written in vsync mode.
void mimicCharts(const RunInput&, const TestSummary& run, std::vector<Series>& charts)
{
    if (!charts.empty() && run.vsyncFrom != 0) {
        charts.back().windowFrom = run.vsyncFrom;
        charts.back().windowTo = run.vsyncTo;
    }
}

// The estimator's two interval charts say whose they are, converge on the true period when the
// log names it, and have their error against it charted in microseconds.
void estimatorCharts(const RunInput&, const TestSummary& run, std::vector<Series>& out)
{
    // Both columns are "interval/ms": say whose.
    for (size_t i = 0; i < out.size(); ++i)
        out[i].name = std::string(i == 0 ? "server " : "compositor ") + out[i].name;
    for (Series& series : out) {
        for (const Figure& figure : run.figures) {
            if (figure.hasTruth && figure.key == (&series == &out.front() ? "server_settled_period" : "compositor_settled_period")) {
                series.hasTruth = true;
                series.truth = figure.truth;
            }
        }
    }
    const size_t sources = out.size();
    for (size_t i = 0; i < sources; ++i) {
        if (!out[i].hasTruth)
            continue;
        Series error;
        error.name = std::string(i == 0 ? "server" : "compositor") + " interval error/us";
        for (const double v : out[i].values)
            error.values.push_back((v - out[i].truth) * 1000.0);
        out.push_back(error);
    }
}
