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

// The summary as text: a block per test, a figure a line, the true value and the error beside
// it when known.
// A figure that counts things (rows, vblanks, frames, ...): shown as a whole number.
bool isCount(const Figure& figure);

std::string summaryText(const ReportSummary& summary);

// Percentile by rank of sorted values (0 the smallest, 100 the largest); 0 for none.
double percentileOf(std::vector<double> values, double percent);

// A key for a title: lower case letters and digits, words joined by '_'.
std::string titleKey(const std::string& title);
