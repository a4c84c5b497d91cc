#include "core/bound.h"

#include "core/lock.h"
#include "core/log.h"

#include <atomic>
#include <cstring>

namespace bound {

namespace {

// In the order of Optional.
constexpr OptionalName kOptionalNames[] = {
    {"dwmapi", "DwmFlush"},
    {"dwmapi", "DwmGetCompositionTimingInfo"},
    {"dwmapi", "DwmIsCompositionEnabled"},
    {"user32", "EnumDisplayDevicesA"},
    {"gdi32", "D3DKMTWaitForVerticalBlankEvent"},
    {"gdi32", "D3DKMTOpenAdapterFromHdc"},
    {"gdi32", "D3DKMTCloseAdapter"},
    {"gdi32", "D3DKMTGetScanLine"},
    {"gdi32", "D3DKMTQueryAdapterInfo"},
    {"user32", "MonitorFromWindow"},
    {"user32", "GetMonitorInfoA"},
    {"ntdll", "NtQueryTimerResolution"},
    {"ddraw", "DirectDrawCreate"},
    {"dxgi", "CreateDXGIFactory1"},
    {"dcomp", "DCompositionWaitForCompositorClock"},
    {"dcomp", "DCompositionGetFrameId"},
    {"dcomp", "DCompositionGetStatistics"},
};
constexpr size_t kOptionalCount = static_cast<size_t>(Optional::Count);
static_assert(sizeof kOptionalNames / sizeof kOptionalNames[0] == kOptionalCount, "a name for every optional function");

// One function's binding. address is written once, under the bind lock, before tried is
// released; a reader that acquires tried == true may read address without the lock.
struct BoundFunction {
    std::atomic<bool> tried;
    FARPROC address;
};

BoundFunction g_bound[kOptionalCount];   // zero-initialised: nothing tried yet
std::atomic<Resolver> g_resolver{nullptr};

// The first call of a wrapper may come from two threads at once; the lock makes the second
// wait until the first has bound, so that both call the function and only one logs.
CriticalLock* bindLock()
{
    static CriticalLock* const lock = lockCreate(0);
    return lock;
}

FARPROC bindOnce(Optional index)
{
    BoundFunction& entry = g_bound[static_cast<size_t>(index)];
    if (entry.tried.load(std::memory_order_acquire))
        return entry.address;
    CriticalLock* lock = bindLock();
    lockEnter(lock);
    if (!entry.tried.load(std::memory_order_relaxed)) {
        entry.address = fnBind(optionalName(index).module, optionalName(index).function);
        entry.tried.store(true, std::memory_order_release);
    }
    lockLeave(lock);
    return entry.address;
}

// The bound address as the function's own pointer type; null when missing. The detour
// through void (*)() is the generic function pointer, which converts to any other.
template <typename Function>
Function bind(Optional index)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(bindOnce(index)));
}

// Loads "<system directory>\<module>.dll" and nothing else, so that a DLL of the same name
// beside the program or in the current directory is never loaded.
HMODULE loadFromSystemDirectory(const char* module)
{
    if (std::strpbrk(module, "\\/:") != nullptr)
        return nullptr;
    char path[MAX_PATH];
    const UINT directoryLength = GetSystemDirectoryA(path, MAX_PATH);
    const size_t nameLength = std::strlen(module);
    if (directoryLength == 0 || directoryLength + 1 + nameLength + 4 >= MAX_PATH)
        return nullptr;
    char* end = path + directoryLength;
    *end++ = '\\';
    std::memcpy(end, module, nameLength);
    std::memcpy(end + nameLength, ".dll", 5);
    return LoadLibraryA(path);
}

}   // namespace

const OptionalName& optionalName(Optional function)
{
    return kOptionalNames[static_cast<size_t>(function) % kOptionalCount];
}

Resolver setResolver(Resolver resolver)
{
    return g_resolver.exchange(resolver, std::memory_order_acq_rel);
}

FARPROC fnBind(const char* module, const char* function)
{
    FARPROC address = nullptr;
    const Resolver resolver = g_resolver.load(std::memory_order_acquire);
    if (resolver != nullptr)
        address = resolver(module, function);
    if (address == nullptr) {
        HMODULE handle = GetModuleHandleA(module);
        if (handle == nullptr)
            handle = loadFromSystemDirectory(module);   // kept for the life of the process
        if (handle != nullptr)
            address = GetProcAddress(handle, function);
    }
    logPrintf("...fnBind(%s,%s)=%d", module, function,
              static_cast<int>(reinterpret_cast<INT_PTR>(address)));
    return address;
}

HRESULT DwmFlush()
{
    using Function = HRESULT(WINAPI*)();
    if (const Function function = bind<Function>(Optional::DwmFlush))
        return function();
    return kNotImplemented;
}

HRESULT DwmGetCompositionTimingInfo(HWND window, DWM_TIMING_INFO* info)
{
    using Function = HRESULT(WINAPI*)(HWND, DWM_TIMING_INFO*);
    if (const Function function = bind<Function>(Optional::DwmGetCompositionTimingInfo))
        return function(window, info);
    return kNotImplemented;
}

bool DwmIsCompositionEnabled()
{
    using Function = HRESULT(WINAPI*)(BOOL*);
    const Function function = bind<Function>(Optional::DwmIsCompositionEnabled);
    if (function == nullptr)
        return false;
    BOOL enabled = FALSE;
    // Only S_OK counts: S_FALSE and other success codes do not vouch for the BOOL.
    return function(&enabled) == S_OK && enabled != FALSE;
}

BOOL EnumDisplayDevicesA(LPCSTR device, DWORD index, DisplayDevice* info, DWORD flags)
{
    using Function = BOOL(WINAPI*)(LPCSTR, DWORD, DisplayDevice*, DWORD);
    if (const Function function = bind<Function>(Optional::EnumDisplayDevicesA))
        return function(device, index, info, flags);
    return FALSE;
}

NTSTATUS D3DKMTWaitForVerticalBlankEvent(const D3DKMT_WAITFORVERTICALBLANKEVENT* wait)
{
    using Function = NTSTATUS(WINAPI*)(const D3DKMT_WAITFORVERTICALBLANKEVENT*);
    if (const Function function = bind<Function>(Optional::D3DKMTWaitForVerticalBlankEvent))
        return function(wait);
    return kStatusNotImplemented;
}

NTSTATUS D3DKMTOpenAdapterFromHdc(D3DKMT_OPENADAPTERFROMHDC* open)
{
    using Function = NTSTATUS(WINAPI*)(D3DKMT_OPENADAPTERFROMHDC*);
    if (const Function function = bind<Function>(Optional::D3DKMTOpenAdapterFromHdc))
        return function(open);
    return kStatusNotImplemented;
}

NTSTATUS D3DKMTCloseAdapter(const D3DKMT_CLOSEADAPTER* close)
{
    using Function = NTSTATUS(WINAPI*)(const D3DKMT_CLOSEADAPTER*);
    if (const Function function = bind<Function>(Optional::D3DKMTCloseAdapter))
        return function(close);
    return kStatusNotImplemented;
}

NTSTATUS D3DKMTGetScanLine(D3DKMT_GETSCANLINE* scanLine)
{
    using Function = NTSTATUS(WINAPI*)(D3DKMT_GETSCANLINE*);
    if (const Function function = bind<Function>(Optional::D3DKMTGetScanLine))
        return function(scanLine);
    return kStatusNotImplemented;
}

NTSTATUS D3DKMTQueryAdapterInfo(const D3DKMT_QUERYADAPTERINFO* query)
{
    using Function = NTSTATUS(WINAPI*)(const D3DKMT_QUERYADAPTERINFO*);
    if (const Function function = bind<Function>(Optional::D3DKMTQueryAdapterInfo))
        return function(query);
    return kStatusNotImplemented;
}

HMONITOR MonitorFromWindow(HWND window, DWORD flags)
{
    using Function = HMONITOR(WINAPI*)(HWND, DWORD);
    if (const Function function = bind<Function>(Optional::MonitorFromWindow))
        return function(window, flags);
    return nullptr;
}

BOOL GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info)
{
    using Function = BOOL(WINAPI*)(HMONITOR, LPMONITORINFO);
    if (const Function function = bind<Function>(Optional::GetMonitorInfoA))
        return function(monitor, info);
    return FALSE;
}

NTSTATUS NtQueryTimerResolution(ULONG* coarsest, ULONG* finest, ULONG* current)
{
    using Function = NTSTATUS(WINAPI*)(ULONG*, ULONG*, ULONG*);
    if (const Function function = bind<Function>(Optional::NtQueryTimerResolution))
        return function(coarsest, finest, current);
    return kStatusNotImplemented;
}

HRESULT DirectDrawCreate(GUID* driver, LPDIRECTDRAW* directDraw, IUnknown* outer)
{
    using Function = HRESULT(WINAPI*)(GUID*, LPDIRECTDRAW*, IUnknown*);
    if (const Function function = bind<Function>(Optional::DirectDrawCreate))
        return function(driver, directDraw, outer);
    return kNotImplemented;
}

HRESULT CreateDXGIFactory1(REFIID iid, void** factory)
{
    using Function = HRESULT(WINAPI*)(REFIID, void**);
    if (const Function function = bind<Function>(Optional::CreateDXGIFactory1))
        return function(iid, factory);
    return kNotImplemented;
}

DWORD DCompositionWaitForCompositorClock(UINT count, const HANDLE* handles, DWORD timeoutMs)
{
    using Function = DWORD(WINAPI*)(UINT, const HANDLE*, DWORD);
    if (const Function function = bind<Function>(Optional::DCompositionWaitForCompositorClock))
        return function(count, handles, timeoutMs);
    return WAIT_FAILED;
}

HRESULT DCompositionGetFrameId(COMPOSITION_FRAME_ID_TYPE type, COMPOSITION_FRAME_ID* id)
{
    using Function = HRESULT(WINAPI*)(COMPOSITION_FRAME_ID_TYPE, COMPOSITION_FRAME_ID*);
    if (const Function function = bind<Function>(Optional::DCompositionGetFrameId))
        return function(type, id);
    return kNotImplemented;
}

HRESULT DCompositionGetStatistics(COMPOSITION_FRAME_ID id, COMPOSITION_FRAME_STATS* stats, UINT targetCount,
                                  COMPOSITION_TARGET_ID* targets, UINT* actualTargetCount)
{
    using Function = HRESULT(WINAPI*)(COMPOSITION_FRAME_ID, COMPOSITION_FRAME_STATS*, UINT, COMPOSITION_TARGET_ID*, UINT*);
    if (const Function function = bind<Function>(Optional::DCompositionGetStatistics))
        return function(id, stats, targetCount, targets, actualTargetCount);
    return kNotImplemented;
}

bool isBound(Optional function)
{
    return bindOnce(function) != nullptr;
}

bool queryDisplayMode(UINT adapter, UINT sourceId, D3DKMT_DISPLAYMODE* mode)
{
    D3DKMT_CURRENTDISPLAYMODE current = {};
    current.VidPnSourceId = sourceId;
    D3DKMT_QUERYADAPTERINFO query = {};
    query.hAdapter = adapter;
    query.Type = kQueryCurrentDisplayMode;
    query.pPrivateDriverData = &current;
    query.PrivateDriverDataSize = sizeof current;
    if (D3DKMTQueryAdapterInfo(&query) != 0)
        return false;
    *mode = current.DisplayMode;
    return true;
}

void resetBindingsForTest()
{
    for (BoundFunction& entry : g_bound) {
        entry.address = nullptr;
        entry.tried.store(false, std::memory_order_release);
    }
}

}   // namespace bound
