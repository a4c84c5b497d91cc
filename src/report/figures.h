// The figures stage's functions, one per kind of test, that the kinds table names. Internal to
// the report.
#pragma once

#include "report/kinds.h"
#include "report/summary.h"

#include <vector>

// Adds a run's figures.
class FigureBuilder {
public:
    explicit FigureBuilder(TestSummary& run) : test(run) {}
    void add(const char* key, const char* label, const char* unit, double value);
    void addTrue(const char* key, const char* label, const char* unit, double value, bool hasTruth, double truth);
    // The distribution's median, p95, p99, p99.9 and max, the median beside the true value.
    void spread(const char* key, const char* label, const char* unit, const std::vector<double>& values,
                bool hasTruth = false, double truth = 0.0);
    TestSummary& test;
};

void adapterInfoFigures(const RunInput& in, FigureBuilder& out);
void qpcSpeedFigures(const RunInput& in, FigureBuilder& out);
void timeQuantumFigures(const RunInput& in, FigureBuilder& out);
void sleepAccuracyFigures(const RunInput& in, FigureBuilder& out);
void messageLoopFigures(const RunInput& in, FigureBuilder& out);
void waitSpeedFigures(const RunInput& in, FigureBuilder& out);
void scanLineFigures(const RunInput& in, FigureBuilder& out);
void directDrawFigures(const RunInput& in, FigureBuilder& out);
void d3dkmtFigures(const RunInput& in, FigureBuilder& out);
void wrongHzFigures(const RunInput& in, FigureBuilder& out);
void dwmTimingFigures(const RunInput& in, FigureBuilder& out);
void dwmFlushFigures(const RunInput& in, FigureBuilder& out);
void mimicFigures(const RunInput& in, FigureBuilder& out);
void waitForBlankingFigures(const RunInput& in, FigureBuilder& out);
void estimatorFigures(const RunInput& in, FigureBuilder& out);
void dxgiFigures(const RunInput& in, FigureBuilder& out);
void compositorClockFigures(const RunInput& in, FigureBuilder& out);
// The output a compositor clock's block follows: the one whose own vblank waits (a block of the
// D3DKMT or DXGI test) showed its frame (*frameMs), within 1 %; `fallback` when none did or
// several did, the fallback among them. *judged: one output's frame matched.
int clockOutputOf(const KelvaroLog& log, const LogBlock& block, int fallback, double* frameMs, bool* judged);

// A run's charts: the kind's columns by row, then what the kind adds to them.
std::vector<Series> chartsOf(const RunInput& in, const RunKind& kind, const TestSummary& run);
void mimicCharts(const RunInput& in, const TestSummary& run, std::vector<Series>& charts);
void estimatorCharts(const RunInput& in, const TestSummary& run, std::vector<Series>& charts);
