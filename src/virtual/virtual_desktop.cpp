// The virtual display's desktop: its outputs as display devices and monitors (with two
// outputs), and which device each display DC was made for. The tool makes its display DCs
// through displayDcCreate with a device name, and the D3DKMT open then receives only the DC:
// a real driver knows the device behind it, a stand-in has to learn it. So the desktop watches
// that one function and notes the device name of each DC until it is deleted.
#include "virtual/virtual_display.h"
#include "virtual/virtual_internal.h"

#include "core/clock.h"
#include "core/displaydc.h"
#include "core/lock.h"

#include <atomic>
#include <cstring>

namespace {

// The display DCs alive now. A handful at a time; a DC that does not fit is simply not known
// (it opens the primary's adapter, as any other DC does).
constexpr int kMaxContexts = 64;
struct Context {
    HDC dc;
    char device[32];
};
Context g_contexts[kMaxContexts];
int g_contextCount = 0;

CriticalLock* contextLock()
{
    static CriticalLock* const lock = lockCreate(0);
    return lock;
}

void forget(HDC dc)
{
    CriticalLock* lock = contextLock();
    lockEnter(lock);
    for (int i = 0; i < g_contextCount; ++i) {
        if (g_contexts[i].dc == dc) {
            g_contexts[i] = g_contexts[--g_contextCount];
            break;
        }
    }
    lockLeave(lock);
}

void made(HDC dc, const char* device)
{
    forget(dc);   // a handle the system reused
    CriticalLock* lock = contextLock();
    lockEnter(lock);
    if (g_contextCount < kMaxContexts) {
        Context& entry = g_contexts[g_contextCount++];
        entry.dc = dc;
        std::strncpy(entry.device, device, sizeof entry.device - 1);
        entry.device[sizeof entry.device - 1] = '\0';
    }
    lockLeave(lock);
}

const DisplayDcWatcher kWatcher = {made, forget};

std::atomic<bool> g_watching{false};

// --- The monitors, with two outputs ------------------------------------------------------

// Monitor handles in the style of the system's: never 0.
HMONITOR monitorHandle(int output)
{
    return reinterpret_cast<HMONITOR>(static_cast<INT_PTR>(0x4B560010 + output));
}

// The output of a monitor handle, while the desktop lists it.
int monitorOutput(const VirtualModel& model, HMONITOR monitor)
{
    for (int output = 0; output < model.outputs; ++output) {
        if (monitorHandle(output) == monitor)
            return virtualOutputListed(model, output, readPerformanceCounter()) ? output : -1;
    }
    return -1;
}

// --- Windows on an output that goes away -------------------------------------------------

// The process's top-level windows that the desktop moved off the second output, to be put back
// where they were when it returns (as Windows 11 does); a handful at most.
constexpr int kMaxMoved = 16;
HWND g_moved[kMaxMoved];
int g_movedCount = 0;

bool wasMoved(HWND window)
{
    for (int i = 0; i < g_movedCount; ++i) {
        if (g_moved[i] == window)
            return true;
    }
    return false;
}

BOOL CALLBACK moveWindow(HWND window, LPARAM parameter)
{
    const bool back = parameter != 0;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    RECT rect;
    if (process != GetCurrentProcessId() || !IsWindowVisible(window) || !GetWindowRect(window, &rect))
        return TRUE;
    const VirtualRect second = virtualOutputRect(1);
    const LONG middle = rect.left + (rect.right - rect.left) / 2;
    const bool onSecond = middle >= second.left && middle < second.right;
    bool move = false;
    if (!back && onSecond && g_movedCount < kMaxMoved) {
        g_moved[g_movedCount++] = window;
        move = true;
    } else if (back && !onSecond) {
        move = wasMoved(window);
    }
    // Asynchronous: the caller is the driver's interrupt thread, which must never block on the
    // window's own thread.
    if (move) {
        const LONG shift = back ? second.left : -second.left;
        SetWindowPos(window, nullptr, rect.left + shift, rect.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
    }
    // The system tells every top-level window that the displays changed, after it moved them.
    SendNotifyMessageA(window, WM_DISPLAYCHANGE, 32, MAKELPARAM(kTimelineWidth, kTimelineVisibleLines));
    return TRUE;
}

}   // namespace


void virtualMoveWindowsOffSecond(bool back)
{
    if (!back)
        g_movedCount = 0;
    EnumWindows(moveWindow, back ? 1 : 0);
    if (back)
        g_movedCount = 0;
}

void virtualWatchDisplayContexts()
{
    if (!g_watching.exchange(true))
        displayDcWatch(&kWatcher);
}

int virtualDisplayContextOutput(HDC dc)
{
    const VirtualModel* model = virtualDisplayModel();
    char device[32] = "";
    bool known = false;
    CriticalLock* lock = contextLock();
    lockEnter(lock);
    for (int i = 0; i < g_contextCount && !known; ++i) {
        if (g_contexts[i].dc == dc) {
            std::memcpy(device, g_contexts[i].device, sizeof device);
            known = true;
        }
    }
    lockLeave(lock);
    if (!known || model == nullptr)
        return kDcOfNoDisplay;
    if (_stricmp(device, "DISPLAY") == 0)
        return 0;   // the whole desktop: the primary's
    return virtualOutputByName(*model, device);
}

BOOL WINAPI virtualEnumDisplayDevicesA(LPCSTR device, DWORD index, bound::DisplayDevice* info,
                                       DWORD)
{
    const VirtualModel* model = virtualLatestModel();
    // Only the display devices themselves, not the monitors of one of them.
    if (model == nullptr || device != nullptr || info == nullptr || info->cb < sizeof(bound::DisplayDevice))
        return FALSE;
    // The index counts the outputs the desktop lists now.
    const int64_t now = readPerformanceCounter();
    int output = -1;
    for (int o = 0, listed = 0; o < model->outputs && output < 0; ++o) {
        if (virtualOutputListed(*model, o, now) && listed++ == static_cast<int>(index))
            output = o;
    }
    if (output < 0)
        return FALSE;
    std::memset(info->DeviceName, 0, sizeof info->DeviceName);
    std::memset(info->DeviceString, 0, sizeof info->DeviceString);
    std::strncpy(info->DeviceName, virtualOutputName(output), sizeof info->DeviceName - 1);
    std::strncpy(info->DeviceString, "kelvaro virtual display", sizeof info->DeviceString - 1);
    info->StateFlags = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP |
                       (output == 0 ? DISPLAY_DEVICE_PRIMARY_DEVICE : 0);
    return TRUE;
}

HMONITOR WINAPI virtualMonitorFromWindow(HWND window, DWORD flags)
{
    const VirtualModel* model = virtualLatestModel();
    if (model == nullptr)
        return nullptr;
    RECT rect;
    if (window == nullptr || !GetWindowRect(window, &rect))
        return flags == MONITOR_DEFAULTTONULL ? nullptr : monitorHandle(0);
    const int output = virtualOutputForRect(
        *model, VirtualRect{rect.left, rect.top, rect.right, rect.bottom},
        flags == MONITOR_DEFAULTTONEAREST, readPerformanceCounter());
    if (output >= 0)
        return monitorHandle(output);
    return flags == MONITOR_DEFAULTTOPRIMARY ? monitorHandle(0) : nullptr;
}

BOOL WINAPI virtualGetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info)
{
    const VirtualModel* model = virtualLatestModel();
    if (model == nullptr || info == nullptr)
        return FALSE;
    const int output = monitorOutput(*model, monitor);
    if (output < 0 || (info->cbSize != sizeof(MONITORINFO) && info->cbSize != sizeof(MONITORINFOEXA)))
        return FALSE;
    const VirtualRect area = virtualOutputRect(output);
    info->rcMonitor = RECT{area.left, area.top, area.right, area.bottom};
    info->rcWork = info->rcMonitor;
    info->dwFlags = output == 0 ? MONITORINFOF_PRIMARY : 0;
    if (info->cbSize == sizeof(MONITORINFOEXA)) {
        auto* extended = reinterpret_cast<MONITORINFOEXA*>(info);
        std::memset(extended->szDevice, 0, sizeof extended->szDevice);
        std::strncpy(extended->szDevice, virtualOutputName(output), sizeof extended->szDevice - 1);
    }
    return TRUE;
}

