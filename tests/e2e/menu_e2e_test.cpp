// End-to-end: the Tests menu's extended runs, which write their full counts (DirectDraw's burns
// its thread, D3DKMT's and DXGI's block), and the cursor slide of a double-click, which counts
// as no test.
#include "e2e/driver.h"
#include "e2e/log_sections.h"
#include "e2e/logcheck.h"
#include "e2e/tool_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The extended runs of the Tests menu, on a 240 Hz virtual display to keep them short. The
// DirectDraw run polls and burns a processor for its whole length; the D3DKMT run blocks.
TEST(ExtendedRuns, VblankAndCompositorRunsWriteTheirFullCountsAndDirectDrawBurns)
{
    double cpuSeconds[2] = {};
    DWORD runMs[2] = {};
    const ToolRun run = runTool("e2e-extended.out.txt", "KELVARO_VIRTUAL_DISPLAY=240",
                                [&](DrivenProcess& driven) {
                                    for (int i = 0; i < 2; ++i) {
                                        CpuTracker cpu;
                                        cpu.sample(driven.processId);
                                        const double before = cpu.seconds();
                                        const DWORD start = GetTickCount();
                                        runCommand(driven, i == 0 ? 200 : 201, &cpu);
                                        runMs[i] = GetTickCount() - start;
                                        cpu.sample(driven.processId);
                                        cpuSeconds[i] = cpu.seconds() - before;
                                    }
                                    for (const WORD command : {203, 204, 205})
                                        runCommand(driven, command);
                                });
    std::printf("[ FIGURES  ] extended runs at 240 Hz: DirectDraw %.2f s of processor time in "
                "%.2f s, D3DKMT %.2f s in %.2f s\n",
                cpuSeconds[0], runMs[0] / 1000.0, cpuSeconds[1], runMs[1] / 1000.0);
    EXPECT_GT(cpuSeconds[0], 0.5 * runMs[0] / 1000.0) << "DirectDraw's wait polls";
    EXPECT_GT(cpuSeconds[0], 3.0 * cpuSeconds[1]) << "the D3DKMT wait blocks";
    EXPECT_EQ(0u, run.exitCode);
    const std::vector<std::string>& lines = run.lines;
    const auto count = [&](const std::string& title, const std::string& pattern) {
        size_t at = findLine(lines, titleLine(title));
        size_t n = 0;
        if (at == kNoLine)
            return n;
        for (size_t i = at + 1; i < lines.size() && lines[i].compare(0, 4, "=== ") != 0; ++i)
            n += lineMatches(lines[i], pattern) ? 1 : 0;
        return n;
    };
    EXPECT_EQ(599u, count("DirectDraw WaitForVerticalBlank",
                          "[0-9]+ +-?[0-9]+ +-?[0-9]+\\.[0-9]{3} +-?[0-9]+\\.[0-9]{3} +-?[0-9]+\\.[0-9]"));
    EXPECT_EQ(599u, count("D3DKMTWaitForVerticalBlankEvent",
                          "[0-9]+ +-?[0-9]+ +-?[0-9]+\\.[0-9]{3} +-?[0-9]+\\.[0-9]"));
    EXPECT_EQ(3600u, count("DwmGetCompositionTimingInfo",
                           "[0-9]+ +-?[0-9]+ +-?[0-9]+ +-?[0-9]+ +-?[0-9]+ +-?[0-9]+\\.[0-9]{3} +-?[0-9]+\\.[0-9]{3}"));
    // Today's waits: 600 waits on the one output, 600 of the clock, each row after the first.
    EXPECT_EQ(599u, rowsOf(lines, "IDXGIOutput::WaitForVBlank").size());
    EXPECT_EQ(599u, rowsOf(lines, "DCompositionWaitForCompositorClock").size());
    // Each run parks the vsync server and lets it go again.
    size_t parked = 0;
    for (const std::string& line : lines)
        parked += line == "vsync.suspended" ? 1 : 0;
    EXPECT_EQ(5u, parked);
    std::string problem;
    EXPECT_TRUE(checkClosing(lines, 2, &problem)) << problem;    // a test ran: report written
}

TEST(DoubleClick, SlidesTheCursorForAboutASecondWithoutCountingAsATest)
{
    DWORD slideMs = 0;
    const ToolRun run = runTool("e2e-mouseslide.out.txt", "KELVARO_VIRTUAL_DISPLAY=60",
                            [&](DrivenProcess& driven) {
                                const DWORD start = GetTickCount();
                                const std::vector<DWORD> before = driverThreadIds(driven.processId);
                                PostMessageA(driven.window, WM_LBUTTONDBLCLK, MK_LBUTTON,
                                             MAKELPARAM(10, 10));
                                EXPECT_TRUE(driverWaitTestEnd(driven, before));
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
