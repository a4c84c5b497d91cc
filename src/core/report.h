// The exit report, with the system calls it makes gathered in one record so that tests
// can stand in for the temporary path, the clock, the shell, the pause and the delete.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct ReportSystem {
    DWORD(WINAPI* getTempPath)(DWORD, LPSTR);
    void(WINAPI* getSystemTimeAsFileTime)(LPFILETIME);
    HINSTANCE(WINAPI* shellExecute)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
    void(WINAPI* sleep)(DWORD);
    BOOL(WINAPI* deleteFile)(LPCSTR);
    // Writes the findings page of the log's text and gives its path; null: no page.
    bool (*writePage)(const char* text, int32_t length, char* path, size_t size);
};

// The findings page of a log, as kelvaro-report --html writes it, into the user's Documents
// folder under kelvaro\, named by the local date and time (kelvaro-2026-12-10-203015.html, a
// number added rather than any file overwritten). False, and nothing left, when anything fails.
bool writeFindingsPage(const char* text, int32_t length, char* path, size_t size);

// The calls writeReport makes.
const ReportSystem& reportSystemCalls();

// writeReport with the given calls. Returns true when it created the report file.
bool writeReportWith(const ReportSystem& system);
