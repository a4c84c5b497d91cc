#include "core/report.h"

#include "core/log.h"
#include "core/logtext.h"
#include "core/shellrecord.h"

#include <shellapi.h>

#include <string>

namespace {

// ShellExecuteA's stand-in while the shell record is on, with the tick count at the call, so
// that a test sees how long the page took after the log's file.
HINSTANCE WINAPI recordShell(HWND, LPCSTR verb, LPCSTR path, LPCSTR, LPCSTR, INT)
{
    shellRecord(std::string(verb != nullptr ? verb : "") + " " + (path != nullptr ? path : "") + " @ " +
                std::to_string(GetTickCount()) + " ms");
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));   // above 32: success
}

}   // namespace

const ReportSystem& reportSystemCalls()
{
    static const ReportSystem calls = {GetTempPathA, GetSystemTimeAsFileTime,
                                       shellRecording() ? recordShell : ShellExecuteA, Sleep, DeleteFileA,
                                       writeFindingsPage};
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
    // The findings page takes its time out of the second the log's file stays for its viewer.
    DWORD spent = 0;
    if (system.writePage != nullptr) {
        const DWORD started = GetTickCount();
        char page[MAX_PATH];
        if (system.writePage(text, length, page, sizeof page))
            system.shellExecute(GetDesktopWindow(), "open", page, nullptr, nullptr, SW_SHOWMAXIMIZED);
        spent = GetTickCount() - started;
    }
    system.sleep(spent < 1000 ? 1000 - spent : 0);
    system.deleteFile(path);
    return true;
}

void writeReport()
{
    writeReportWith(reportSystemCalls());
}
