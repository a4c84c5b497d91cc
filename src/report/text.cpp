// The summary and its findings as text: the findings' sentences and the methods side by side,
// then a block per run, a figure a line, the true value and the error beside it when known.
#include "report/outputs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

std::string findingsText(const Findings& f)
{
    std::string out = "Findings\n";
    for (const Finding& finding : f.sentences)
        out += "  [" + std::string(markName(finding.mark)) + "] " + finding.text + "\n";
    if (!f.methods.empty()) {
        out += "\nWays of finding the vblank, against the reference (us, each in (-P/2, P/2])\n";
        char line[512];
        // The method's column fits the longest name (compositor_clock), at least 14 wide.
        int width = 14;
        for (const MethodScore& m : f.methods)
            width = std::max(width, static_cast<int>(m.method.size()));
        std::snprintf(line, sizeof line, "  %-4s %-*s %-12s %9s %9s %9s %9s %9s %7s %9s\n", "rank", width, "method", "output", "p50",
                      "p95", "p99", "p99.9", "max", "missed", "true p50");
        out += line;
        bool unresolved = false;
        for (const MethodScore& m : f.methods) {
            const std::string rank = m.rank > 0 ? std::to_string(m.rank) : "-";
            // A percentile too few values resolve is starred: it is one of the largest values.
            const auto percentile = [&](double value, double percent) {
                char cell[64];
                const bool resolved = m.lateUs.resolves(percent);
                std::snprintf(cell, sizeof cell, resolved ? " %9.1f" : " %8.1f*", value);
                unresolved = unresolved || !resolved;
                return std::string(cell);
            };
            // A p50 that rounds to zero is printed as zero, not "-0.0".
            std::snprintf(line, sizeof line, "  %-4s %-*s %-12s %9.1f", rank.c_str(), width, m.method.c_str(), m.output.c_str(),
                          std::fabs(m.lateUs.p50) < 0.05 ? 0.0 : m.lateUs.p50);
            out += line + percentile(m.lateUs.p95, 95.0) + percentile(m.lateUs.p99, 99.0) + percentile(m.lateUs.p999, 99.9);
            std::snprintf(line, sizeof line, " %9.1f %7.0f", m.lateUs.max, m.missed);
            out += line;
            if (m.hasTruth) {
                std::snprintf(line, sizeof line, " %9.1f", m.lateTrueUs.p50);
                out += line;
            }
            out += "\n      " + m.verdict + " (" + m.cost + ")\n";
        }
        if (unresolved)
            out += "  " + std::string(kUnresolvedPercentileNote) + "\n";
    }
    return out;
}

std::string summaryText(const ReportSummary& summary)
{
    std::string out;
    char line[512];
    out += "kelvaro report\n";
    if (!summary.fileNote.empty())
        out += "  file:       " + summary.fileNote + "\n";
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
        for (const Figure& figure : shownFigures(summary, test)) {
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
        const std::vector<size_t>& bins = shownFrameBins(summary, test);
        if (!bins.empty()) {
            out += "  periods, in frames of the reference:";
            for (size_t bin = 0; bin < bins.size(); ++bin) {
                const std::string name = bin == 0 ? "under 1/2" : std::to_string(bin) + (bin == kFrameBinsRest ? " or more" : "");
                out += (bin == 0 ? " " : ", ") + name + ": " + std::to_string(bins[bin]);
            }
            out += "\n";
        }
        for (const std::string& note : test.notes)
            out += "  " + note + "\n";
    }
    return out;
}
