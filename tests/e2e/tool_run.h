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

// Starts the tool, lets action drive it, closes it and reads its standard output. Says
// what went wrong in problems instead of failing a test, so that it can run on a thread of
// its own beside the tests.
template <typename Action>
inline ToolRun runToolAside(const std::string& outputName, const std::string& environment,
                            Action action, std::string* problems)
{
    ToolRun run;
    const std::string outputPath = programFolder() + outputName;
    DrivenProcess driven;
    if (!driverStart(programFolder() + "kelvaro.exe", outputPath, environment, driven)) {
        *problems += "cannot start kelvaro.exe; ";
        return run;
    }
    if (driverWaitWindow(driven, 60000)) {
        driverKeepOnTop(driven.window);
        Sleep(500);
        action(driven);
        if (!driverClose(driven, 120000, &run.exitCode))
            *problems += "the tool did not close; ";
    } else {
        *problems += "no window appeared; ";
    }
    driverRelease(driven);
    std::string problem;
    if (!splitLogLines(readWholeFile(outputPath), run.lines, &problem))
        *problems += problem + "; ";
    return run;
}

// Posts a Tests command and waits for the test thread it started to end; with a tracker,
// follows the tool's processor time meanwhile.
inline void runCommand(DrivenProcess& driven, WORD command, CpuTracker* cpu = nullptr)
{
    const std::vector<DWORD> before = driverThreadIds(driven.processId);
    ASSERT_TRUE(driverCommand(driven, command));
    EXPECT_TRUE(driverWaitTestEnd(driven, before, cpu))
        << "command " << command << " started no test, or the tool ended during it";
}

template <typename Action>
inline ToolRun runTool(const std::string& outputName, const std::string& environment, Action action)
{
    std::string problems;
    ToolRun run = runToolAside(outputName, environment, action, &problems);
    EXPECT_TRUE(problems.empty()) << problems;
    return run;
}

