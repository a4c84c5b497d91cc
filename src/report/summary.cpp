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
    double operator()(const LogRow& row) const
    {
        return index >= 0 && static_cast<size_t>(index) < row.values.size() ? row.values[static_cast<size_t>(index)] : 0.0;
    }
};

bool isTest(const LogSection& section, LogTest test)
{
    return section.schema != nullptr && section.schema->test == test;
}

double medianOf(const std::vector<double>& values)
{
    return percentileOf(values, 50.0);
}

double maxOf(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

// A log value as counter ticks; values beyond the counter's range are held at its ends.
int64_t ticksOf(double value)
{
    if (!(value > -9.2e18))
        return value > 0 ? INT64_MAX : -INT64_MAX;
    return value < 9.2e18 ? static_cast<int64_t>(value) : INT64_MAX;
}

// The frames a period over 1.5 frames spans beyond the first. A double, so absurd periods
// count high without overflowing.
double extraFrames(double period, double frame)
{
    return frame > 0.0 && period > 1.5 * frame ? std::floor(period / frame + 0.5) - 1.0 : 0.0;
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The truth of the profile line, when the log has one.
class Truth {
public:
    explicit Truth(const KelvaroLog& log)
    {
        m_known = log.hasProfile && logTruthFromProfile(&m_truth, log.profile, log.profileFrequency, log.vblank0);
    }
    bool known() const { return m_known; }
    const VirtualModel& model() const { return m_truth.model; }
    double periodMsAt(int64_t tick, int output = 0) const { return m_truth.periodMsAt(tick, output); }
    double usAfterVblank(int64_t tick, int output = 0) const { return m_truth.usAfterVblank(tick, output); }

private:
    bool m_known = false;
    LogTruth m_truth;
};

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

struct Builder {
    TestSummary& test;
    void add(const char* key, const char* label, const char* unit, double value)
    {
        test.figures.push_back({key, label, unit, value, false, 0.0});
    }
    void addTrue(const char* key, const char* label, const char* unit, double value, bool hasTruth, double truth)
    {
        test.figures.push_back({key, label, unit, value, hasTruth, truth});
    }
    void spread(const char* key, const char* label, const char* unit, const std::vector<double>& values,
                bool hasTruth = false, double truth = 0.0)
    {
        if (values.empty())
            return;
        addDistribution(test, key, label, unit, distributionOf(values), hasTruth, truth);
    }
};

const LogBlock& firstBlock(const LogSection& section)
{
    return section.blocks.front();
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

void timers(const LogSection& section, Builder& out)
{
    const LogBlock& block = firstBlock(section);
    if (isTest(section, LogTest::QpcSpeed)) {
        for (const LogLine& line : block.lines) {
            double ns = 0.0;
            if (std::sscanf(line.text.c_str(), "%lf ns per tick() call", &ns) == 1)
                out.add("tick_cost", "cost of one tick() call", "ns", ns);
        }
    } else if (isTest(section, LogTest::TimeQuantum)) {
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
    } else {   // sleep accuracy: the error by requested length
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

void messaging(const LogSection& section, Builder& out)
{
    const LogBlock& block = firstBlock(section);
    const bool loop = isTest(section, LogTest::MessageLoop);
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

void scanLine(const LogSection& section, Builder& out)
{
    const LogBlock& block = firstBlock(section);
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
void vblankWaits(const LogSection& section, const LogBlock& block, const Truth& truth, int output,
                 int64_t frequency, Builder& out)
{
    const bool directDraw = isTest(section, LogTest::DirectDraw);
    const std::vector<double> periods = columnValues(block, "period");
    const std::vector<double> offsets = columnValues(block, "voff");
    const Cell vsync(block, "vsync");
    const double frame = medianOf(periods);
    double truePeriod = 0.0;
    if (truth.known()) {
        if (!block.rows.empty())
            truePeriod = truth.periodMsAt(ticksOf(vsync(block.rows[block.rows.size() / 2])), output);
    }
    if (!periods.empty()) {
        out.spread("period", "period", "ms", periods, truth.known(), truePeriod);
        if (block.rows.size() >= 2 && frequency > 0 && frame > 0.0) {
            // The block's mean: the wake-up delays cancel but for the two ends.
            const double spanMs = (vsync(block.rows.back()) - vsync(block.rows.front())) * 1000.0 /
                                  static_cast<double>(frequency);
            const double frames = std::floor(spanMs / frame + 0.5);
            if (frames > 0)
                out.addTrue("period_mean", "period, mean over the block", "ms", spanMs / frames, truth.known(), truePeriod);
        }
        double missed = 0;
        for (const double p : periods)
            missed += extraFrames(p, frame);
        out.add("vblanks_missed", "vblanks missed (periods over 1.5 frames)", "vblanks", missed);
    }
    if (directDraw) {
        const std::vector<double> blank = columnValues(block, "invblank");
        if (!blank.empty())
            out.addTrue("blank_median", "vertical blank, median", "ms", medianOf(blank), truth.known(),
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

void compositor(const KelvaroLog& log, const LogSection& section, const Truth& truth, Builder& out)
{
    const LogBlock& block = firstBlock(section);
    if (isTest(section, LogTest::WrongHz)) {
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
            if (truth.known()) {
                const VirtualProfile& p = log.profile;
                const double nominal = 1000.0 * p.nominal.denominator / p.nominal.numerator;
                const double real = p.dwmPeriodNominal ? nominal : 1000.0 * p.trueRate.denominator / p.trueRate.numerator;
                implied = (nominal - real) / real * 1e6;
            }
            out.addTrue("wrong_hz", "the wrong Hz: ratio against qpcRefreshPeriod", "ppm",
                        (ratio - counter) / counter * 1e6, truth.known(), implied);
        }
        return;
    }
    if (isTest(section, LogTest::DwmTiming)) {
        const std::vector<double> diffs = columnValues(block, "diff");
        const std::vector<double> periods = columnValues(block, "period");
        const std::vector<double> deltas = columnValues(block, "delta");
        const double period = medianOf(periods);
        double skipped = 0;
        for (size_t i = 1; i < deltas.size(); ++i)
            skipped += extraFrames(deltas[i], period);
        double truePeriod = 0.0;
        if (truth.known() && !block.rows.empty())
            truePeriod = truth.periodMsAt(ticksOf(Cell(block, "vblank")(block.rows[block.rows.size() / 2])));
        if (!periods.empty())
            out.spread("refresh_period", "qpcRefreshPeriod", "ms", periods, truth.known(), truePeriod);
        out.add("frames_skipped", "frames the compositor skipped", "frames", skipped);
        if (!diffs.empty()) {
            const double lag = truth.known() ? static_cast<double>(log.profile.dwmlagNs) / 1000.0 : 0.0;
            out.spread("publish_delay", "publish delay (diff/us)", "us", diffs, truth.known(), lag);
        }
        int beeps = 0;
        for (const LogLine& line : block.lines)
            beeps += startsWith(line.text, "--> ") ? 1 : 0;
        if (beeps > 0)
            out.add("interval_jumps", "interval jumps beeped", "jumps", beeps);
        return;
    }
    // DwmFlush
    const std::vector<double> periods = columnValues(block, "period");
    const std::vector<double> offsets = columnValues(block, "voff");
    if (!periods.empty())
        out.add("flush_period_median", "time between flushes, median", "ms", medianOf(periods));
    if (!offsets.empty()) {
        const std::vector<double> flushes = wrapped(offsets, medianOf(periods) * 1000.0);
        const double flush = truth.known() ? static_cast<double>(log.profile.flushNs) / 1000.0 : 0.0;
        out.spread("flush_offset", "flush returns after the compositor's vblank", "us", flushes, truth.known(), flush);
    }
}

void mimic(const LogSection& section, Builder& out)
{
    const LogBlock& block = firstBlock(section);
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
}

void waitForBlanking(const LogSection& section, const KelvaroLog& log, const Truth& truth, Builder& out)
{
    const LogBlock& block = firstBlock(section);
    const std::vector<double> intervals = columnValues(block, "server_period");
    const Cell serverNow(block, "server_now"), dwmNow(block, "dwm_now");
    const double frame = medianOf(intervals);
    double truePeriod = 0.0;
    if (truth.known() && !block.rows.empty())
        truePeriod = truth.periodMsAt(ticksOf(serverNow(block.rows[block.rows.size() / 2])));
    if (!intervals.empty()) {
        out.spread("server_interval", "server vblank interval", "ms", intervals, truth.known(), truePeriod);
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

void estimator(const LogSection& section, const Truth& truth, Builder& out)
{
    const LogBlock& block = firstBlock(section);
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
        if (truth.known()) {
            const double ms = now(rows.back());
            truePeriod = truth.periodMsAt(ticksOf(ms * static_cast<double>(truth.model().frequency) / 1000.0));
        }
        out.addTrue(source == 0 ? "server_settled_period" : "compositor_settled_period",
                    source == 0 ? "server estimator, settled period (last 100 rows)"
                                : "compositor estimator, settled period (last 100 rows)",
                    "ms", medianOf(settled), truth.known(), truePeriod);
        // Locked: from the first row on which the time base stood before the sample (the grid
        // correction only works once locked).
        for (const LogRow& row : rows) {
            if (base(row) > 0.0 && base(row) < now(row) - 0.00005) {
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

// The charts of a run: its main columns by row, and what marks them: the vsync-mode window of
// the animation test, the true value of the estimator's interval.
std::vector<Series> seriesOf(const LogSection& section, const LogBlock& block, const TestSummary& test)
{
    std::vector<Series> out;
    const LogTest t = section.schema != nullptr ? section.schema->test : LogTest::SuiteEnd;
    const auto add = [&](const char* key) {
        const int column = columnIndex(block, key);
        if (column < 0)
            return;
        Series series;
        series.name = block.columns[static_cast<size_t>(column)].text;
        series.unit = block.columns[static_cast<size_t>(column)].unit;
        series.values = columnValues(block, key);
        if (!series.values.empty())
            out.push_back(series);
    };
    if (t == LogTest::TimeQuantum)
        add("quantum");
    else if (t == LogTest::MessageLoop || t == LogTest::WaitSpeed)
        add("delay");
    else if (t == LogTest::ScanLine)
        add("scanline");
    else if (t == LogTest::SleepAccuracy)
        add("error");
    else if (t == LogTest::DirectDraw || t == LogTest::D3dkmt) {
        add("period");
        add("voff");
    } else if (t == LogTest::DwmTiming) {
        add("diff");
        add("delta");
    } else if (t == LogTest::DwmFlush)
        add("voff");
    else if (t == LogTest::Mimic) {
        add("late");
        // Shade the rows written in vsync mode.
        size_t on = 0, off = 0;
        vsyncModeLines(block, &on, &off);
        if (!out.empty() && on != 0) {
            for (size_t i = 0; i < block.rows.size(); ++i) {
                if (block.rows[i].line > on && out.back().windowFrom == 0)
                    out.back().windowFrom = i + 1;
                if (off != 0 && block.rows[i].line < off)
                    out.back().windowTo = i + 1;
            }
            if (off == 0)
                out.back().windowTo = block.rows.size();
        }
    } else if (t == LogTest::WaitForBlanking)
        add("server_period");
    else if (t == LogTest::Estimator) {
        add("server_interval");
        add("dwm_interval");
        // Both columns are "interval/ms": say whose.
        for (size_t i = 0; i < out.size(); ++i)
            out[i].name = std::string(i == 0 ? "server " : "compositor ") + out[i].name;
        for (Series& series : out) {
            // The interval converging on the true period, when the log names it.
            for (const Figure& figure : test.figures) {
                if (figure.hasTruth && figure.key == (&series == &out.front() ? "server_settled_period" : "compositor_settled_period")) {
                    series.hasTruth = true;
                    series.truth = figure.truth;
                }
            }
        }
        // And its error against that truth, in microseconds.
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
    return out;
}

// A run's rows for its CSV file: the log's column names (a repeated one gets its place) and
// the decimals of each column.
RunTable tableOf(const LogSection& section, const LogBlock& block, bool copyRows)
{
    RunTable table;
    for (const LogColumn& column : block.columns) {
        table.keys.push_back(column.key);
        std::string name = column.text;
        if (std::count(table.columns.begin(), table.columns.end(), name) > 0)
            name += " (" + std::to_string(table.columns.size() + 1) + ")";
        table.columns.push_back(name);
    }
    // Read columns come from the test's schema: each has its printed decimals there.
    for (size_t i = 0; i < block.columns.size(); ++i) {
        const bool known = section.schema != nullptr && i < static_cast<size_t>(section.schema->columnCount);
        const SchemaColumn* column = known ? &section.schema->columns[i] : nullptr;
        table.decimals.push_back(column == nullptr ? 6 : column->kind == FieldKind::Fixed ? column->decimals : 0);
    }
    if (copyRows)
        table.rows = block.rows;
    return table;
}

}   // namespace

double percentileOf(std::vector<double> values, double percent)
{
    if (values.empty())
        return 0.0;
    // The k-th smallest, without sorting the whole copy.
    const double clamped = std::min(100.0, std::max(0.0, percent));
    const size_t k = static_cast<size_t>(static_cast<double>(values.size() - 1) * clamped / 100.0);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

const TestSummary* runByKey(const ReportSummary& summary, const std::string& key)
{
    for (const TestSummary& t : summary.tests) {
        if (t.key == key)
            return &t;
    }
    return nullptr;
}

std::string titleKey(const std::string& title)
{
    std::string key;
    for (const char c : title) {
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9'))
            key += lower;
        else if (!key.empty() && key.back() != '_')
            key += '_';
    }
    while (!key.empty() && key.back() == '_')
        key.pop_back();
    return key;
}

namespace {

// The lines that tell of something gone wrong or out of the ordinary.
void markLine(ReportSummary& summary, const LogLine& line, const std::string& test)
{
    static const std::pair<const char*, const char*> kinds[] = {
        {"vsync.WaitForVerticalBlankEvent FAILED", "wait_failed"},
        {"err ", "wait_failed"},
        {"vsync.validate.configuration rebind needed", "rebind"},
        {"vsync.retrying.quietly", "quiet"},
        {"XXXXX ", "xxxxx"},
    };
    for (const auto& kind : kinds) {
        if (startsWith(line.text, kind.first)) {
            summary.marks.push_back({kind.second, line.line, line.text, test});
            return;
        }
    }
}

ReportSummary summarize(const KelvaroLog& log, bool copyRows)
{
    ReportSummary summary;
    summary.build = log.build;
    summary.windows = log.windows;
    summary.frequency = log.frequency;
    summary.hasProfile = log.hasProfile;
    summary.ended = log.ended;
    summary.refused = log.refusedProfile;
    if (log.hasProfile) {
        const std::string line = virtualProfileLine(log.profile, log.profileFrequency, log.vblank0);
        summary.profile = line.substr(std::strlen("virtual.display profile "));
    }
    for (const LogLine& line : log.systemLines) {
        markLine(summary, line, "");
        char device[64];
        double numerator = 0, denominator = 0;
        int height = 0;
        if (std::sscanf(line.text.c_str(), "vsync.bind device='%63[^']'", device) == 1)
            summary.modes.push_back({device, 0.0, 0, line.line});
        else if (std::sscanf(line.text.c_str(), "VSYNC INFO: size = %*dx%d hz=%lf/%lf", &height, &numerator, &denominator) == 3 &&
                 !summary.modes.empty() && summary.modes.back().hz == 0.0 && denominator > 0) {
            summary.modes.back().hz = numerator / denominator;
            summary.modes.back().height = height;
        }
    }
    // Binds that read no mode say nothing of the rate.
    summary.modes.erase(std::remove_if(summary.modes.begin(), summary.modes.end(),
                                       [](const LogMode& mode) { return mode.hz == 0.0; }),
                        summary.modes.end());
    const Truth truth(log);
    summary.hasTruth = truth.known();
    // Runs are keyed by their test's key, "#2", "#3", ... for a test's later runs in the log,
    // and a D3DKMT run's second output by "_2" before that.
    std::vector<std::pair<LogTest, int>> runs;
    for (const LogSection& section : log.sections) {
        const TestSchema* schema = section.schema;
        int run = 1;
        if (schema != nullptr) {
            for (std::pair<LogTest, int>& seen : runs)
                run += seen.first == schema->test ? 1 : 0;
            runs.emplace_back(schema->test, run);
        }
        const bool d3dkmt = isTest(section, LogTest::D3dkmt);
        for (size_t b = 0; b < section.blocks.size(); ++b) {
            if (b > 0 && !d3dkmt)
                break;
            const LogBlock& block = section.blocks[b];
            if (d3dkmt && block.label.empty() && block.headerLine == 0 && section.blocks.size() > 1)
                continue;
            TestSummary test;
            test.title = section.title;
            test.label = block.label;
            test.cut = section.cut;
            test.rows = block.rows.size();
            test.unreadable = block.unreadable;
            test.titleLine = section.titleLine;
            test.block = b;
            test.known = schema != nullptr;
            test.test = schema != nullptr ? schema->test : LogTest::SuiteEnd;
            // Which output a D3DKMT block measured: its device line names it.
            int output = 0;
            if (block.label.find("DISPLAY2") != std::string::npos)
                output = 1;
            test.output = output;
            std::string key = schema != nullptr ? schema->key : titleKey(section.title);
            if (output > 0)
                key += "_" + std::to_string(output + 1);
            if (run > 1)
                key += "#" + std::to_string(run);
            test.key = key;
            Builder out{test};
            switch (schema != nullptr ? schema->test : LogTest::SuiteEnd) {
            case LogTest::QpcSpeed:
            case LogTest::TimeQuantum:
            case LogTest::SleepAccuracy:
                timers(section, out);
                break;
            case LogTest::MessageLoop:
            case LogTest::WaitSpeed:
                messaging(section, out);
                break;
            case LogTest::ScanLine:
                scanLine(section, out);
                break;
            case LogTest::DirectDraw:
            case LogTest::D3dkmt:
                vblankWaits(section, block, truth, output, log.frequency, out);
                break;
            case LogTest::WrongHz:
            case LogTest::DwmTiming:
            case LogTest::DwmFlush:
                compositor(log, section, truth, out);
                break;
            case LogTest::Mimic:
                mimic(section, out);
                break;
            case LogTest::WaitForBlanking:
                waitForBlanking(section, log, truth, out);
                break;
            case LogTest::Estimator:
                estimator(section, truth, out);
                break;
            case LogTest::AdapterInfo:
                for (const LogLine& line : block.lines) {
                    test.notes.push_back(line.text);
                    char device[64];
                    if (std::sscanf(line.text.c_str(), "Adaptor%*d=%63s", device) == 1)
                        summary.devices.push_back(device);
                }
                break;
            case LogTest::SuiteEnd:
                break;
            }
            for (const LogLine& line : block.lines) {
                if (startsWith(line.text, "GTI ERROR "))
                    test.notes.push_back("the compositor's timing failed: " + line.text);
                markLine(summary, line, test.key);
            }
            if (!block.columns.empty()) {
                test.series = seriesOf(section, block, test);
                test.table = tableOf(section, block, copyRows);
            }
            summary.tests.push_back(std::move(test));
        }
    }
    return summary;
}

// The findings, once every run holds its rows.
void findAnswers(ReportSummary& summary, const KelvaroLog& log)
{
    LogTruth truth;
    const bool known = log.hasProfile && logTruthFromProfile(&truth, log.profile, log.profileFrequency, log.vblank0);
    summary.findings = findingsOf(summary, known ? &truth : nullptr);
}

}   // namespace

ReportSummary summarizeLog(const KelvaroLog& log)
{
    ReportSummary summary = summarize(log, true);
    findAnswers(summary, log);
    return summary;
}

ReportSummary summarizeLog(KelvaroLog&& log)
{
    ReportSummary summary = summarize(log, false);
    for (TestSummary& test : summary.tests) {
        if (test.table.columns.empty())
            continue;
        for (LogSection& section : log.sections) {
            if (section.titleLine == test.titleLine && test.block < section.blocks.size())
                test.table.rows = std::move(section.blocks[test.block].rows);
        }
    }
    findAnswers(summary, log);
    return summary;
}

bool isCount(const Figure& figure)
{
    static const char* const units[] = {"", "rows", "vblanks", "waits", "frames", "lines", "samples"};
    if (!(std::abs(figure.value) < 1e15) || figure.value != std::floor(figure.value))
        return false;
    for (const char* unit : units)
        if (figure.unit == unit)
            return true;
    return false;
}

std::string summaryText(const ReportSummary& summary)
{
    std::string out;
    char line[512];
    out += "kelvaro report\n";
    out += "  build:      " + summary.build + "\n";
    out += "  windows:    " + summary.windows + "\n";
    std::snprintf(line, sizeof line, "  counter:    %lld Hz\n", static_cast<long long>(summary.frequency));
    out += line;
    if (summary.hasProfile)
        out += "  virtual display: " + summary.profile + "\n";
    if (!summary.refused.empty())
        out += "  " + summary.refused + "\n";
    if (!summary.ended)
        out += "  the log ends before the tool said it exits: it was cut\n";
    out += "\n" + findingsText(summary.findings);
    for (const TestSummary& test : summary.tests) {
        out += "\n" + test.title;
        if (!test.label.empty())
            out += "  " + test.label;
        if (test.cut)
            out += "  [cut: the log ends inside this test]";
        out += "\n";
        if (test.rows > 0 || !test.unreadable.empty()) {
            std::snprintf(line, sizeof line, "  rows: %zu", test.rows);
            out += line;
            if (!test.unreadable.empty()) {
                std::snprintf(line, sizeof line, ", %zu unreadable (first at line %zu)", test.unreadable.size(),
                              test.unreadable.front());
                out += line;
            }
            out += "\n";
        }
        for (const Figure& figure : test.figures) {
            // Counts as whole numbers, their units in the column of the others'.
            if (isCount(figure))
                std::snprintf(line, sizeof line, "  %-62s %7.0f      %s", figure.label.c_str(), figure.value,
                              figure.unit.c_str());
            else
                std::snprintf(line, sizeof line, "  %-62s %12.4f %s", figure.label.c_str(), figure.value,
                              figure.unit.c_str());
            out += line;
            while (!out.empty() && out.back() == ' ')
                out.pop_back();
            if (figure.hasTruth) {
                std::snprintf(line, sizeof line, "   (true %.4f, error %+.4f)", figure.truth, figure.value - figure.truth);
                out += line;
            }
            out += "\n";
        }
        if (!test.frameBins.empty()) {
            out += "  periods, in frames of the reference:";
            for (size_t bin = 0; bin < test.frameBins.size(); ++bin) {
                const std::string name = bin == 0 ? "under 1/2" : std::to_string(bin) + (bin == kFrameBinsRest ? " or more" : "");
                out += (bin == 0 ? " " : ", ") + name + ": " + std::to_string(test.frameBins[bin]);
            }
            out += "\n";
        }
        for (const std::string& note : test.notes)
            out += "  " + note + "\n";
    }
    return out;
}
