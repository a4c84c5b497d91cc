// Optional system functions, bound by name at run time so that the tool starts on systems
// that lack some of them. Each wrapper bears the name of the function it binds, takes its
// arguments and returns its result, or a fixed failure result of the same kind when the
// function is missing. The namespace keeps the wrappers apart from the platform's own
// declarations of those names.
#pragma once

#include <windows.h>

#include <ddraw.h>
#include <dxgi.h>

namespace bound {

using NTSTATUS = LONG;
using D3DKMT_HANDLE = UINT32;
using D3DDDI_VIDEO_PRESENT_SOURCE_ID = UINT32;

// Results of a missing function.
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr HRESULT kNotImplemented = static_cast<HRESULT>(0x80004001);   // E_NOTIMPL

// D3DKMT_QUERYADAPTERINFO.Type that asks for a D3DKMT_CURRENTDISPLAYMODE.
constexpr UINT kQueryCurrentDisplayMode = 9;

struct D3DKMT_OPENADAPTERFROMHDC {
    HDC hDc;                                        // in
    D3DKMT_HANDLE hAdapter;                         // out
    LUID AdapterLuid;                               // out
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;   // out
};

struct D3DKMT_CLOSEADAPTER {
    D3DKMT_HANDLE hAdapter;
};

struct D3DKMT_WAITFORVERTICALBLANKEVENT {
    D3DKMT_HANDLE hAdapter;
    D3DKMT_HANDLE hDevice;   // 0: no device
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;
};

struct D3DKMT_GETSCANLINE {
    D3DKMT_HANDLE hAdapter;                         // in
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;   // in
    BOOLEAN InVerticalBlank;                        // out
    UINT32 ScanLine;                                // out
};

struct D3DKMT_QUERYADAPTERINFO {
    D3DKMT_HANDLE hAdapter;
    UINT Type;
    void* pPrivateDriverData;
    UINT PrivateDriverDataSize;
};

struct D3DDDI_RATIONAL {
    UINT Numerator;
    UINT Denominator;
};

struct D3DKMT_DISPLAYMODE {
    UINT Width;
    UINT Height;
    UINT Format;
    UINT IntegerRefreshRate;
    D3DDDI_RATIONAL RefreshRate;
    UINT ScanLineOrdering;
    UINT DisplayOrientation;
    UINT DisplayFixedOutput;
    UINT Flags[2];   // two words, not one 64-bit value, to keep 4-byte alignment
};

struct D3DKMT_CURRENTDISPLAYMODE {
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;   // in
    D3DKMT_DISPLAYMODE DisplayMode;                 // out
};

#pragma pack(push, 1)
struct UNSIGNED_RATIO {
    UINT32 uiNumerator;
    UINT32 uiDenominator;
};

// The compositor's timing record, byte-packed; cbSize must be sizeof(DWM_TIMING_INFO).
struct DWM_TIMING_INFO {
    UINT32 cbSize;
    UNSIGNED_RATIO rateRefresh;
    ULONGLONG qpcRefreshPeriod;
    UNSIGNED_RATIO rateCompose;
    ULONGLONG qpcVBlank;
    ULONGLONG cRefresh;
    UINT cDXRefresh;
    ULONGLONG qpcCompose;
    ULONGLONG cFrame;
    UINT cDXPresent;
    ULONGLONG cRefreshFrame;
    ULONGLONG cFrameSubmitted;
    UINT cDXPresentSubmitted;
    ULONGLONG cFrameConfirmed;
    UINT cDXPresentConfirmed;
    ULONGLONG cRefreshConfirmed;
    UINT cDXRefreshConfirmed;
    ULONGLONG cFramesLate;
    UINT cFramesOutstanding;
    ULONGLONG cFrameDisplayed;
    ULONGLONG qpcFrameDisplayed;
    ULONGLONG cRefreshFrameDisplayed;
    ULONGLONG cFrameComplete;
    ULONGLONG qpcFrameComplete;
    ULONGLONG cFramePending;
    ULONGLONG qpcFramePending;
    ULONGLONG cFramesDisplayed;
    ULONGLONG cFramesComplete;
    ULONGLONG cFramesPending;
    ULONGLONG cFramesAvailable;
    ULONGLONG cFramesDropped;
    ULONGLONG cFramesMissed;
    ULONGLONG cRefreshNextDisplayed;
    ULONGLONG cRefreshNextPresented;
    ULONGLONG cRefreshesDisplayed;
    ULONGLONG cRefreshesPresented;
    ULONGLONG cRefreshStarted;
    ULONGLONG cPixelsReceived;
    ULONGLONG cPixelsDrawn;
    ULONGLONG cBuffersEmpty;
};
#pragma pack(pop)

// Windows 11's compositor clock (dcomp.dll, build 22000 on), which MinGW's headers lack:
// declared here from Microsoft's documented signatures.
using COMPOSITION_FRAME_ID = UINT64;
enum COMPOSITION_FRAME_ID_TYPE : UINT {
    COMPOSITION_FRAME_ID_CREATED = 0,
    COMPOSITION_FRAME_ID_CONFIRMED = 1,
    COMPOSITION_FRAME_ID_COMPLETED = 2,
};
struct COMPOSITION_FRAME_STATS {
    UINT64 startTime;     // performance-counter values
    UINT64 targetTime;
    UINT64 framePeriod;   // counts
};
struct COMPOSITION_TARGET_ID {
    LUID displayAdapterLuid;
    LUID renderAdapterLuid;
    UINT vidPnSourceId;
    UINT vidPnTargetId;
    UINT uniqueId;
};
// What the clock's wait returns while the display is off.
constexpr DWORD kStatusGraphicsPresentOccluded = 0xC01E0006;

// The short form of DISPLAY_DEVICEA (without DeviceID and DeviceKey); cb must be 168.
struct DisplayDevice {
    DWORD cb;
    CHAR DeviceName[32];
    CHAR DeviceString[128];
    DWORD StateFlags;
};

static_assert(sizeof(DWM_TIMING_INFO) == 292, "DWM_TIMING_INFO is 292 bytes");
static_assert(sizeof(D3DKMT_DISPLAYMODE) == 44, "D3DKMT_DISPLAYMODE is 44 bytes");
static_assert(sizeof(D3DKMT_CURRENTDISPLAYMODE) == 48, "D3DKMT_CURRENTDISPLAYMODE is 48 bytes");
static_assert(sizeof(D3DKMT_GETSCANLINE) == 16, "D3DKMT_GETSCANLINE is 16 bytes");
static_assert(sizeof(D3DKMT_WAITFORVERTICALBLANKEVENT) == 12, "three 32-bit members");
static_assert(sizeof(DisplayDevice) == 168, "the short DISPLAY_DEVICEA is 168 bytes");
static_assert(sizeof(MONITORINFOEXA) == 72, "MONITORINFOEXA is 72 bytes");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(D3DKMT_OPENADAPTERFROMHDC) == 20, "D3DKMT_OPENADAPTERFROMHDC is 20 bytes");
static_assert(sizeof(D3DKMT_QUERYADAPTERINFO) == 16, "D3DKMT_QUERYADAPTERINFO is 16 bytes");
#endif

// The optional functions: the one list that the binder binds by and that a stand-in answers
// for.
enum class Optional {
    DwmFlush,
    DwmGetCompositionTimingInfo,
    DwmIsCompositionEnabled,
    EnumDisplayDevicesA,
    D3DKMTWaitForVerticalBlankEvent,
    D3DKMTOpenAdapterFromHdc,
    D3DKMTCloseAdapter,
    D3DKMTGetScanLine,
    D3DKMTQueryAdapterInfo,
    MonitorFromWindow,
    GetMonitorInfoA,
    NtQueryTimerResolution,
    DirectDrawCreate,
    CreateDXGIFactory1,
    DCompositionWaitForCompositorClock,
    DCompositionGetFrameId,
    DCompositionGetStatistics,
    Count
};
struct OptionalName {
    const char* module;   // without ".dll"
    const char* function;
};
const OptionalName& optionalName(Optional function);

// Finds a function for fnBind ahead of the system; null means "not mine, ask the system".
using Resolver = FARPROC (*)(const char* module, const char* function);

// Installs the resolver that fnBind asks first and returns the previous one; null leaves
// only the system lookup. Takes effect for functions bound after the call.
Resolver setResolver(Resolver resolver);

// The address of function in module ("dwmapi": no extension), or null. A module that is not
// loaded yet is loaded from the system directory only, and kept. Logs one line per call.
FARPROC fnBind(const char* module, const char* function);

// The wrappers. Each binds its function on its first call (one log line per process, found
// or not) and, when it is missing, returns the failure noted.
HRESULT DwmFlush();                                                       // E_NOTIMPL
HRESULT DwmGetCompositionTimingInfo(HWND window, DWM_TIMING_INFO* info);  // E_NOTIMPL
// True only when the function exists, returns S_OK and reports composition on.
bool DwmIsCompositionEnabled();
BOOL EnumDisplayDevicesA(LPCSTR device, DWORD index, DisplayDevice* info, DWORD flags); // FALSE
HMONITOR MonitorFromWindow(HWND window, DWORD flags);                     // null
BOOL GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info);               // FALSE
HRESULT DirectDrawCreate(GUID* driver, LPDIRECTDRAW* directDraw, IUnknown* outer); // E_NOTIMPL
HRESULT CreateDXGIFactory1(REFIID iid, void** factory);                   // E_NOTIMPL
// WAIT_FAILED when missing; the others E_NOTIMPL.
DWORD DCompositionWaitForCompositorClock(UINT count, const HANDLE* handles, DWORD timeoutMs);
HRESULT DCompositionGetFrameId(COMPOSITION_FRAME_ID_TYPE type, COMPOSITION_FRAME_ID* id);
HRESULT DCompositionGetStatistics(COMPOSITION_FRAME_ID id, COMPOSITION_FRAME_STATS* stats, UINT targetCount,
                                  COMPOSITION_TARGET_ID* targets, UINT* actualTargetCount);
// Binds a function (its one log line, found or not) and says whether it is there: for a
// caller that must tell "missing" from a failure of the call.
bool isBound(Optional function);
// These give kStatusNotImplemented when missing.
NTSTATUS D3DKMTWaitForVerticalBlankEvent(const D3DKMT_WAITFORVERTICALBLANKEVENT* wait);
NTSTATUS D3DKMTOpenAdapterFromHdc(D3DKMT_OPENADAPTERFROMHDC* open);
NTSTATUS D3DKMTCloseAdapter(const D3DKMT_CLOSEADAPTER* close);
NTSTATUS D3DKMTGetScanLine(D3DKMT_GETSCANLINE* scanLine);
NTSTATUS D3DKMTQueryAdapterInfo(const D3DKMT_QUERYADAPTERINFO* query);
NTSTATUS NtQueryTimerResolution(ULONG* coarsest, ULONG* finest, ULONG* current);

// Reads the current display mode of one source of an adapter. True and *mode filled only
// when the query succeeds; otherwise *mode is left as it was. Never logs.
bool queryDisplayMode(UINT adapter, UINT sourceId, D3DKMT_DISPLAYMODE* mode);

// For tests only: forgets every binding, so that the next call of each wrapper binds again
// (through a resolver installed since). Must not run while another thread calls a wrapper.
void resetBindingsForTest();

}   // namespace bound
