#include "e2e/driver.h"

#include <tlhelp32.h>

#include <cstring>
#include <vector>

std::string programFolder()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    const size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

// The current environment block with the extra pairs added (or replacing same names).
static std::vector<char> environmentWith(const std::string& extra)
{
    std::vector<std::string> pairs;
    for (size_t start = 0; start < extra.size();) {
        size_t end = extra.find(';', start);
        if (end == std::string::npos)
            end = extra.size();
        if (end > start)
            pairs.push_back(extra.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char> block;
    char* current = GetEnvironmentStringsA();
    for (const char* p = current; *p != '\0'; p += std::strlen(p) + 1) {
        const std::string entry(p);
        bool replaced = false;
        for (const std::string& pair : pairs) {
            const std::string name = pair.substr(0, pair.find('=') + 1);
            if (_strnicmp(entry.c_str(), name.c_str(), name.size()) == 0)
                replaced = true;
        }
        if (!replaced)
            block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    FreeEnvironmentStringsA(current);
    for (const std::string& pair : pairs)
        block.insert(block.end(), pair.c_str(), pair.c_str() + pair.size() + 1);
    block.push_back('\0');
    return block;
}

bool driverStart(const std::string& exePath, const std::string& outputPath,
                 const std::string& environment, DrivenProcess& driven)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return false;

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = output;

    std::vector<char> block = environmentWith(environment);
    std::string commandLine = "\"" + exePath + "\"";
    PROCESS_INFORMATION info;
    const BOOL started = CreateProcessA(exePath.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                        0, block.data(), nullptr, &startup, &info);
    CloseHandle(output);
    if (!started)
        return false;
    CloseHandle(info.hThread);
    driven.process = info.hProcess;
    driven.processId = info.dwProcessId;
    driven.window = nullptr;
    return true;
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

static BOOL CALLBACK matchWindow(HWND window, LPARAM context)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64];
    if (owner == search->processId && GetClassNameA(window, className, sizeof className) > 0 &&
        std::strcmp(className, "kelvaro") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

bool driverWaitWindow(DrivenProcess& driven, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        WindowSearch search = {driven.processId, nullptr};
        EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr && IsWindowVisible(search.found)) {
            driven.window = search.found;
            return true;
        }
        if (WaitForSingleObject(driven.process, 50) == WAIT_OBJECT_0)
            return false;    // the process ended without a window
        if (GetTickCount() - start > timeoutMs)
            return false;
    }
}

bool driverCommand(const DrivenProcess& driven, WORD command)
{
    return PostMessageA(driven.window, WM_COMMAND, MAKEWPARAM(command, 0), 0) != FALSE;
}

int driverThreadCount(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == processId)
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

bool driverWaitThreads(const DrivenProcess& driven, int idleCount, DWORD settleMs,
                       DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    DWORD idleSince = 0;
    bool idle = false;
    for (;;) {
        const DWORD now = GetTickCount();
        const int count = driverThreadCount(driven.processId);
        if (count >= 0 && count <= idleCount) {
            if (!idle) {
                idle = true;
                idleSince = now;
            }
            if (now - idleSince >= settleMs)
                return true;
        } else {
            idle = false;
        }
        if (now - start > timeoutMs)
            return false;
        if (WaitForSingleObject(driven.process, 100) == WAIT_OBJECT_0)
            return false;
    }
}

bool driverClose(DrivenProcess& driven, DWORD timeoutMs, DWORD* exitCode)
{
    if (driven.window != nullptr)
        PostMessageA(driven.window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(driven.process, timeoutMs) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(driven.process, &code);
    if (exitCode != nullptr)
        *exitCode = code;
    return true;
}

void driverRelease(DrivenProcess& driven)
{
    if (driven.process == nullptr)
        return;
    if (WaitForSingleObject(driven.process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(driven.process, 99);
        WaitForSingleObject(driven.process, 5000);
    }
    CloseHandle(driven.process);
    driven.process = nullptr;
}

std::string readWholeFile(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    return text;
}
