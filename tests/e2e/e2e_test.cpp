// End-to-end: the real kelvaro.exe under Wine, driven like a user would.
#include "e2e/driver.h"
#include "e2e/logcheck.h"

#include <gtest/gtest.h>

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

}  // namespace
