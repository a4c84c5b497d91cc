// End-to-end: "Run ALL Tests" from the menu on the virtual display at 60 Hz, the log it
// leaves, and the cursor slide of a double-click.
#include "e2e/driver.h"
#include "e2e/logcheck.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr WORD kRunAllCommand = 199;

struct ToolRun {
    std::vector<std::string> lines;
    DWORD exitCode = 99;
};

// Starts the tool, lets action drive it, closes it and reads its standard output.
template <typename Action>
ToolRun runTool(const std::string& outputName, const std::string& environment, Action action)
{
    ToolRun run;
    const std::string outputPath = programFolder() + outputName;
    DrivenProcess driven;
    if (!driverStart(programFolder() + "kelvaro.exe", outputPath, environment, driven)) {
        ADD_FAILURE() << "cannot start kelvaro.exe";
        return run;
    }
    if (driverWaitWindow(driven, 60000)) {
        Sleep(500);
        action(driven, driverThreadCount(driven.processId));
        EXPECT_TRUE(driverClose(driven, 120000, &run.exitCode)) << "the tool did not close";
    } else {
        ADD_FAILURE() << "no window appeared";
    }
    driverRelease(driven);
    std::string problem;
    EXPECT_TRUE(splitLogLines(readWholeFile(outputPath), run.lines, &problem)) << problem;
    return run;
}

std::string titleLine(const std::string& title)
{
    return "=== " + title + " ===";
}

// Rows matching pattern directly after line from (skipping nothing else).
size_t rowsAfter(const std::vector<std::string>& lines, size_t from, const std::string& pattern)
{
    size_t n = 0;
    while (from + 1 + n < lines.size() && lineMatches(lines[from + 1 + n], pattern))
        ++n;
    return n;
}

class RunAllTests : public ::testing::Test {
protected:
    static ToolRun run;
    static void SetUpTestSuite()
    {
        run = runTool("e2e-runall.out.txt", "KELVARO_VIRTUAL_DISPLAY=60",
                      [](DrivenProcess& driven, int idle) {
                          driverCommand(driven, kRunAllCommand);
                          EXPECT_TRUE(driverWaitTestEnd(driven, idle));
                      });
    }
    const std::vector<std::string>& lines() const { return run.lines; }
    size_t find(const std::string& text, size_t from = 0) const
    {
        return findLine(run.lines, text, from);
    }
};
ToolRun RunAllTests::run;

TEST_F(RunAllTests, ExitsCleanlyAfterWritingTheReport)
{
    EXPECT_EQ(0u, run.exitCode);
    std::string problem;
    EXPECT_TRUE(checkBanner(lines(), &problem)) << problem;
    // The report's fetch added the second empty line.
    EXPECT_TRUE(checkClosing(lines(), 2, &problem)) << problem;
}

TEST_F(RunAllTests, DisplayAndTimerTestsInOrder)
{
    const size_t begin = find("+runAllTests()");
    ASSERT_NE(kNoLine, begin);
    const size_t display = find(titleLine("Display Adapter Information"), begin);
    ASSERT_NE(kNoLine, display);
    // The first adapter line (a binding line may stand before it).
    const size_t adapter = findMatch(lines(), "Adaptor[0-9]+=.*", display);
    ASSERT_NE(kNoLine, adapter);
    EXPECT_TRUE(lineMatches(lines()[adapter], "Adaptor0=\\\\\\\\\\.\\\\DISPLAY1 '.*' .*"))
        << lines()[adapter];
    const size_t monitor = find("App running on \\\\.\\DISPLAY1 (PRIMARY)", display);
    ASSERT_NE(kNoLine, monitor);

    const size_t qpc = find(titleLine("QPC Speed"), monitor);
    ASSERT_NE(kNoLine, qpc);
    const size_t speedLine = findMatch(lines(), ".* ns per tick.*", qpc);
    ASSERT_NE(kNoLine, speedLine);
    const std::string& speed = lines()[speedLine];
    ASSERT_TRUE(lineMatches(speed, "[0-9]+ ns per tick\\(\\) call \\([0-9]+ calls in [0-9]+/qpc\\)"))
        << speed;
    const long calls = std::strtol(speed.c_str() + speed.find(" call (") + 7, nullptr, 10);
    EXPECT_GE(calls, 100000);
    EXPECT_EQ(0, calls % 100000);

    const size_t quantum = find(titleLine("Windows Time Quantum"), qpc);
    ASSERT_NE(kNoLine, quantum);
    const size_t quantumHeader = find("iteration   quantum/ms", quantum);
    ASSERT_NE(kNoLine, quantumHeader);
    ASSERT_EQ(10u, rowsAfter(lines(), quantumHeader, "[0-9] +-?[0-9]+\\.[0-9]{3}"));
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(std::to_string(i), lines()[quantumHeader + 1 + i].substr(0, 1));

    const size_t sleep = find(titleLine("OS Sleep Accuracy, at various quantum offsets"), quantum);
    ASSERT_NE(kNoLine, sleep);
    const size_t sleepHeader = sleep + 3;
    ASSERT_EQ(60u, rowsAfter(lines(), sleepHeader, "[0-9]+ +[0-9]+\\.000 +-?[0-9]+\\.[0-9]{3} +-?[0-9]+\\.[0-9]{3}"));
    const char* const lengths[] = {"0.000", "1.000", "10.000"};
    for (size_t i = 0; i < 60; ++i) {
        const std::string& row = lines()[sleepHeader + 1 + i];
        EXPECT_EQ(std::to_string(i % 20), row.substr(0, row.find(' ')));
        EXPECT_EQ(lengths[i / 20], row.substr(12, row.find(' ', 12) - 12)) << row;
    }
}

TEST_F(RunAllTests, MessagingTestsThenTheClosingTitle)
{
    const size_t loop = find(titleLine("Windows Message Loop Processing Speed"));
    ASSERT_NE(kNoLine, loop);
    const size_t loopHeader = find("iteration   delay/us", loop);
    ASSERT_NE(kNoLine, loopHeader);
    const size_t wait = find(titleLine("Windows WaitForXXXX Processing Speed"), loopHeader);
    ASSERT_NE(kNoLine, wait);
    // Ten rows 0 to 9 before the next title (its frame starts with an empty line).
    std::vector<std::string> rows;
    for (size_t i = loopHeader + 1; i + 2 < wait; ++i)
        if (lineMatches(lines()[i], "[0-9]+ +[0-9]+\\.[0-9]"))
            rows.push_back(lines()[i].substr(0, lines()[i].find(' ')));
    ASSERT_EQ(10u, rows.size());
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(std::to_string(i), rows[i]);

    const size_t waitHeader = find("delay/us", wait);
    ASSERT_NE(kNoLine, waitHeader);
    EXPECT_LE(rowsAfter(lines(), waitHeader, "[0-9]+\\.[0-9]{3}"), 10u);

    const size_t closing = find(titleLine("*** To view test results, exit application ***"), waitHeader);
    ASSERT_NE(kNoLine, closing);
    const size_t end = find("-runAllTests()", closing);
    EXPECT_NE(kNoLine, end);
}

TEST_F(RunAllTests, VsyncServerParksAroundTheSuspendedTests)
{
    const size_t begin = find("+runAllTests()");
    ASSERT_NE(kNoLine, begin);
    const size_t suspended = find("vsync.suspended", begin);
    ASSERT_NE(kNoLine, suspended);
    const size_t display = find(titleLine("Display Adapter Information"), begin);
    EXPECT_LT(suspended, display);
    const size_t running = find("vsync.running", suspended);
    ASSERT_NE(kNoLine, running);
    EXPECT_GT(running, find(titleLine("Windows WaitForXXXX Processing Speed")));
}

TEST(DoubleClick, SlidesTheCursorForAboutASecondWithoutCountingAsATest)
{
    DWORD slideMs = 0;
    const ToolRun run = runTool("e2e-mouseslide.out.txt", "KELVARO_VIRTUAL_DISPLAY=60",
                            [&](DrivenProcess& driven, int idle) {
                                const DWORD start = GetTickCount();
                                PostMessageA(driven.window, WM_LBUTTONDBLCLK, MK_LBUTTON,
                                             MAKELPARAM(10, 10));
                                EXPECT_TRUE(driverWaitTestEnd(driven, idle));
                                slideMs = GetTickCount() - start;
                            });
    EXPECT_EQ(0u, run.exitCode);
    const size_t begin = findLine(run.lines, "+mouseslide");
    ASSERT_NE(kNoLine, begin);
    EXPECT_NE(kNoLine, findLine(run.lines, "-mouseslide", begin));
    EXPECT_LT(slideMs, 10000u);
    std::string problem;
    EXPECT_TRUE(checkClosing(run.lines, 1, &problem)) << problem;    // no report
}

}  // namespace
