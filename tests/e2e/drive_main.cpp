// kelvaro-drive: starts kelvaro.exe with its standard output in a file, optionally runs
// menu commands and waits for the test threads they start, then closes the tool.
//
//   kelvaro-drive --out FILE [--exe PATH] [--env NAME=VALUE]... [--command ID]...
//                 [--wait-test] [--run-ms MS] [--move X,Y] [--no-close]
//
// --wait-test after a --command waits until the test thread it started has ended.
// --run-ms lets the tool run that long before it is closed. --move puts the window's top
// left corner at X,Y (with a second output, x=2100 is on it). --no-close leaves it running.
// Exit code: the tool's own, or 2 when the driver could not do its part.
#include "e2e/driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct Step {
    enum Kind { Command, WaitTest, RunMs, Move } kind;
    long value;
    long y;
};

static int fail(const char* what)
{
    std::fprintf(stderr, "kelvaro-drive: %s\n", what);
    return 2;
}

int main(int argc, char** argv)
{
    std::string exe = programFolder() + "kelvaro.exe";
    std::string out;
    std::string environment;
    std::vector<Step> steps;
    bool close = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--out" && hasValue) {
            out = argv[++i];
        } else if (arg == "--exe" && hasValue) {
            exe = argv[++i];
        } else if (arg == "--env" && hasValue) {
            environment += std::string(argv[++i]) + ";";
        } else if (arg == "--command" && hasValue) {
            steps.push_back({Step::Command, std::strtol(argv[++i], nullptr, 10), 0});
        } else if (arg == "--run-ms" && hasValue) {
            steps.push_back({Step::RunMs, std::strtol(argv[++i], nullptr, 10), 0});
        } else if (arg == "--move" && hasValue) {
            char* end = nullptr;
            const long x = std::strtol(argv[++i], &end, 10);
            if (end == nullptr || *end != ',')
                return fail(("--move needs X,Y, not " + std::string(argv[i])).c_str());
            steps.push_back({Step::Move, x, std::strtol(end + 1, nullptr, 10)});
        } else if (arg == "--wait-test") {
            steps.push_back({Step::WaitTest, 0, 0});
        } else if (arg == "--no-close") {
            close = false;
        } else {
            return fail(("unknown or incomplete argument: " + arg).c_str());
        }
    }
    if (out.empty())
        return fail("--out FILE is required");

    DrivenProcess driven;
    if (!driverStart(exe, out, environment, driven))
        return fail(("cannot start " + exe).c_str());
    if (!driverWaitWindow(driven, 60000)) {
        driverRelease(driven);
        return fail("the kelvaro window did not appear");
    }
    Sleep(500);
    std::vector<DWORD> before = driverThreadIds(driven.processId);

    for (const Step& step : steps) {
        if (step.kind == Step::Command) {
            before = driverThreadIds(driven.processId);
            if (!driverCommand(driven, static_cast<WORD>(step.value)))
                return fail("cannot post the command");
        } else if (step.kind == Step::Move) {
            if (!driverMoveWindow(driven, static_cast<int>(step.value), static_cast<int>(step.y)))
                return fail("cannot move the window");
        } else if (step.kind == Step::WaitTest) {
            if (!driverWaitTestEnd(driven, before))
                return fail("the tool ended while a test ran");
        } else {
            Sleep(static_cast<DWORD>(step.value));
        }
    }
    if (!close) {
        CloseHandle(driven.process);
        return 0;
    }
    DWORD exitCode = 0;
    if (!driverClose(driven, 120000, &exitCode)) {
        driverRelease(driven);
        return fail("the tool did not end after WM_CLOSE");
    }
    driverRelease(driven);
    return static_cast<int>(exitCode);
}
