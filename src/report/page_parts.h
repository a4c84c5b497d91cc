// The parts of kelvaro-report's pages: numbers as printf writes them, the SVG charts with
// their axes, and the pieces of HTML both the report's page and a comparison's use. Internal to
// the report's outputs.
#pragma once

#include "report/findings.h"
#include "report/summary.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pageparts {

constexpr int kChartWidth = 640;
constexpr int kChartHeight = 200;
constexpr int kHistogramWidth = 300;
constexpr int kMargin = 56;   // room for the y axis's tick labels and its name on the left
constexpr int kPlotTop = 10;
constexpr int kPlotBottom = kChartHeight - 40;   // below: the x tick labels, the caption, the x axis's name
constexpr int kBins = 40;
constexpr size_t kEventRows = 50;   // the page's events table; the JSON has them all

// A number of a chart's, as number() writes it: a piece for appendAll.
struct Fixed {
    double value;
    int decimals = 1;
};

void appendNumber(std::string& out, double value, int decimals);
void appendPiece(std::string& out, std::string_view piece);
void appendPiece(std::string& out, char piece);
void appendPiece(std::string& out, Fixed piece);

// The pieces one after the other at the end of `out`, without a string made for each join.
template <typename... Pieces>
void appendAll(std::string& out, const Pieces&... pieces)
{
    (appendPiece(out, pieces), ...);
}

// A linear map of values onto pixels.
struct Scale {
    double low, high;   // values
    double from, to;    // their pixels
    double operator()(double v) const { return high > low ? from + (to - from) * (v - low) / (high - low) : from; }
};

// Round values to mark an axis with: a step of 1, 2 or 5 times a power of ten, the one that
// gives the number of marks closest to `wanted`, never finer than `finest` (1 for rows and counts).
struct Ticks {
    double step = 1.0;
    std::vector<double> values;
};

std::string escaped(const std::string& text);
char* fixedDigits(double value, int decimals, char* end);
std::string number(double value, int decimals = 3);
Ticks niceTicks(double low, double high, int wanted = 5, double finest = 0.0);
std::string tickLabel(double value, double step);
std::string unitOf(const Series& series);
std::string valueAxisName(const Series& series);
std::string chartText(double x, double y, const std::string& text, const std::string& attributes);
std::string yAxis(const Scale& y, int left, int right, const std::string& name, int wanted = 5, double finest = 0.0);
// Along the plot's bottom, kPlotBottom unless a taller chart says.
std::string xAxis(const Scale& x, int right, const std::string& name, int wanted = 5, double finest = 0.0,
                  int bottomAt = kPlotBottom);
std::string valueLine(const Scale& y, double value, const std::string& colour, const std::string& label, bool above);
void rangeOf(const Series& series, double* low, double* high);
std::string chartFrame(const std::string& id, int width, int height = kChartHeight);
std::string timeSeries(const Series& series, const std::string& id);
std::string histogram(const Series& series, const std::string& id);
std::string frameHistogram(const std::vector<size_t>& bins, const std::string& id);
std::string sectionId(const std::string& key);
bool hasRun(const ReportSummary& summary, const std::string& key);
std::string sectionLink(const ReportSummary& summary, const std::string& key);
const char* markClass(Finding::Mark mark);
std::string known(double value, int decimals);
std::string distributionCells(const Distribution& d);
std::string findingsBlock(const ReportSummary& summary);
std::string figuresTable(const std::vector<Figure>& figures);
std::string pageHead(const std::string& title);
// The page's opening (headline.cpp): one sentence of the first output's measured rate, the best
// wait and what went wrong, then every way of finding the vblank on one axis of microseconds.
std::string headline(const Findings& findings);
std::string methodsChart(const std::vector<MethodScore>& methods);

}   // namespace pageparts
