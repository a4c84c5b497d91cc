#include "virtual/virtual_display.h"

#include "core/bound.h"
#include "core/clock.h"
#include "core/lock.h"
#include "core/log.h"
#include "virtual/virtual_internal.h"

#include <atomic>
#include <cstring>
#include <new>

namespace {

using bound::NTSTATUS;

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);

// What the display mode reports besides size and rate.
constexpr UINT kFormatX8R8G8B8 = 22;      // D3DDDIFMT_X8R8G8B8
constexpr UINT kScanLineProgressive = 1;  // D3DDDI_VSSLO_PROGRESSIVE
constexpr UINT kRotationIdentity = 1;     // D3DDDI_ROTATION_IDENTITY
constexpr LUID kAdapterLuid = {0x4B56, 0};

// The installed timeline. Each install makes a new one and none is ever freed, so a stand-in
// that read the pointer keeps a valid timeline even while a test installs another.
std::atomic<const Timeline*> g_timeline{nullptr};
std::atomic<bool> g_installed{false};
std::atomic<bool> g_announced{false};

// Open adapter handles, dense, guarded by adapterLock(). A handful at a time in practice;
// the bound only keeps a caller that never closes from growing it without end.
constexpr int kMaxAdapters = 256;
bound::D3DKMT_HANDLE g_adapters[kMaxAdapters];
int g_adapterCount = 0;
bound::D3DKMT_HANDLE g_lastAdapter = 0x40000000;

CriticalLock* adapterLock()
{
    static CriticalLock* const lock = lockCreate(0);
    return lock;
}

bound::D3DKMT_HANDLE openAdapter()
{
    bound::D3DKMT_HANDLE handle = 0;
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    if (g_adapterCount < kMaxAdapters) {
        g_lastAdapter += 0x40;   // handles in the style of the kernel's: never 0
        if (g_lastAdapter == 0)
            g_lastAdapter = 0x40000040;
        handle = g_lastAdapter;
        g_adapters[g_adapterCount++] = handle;
    }
    lockLeave(lock);
    return handle;
}

bool closeAdapter(bound::D3DKMT_HANDLE handle)
{
    bool found = false;
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    for (int i = 0; i < g_adapterCount; ++i) {
        if (g_adapters[i] == handle) {
            g_adapters[i] = g_adapters[--g_adapterCount];
            found = true;
            break;
        }
    }
    lockLeave(lock);
    return found;
}

bool adapterOpen(bound::D3DKMT_HANDLE handle)
{
    if (handle == 0)
        return false;
    bool found = false;
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    for (int i = 0; i < g_adapterCount && !found; ++i)
        found = g_adapters[i] == handle;
    lockLeave(lock);
    return found;
}

void closeAllAdapters()
{
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    g_adapterCount = 0;
    lockLeave(lock);
}

// --- The display driver -------------------------------------------------------------

NTSTATUS WINAPI virtualOpenAdapterFromHdc(bound::D3DKMT_OPENADAPTERFROMHDC* open)
{
    if (open == nullptr || open->hDc == nullptr)
        return kStatusInvalidParameter;
    const bound::D3DKMT_HANDLE handle = openAdapter();
    if (handle == 0)
        return kStatusNoMemory;
    open->hAdapter = handle;
    open->AdapterLuid = kAdapterLuid;
    open->VidPnSourceId = 0;
    return kStatusSuccess;
}

NTSTATUS WINAPI virtualCloseAdapter(const bound::D3DKMT_CLOSEADAPTER* close)
{
    if (close == nullptr || !closeAdapter(close->hAdapter))
        return kStatusInvalidParameter;
    return kStatusSuccess;
}

// The one output, source 0, of an adapter that is open.
bool validOutput(bound::D3DKMT_HANDLE adapter, bound::D3DDDI_VIDEO_PRESENT_SOURCE_ID source)
{
    return source == 0 && adapterOpen(adapter);
}

NTSTATUS WINAPI virtualWaitForVerticalBlankEvent(const bound::D3DKMT_WAITFORVERTICALBLANKEVENT* wait)
{
    const Timeline* timeline = g_timeline.load(std::memory_order_acquire);
    if (wait == nullptr || timeline == nullptr || wait->hDevice != 0 ||
        !validOutput(wait->hAdapter, wait->VidPnSourceId))
        return kStatusInvalidParameter;
    virtualWaitUntil(*timeline, timelineVblankWaitTarget(*timeline, readPerformanceCounter()));
    return kStatusSuccess;
}

NTSTATUS WINAPI virtualGetScanLine(bound::D3DKMT_GETSCANLINE* scanLine)
{
    const Timeline* timeline = g_timeline.load(std::memory_order_acquire);
    if (scanLine == nullptr || timeline == nullptr ||
        !validOutput(scanLine->hAdapter, scanLine->VidPnSourceId))
        return kStatusInvalidParameter;
    bool inVerticalBlank = false;
    const int32_t line = timelineScanLine(*timeline, readPerformanceCounter(), &inVerticalBlank);
    scanLine->ScanLine = static_cast<UINT32>(line);
    scanLine->InVerticalBlank = inVerticalBlank ? TRUE : FALSE;
    return kStatusSuccess;
}

NTSTATUS WINAPI virtualQueryAdapterInfo(const bound::D3DKMT_QUERYADAPTERINFO* query)
{
    const Timeline* timeline = g_timeline.load(std::memory_order_acquire);
    if (query == nullptr || timeline == nullptr || !adapterOpen(query->hAdapter))
        return kStatusInvalidParameter;
    if (query->Type != bound::kQueryCurrentDisplayMode || query->pPrivateDriverData == nullptr ||
        query->PrivateDriverDataSize != sizeof(bound::D3DKMT_CURRENTDISPLAYMODE))
        return kStatusInvalidParameter;
    auto* current = static_cast<bound::D3DKMT_CURRENTDISPLAYMODE*>(query->pPrivateDriverData);
    if (current->VidPnSourceId != 0)
        return kStatusInvalidParameter;
    const RefreshRatio rate = timelineRateAt(*timeline, readPerformanceCounter());
    bound::D3DKMT_DISPLAYMODE& mode = current->DisplayMode;
    mode = {};
    mode.Width = kTimelineWidth;
    mode.Height = kTimelineVisibleLines;
    mode.Format = kFormatX8R8G8B8;
    mode.IntegerRefreshRate = timelineIntegerRate(rate);
    mode.RefreshRate.Numerator = rate.numerator;
    mode.RefreshRate.Denominator = rate.denominator;
    mode.ScanLineOrdering = kScanLineProgressive;
    mode.DisplayOrientation = kRotationIdentity;
    return kStatusSuccess;
}

// --- The compositor -----------------------------------------------------------------

HRESULT WINAPI virtualDwmFlush()
{
    const Timeline* timeline = g_timeline.load(std::memory_order_acquire);
    if (timeline == nullptr)
        return E_FAIL;
    virtualWaitUntil(*timeline, timelineVblankWaitTarget(*timeline, readPerformanceCounter()));
    return S_OK;
}

// As on current Windows, only the whole desktop (a null window) has timing.
HRESULT WINAPI virtualDwmGetCompositionTimingInfo(HWND window, bound::DWM_TIMING_INFO* info)
{
    const Timeline* timeline = g_timeline.load(std::memory_order_acquire);
    if (info == nullptr || window != nullptr || timeline == nullptr ||
        info->cbSize != sizeof(bound::DWM_TIMING_INFO))
        return E_INVALIDARG;
    const int64_t now = readPerformanceCounter();
    int64_t vblank = timelineLatestVblank(*timeline, now);
    if (vblank < 0)
        vblank = 0;
    const RefreshRatio rate = timelineRateAt(*timeline, now);
    const int64_t vblankStart = timelineVblankStart(*timeline, vblank);
    const ULONGLONG refreshes = static_cast<ULONGLONG>(vblank);

    std::memset(info, 0, sizeof *info);
    info->cbSize = sizeof(bound::DWM_TIMING_INFO);
    info->rateRefresh.uiNumerator = rate.numerator;
    info->rateRefresh.uiDenominator = rate.denominator;
    info->qpcRefreshPeriod = static_cast<ULONGLONG>(timelinePeriodAt(*timeline, now));
    info->rateCompose = info->rateRefresh;
    info->qpcVBlank = static_cast<ULONGLONG>(vblankStart);
    info->cRefresh = refreshes;
    info->cDXRefresh = static_cast<UINT>(refreshes);
    // One composed frame per refresh, shown at its vblank.
    info->qpcCompose = static_cast<ULONGLONG>(vblankStart);
    info->cFrame = refreshes;
    info->cRefreshFrame = refreshes;
    info->cFrameDisplayed = refreshes;
    info->qpcFrameDisplayed = static_cast<ULONGLONG>(vblankStart);
    info->cRefreshFrameDisplayed = refreshes;
    return S_OK;
}

HRESULT WINAPI virtualDwmIsCompositionEnabled(BOOL* enabled)
{
    if (enabled == nullptr)
        return E_INVALIDARG;
    *enabled = TRUE;
    return S_OK;
}

// --- The binder's resolver ----------------------------------------------------------

template <typename Function>
FARPROC toFarproc(Function function)
{
    // Through the generic function pointer, which converts to and from any other.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

bool sameName(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

FARPROC standIn(const char* module, const char* function)
{
    const struct {
        const char* module;
        const char* function;
        FARPROC address;
    } table[] = {
        {"gdi32", "D3DKMTOpenAdapterFromHdc", toFarproc(virtualOpenAdapterFromHdc)},
        {"gdi32", "D3DKMTCloseAdapter", toFarproc(virtualCloseAdapter)},
        {"gdi32", "D3DKMTWaitForVerticalBlankEvent", toFarproc(virtualWaitForVerticalBlankEvent)},
        {"gdi32", "D3DKMTGetScanLine", toFarproc(virtualGetScanLine)},
        {"gdi32", "D3DKMTQueryAdapterInfo", toFarproc(virtualQueryAdapterInfo)},
        {"dwmapi", "DwmFlush", toFarproc(virtualDwmFlush)},
        {"dwmapi", "DwmGetCompositionTimingInfo", toFarproc(virtualDwmGetCompositionTimingInfo)},
        {"dwmapi", "DwmIsCompositionEnabled", toFarproc(virtualDwmIsCompositionEnabled)},
        {"ddraw", "DirectDrawCreate", toFarproc(virtualDirectDrawCreate)},
    };
    if (module == nullptr || function == nullptr)
        return nullptr;
    for (const auto& row : table) {
        // Function names are exact, as GetProcAddress takes them; module names are not.
        if (std::strcmp(row.function, function) == 0 && sameName(row.module, module))
            return row.address;
    }
    return nullptr;
}

FARPROC resolve(const char* module, const char* function)
{
    const FARPROC address = standIn(module, function);
    if (address != nullptr && !g_announced.exchange(true)) {
        const Timeline* timeline = g_timeline.load(std::memory_order_acquire);
        const RefreshRatio rate = timeline->segments[0].rate;
        logPrintf("virtual.display stands in at %.3f Hz (%u/%u)", timelineRateHz(rate),
                  static_cast<unsigned>(rate.numerator), static_cast<unsigned>(rate.denominator));
    }
    return address;
}

}   // namespace

void virtualWaitUntil(const Timeline& timeline, int64_t target)
{
    // Sleep(n) lasts n ms and a little more, on whole milliseconds only; it is used until
    // 0.9 to 1.9 ms remain, which the spin then covers to the count.
    const int64_t frequency = timeline.frequency;
    const int64_t spinMargin = frequency * 3 / 2000;   // 1.5 ms
    for (;;) {
        const int64_t remaining = target - readPerformanceCounter();
        const int64_t sleepMs = ((remaining - spinMargin) * 2000 / frequency + 1) / 2;
        if (sleepMs < 1)
            break;
        Sleep(static_cast<DWORD>(sleepMs));
    }
    while (readPerformanceCounter() < target)
        YieldProcessor();
}

bool virtualDisplayInstall(const VirtualDisplayOptions& options)
{
    Timeline* timeline = new (std::nothrow) Timeline;
    if (timeline == nullptr)
        return false;
    bool usable = timelineInit(timeline, readPerformanceFrequency(), readPerformanceCounter(),
                               options.rate);
    if (usable && options.changeFrame != 0)
        usable = timelineChangeRate(timeline, options.changeFrame, options.changedRate);
    if (!usable) {
        delete timeline;
        return false;
    }
    timeline->lateTicks = options.lateTicks;
    for (const int64_t vblank : options.droppedVblanks)
        timelineDropVblank(timeline, vblank);
    timelineDropEvery(timeline, options.dropEvery);

    g_timeline.store(timeline, std::memory_order_release);
    closeAllAdapters();
    g_announced.store(false);
    bound::setResolver(resolve);
    g_installed.store(true);
    return true;
}

bool virtualDisplayInstallFromEnvironment()
{
    char text[64];
    const DWORD length =
        GetEnvironmentVariableA(kVirtualDisplayVariable, text, static_cast<DWORD>(sizeof text));
    if (length == 0 || length >= sizeof text)
        return false;
    VirtualDisplayOptions options;
    if (!timelineParseRate(text, &options.rate))
        return false;
    return virtualDisplayInstall(options);
}

void virtualDisplayUninstall()
{
    const bound::Resolver previous = bound::setResolver(nullptr);
    if (previous != resolve)
        bound::setResolver(previous);   // someone else's: leave it in place
    closeAllAdapters();
    g_installed.store(false);
}

bool virtualDisplayInstalled()
{
    return g_installed.load();
}

const Timeline* virtualDisplayTimeline()
{
    return g_timeline.load(std::memory_order_acquire);
}
