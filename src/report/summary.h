// The answers in a kelvaro log: per test, the figures a person asks for (medians, tails,
// missed vblanks, the compositor's delays, the estimator's settled period), and, when the log
// names the virtual display's profile, each period and delay beside its true value. Plain
// arithmetic over what the log reader read.
#pragma once

#include "report/findings.h"
#include "report/logreader.h"

#include <string>
#include <vector>

struct Figure {
    std::string key;      // stable, for JSON and for comparing runs
    std::string label;    // for people
    std::string unit;
    double value = 0.0;
    bool hasTruth = false;
    double truth = 0.0;   // the value the profile implies
};

// A chart of a run: the values of one column by row, the true value when the profile gives it,
// and a shaded stretch of rows (the animation's vsync mode).
struct Series {
    std::string name;     // the column's, unit after the '/'
    std::string unit;
    std::vector<double> values;
    bool hasTruth = false;
    double truth = 0.0;
    bool hasReference = false;
    double reference = 0.0;   // what the reference timeline gives (its period, or 0 for a lateness)
    size_t windowFrom = 0, windowTo = 0;   // row numbers (from 1) of a shaded stretch; 0: none
};

// A run's rows as its CSV file holds them: the log's column names with their units (a name
// that repeats gets its place), and each value with the decimals the log printed it with.
struct RunTable {
    std::vector<std::string> keys;      // the schema's key of each column
    std::vector<std::string> columns;
    std::vector<int> decimals;
    std::vector<LogRow> rows;   // each with its line in the log
};

constexpr size_t kFrameBinsRest = 5;   // periods of 4 1/2 frames and more

struct TestSummary {
    // Stable: the test's key ("directdraw"), "_2" for a D3DKMT run's second output, "#2",
    // "#3", ... for the test's later runs in the log ("directdraw#2", "d3dkmt_2#2").
    std::string key;
    std::string title;
    std::string label;    // which output, for the D3DKMT test
    LogTest test = LogTest::SuiteEnd;   // SuiteEnd also for a title this tool does not write
    bool known = false;
    int output = 0;       // 0 the first; a D3DKMT block of the second output: 1
    bool cut = false;
    size_t titleLine = 0; // where its run's title stands in the log
    size_t block = 0;     // which block of that run
    size_t rows = 0;
    std::vector<size_t> unreadable;
    std::vector<Figure> figures;
    std::vector<std::string> notes;
    std::vector<Series> series;   // the charts of the page
    // Its periods binned in frames of the reference: under 1/2, 1/2 to 3/2, 3/2 to 5/2, ...,
    // up to bin kFrameBinsRest, which holds the rest. Empty: the run has no periods.
    std::vector<size_t> frameBins;
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
    bool ended = false;
    std::vector<TestSummary> tests;
    std::vector<LogMark> marks;
    std::vector<LogMode> modes;
    std::vector<std::string> devices;   // the adapters' device names, in their order
    bool hasTruth = false;
    Findings findings;
};

ReportSummary summarizeLog(const KelvaroLog& log);
// The same, taking the rows of the log for the runs' tables instead of copying them: the log
// is left without rows.
ReportSummary summarizeLog(KelvaroLog&& log);

// The summary as text: a block per test, a figure a line, the true value and the error beside
// it when known.
// A figure that counts things (rows, vblanks, frames, ...): shown as a whole number.
bool isCount(const Figure& figure);

std::string summaryText(const ReportSummary& summary);

// Percentile by rank of sorted values (0 the smallest, 100 the largest); 0 for none.
double percentileOf(std::vector<double> values, double percent);

// The run of that key ("directdraw#2"); null when the log has none.
const TestSummary* runByKey(const ReportSummary& summary, const std::string& key);

// A key for a title: lower case letters and digits, words joined by '_'.
std::string titleKey(const std::string& title);
