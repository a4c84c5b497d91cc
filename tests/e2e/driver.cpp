#include "e2e/driver.h"

#include <tlhelp32.h>

#include <algorithm>
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

    // What the tool asks the shell to open is recorded in the driver's folder under the output's
    // name, never opened: no viewer or browser starts under Wine. A caller may name another record.
    std::string extra = environment;
    if (extra.find("KELVARO_SHELL_RECORD=") == std::string::npos && GetEnvironmentVariableA("KELVARO_SHELL_RECORD", nullptr, 0) == 0) {
        const size_t slash = outputPath.find_last_of("\\/");
        const std::string record =
            programFolder() + (slash == std::string::npos ? outputPath : outputPath.substr(slash + 1)) + ".shell.txt";
        DeleteFileA(record.c_str());
        extra += (extra.empty() || extra.back() == ';' ? "" : ";") + std::string("KELVARO_SHELL_RECORD=") + record;
    }
    std::vector<char> block = environmentWith(extra);
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

void driverKeepOnTop(HWND window)
{
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

bool driverCommand(const DrivenProcess& driven, WORD command)
{
    return PostMessageA(driven.window, WM_COMMAND, MAKEWPARAM(command, 0), 0) != FALSE;
}

std::vector<DWORD> driverThreadIds(DWORD processId)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == processId)
            ids.push_back(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return ids;
}

static unsigned long long threadTimes(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return 0;
    const auto value = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return value(kernel) + value(user);
}

void CpuTracker::record(DWORD threadId, HANDLE thread)
{
    const unsigned long long used = threadTimes(thread);
    for (auto& entry : threads) {
        if (entry.first == threadId) {
            if (used > entry.second)
                entry.second = used;
            return;
        }
    }
    threads.emplace_back(threadId, used);
}

void CpuTracker::sample(DWORD processId)
{
    for (DWORD id : driverThreadIds(processId)) {
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
        if (thread == nullptr)
            continue;
        record(id, thread);
        CloseHandle(thread);
    }
}

double CpuTracker::seconds() const
{
    unsigned long long total = 0;
    for (const auto& entry : threads)
        total += entry.second;
    return static_cast<double>(total) / 1e7;
}

bool driverWaitTestEnd(const DrivenProcess& driven, const std::vector<DWORD>& before,
                       CpuTracker* cpu)
{
    const DWORD start = GetTickCount();
    for (;;) {
        for (DWORD id : driverThreadIds(driven.processId)) {
            if (std::find(before.begin(), before.end(), id) != before.end())
                continue;
            HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, id);
            if (thread == nullptr)
                continue;    // already gone
            HANDLE both[2] = {thread, driven.process};
            DWORD result = WAIT_TIMEOUT;
            const DWORD waitStart = GetTickCount();
            while (result == WAIT_TIMEOUT && GetTickCount() - waitStart < 60 * 60 * 1000) {
                result = WaitForMultipleObjects(2, both, FALSE, cpu != nullptr ? 100 : 1000);
                if (cpu != nullptr)
                    cpu->sample(driven.processId);
            }
            if (cpu != nullptr)
                cpu->record(id, thread);   // its whole time, now that it has ended
            CloseHandle(thread);
            return result == WAIT_OBJECT_0;
        }
        if (GetTickCount() - start > 5000)
            return false;   // the command started no thread
        if (WaitForSingleObject(driven.process, 5) == WAIT_OBJECT_0)
            return false;
    }
}

bool driverMoveWindow(const DrivenProcess& driven, int x, int y)
{
    return SetWindowPos(driven.window, nullptr, x, y, 0, 0,
                        SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) != FALSE;
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

struct CaptionSearch {
    DWORD processId;
    const char* className;
    const char* caption;
    HWND found;
};

static BOOL CALLBACK matchCaption(HWND window, LPARAM context)
{
    CaptionSearch* search = reinterpret_cast<CaptionSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64] = "";
    char caption[256] = "";
    GetClassNameA(window, className, sizeof className);
    GetWindowTextA(window, caption, sizeof caption);
    if (owner == search->processId && IsWindowVisible(window) &&
        std::strcmp(className, search->className) == 0 &&
        std::strcmp(caption, search->caption) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND driverFindWindow(DWORD processId, const char* className, const char* caption,
                      DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        CaptionSearch search = {processId, className, caption, nullptr};
        EnumWindows(matchCaption, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr || GetTickCount() - start > timeoutMs)
            return search.found;
        Sleep(50);
    }
}

bool driverWaitGone(HWND window, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

static void putLittle(std::string& out, unsigned value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

static bool saveBmp(const Capture& capture, const std::string& path)
{
    const unsigned rowBytes = (static_cast<unsigned>(capture.width) * 3 + 3) & ~3u;
    const unsigned imageBytes = rowBytes * static_cast<unsigned>(capture.height);
    std::string out = "BM";
    putLittle(out, 54 + imageBytes, 4);
    putLittle(out, 0, 4);
    putLittle(out, 54, 4);
    putLittle(out, 40, 4);
    putLittle(out, static_cast<unsigned>(capture.width), 4);
    putLittle(out, static_cast<unsigned>(capture.height), 4);    // bottom-up rows
    putLittle(out, 1, 2);
    putLittle(out, 24, 2);
    putLittle(out, 0, 4);
    putLittle(out, imageBytes, 4);
    putLittle(out, 2835, 4);
    putLittle(out, 2835, 4);
    putLittle(out, 0, 4);
    putLittle(out, 0, 4);
    for (int y = capture.height - 1; y >= 0; --y) {
        const size_t rowStart = out.size();
        for (int x = 0; x < capture.width; ++x) {
            const unsigned rgb = capture.at(x, y);
            out.push_back(static_cast<char>(rgb & 0xFF));
            out.push_back(static_cast<char>((rgb >> 8) & 0xFF));
            out.push_back(static_cast<char>((rgb >> 16) & 0xFF));
        }
        out.append(rowBytes - (out.size() - rowStart), '\0');
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == out.size();
}

bool driverCaptureClient(HWND window, Capture& capture, const std::string& savePath, int maxRows)
{
    RECT client;
    if (!GetClientRect(window, &client) || client.right <= 0 || client.bottom <= 0)
        return false;
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    capture.width = client.right;
    capture.height = maxRows > 0 && maxRows < client.bottom ? maxRows : client.bottom;

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info;
    std::memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height;    // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = bitmap != nullptr;
    if (ok) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        // Only the part on the screen: a copy that reaches past its edge gives nothing at all
        // under Wine. The rest stays black.
        const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
        const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
        const int right = left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
        const int bottom = top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
        const int x0 = origin.x > left ? origin.x : left;
        const int y0 = origin.y > top ? origin.y : top;
        const int x1 = origin.x + capture.width < right ? origin.x + capture.width : right;
        const int y1 = origin.y + capture.height < bottom ? origin.y + capture.height : bottom;
        ok = x1 > x0 && y1 > y0 &&
             BitBlt(memory, x0 - origin.x, y0 - origin.y, x1 - x0, y1 - y0, screen, x0, y0,
                    SRCCOPY) != FALSE;
        GdiFlush();
        const unsigned* source = static_cast<const unsigned*>(bits);
        capture.pixels.assign(source, source + static_cast<size_t>(capture.width) * capture.height);
        for (unsigned& pixel : capture.pixels)
            pixel &= 0x00FFFFFF;
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok && (savePath.empty() || saveBmp(capture, savePath));
}
