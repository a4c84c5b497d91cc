// Reading the sections of a log in the e2e tests with kelvaro-report's reader: a test's lines
// under its framed title, its rows split by the test's format, lines that match a pattern, and
// the check of the estimator's disagreement lines against the truth of the profile line.
#pragma once

#include "e2e/logcheck.h"
#include "report/truth.h"
#include "report/logreader.h"
#include "support/stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
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
    "testWaitForBlanking", "testQuorvelLumetra", "IDXGIOutput::WaitForVBlank",
    "DCompositionWaitForCompositorClock", "*** To view test results, exit application ***"};

inline std::string titleLine(const std::string& title)
{
    return "=== " + title + " ===";
}

// The log as kelvaro-report reads it: the tests find sections and read rows with the same
// reader, so a row is split by its test's format, never by guesswork on the blanks.
inline KelvaroLog readLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    KelvaroLog log;
    std::string problem;
    EXPECT_TRUE(readKelvaroLog(text, &log, &problem)) << problem;
    return log;
}

// The first section with this title whose title stands at or after line index `from`; null
// when there is none.
inline const LogSection* findSection(const KelvaroLog& log, const std::string& title, size_t from = 0)
{
    for (const LogSection& section : log.sections) {
        if (section.title == title && section.titleLine - 1 >= from)
            return &section;
    }
    return nullptr;
}

// Every section with this title, in order (an extended run repeats a test of the suite).
inline std::vector<const LogSection*> sectionsTitled(const KelvaroLog& log, const std::string& title)
{
    std::vector<const LogSection*> out;
    for (const LogSection& section : log.sections) {
        if (section.title == title)
            out.push_back(&section);
    }
    return out;
}

// The lines under a test's title (after its frame), up to the frame of the next title or the
// end; from the first such title at or after `from`.
inline std::vector<std::string> sectionOf(const std::vector<std::string>& lines,
                                          const std::string& title, size_t from = 0)
{
    const KelvaroLog log = readLines(lines);
    const LogSection* section = findSection(log, title, from);
    if (section == nullptr)
        return {};
    // The frame: the empty line, a rule, the title, a rule and an empty line.
    size_t end = lines.size();
    if (section + 1 < log.sections.data() + log.sections.size())
        end = section[1].titleLine - 3;
    const size_t begin = std::min(end, section->titleLine + 2);
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(begin),
                                    lines.begin() + static_cast<std::ptrdiff_t>(end));
}

// The rows of every block of a section; a row that stood there and did not read by the test's
// format fails the test.
inline std::vector<LogRow> rowsOf(const LogSection* section)
{
    std::vector<LogRow> rows;
    EXPECT_NE(nullptr, section) << "no such section";
    if (section == nullptr)
        return rows;
    for (const LogBlock& block : section->blocks) {
        EXPECT_TRUE(block.unreadable.empty())
            << section->title << ": a row that does not read at line " << block.unreadable.front();
        rows.insert(rows.end(), block.rows.begin(), block.rows.end());
    }
    return rows;
}

inline std::vector<LogRow> rowsOf(const std::vector<std::string>& lines, const std::string& title,
                                  size_t from = 0)
{
    return rowsOf(findSection(readLines(lines), title, from));
}

// The place of a column in a test's rows, by its key in the log's schema.
inline size_t col(LogTest test, const char* key)
{
    const int c = schemaColumn(testSchema(test), key);
    EXPECT_GE(c, 0) << "no column " << key << " in " << testSchema(test).title;
    return c < 0 ? 0 : static_cast<size_t>(c);
}

// Column k of each row.
inline std::vector<double> columnOf(const std::vector<LogRow>& rows, size_t k)
{
    std::vector<double> out;
    for (const LogRow& row : rows)
        out.push_back(k < row.values.size() ? row.values[k] : 0.0);
    return out;
}

// The log's text of a row, for messages.
inline const std::string& textOf(const std::vector<std::string>& lines, const LogRow& row)
{
    static const std::string none;
    return row.line >= 1 && row.line <= lines.size() ? lines[row.line - 1] : none;
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

// The estimator test's "XXXXX" lines stand exactly where the server's vblank really lay more
// than 2 ms off the compositor's (the true) grid: each line at such a row, and each such row,
// once the server's period has settled on the true one, with its line. Returns the number of
// lines.
inline size_t expectDisagreementsOnlyWhereTheServerWasLate(const std::vector<std::string>& lines,
                                                           const LogTruth& truth)
{
    const KelvaroLog log = readLines(lines);
    const LogSection* section = findSection(log, "testQuorvelLumetra");
    const std::vector<LogRow> rows = rowsOf(section);
    if (section == nullptr)
        return 0;
    size_t disagreements = 0, late = 0;
    const auto isDisagreement = [&](size_t line) {
        return line >= 1 && line <= lines.size() && lines[line - 1].compare(0, 6, "XXXXX ") == 0;
    };
    for (const LogBlock& block : section->blocks) {
        for (const LogLine& line : block.lines) {
            if (!isDisagreement(line.line))
                continue;
            ++disagreements;
            // "XXXXX <server vblank ms> <compositor vblank ms>"
            const double server = std::strtod(line.text.c_str() + 6, nullptr);
            EXPECT_GT(truth.msOffGrid(server), 1.99) << "a disagreement while the server was on time: " << line.text;
        }
    }
    for (const LogRow& row : rows) {
        const double server = row.values[1];
        const double period = truth.periodMs(truth.latestVblank(server));
        const bool settled = std::abs(row.values[4] - period) < 0.001;
        if (settled && row.values[5] > 0.0 && truth.msOffGrid(server) > 2.01) {
            ++late;
            EXPECT_TRUE(isDisagreement(row.line - 1))
                << "the server was more than 2 ms off the grid, without a line: " << textOf(lines, row);
        }
    }
    std::printf("[ FIGURES  ] estimator: %zu rows, %zu XXXXX lines, %zu settled rows with the "
                "server's vblank more than 2 ms off the true grid\n",
                rows.size(), disagreements, late);
    return disagreements;
}
