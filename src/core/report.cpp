#include "core/report.h"

#include "core/log.h"
#include "core/logtext.h"

#include <shellapi.h>

const ReportSystem& reportSystemCalls()
{
    static const ReportSystem calls = {GetTempPathA, GetSystemTimeAsFileTime, ShellExecuteA,
                                       Sleep, DeleteFileA};
    return calls;
}

bool writeReportWith(const ReportSystem& system)
{
    char path[500];
    const DWORD dirLength = system.getTempPath(sizeof path, path);
    if (dirLength == 0)
        return false;

    FILETIME now;
    system.getSystemTimeAsFileTime(&now);
    if (!appendReportName(path, sizeof path, dirLength, now.dwLowDateTime, now.dwHighDateTime))
        return false;

    // CREATE_NEW: a file of that name that is already there is never touched.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;

    int32_t length = 0;
    const char* text = logFetch(&length);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);

    system.shellExecute(GetDesktopWindow(), "open", path, nullptr, nullptr, SW_SHOWMAXIMIZED);
    system.sleep(1000);
    system.deleteFile(path);
    return true;
}

void writeReport()
{
    writeReportWith(reportSystemCalls());
}
