// Runs the real kelvaro.exe once for an end-to-end test: start, wait for its window,
// let the test drive it, close it, and read its standard output line by line.
#pragma once

#include "e2e/driver.h"
#include "e2e/logcheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct ToolRun {
    std::vector<std::string> lines;
    DWORD exitCode = 99;
};

// Starts the tool, lets action drive it, closes it and reads its standard output.
template <typename Action>
inline ToolRun runTool(const std::string& outputName, const std::string& environment, Action action)
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
        action(driven);
        EXPECT_TRUE(driverClose(driven, 120000, &run.exitCode)) << "the tool did not close";
    } else {
        ADD_FAILURE() << "no window appeared";
    }
    driverRelease(driven);
    std::string problem;
    EXPECT_TRUE(splitLogLines(readWholeFile(outputPath), run.lines, &problem)) << problem;
    return run;
}

