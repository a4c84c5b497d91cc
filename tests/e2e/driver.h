// Drives a running kelvaro.exe from another Win32 process: start it with its standard
// output in a file, find its window, post commands, follow its thread count, close it.
#pragma once

#include "support/files.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct DrivenProcess {
    HANDLE process = nullptr;
    DWORD processId = 0;
    HWND window = nullptr;
};

// The folder of the running program, with a trailing backslash.
std::string programFolder();

// Starts the program with standard output (and standard error) going to a new file at
// outputPath. environment holds extra "NAME=value" pairs separated by ';' (may be empty).
bool driverStart(const std::string& exePath, const std::string& outputPath,
                 const std::string& environment, DrivenProcess& driven);

// Waits until the process shows a top-level window of class "kelvaro".
bool driverWaitWindow(DrivenProcess& driven, DWORD timeoutMs);
// Keeps the window above every window that is not topmost: the report viewers that earlier
// tools opened appear seconds later, and would cover a window whose pixels a test reads.
void driverKeepOnTop(HWND window);

// Posts WM_COMMAND with the command id, as a menu choice does.
bool driverCommand(const DrivenProcess& driven, WORD command);

// The ids of the process's threads now (Toolhelp snapshot).
std::vector<DWORD> driverThreadIds(DWORD processId);

// Processor time of a process, as the sum over its threads: Wine gives no times of another
// process, but each thread's. A thread that ended keeps its last reading.
struct CpuTracker {
    std::vector<std::pair<DWORD, unsigned long long>> threads;   // id, 100 ns units
    void sample(DWORD processId);
    void record(DWORD threadId, HANDLE thread);
    double seconds() const;
};

// After a Tests command: waits for the thread it started, the first thread that was not
// there before, and then for that thread to end. False when no new thread appeared within
// 5 s (the command started nothing) or the tool ended. Threads the test leaves behind (the
// system's sound or timer helpers) do not count. With a tracker, samples the process's
// processor time meanwhile.
bool driverWaitTestEnd(const DrivenProcess& driven, const std::vector<DWORD>& before,
                       CpuTracker* cpu = nullptr);

// Moves the tool's window, keeping its size, as a user's drag would (SetWindowPos works on
// another process's window; under Wine it stays where it is put).
bool driverMoveWindow(const DrivenProcess& driven, int x, int y);

// Posts WM_CLOSE and waits for the process to end; gives its exit code.
bool driverClose(DrivenProcess& driven, DWORD timeoutMs, DWORD* exitCode);

// Ends the process if it still runs and releases the handle.
void driverRelease(DrivenProcess& driven);

// A top-level window of the process with the given class and caption that is visible,
// waiting up to timeoutMs; null when none appeared.
HWND driverFindWindow(DWORD processId, const char* className, const char* caption,
                      DWORD timeoutMs);

// Waits until the window no longer exists.
bool driverWaitGone(HWND window, DWORD timeoutMs);

// A copy of a window's client area as it stands on the screen: 32-bit pixels, rows from
// the top. Saved as a 24-bit BMP when savePath is not empty.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<unsigned> pixels;    // 0x00RRGGBB
    unsigned at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
// With maxRows above 0, only the top rows are copied (a quick look at the page's first lines).
bool driverCaptureClient(HWND window, Capture& capture, const std::string& savePath,
                         int maxRows = 0);

// Reading a whole file: support/files.h.
