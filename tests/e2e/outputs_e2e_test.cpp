// End-to-end with two outputs (60 Hz primary, 144 Hz to its right): the window moved to the
// second output and back, the server rebinding each time and the status line on the screen
// read back from its pixels; the whole suite measuring both outputs, its findings on the ideal
// primary held against the truth; and a move while a test keeps the server parked, which
// rebinds once the server runs again.
#include "e2e/driver.h"
#include "e2e/log_sections.h"
#include "e2e/logcheck.h"
#include "e2e/screen_text.h"
#include "e2e/tool_run.h"
#include "support/findings_check.h"

#include <gtest/gtest.h>

#include <cmath>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr const char* kTwoOutputs = "KELVARO_VIRTUAL_DISPLAY=60,second=144";

// The lines of a rebind to a device, in their order, from `from` on; the index after the
// last of them, or kNoLine.
size_t expectRebind(const std::vector<std::string>& lines, size_t from, const char* device,
                    const char* rate)
{
    const std::string patterns[] = {
        "vsync\\.validate\\.configuration rebind needed", "vsync\\.close\\.adapter=0",
        std::string("vsync\\.bind device='\\\\\\\\\\.\\\\") + device + "' hDC=-?[1-9][0-9]*",
        "vsync\\.bound hAdapter=-?[1-9][0-9]*", "-vsyncRebind=1",
        std::string("VSYNC INFO: size = 1920x1080  hz=") + rate};
    size_t at = from;
    for (const std::string& pattern : patterns) {
        const size_t found = findMatch(lines, pattern, at);
        EXPECT_NE(kNoLine, found) << "missing or out of order: " << pattern;
        if (found == kNoLine)
            return kNoLine;
        at = found + 1;
    }
    return at;
}

size_t countMatches(const std::vector<std::string>& lines, const std::string& pattern,
                    size_t from = 0, size_t to = kNoLine)
{
    size_t n = 0;
    for (size_t i = from; i < lines.size() && i < to; ++i)
        n += lineMatches(lines[i], pattern) ? 1 : 0;
    return n;
}

// The status line on the screen, read back from the pixels: of the texts the server could
// have drawn there (its device, without or with [PRIMARY], a period near either output's),
// the one whose ink the capture's first line shows exactly; empty when none is. Every pair of
// texts the two numbers can show is tried: each period in steps of its last digit, and each
// rate that a period rounding to it gives.
std::string readStatusLine(const Capture& capture, double* readPeriod)
{
    std::string read;
    for (const char* mark : {"", " [PRIMARY]"}) {
        for (const double centre : {1000.0 / 144, 1000.0 / 60}) {
            for (int step = -40; step <= 40; ++step) {
                const double shown = std::round(centre * 1000.0) / 1000.0 + step * 0.001;
                const long fastest = std::lround(1e6 / (shown - 0.0005));
                for (long rate = std::lround(1e6 / (shown + 0.0005)); rate <= fastest; ++rate) {
                    char text[128];
                    std::snprintf(text, sizeof text, "vsync.server: \\\\.\\DISPLAY2%s %.3fms %ld.%03ldHz",
                                  mark, shown, rate / 1000, rate % 1000);
                    if (textLineDiffers(capture, 0, text) == 0.0) {
                        read = text;
                        *readPeriod = shown;
                    }
                }
            }
        }
    }
    return read;
}

TEST(TwoOutputs, TheServerFollowsTheWindowToTheSecondOutputAndBack)
{
    // The status line shows the average of the latest 60 intervals, that is the span between
    // two vblank times over 60: one wake-up a few ms late (this machine's scheduler now and
    // then) moves it by some 0.03 ms for a third of a second. So the screen is read up to
    // eight times, a quarter of a second apart, until it shows the output's period.
    bool captured = false;
    std::string read, reads;
    double readPeriod = 0.0;
    const ToolRun run = runTool("e2e-outputs.out.txt", kTwoOutputs, [&](DrivenProcess& driven) {
        Sleep(1000);
        ASSERT_TRUE(driverMoveWindow(driven, 2100, 100));
        Sleep(2000);
        for (int attempt = 0; attempt < 8; ++attempt) {
            Capture onSecond;
            captured = driverCaptureClient(driven.window, onSecond, programFolder() + "e2e-outputs.bmp");
            read = captured ? readStatusLine(onSecond, &readPeriod) : std::string();
            reads += " '" + read + "'";
            if (!read.empty() && std::abs(readPeriod - 1000.0 / 144) <= 0.005)
                break;
            Sleep(250);
        }
        ASSERT_TRUE(driverMoveWindow(driven, 100, 100));
        Sleep(2000);
    });
    EXPECT_EQ(0u, run.exitCode);
    const std::vector<std::string>& lines = run.lines;
    // Started on the first output.
    const size_t first = findLine(lines, "VSYNC INFO: size = 1920x1080  hz=60/1");
    ASSERT_NE(kNoLine, first);
    EXPECT_NE(kNoLine, findMatch(lines, "vsync\\.bind device='\\\\\\\\\\.\\\\DISPLAY1' hDC=.*"));
    const size_t toSecond = expectRebind(lines, first + 1, "DISPLAY2", "144/1");
    ASSERT_NE(kNoLine, toSecond);
    const size_t back = expectRebind(lines, toSecond, "DISPLAY1", "60/1");
    ASSERT_NE(kNoLine, back);
    EXPECT_EQ(3u, countMatches(lines, "-vsyncRebind=1")) << "the first bind and two rebinds";
    EXPECT_EQ(2u, countMatches(lines, "vsync\\.validate\\.configuration rebind needed"));

    ASSERT_TRUE(captured);
    std::printf("[ FIGURES  ] status line on the second output, read from the pixels:%s "
                "(the last in e2e-outputs.bmp)\n",
                reads.c_str());
    ASSERT_FALSE(read.empty()) << "no status line of the second output on the screen";
    EXPECT_EQ(std::string::npos, read.find("[PRIMARY]")) << read;
    EXPECT_NEAR(1000.0 / 144, readPeriod, 0.005) << read;
    EXPECT_EQ(0u, read.find("vsync.server: \\\\.\\DISPLAY2 6.94")) << read;
}

TEST(TwoOutputs, TheSuiteMeasuresBothAndAParkedServerRebindsOnceItRuns)
{
    const ToolRun run = runTool("e2e-outputs-suite.out.txt", kTwoOutputs, [](DrivenProcess& driven) {
        runCommand(driven, 199);
        // The extended DirectDraw run parks the server for about ten seconds.
        const std::vector<DWORD> before = driverThreadIds(driven.processId);
        ASSERT_TRUE(driverCommand(driven, 200));
        Sleep(2000);
        ASSERT_TRUE(driverMoveWindow(driven, 2100, 100));
        EXPECT_TRUE(driverWaitTestEnd(driven, before));
        Sleep(2000);
    });
    EXPECT_EQ(0u, run.exitCode);
    const std::vector<std::string>& lines = run.lines;
    // The window's output is the ideal display ("60"): nothing late but what the platform adds.
    expectFindingsHoldTheTruth(summarizeLog(readLines(lines)), "suite on an ideal primary beside a 144 Hz output", Bounds::ByTheLogsScatter);

    const std::vector<std::string> adapters = sectionOf(lines, "Display Adapter Information");
    EXPECT_EQ(1u, matching(adapters, "Adaptor0=\\\\\\\\\\.\\\\DISPLAY1 '.*'  \\[ACTIVE\\] \\[PRIMARY\\]").size());
    EXPECT_EQ(1u, matching(adapters, "Adaptor1=\\\\\\\\\\.\\\\DISPLAY2 '.*'  \\[ACTIVE\\]").size());
    EXPECT_EQ(1u, matching(adapters, "App running on \\\\\\\\\\.\\\\DISPLAY1 \\(PRIMARY\\)").size());

    // Two blocks, each with its lines, header and rows from 1, at each output's period.
    const KelvaroLog log = readLines(lines);
    const LogSection* kmt = findSection(log, "D3DKMTWaitForVerticalBlankEvent");
    ASSERT_NE(nullptr, kmt);
    ASSERT_EQ(2u, kmt->blocks.size());
    const double periods[] = {1000.0 / 60, 1000.0 / 144};
    for (size_t block = 0; block < 2; ++block) {
        const LogBlock& one = kmt->blocks[block];
        const std::string device = block == 0 ? "DISPLAY1" : "DISPLAY2";
        EXPECT_TRUE(lineMatches(one.label, "--> \\\\\\\\\\.\\\\" + device + " \\(.*\\) hDC=-?[1-9][0-9]*"))
            << one.label;
        ASSERT_FALSE(one.lines.empty()) << "block " << block;
        EXPECT_EQ("oa=0", one.lines.front().text);
        ASSERT_NE(0u, one.headerLine);
        EXPECT_EQ(expandedLine(testSchema(LogTest::D3dkmt).header), lines[one.headerLine - 1]);
        EXPECT_TRUE(one.unreadable.empty()) << "block " << block;
        std::vector<double> period;
        for (size_t i = 0; i < one.rows.size(); ++i) {
            EXPECT_EQ(static_cast<double>(i + 1), one.rows[i].values[col(LogTest::D3dkmt, "iteration")])
                << textOf(lines, one.rows[i]);
            // Rows follow the header directly.
            EXPECT_EQ(one.headerLine + 1 + i, one.rows[i].line);
            period.push_back(one.rows[i].values[col(LogTest::D3dkmt, "period")]);
        }
        EXPECT_EQ(59u, period.size()) << "block " << block;
        // Each block at its own output's period; the median of 59 differences of wake-ups
        // sits a few microseconds off it, and some 12 us when the machine is busy.
        EXPECT_NEAR(periods[block], median(period), 0.05) << "block " << block;
    }

    // Moved while parked: no rebind until the server runs again, then exactly one.
    const size_t extended = findLine(lines, titleLine("DirectDraw WaitForVerticalBlank"),
                                     findLine(lines, "-runAllTests()"));
    ASSERT_NE(kNoLine, extended);
    const size_t suspended = findLine(lines, "vsync.suspended", findLine(lines, "-runAllTests()"));
    const size_t running = findLine(lines, "vsync.running", extended);
    ASSERT_NE(kNoLine, suspended);
    ASSERT_NE(kNoLine, running);
    EXPECT_EQ(0u, countMatches(lines, "vsync\\.validate\\.configuration rebind needed", suspended, running));
    EXPECT_EQ(1u, countMatches(lines, "vsync\\.validate\\.configuration rebind needed", running));
    EXPECT_EQ(1u, countMatches(lines, "-vsyncRebind=1", running));
    EXPECT_NE(kNoLine, expectRebind(lines, running, "DISPLAY2", "144/1"));
}

}   // namespace
