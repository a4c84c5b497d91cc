// The exit report, with the system calls it makes gathered in one record so that tests
// can stand in for the temporary path, the clock, the shell, the pause and the delete.
#pragma once

#include <windows.h>

struct ReportSystem {
    DWORD(WINAPI* getTempPath)(DWORD, LPSTR);
    void(WINAPI* getSystemTimeAsFileTime)(LPFILETIME);
    HINSTANCE(WINAPI* shellExecute)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
    void(WINAPI* sleep)(DWORD);
    BOOL(WINAPI* deleteFile)(LPCSTR);
};

// The calls writeReport makes.
const ReportSystem& reportSystemCalls();

// writeReport with the given calls. Returns true when it created the report file.
bool writeReportWith(const ReportSystem& system);
