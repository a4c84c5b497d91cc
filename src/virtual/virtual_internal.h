// What the virtual display's rooms share: the display as a whole (the latest install), the
// driver (its sleeps, its lifecycle and the D3DKMT stand-ins), the desktop (devices, monitors
// and the DCs made for them), the compositor and DirectDraw.
#pragma once

#include "core/bound.h"
#include "virtual/model.h"
#include "virtual/sleepplan.h"

#include <windows.h>

#include <ddraw.h>

#include <cstdint>

// --- The display as a whole (virtual_display.cpp)
// The model of the latest install, or null before the first; valid for the life of the process.
const VirtualModel* virtualLatestModel();
// Whether the display is installed now (an uninstall leaves the latest model in place).
bool virtualInstalledNow();

// --- The driver (virtual_driver.cpp)
// Sleeps by the plan until its margin before `target`; with a generation to watch, ends early
// with false when an install or uninstall moves it on.
bool virtualSleepCoarse(int64_t target, SleepPlan* plan, const uint32_t* generation);
void virtualSpinUntil(int64_t target);
// Starts the interrupt threads (once); at an install, forgets the open adapters and readies the
// waiters' events; wakes the interrupt threads to a new install or an uninstall (which also
// lets the blocked waiters go); closes every open adapter.
void virtualDriverStart();
void virtualDriverReset();
void virtualDriverWake(bool releaseWaiters);
void virtualDriverClose();
// Waits for the next vblank interrupt of an output, as a waiter of the driver's wait does:
// kAsleep at once while the display sleeps (and when it fell asleep during the wait),
// kTimedOut after timeoutMs.
enum class VirtualWake { kVblank, kTimedOut, kAsleep };
VirtualWake virtualWaitOutputVblank(int output, DWORD timeoutMs);
// How long the driver's waiters wait before they give up: a second and a few periods.
DWORD virtualDriverTimeoutMs(const VirtualModel& model, int output);
bound::NTSTATUS WINAPI virtualOpenAdapterFromHdc(bound::D3DKMT_OPENADAPTERFROMHDC* open);
bound::NTSTATUS WINAPI virtualCloseAdapter(const bound::D3DKMT_CLOSEADAPTER* close);
bound::NTSTATUS WINAPI virtualWaitForVerticalBlankEvent(const bound::D3DKMT_WAITFORVERTICALBLANKEVENT* wait);
bound::NTSTATUS WINAPI virtualGetScanLine(bound::D3DKMT_GETSCANLINE* scanLine);
bound::NTSTATUS WINAPI virtualQueryAdapterInfo(const bound::D3DKMT_QUERYADAPTERINFO* query);

// --- The desktop (virtual_desktop.cpp)
// Starts following which device name each display DC is made for (once per process).
void virtualWatchDisplayContexts();
// The output a DC was made for; -1 for a display name of no output of the installed display,
// kDcOfNoDisplay for a DC that was not made for a display name.
constexpr int kDcOfNoDisplay = -2;
int virtualDisplayContextOutput(HDC dc);
BOOL WINAPI virtualEnumDisplayDevicesA(LPCSTR device, DWORD index, bound::DisplayDevice* info, DWORD flags);
HMONITOR WINAPI virtualMonitorFromWindow(HWND window, DWORD flags);
BOOL WINAPI virtualGetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info);
// The second output goes away (back false): the process's windows on it move to the primary,
// as the system moves them; it comes back: the windows moved then go back to it.
void virtualMoveWindowsOffSecond(bool back);

// --- The compositor (virtual_compositor.cpp)
HRESULT WINAPI virtualDwmFlush();
HRESULT WINAPI virtualDwmGetCompositionTimingInfo(HWND window, bound::DWM_TIMING_INFO* info);
HRESULT WINAPI virtualDwmIsCompositionEnabled(BOOL* enabled);

// --- DXGI (virtual_dxgi.cpp)
// CreateDXGIFactory1's stand-in: one adapter with the outputs the desktop lists when the
// factory is made; IsCurrent turns false when the desktop changes after that.
HRESULT WINAPI virtualCreateDXGIFactory1(REFIID iid, void** factory);

// --- Windows 11's compositor clock (virtual_clock.cpp)
DWORD WINAPI virtualWaitForCompositorClock(UINT count, const HANDLE* handles, DWORD timeoutMs);
HRESULT WINAPI virtualCompositionGetFrameId(bound::COMPOSITION_FRAME_ID_TYPE type, bound::COMPOSITION_FRAME_ID* id);
HRESULT WINAPI virtualCompositionGetStatistics(bound::COMPOSITION_FRAME_ID id, bound::COMPOSITION_FRAME_STATS* stats,
                                               UINT targetCount, bound::COMPOSITION_TARGET_ID* targets,
                                               UINT* actualTargetCount);

// --- DirectDraw (virtual_ddraw.cpp)
// DirectDrawCreate's stand-in: a DirectDraw object whose vblank waits follow the timeline.
HRESULT WINAPI virtualDirectDrawCreate(GUID* driver, LPDIRECTDRAW* directDraw, IUnknown* outer);
