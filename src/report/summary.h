// The answers in a kelvaro log: per test, the figures a person asks for (medians, tails,
// missed vblanks, the compositor's delays, the estimator's settled period), and, when the log
// names the virtual display's profile, each period and delay beside its true value. Plain
// arithmetic over what the log reader read.
#pragma once

#include "report/figure.h"
#include "report/findings.h"
#include "report/kinds.h"
#include "report/logreader.h"

#include <string>
#include <vector>

// A run's rows as its CSV file holds them: the log's column names with their units (a name
// that repeats gets its place), and each value with the decimals the log printed it with.
struct RunTable {
    std::vector<std::string> keys;      // the schema's key of each column
    std::vector<std::string> columns;
    std::vector<int> decimals;
    std::vector<LogRow> rows;   // each with its line in the log
};

struct TestSummary {
    // Stable: the test's key ("directdraw"), "_2" for a D3DKMT run's second output, "#2",
    // "#3", ... for the test's later runs in the log ("directdraw#2", "d3dkmt_2#2").
    std::string key;
    std::string title;
    std::string label;    // which output, for the D3DKMT and DXGI tests
    LogTest test = LogTest::SuiteEnd;   // SuiteEnd also for a title this tool does not write
    const RunKind* kind = nullptr;      // what the report takes from its rows; null: unknown
    bool known = false;
    int output = 0;       // 0 the first; a D3DKMT or DXGI block of the second output: 1
    bool cut = false;
    size_t titleLine = 0; // where its run's title stands in the log
    size_t block = 0;     // which block of that run
    size_t rows = 0;
    std::vector<size_t> unreadable;
    std::vector<Figure> figures;
    std::vector<std::string> notes;
    bool clockJudged = false;   // the compositor clock's run: its output told by other runs' own waits
    std::vector<Series> series;   // the charts of the page
    size_t vsyncFrom = 0, vsyncTo = 0;   // rows (from 1) written in vsync mode (the animation); 0: none
    RunTable table;               // the CSV file; no columns: none
};

// A line of the log worth an event: a failed wait, a rebind, a quiet spell, an "XXXXX" line.
struct LogMark {
    std::string kind;   // as FoundEvent's
    size_t line = 0;
    std::string text;
    std::string test;   // the run it stands in; empty: outside every run
};

// A display mode the server read when it bound an output.
struct LogMode {
    std::string device;   // "\\.\DISPLAY1"
    double hz = 0.0;
    int height = 0;       // visible lines: the vertical blank begins at this line
    size_t line = 0;
};

struct ReportSummary {
    std::string build;
    std::string windows;
    int64_t frequency = 0;
    bool hasProfile = false;
    std::string profile;   // the profile line's keys
    std::string refused;
    std::string fileNote;   // how the log was read from its file (logFileNote); empty: plainly
    bool ended = false;
    std::vector<TestSummary> tests;
    std::vector<LogMark> marks;
    std::vector<LogMode> modes;
    std::vector<std::string> devices;   // the adapters' device names, in their order
    // Each bind of the server, mode read or not: (line, output, 0 the first), in the log's order.
    // The window's runs measure the output the server was last bound to.
    std::vector<std::pair<size_t, int>> binds;
    // Names of outputs no adapter line names, that only the compositor clock's runs measured,
    // taken for the window's: the device the server bound, else the clock's own (output, name).
    std::vector<std::pair<int, std::string>> clockNames;
    bool hasTruth = false;
    Findings findings;
};

ReportSummary summarizeLog(const KelvaroLog& log);
// The output of a device name: 1 for the second display, else 0.
int outputOfDevice(const std::string& device);
// An output's name: its adapter's device, else the one the clock's runs give it, else "output 2".
std::string outputNameOf(const ReportSummary& summary, int output);
// The output the server was bound to at a line of the log (the first before any bind).
int outputAtLine(const ReportSummary& summary, size_t line);
// The output a row of a run measured: a D3DKMT or DXGI block's own, the compositor clock's, else
// the server's at the row.
int outputOfRow(const ReportSummary& summary, const TestSummary& run, size_t line);
// The same, taking the rows of the log for the runs' tables instead of copying them: the log
// is left without rows.
ReportSummary summarizeLog(KelvaroLog&& log);

// A figure that counts things (rows, vblanks, frames, ...): shown as a whole number.
bool isCount(const Figure& figure);

// Percentile by rank of sorted values (0 the smallest, 100 the largest); 0 for none.
double percentileOf(std::vector<double> values, double percent);

// The run of that key ("directdraw#2"); null when the log has none.
const TestSummary* runByKey(const ReportSummary& summary, const std::string& key);

// A key for a title: lower case letters and digits, words joined by '_'.
std::string titleKey(const std::string& title);

// A run as the outputs show it: its own figures and charts, then what the findings measured of
// it against the reference, the reference's frame and the true one drawn on its charts.
std::vector<Figure> shownFigures(const ReportSummary& summary, const TestSummary& run);
std::vector<Series> shownCharts(const ReportSummary& summary, const TestSummary& run);
// Its periods in frames of the reference; empty: none.
const std::vector<size_t>& shownFrameBins(const ReportSummary& summary, const TestSummary& run);
