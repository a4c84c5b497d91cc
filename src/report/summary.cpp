#include "report/summary.h"

#include "report/figures.h"
#include "report/kinds.h"
#include "report/reportmath.h"
#include "report/truth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

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
    return percentileInPlace(values, percent);
}

double percentileInPlace(std::vector<double>& values, double percent)
{
    if (values.empty())
        return 0.0;
    // The k-th smallest, without sorting the whole.
    const size_t k = percentileRank(values.size(), percent);
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

ReportSummary summarize(const KelvaroLog& log, bool copyRows, const LogTruth* truth)
{
    ReportSummary summary;
    std::vector<std::pair<size_t, std::string>> bound;   // each bind's line and device
    struct ClockRun {
        size_t test;
        double frameMs;
        bool judged;
        size_t line;   // its first row's
    };
    std::vector<ClockRun> clocks;
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
        if (std::sscanf(line.text.c_str(), "vsync.bind device='%63[^']'", device) == 1) {
            summary.modes.push_back({device, 0.0, 0, line.line});
            summary.binds.emplace_back(line.line, outputOfDevice(device));
            bound.emplace_back(line.line, device);
        }
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
    summary.hasTruth = truth != nullptr;
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
        const RunKind* kind = schema != nullptr ? kindOf(schema->test) : nullptr;
        const bool d3dkmt = kind != nullptr && kind->blockPerOutput;
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
            test.kind = kind;
            // Which output a D3DKMT or DXGI block measured: its device line names it. The
            // compositor's clock follows the output whose own waits showed its frame. The other
            // runs measure the window's, the one the server was bound to when their rows began.
            const int window = outputAtLine(summary, block.rows.empty() ? section.titleLine : block.rows.front().line);
            int output = d3dkmt ? outputOfDevice(block.label) : kind != nullptr && kind->primaryOutput ? 0 : window;
            if (kind != nullptr && kind->clockOutput && !block.rows.empty()) {
                ClockRun clock{summary.tests.size(), 0.0, false, block.rows.front().line};
                output = clockOutputOf(log, block, window, &clock.frameMs, &clock.judged);
                clocks.push_back(clock);
            }
            test.output = output;
            std::string key = schema != nullptr ? schema->key : titleKey(section.title);
            if (d3dkmt && output > 0)
                key += "_" + std::to_string(output + 1);
            if (run > 1)
                key += "#" + std::to_string(run);
            test.key = key;
            const RunInput in{log, section, block, truth, output, summary};
            if (test.kind != nullptr) {
                FigureBuilder out(test);
                test.kind->figures(in, out);
            }
            for (const LogLine& line : block.lines) {
                if (startsWith(line.text, "GTI ERROR "))
                    test.notes.push_back("the compositor's timing failed: " + line.text);
                markLine(summary, line, test.key);
            }
            if (!block.columns.empty()) {
                if (test.kind != nullptr)
                    test.series = chartsOf(in, *test.kind, test);
                test.table = tableOf(section, block, copyRows);
            }
            summary.tests.push_back(std::move(test));
        }
    }
    // The output of a clock that no other run's waits tell: the window's, named by the server's
    // bind where no adapter line names it and no other run measured it.
    for (const ClockRun& clock : clocks) {
        const int output = summary.tests[clock.test].output;
        const bool measured = std::any_of(summary.tests.begin(), summary.tests.end(), [&](const TestSummary& run) {
            return run.kind != nullptr && !run.kind->clockOutput && run.kind->time && run.rows > 0 && run.output == output;
        });
        if (clock.judged || static_cast<size_t>(output) < summary.devices.size() || measured)
            continue;
        std::string name = "the compositor clock's output";
        for (const std::pair<size_t, std::string>& bind : bound)
            name = bind.first < clock.line && outputOfDevice(bind.second) == output ? bind.second : name;
        summary.clockNames.emplace_back(output, name);
    }
    for (const ClockRun& clock : clocks) {
        TestSummary& test = summary.tests[clock.test];
        test.clockJudged = clock.judged;
        const std::string name = outputNameOf(summary, test.output);
        char note[240];
        if (clock.judged)
            std::snprintf(note, sizeof note, "follows %s: its frame, %.3f ms, is that output's own vblank waits'",
                          name.c_str(), clock.frameMs);
        else
            std::snprintf(note, sizeof note, "taken for the window's, %s: its frame, %.3f ms, tells no single output's waits",
                          name.c_str(), clock.frameMs);
        test.notes.insert(test.notes.begin(), note);
    }
    return summary;
}

// The truth of the profile line, when the log has one: built once, for the figures and the
// findings.
bool truthOf(const KelvaroLog& log, LogTruth* truth)
{
    return log.hasProfile && logTruthFromProfile(truth, log.profile, log.profileFrequency, log.vblank0);
}

}   // namespace

ReportSummary summarizeLog(const KelvaroLog& log)
{
    LogTruth truth;
    const LogTruth* known = truthOf(log, &truth) ? &truth : nullptr;
    ReportSummary summary = summarize(log, true, known);
    summary.findings = findingsOf(summary, known);
    return summary;
}

ReportSummary summarizeLog(KelvaroLog&& log)
{
    LogTruth truth;
    const LogTruth* known = truthOf(log, &truth) ? &truth : nullptr;
    ReportSummary summary = summarize(log, false, known);
    for (TestSummary& test : summary.tests) {
        if (test.table.columns.empty())
            continue;
        for (LogSection& section : log.sections) {
            if (section.titleLine == test.titleLine && test.block < section.blocks.size())
                test.table.rows = std::move(section.blocks[test.block].rows);
        }
    }
    summary.findings = findingsOf(summary, known);
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

namespace {

const RunFindings* findingsOfRun(const ReportSummary& summary, const TestSummary& run)
{
    const size_t index = static_cast<size_t>(&run - summary.tests.data());
    return index < summary.tests.size() && index < summary.findings.runs.size() ? &summary.findings.runs[index] : nullptr;
}

}   // namespace

std::vector<Figure> shownFigures(const ReportSummary& summary, const TestSummary& run)
{
    std::vector<Figure> figures = run.figures;
    if (const RunFindings* found = findingsOfRun(summary, run))
        figures.insert(figures.end(), found->figures.begin(), found->figures.end());
    return figures;
}

std::vector<Series> shownCharts(const ReportSummary& summary, const TestSummary& run)
{
    std::vector<Series> charts = run.series;
    if (const RunFindings* found = findingsOfRun(summary, run)) {
        for (size_t i = 0; i < charts.size() && i < found->marks.size(); ++i) {
            const SeriesMark& mark = found->marks[i];
            if (mark.hasReference) {
                charts[i].hasReference = true;
                charts[i].reference = mark.reference;
            }
            if (mark.hasTruth) {
                charts[i].hasTruth = true;
                charts[i].truth = mark.truth;
            }
        }
        charts.insert(charts.end(), found->charts.begin(), found->charts.end());
    }
    return charts;
}

const std::vector<size_t>& shownFrameBins(const ReportSummary& summary, const TestSummary& run)
{
    static const std::vector<size_t> none;
    const RunFindings* found = findingsOfRun(summary, run);
    return found != nullptr ? found->frameBins : none;
}

int outputAtLine(const ReportSummary& summary, size_t line)
{
    const auto after = std::upper_bound(summary.binds.begin(), summary.binds.end(), std::make_pair(line, INT32_MAX));
    return after == summary.binds.begin() ? 0 : std::prev(after)->second;
}

int outputOfRow(const ReportSummary& summary, const TestSummary& run, size_t line)
{
    return run.kind != nullptr && run.kind->ownOutput() ? run.output : outputAtLine(summary, line);
}

std::string outputNameOf(const ReportSummary& summary, int output)
{
    if (output >= 0 && static_cast<size_t>(output) < summary.devices.size())
        return summary.devices[static_cast<size_t>(output)];
    for (const std::pair<int, std::string>& named : summary.clockNames) {
        if (named.first == output)
            return named.second;
    }
    return "output " + std::to_string(output + 1);
}

int outputOfDevice(const std::string& device)
{
    return device.find("DISPLAY2") != std::string::npos ? 1 : 0;
}
