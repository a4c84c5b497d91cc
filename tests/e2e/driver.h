// Drives a running kelvaro.exe from another Win32 process: start it with its standard
// output in a file, find its window, post commands, follow its thread count, close it.
#pragma once

#include <windows.h>

#include <string>

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

// Posts WM_COMMAND with the command id, as a menu choice does.
bool driverCommand(const DrivenProcess& driven, WORD command);

// Number of threads the process has now (Toolhelp snapshot); -1 when it cannot be read.
int driverThreadCount(DWORD processId);

// Waits until the thread count has stayed at or below idleCount for settleMs.
bool driverWaitThreads(const DrivenProcess& driven, int idleCount, DWORD settleMs,
                       DWORD timeoutMs);

// Posts WM_CLOSE and waits for the process to end; gives its exit code.
bool driverClose(DrivenProcess& driven, DWORD timeoutMs, DWORD* exitCode);

// Ends the process if it still runs and releases the handle.
void driverRelease(DrivenProcess& driven);

// Reads a whole file; empty when it cannot be read.
std::string readWholeFile(const std::string& path);
