#include "desktop.h"

#include "core/shellrecord.h"

#include <iostream>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#ifdef _WIN32

bool startedFromExplorer()
{
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

void openWithShell(const std::string& path)
{
    if (!shellRecord("open " + path))
        ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void showProblem(const std::string& text)
{
    std::string oneLine = text;
    for (char& c : oneLine)
        c = c == '\n' ? ' ' : c;
    if (!shellRecord("message " + oneLine))
        MessageBoxA(nullptr, text.c_str(), "kelvaro-report", MB_OK | MB_ICONERROR);
}

#else

bool startedFromExplorer() { return false; }

void openWithShell(const std::string& path)
{
    shellRecord("open " + path);
}

void showProblem(const std::string& text)
{
    if (!shellRecord("message " + text))
        std::cerr << text << "\n";
}

#endif
