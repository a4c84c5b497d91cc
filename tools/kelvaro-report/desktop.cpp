#include "desktop.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

// The record's path, or empty.
std::string shellRecord()
{
    const char* record = std::getenv("KELVARO_SHELL_RECORD");
    return record != nullptr ? record : "";
}

bool recorded(const std::string& line)
{
    const std::string record = shellRecord();
    if (record.empty())
        return false;
    if (std::FILE* file = std::fopen(record.c_str(), "ab")) {
        std::fprintf(file, "%s\r\n", line.c_str());
        std::fclose(file);
    }
    return true;
}

}   // namespace

#ifdef _WIN32

bool startedFromExplorer()
{
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

void openWithShell(const std::string& path)
{
    if (!recorded("open " + path))
        ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void showProblem(const std::string& text)
{
    std::string oneLine = text;
    for (char& c : oneLine)
        c = c == '\n' ? ' ' : c;
    if (!recorded("message " + oneLine))
        MessageBoxA(nullptr, text.c_str(), "kelvaro-report", MB_OK | MB_ICONERROR);
}

#else

bool startedFromExplorer() { return false; }

void openWithShell(const std::string& path)
{
    recorded("open " + path);
}

void showProblem(const std::string& text)
{
    if (!recorded("message " + text))
        std::cerr << text << "\n";
}

#endif
