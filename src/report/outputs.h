// What kelvaro-report makes of a log besides the text summary: one self-contained HTML page
// (a sentence and a chart of the ways of finding the vblank on top, then the findings, then per test its figures and charts with their axes, the reference
// and the truth drawn in, as inline SVG, no script and nothing fetched), one CSV file per test
// block, and the summary with its findings as JSON with stable keys.
#pragma once

#include "report/logreader.h"
#include "report/summary.h"

#include <string>
#include <vector>

// The summary as text: the findings, then a block per test, a figure a line, the true value
// and the error beside it when known.
std::string summaryText(const ReportSummary& summary);
// The findings as text: the sentences, then the methods side by side.
std::string findingsText(const Findings& findings);

// The page. Series longer than a chart is wide are decimated to one column of pixels per
// bucket, keeping each bucket's minimum and maximum, so that no spike disappears.
std::string reportHtml(const ReportSummary& summary);

// Writes a file whole (the page, the JSON); false when it cannot be written.
bool writeTextFile(const std::string& path, const std::string& text);

// Writes one CSV per block of rows into the folder (made when missing), named by the test's
// place and key ("09-d3dkmt.csv"); the header keeps the log's column names with their units.
// Gives the paths written; false, with why, when a file cannot be written.
bool writeReportCsv(const ReportSummary& summary, const std::string& folder,
                    std::vector<std::string>* written, std::string* why);

// The summary as JSON.
std::string reportJson(const ReportSummary& summary);
// The same object on one line (JSON Lines), with the log's file name as its first key, "file".
std::string reportJsonLine(const ReportSummary& summary, const std::string& file);

// Two logs compared (see report/compare.h): the findings whose mark changed on top, then every
// figure of both side by side, and each chart of a run both logs hold with A's and B's series
// overlaid in two colours under a legend.
struct Comparison;
std::string comparisonHtml(const Comparison& comparison, const ReportSummary& a, const ReportSummary& b);

// A series as a chart draws it: at most `width` buckets, each the minimum and the maximum of
// the values that fall in it, in order. Exposed for its tests.
struct Bucket {
    double low;
    double high;
};
std::vector<Bucket> decimate(const std::vector<double>& values, size_t width);
