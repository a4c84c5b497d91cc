// Two logs side by side: every finding and figure of both, matched by its stable key (never by
// its place), with the difference and, for magnitudes, the difference in per cent. What one log
// has and the other lacks is kept and marked as such. Plain arithmetic over the two summaries.
#pragma once

#include "report/summary.h"

#include <string>
#include <vector>

// One figure of both logs.
struct ComparedValue {
    std::string key;
    std::string label;
    std::string unit;
    bool inA = false, inB = false;
    double a = 0.0, b = 0.0;
    bool count = false;   // a whole number
    bool absentIsZero = false;   // an event kind one log never saw: 0 there, not unknown

    bool both() const { return inA && inB; }
    // Both sides have a number to show: both known, or an event count 0 on one of them.
    bool comparable() const { return both() || (absentIsZero && (inA || inB)); }
    double difference() const { return b - a; }
    // Per cent means something for magnitudes: both sides known, A above zero, B not below.
    bool hasPercent() const { return both() && a > 0.0 && b >= 0.0; }
    double percent() const { return (b - a) / a * 100.0; }
    // "", "only in A" or "only in B".
    const char* only() const;
};

struct ComparedFinding {
    std::string key;
    std::string topic;
    bool inA = false, inB = false;
    Finding::Mark markA = Finding::Mark::Fine, markB = Finding::Mark::Fine;
    std::string textA, textB;

    bool markChanged() const { return inA != inB || markA != markB; }
};

// A text of both logs (the build, the Windows version, the profile).
struct ComparedText {
    std::string label;
    std::string a, b;   // empty: the log does not say
};

// A run of both logs, or of one: its figures side by side.
struct ComparedRun {
    std::string key;
    std::string title;
    bool inA = false, inB = false;
    std::vector<ComparedValue> figures;

    const char* only() const;
};

struct Comparison {
    std::string nameA, nameB;
    std::vector<ComparedText> machine;
    // Those whose mark changed (or that one log lacks) first, then the rest; each group in A's
    // order, B's own after.
    std::vector<ComparedFinding> findings;
    std::vector<ComparedValue> refresh;   // per output
    std::vector<ComparedValue> methods;   // per way of finding the vblank and output
    std::vector<ComparedValue> events;    // per kind: how many, and the frames they span
    std::vector<ComparedRun> runs;        // A's order, B's own after
};

Comparison compareSummaries(const ReportSummary& a, const ReportSummary& b, const std::string& nameA,
                            const std::string& nameB);

// The comparison as text: the findings whose mark changed first, then every figure in a row
// of A, B, B - A and the per cent.
std::string comparisonText(const Comparison& comparison);
