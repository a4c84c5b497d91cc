// End-to-end: the real kelvaro.exe under Wine, driven like a user would.
#include "e2e/driver.h"
#include "e2e/logcheck.h"
#include "e2e/tool_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Startup, ClosedWithoutTestPrintsBannerAndClosingLinesAndExitsZero)
{
    const ToolRun run = runTool("e2e-startup.out.txt", "KELVARO_VIRTUAL_DISPLAY=60", [](DrivenProcess&) {});
    EXPECT_EQ(0u, run.exitCode);
    const std::vector<std::string>& lines = run.lines;
    ASSERT_FALSE(lines.empty());
    std::string problem;
    EXPECT_TRUE(checkBanner(lines, &problem)) << problem;
    // No test was started, so no report was fetched: one empty line after "Exiting...".
    EXPECT_TRUE(checkClosing(lines, 1, &problem)) << problem;
    const size_t destroyed = findLine(lines, "WM_DESTROY");
    ASSERT_NE(kNoLine, destroyed);
    EXPECT_LT(destroyed, findLine(lines, "Exiting..."));
}

// On the virtual display the server binds at once, reads the display mode, and after its
// first configuration check the window's first line shows its status.
TEST(VsyncServer, BindsToTheVirtualDisplayAndShowsItsStatus)
{
    Capture capture;
    bool captured = false;
    const ToolRun run = runTool("e2e-vsync.out.txt", "KELVARO_VIRTUAL_DISPLAY=60", [&](DrivenProcess& driven) {
        Sleep(1000);    // past the first configuration check
        captured = driverCaptureClient(driven.window, capture, programFolder() + "e2e-vsync.bmp");
    });
    EXPECT_EQ(0u, run.exitCode);

    ASSERT_TRUE(captured);
    // Ink in the top text line: the status line is shown (it is empty before).
    const unsigned background = capture.at(capture.width - 1, capture.height - 1);
    int ink = 0;
    for (int y = 0; y < 12 && y < capture.height; ++y)
        for (int x = capture.width / 4; x < 3 * capture.width / 4; ++x)
            ink += capture.at(x, y) != background ? 1 : 0;
    EXPECT_GT(ink, 50) << "no status line at the top of the page (see e2e-vsync.bmp)";

    const std::vector<std::string>& lines = run.lines;
    const size_t started = findLine(lines, "+vsyncThread()");
    ASSERT_NE(kNoLine, started);
    const size_t standsIn = findLine(lines, "virtual.display stands in at 60.000 Hz (60/1)", started);
    ASSERT_NE(kNoLine, standsIn);
    const size_t bound = findMatch(lines, "vsync\\.bound hAdapter=-?[1-9][0-9]*", standsIn);
    ASSERT_NE(kNoLine, bound);
    EXPECT_EQ("-vsyncRebind=1", lines[bound + 1]);
    EXPECT_NE(kNoLine, findLine(lines, "VSYNC INFO: size = 1920x1080  hz=60/1", bound));
    EXPECT_EQ(kNoLine, findLine(lines, "vsync.WaitForVerticalBlankEvent FAILED"));
    EXPECT_EQ(kNoLine, findLine(lines, "vsync.validate.configuration rebind needed"));
    EXPECT_NE(kNoLine, findLine(lines, "-vsyncThread()", bound));
}

}  // namespace
