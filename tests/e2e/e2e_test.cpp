// End-to-end: the real kelvaro.exe under Wine, driven like a user would.
#include "e2e/driver.h"
#include "e2e/logcheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Runs kelvaro.exe until its window is up, closes it, and gives its standard output.
std::string runAndClose(const std::string& outputName, DWORD* exitCode)
{
    const std::string folder = programFolder();
    const std::string outputPath = folder + outputName;
    DrivenProcess driven;
    EXPECT_TRUE(driverStart(folder + "kelvaro.exe", outputPath, "KELVARO_VIRTUAL_DISPLAY=60",
                            driven));
    if (driven.process == nullptr)
        return std::string();
    EXPECT_TRUE(driverWaitWindow(driven, 60000)) << "no window of class kelvaro appeared";
    EXPECT_TRUE(driverClose(driven, 60000, exitCode)) << "kelvaro did not end after WM_CLOSE";
    driverRelease(driven);
    return readWholeFile(outputPath);
}

TEST(Startup, ClosedWithoutTestPrintsBannerAndClosingLinesAndExitsZero)
{
    DWORD exitCode = 12345;
    const std::string text = runAndClose("e2e-startup.out.txt", &exitCode);
    EXPECT_EQ(0u, exitCode);

    std::vector<std::string> lines;
    std::string problem;
    ASSERT_TRUE(splitLogLines(text, lines, &problem)) << problem;
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
    const std::string folder = programFolder();
    const std::string outputPath = folder + "e2e-vsync.out.txt";
    DrivenProcess driven;
    ASSERT_TRUE(driverStart(folder + "kelvaro.exe", outputPath, "KELVARO_VIRTUAL_DISPLAY=60", driven));
    ASSERT_TRUE(driverWaitWindow(driven, 60000));
    Sleep(1500);
    Capture capture;
    const bool captured = driverCaptureClient(driven.window, capture, folder + "e2e-vsync.bmp");
    DWORD exitCode = 99;
    EXPECT_TRUE(driverClose(driven, 60000, &exitCode));
    driverRelease(driven);
    EXPECT_EQ(0u, exitCode);

    ASSERT_TRUE(captured);
    // Ink in the top text line: the status line is shown (it is empty before).
    const unsigned background = capture.at(capture.width - 1, capture.height - 1);
    int ink = 0;
    for (int y = 0; y < 12 && y < capture.height; ++y)
        for (int x = capture.width / 4; x < 3 * capture.width / 4; ++x)
            ink += capture.at(x, y) != background ? 1 : 0;
    EXPECT_GT(ink, 50) << "no status line at the top of the page (see e2e-vsync.bmp)";

    std::vector<std::string> lines;
    std::string problem;
    ASSERT_TRUE(splitLogLines(readWholeFile(outputPath), lines, &problem)) << problem;
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
