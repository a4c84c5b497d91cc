// The answers in a kelvaro log: per test, the figures a person asks for (medians, tails,
// missed vblanks, the compositor's delays, the estimator's settled period), and, when the log
// names the virtual display's profile, each period and delay beside its true value. Plain
// arithmetic over what the log reader read.
#pragma once

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
    std::string name;
    std::vector<double> values;
    bool hasTruth = false;
    double truth = 0.0;
    size_t windowFrom = 0, windowTo = 0;   // row numbers (from 1) of a shaded stretch; 0: none
};

// A run's rows as its CSV file holds them: the log's column names with their units (a name
// that repeats gets its place), and each value with the decimals the log printed it with.
struct RunTable {
    std::vector<std::string> columns;
    std::vector<int> decimals;
    std::vector<LogRow> rows;   // each with its line in the log
};

struct TestSummary {
    // Stable: the test's key ("directdraw"), "_2" for a D3DKMT run's second output, "#2",
    // "#3", ... for the test's later runs in the log ("directdraw#2", "d3dkmt_2#2").
    std::string key;
    std::string title;
    std::string label;    // which output, for the D3DKMT test
    bool cut = false;
    size_t titleLine = 0; // where its run's title stands in the log
    size_t block = 0;     // which block of that run
    size_t rows = 0;
    std::vector<size_t> unreadable;
    std::vector<Figure> figures;
    std::vector<std::string> notes;
    std::vector<Series> series;   // the charts of the page
    RunTable table;               // the CSV file; no columns: none
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

// A key for a title: lower case letters and digits, words joined by '_'.
std::string titleKey(const std::string& title);
