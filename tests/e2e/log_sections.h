// Reading the sections of a log in the e2e tests: a test's lines under its framed title,
// rows that match a pattern, a row's columns, and the check of the estimator's disagreement
// lines against the truth of the profile line.
#pragma once

#include "e2e/logcheck.h"
#include "e2e/truth.h"
#include "support/stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Every title of "Run ALL Tests", in its order, the closing one last.
constexpr const char* kSuiteTitles[] = {
    "Display Adapter Information", "QPC Speed", "Windows Time Quantum",
    "OS Sleep Accuracy, at various quantum offsets", "Windows Message Loop Processing Speed",
    "Windows WaitForXXXX Processing Speed", "ScanLine", "DirectDraw WaitForVerticalBlank",
    "D3DKMTWaitForVerticalBlankEvent", "Demonstrate that Varnholt is using the wrong display Hz",
    "DwmGetCompositionTimingInfo", "DwmFlush", "Mimic animation (waiting for vsync intervals)",
    "testWaitForBlanking", "testQuorvelLumetra", "*** To view test results, exit application ***"};

inline std::string titleLine(const std::string& title)
{
    return "=== " + title + " ===";
}

// The lines under a test's title (after the frame), up to the next framed title or the end;
// from the first such title at or after `from`.
inline std::vector<std::string> sectionOf(const std::vector<std::string>& lines,
                                          const std::string& title, size_t from = 0)
{
    std::vector<std::string> out;
    const size_t at = findLine(lines, titleLine(title), from);
    if (at == kNoLine)
        return out;
    for (size_t i = at + 3; i < lines.size(); ++i) {
        if (lines[i].compare(0, 4, "=== ") == 0 && i + 1 < lines.size() &&
            lines[i + 1].compare(0, 3, "===") == 0)
            break;
        if (i + 2 < lines.size() && lines[i + 2].compare(0, 4, "=== ") == 0 &&
            lines[i + 1].compare(0, 3, "===") == 0)
            break;    // the empty line and rule that open the next frame
        out.push_back(lines[i]);
    }
    return out;
}

inline std::vector<std::string> matching(const std::vector<std::string>& in,
                                         const std::string& pattern)
{
    std::vector<std::string> out;
    for (const std::string& line : in)
        if (lineMatches(line, pattern))
            out.push_back(line);
    return out;
}

// The whitespace-separated column k of a row.
inline double column(const std::string& row, int k)
{
    size_t at = row.find_first_not_of(' ');
    for (int c = 0; c < k && at != std::string::npos; ++c)
        at = row.find_first_not_of(' ', row.find(' ', at));
    return at == std::string::npos ? 0.0 : std::strtod(row.c_str() + at, nullptr);
}

// The row format of the estimator test.
constexpr const char* kEstimatorRow =
    "[0-9]+ +-?[0-9]+\\.[0-9]{4} +-?[0-9]+\\.[0-9]{3} +-?[0-9]+\\.[0-9]{4} +-?[0-9]+\\.[0-9]{6} +"
    "-?[0-9]+\\.[0-9]{4} +-?[0-9]+\\.[0-9]{4} +-?[0-9]+\\.[0-9]{6} +-?[0-9]+\\.[0-9]{3} +-?[0-9]+";

// The estimator test's "XXXXX" lines stand exactly where the server's vblank really lay more
// than 2 ms off the compositor's (the true) grid: each line at such a row, and each such row,
// once the server's period has settled on the true one, with its line. Returns the number of
// lines.
inline size_t expectDisagreementsOnlyWhereTheServerWasLate(const std::vector<std::string>& section,
                                                           const LogTruth& truth)
{
    size_t disagreements = 0, late = 0, rows = 0;
    for (size_t i = 0; i < section.size(); ++i) {
        if (lineMatches(section[i], "XXXXX .*")) {
            ++disagreements;
            EXPECT_GT(truth.msOffGrid(column(section[i], 1)), 1.99)
                << "a disagreement while the server was on time: " << section[i];
            continue;
        }
        if (!lineMatches(section[i], kEstimatorRow))
            continue;
        ++rows;
        const double server = column(section[i], 1);
        const double period = truth.periodMs(truth.latestVblank(server));
        const bool settled = std::abs(column(section[i], 4) - period) < 0.001;
        if (settled && column(section[i], 5) > 0.0 && truth.msOffGrid(server) > 2.01) {
            ++late;
            EXPECT_TRUE(i > 0 && lineMatches(section[i - 1], "XXXXX .*"))
                << "the server was more than 2 ms off the grid, without a line: " << section[i];
        }
    }
    std::printf("[ FIGURES  ] estimator: %zu rows, %zu XXXXX lines, %zu settled rows with the "
                "server's vblank more than 2 ms off the true grid\n",
                rows, disagreements, late);
    return disagreements;
}
