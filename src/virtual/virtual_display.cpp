#include "virtual/virtual_display.h"

#include "core/bound.h"
#include "core/clock.h"
#include "core/lock.h"
#include "core/log.h"
#include "virtual/sleepplan.h"
#include "virtual/virtual_internal.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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

constexpr NTSTATUS kStatusTimeout = static_cast<NTSTATUS>(0x00000102);

// One install: its model. Each install makes a new one and none is ever freed, so a
// stand-in that read the pointer keeps a valid model even while a test installs another.
struct Install {
    VirtualModel model;
};
std::atomic<const Install*> g_latest{nullptr};
std::atomic<bool> g_installed{false};
std::atomic<bool> g_announced{false};

const VirtualModel* latestModel()
{
    const Install* install = g_latest.load(std::memory_order_acquire);
    return install == nullptr ? nullptr : &install->model;
}

// Open adapter handles with the output each was opened for, dense, guarded by
// adapterLock(). A handful at a time in practice; the bound only keeps a caller that never
// closes from growing it without end.
constexpr int kMaxAdapters = 256;
struct Adapter {
    bound::D3DKMT_HANDLE handle;
    int output;
};
Adapter g_adapters[kMaxAdapters];
int g_adapterCount = 0;
bound::D3DKMT_HANDLE g_lastAdapter = 0x40000000;

CriticalLock* adapterLock()
{
    static CriticalLock* const lock = lockCreate(0);
    return lock;
}

bound::D3DKMT_HANDLE openAdapter(int output)
{
    bound::D3DKMT_HANDLE handle = 0;
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    if (g_adapterCount < kMaxAdapters) {
        g_lastAdapter += 0x40;   // handles in the style of the kernel's: never 0
        if (g_lastAdapter == 0)
            g_lastAdapter = 0x40000040;
        handle = g_lastAdapter;
        g_adapters[g_adapterCount++] = Adapter{handle, output};
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
        if (g_adapters[i].handle == handle) {
            g_adapters[i] = g_adapters[--g_adapterCount];
            found = true;
            break;
        }
    }
    lockLeave(lock);
    return found;
}

// The output an open adapter was opened for; -1 for a handle that is not open.
int adapterOutput(bound::D3DKMT_HANDLE handle)
{
    if (handle == 0)
        return -1;
    int output = -1;
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    for (int i = 0; i < g_adapterCount && output < 0; ++i) {
        if (g_adapters[i].handle == handle)
            output = g_adapters[i].output;
    }
    lockLeave(lock);
    return output;
}

bool adapterOpen(bound::D3DKMT_HANDLE handle)
{
    return adapterOutput(handle) >= 0;
}

void closeAllAdapters()
{
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    g_adapterCount = 0;
    lockLeave(lock);
}

// --- Sleeping until a moment -------------------------------------------------------

// Bumped by every install and uninstall, so that a sleeping interrupt thread notices.
std::atomic<uint32_t> g_generation{0};

using DelayFunction = LONG(WINAPI*)(BOOLEAN alertable, LARGE_INTEGER* interval);

// The kernel's own delay takes 100 ns units, and under Wine it keeps them; where it is
// missing, Sleep takes whole milliseconds.
DelayFunction delayFunction()
{
    static const DelayFunction delay = reinterpret_cast<DelayFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll"), "NtDelayExecution")));
    return delay;
}

// Sleeps about `counts` and returns what it asked the system for, in counts (0: nothing).
int64_t sleepCounts(int64_t counts, int64_t frequency)
{
    if (const DelayFunction delay = delayFunction()) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(counts * 10000000 / frequency);   // relative, 100 ns units
        if (interval.QuadPart == 0)
            return 0;
        delay(FALSE, &interval);
        return -interval.QuadPart * frequency / 10000000;
    }
    const int64_t ms = counts * 1000 / frequency;
    if (ms == 0)
        return 0;
    Sleep(static_cast<DWORD>(ms));
    return ms * frequency / 1000;
}

// Sleeps by the plan until its margin before `target`. Sleeps never wait on a kernel object
// with a time-out: such waits come back on whole milliseconds under Wine, which would widen
// the margin. With a generation to watch, the sleep is taken in pieces of at most 50 ms and
// ends early, with false, when the generation moves on.
bool sleepCoarse(int64_t target, SleepPlan* plan, const uint32_t* generation)
{
    const int64_t piece = plan->frequency / 20;
    for (;;) {
        if (generation != nullptr && g_generation.load() != *generation)
            return false;
        const int64_t before = readPerformanceCounter();
        int64_t counts = sleepPlanCounts(*plan, target - before);
        if (generation != nullptr && counts > piece)
            counts = piece;
        const int64_t asked = counts > 0 ? sleepCounts(counts, plan->frequency) : 0;
        if (asked == 0)
            return true;
        sleepPlanRecord(plan, readPerformanceCounter() - before - asked);
    }
}

void spinUntil(int64_t target)
{
    while (readPerformanceCounter() < target)
        YieldProcessor();
}

// --- The vblank interrupt -------------------------------------------------------------

// Two manual-reset events whose roles swap at every interrupt: a waiter waits on the current
// one; the interrupt makes the other one current and sets the old one, which is reset well
// before it becomes current again, so that the moment of the interrupt costs one call.
constexpr size_t kInterruptRecords = 4096;

struct Interrupt {
    int output = 0;
    HANDLE events[2] = {nullptr, nullptr};
    std::atomic<int> current{0};
    HANDLE changed = nullptr;   // auto-reset: an install or an uninstall happened
    HANDLE thread = nullptr;
    CriticalLock* recordLock = nullptr;
    VirtualInterruptRecord records[kInterruptRecords] = {};
    uint64_t recorded = 0;
};

// One interrupt thread per output.
Interrupt g_interrupts[kVirtualMaxOutputs];

// Releases every waiter; returns the event that the next release must find reset.
HANDLE releaseWaiters(Interrupt& interrupt)
{
    const int current = interrupt.current.load();
    interrupt.current.store(1 - current);
    SetEvent(interrupt.events[current]);
    return interrupt.events[current];
}

void record(Interrupt& interrupt, const VirtualInterruptRecord& entry)
{
    lockEnter(interrupt.recordLock);
    interrupt.records[interrupt.recorded % kInterruptRecords] = entry;
    ++interrupt.recorded;
    lockLeave(interrupt.recordLock);
}

DWORD WINAPI interruptThread(LPVOID parameter)
{
    Interrupt& interrupt = *static_cast<Interrupt*>(parameter);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SleepPlan plan = sleepPlanMake(readPerformanceFrequency());
    uint32_t seen = g_generation.load() - 1;
    int64_t from = 0;
    HANDLE toReset = nullptr;
    for (;;) {
        const uint32_t generation = g_generation.load();
        const int output = interrupt.output;
        // Idle while nothing is installed, or the install has no such output.
        if (!g_installed.load() || g_latest.load(std::memory_order_acquire)->model.outputs <= output) {
            WaitForSingleObject(interrupt.changed, INFINITE);
            continue;
        }
        const VirtualModel& model = g_latest.load(std::memory_order_acquire)->model;
        const Timeline& timeline = virtualOutputTimeline(model, output);
        const int64_t now = readPerformanceCounter();
        if (generation != seen) {
            seen = generation;
            from = timelineLatestVblank(timeline, now) + 1;
        }
        const int64_t vblank = virtualNextInterrupt(model, output, from, now);
        if (vblank < 0) {
            // A long stretch of stalled interrupts: nothing to deliver before its end.
            from += 64;
            sleepCoarse(timelineVblankStart(timeline, from), &plan, &generation);
            continue;
        }
        const int64_t due = virtualInterruptDue(model, output, vblank);
        if (!sleepCoarse(due, &plan, &generation))
            continue;   // installed afresh or removed meanwhile
        // The event set by the previous interrupt becomes current now: reset it, well away
        // from the moment of the interrupt.
        if (toReset != nullptr) {
            ResetEvent(toReset);
            toReset = nullptr;
        }
        spinUntil(due);
        const int64_t fired = readPerformanceCounter();
        record(interrupt, VirtualInterruptRecord{vblank, due, fired});
        toReset = releaseWaiters(interrupt);
        from = vblank + 1;
    }
}

// Made once, at the first install, and kept for the life of the process.
void startInterrupt(Interrupt& interrupt, int output)
{
    if (interrupt.thread != nullptr)
        return;
    interrupt.output = output;
    interrupt.events[0] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    interrupt.events[1] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    interrupt.changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    interrupt.recordLock = lockCreate(0);
    interrupt.thread = CreateThread(nullptr, 0, interruptThread, &interrupt, 0, nullptr);
}

// Blocks until the next interrupt; false after a time-out of a second and a few periods.
bool waitInterrupt(Interrupt& interrupt, const VirtualModel& model)
{
    if (interrupt.thread == nullptr)
        return false;
    const Timeline& timeline = virtualOutputTimeline(model, interrupt.output);
    const int64_t period = timelinePeriodAt(timeline, readPerformanceCounter());
    const DWORD timeoutMs = static_cast<DWORD>(1000 + 4 * period * 1000 / model.frequency);
    const HANDLE event = interrupt.events[interrupt.current.load()];
    return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

// --- The display driver -------------------------------------------------------------

NTSTATUS WINAPI virtualOpenAdapterFromHdc(bound::D3DKMT_OPENADAPTERFROMHDC* open)
{
    const VirtualModel* model = latestModel();
    if (open == nullptr || open->hDc == nullptr || model == nullptr)
        return kStatusInvalidParameter;
    // The output the DC was made for; a DC of no display device is the primary's.
    const int named = virtualDisplayContextOutput(open->hDc);
    const int output = named == kDcOfNoDisplay ? 0 : named;
    if (output < 0 || output >= model->outputs)
        return kStatusInvalidParameter;
    const bound::D3DKMT_HANDLE handle = openAdapter(output);
    if (handle == 0)
        return kStatusNoMemory;
    open->hAdapter = handle;
    open->AdapterLuid = kAdapterLuid;
    open->VidPnSourceId = static_cast<bound::D3DDDI_VIDEO_PRESENT_SOURCE_ID>(output);
    return kStatusSuccess;
}

NTSTATUS WINAPI virtualCloseAdapter(const bound::D3DKMT_CLOSEADAPTER* close)
{
    if (close == nullptr || !closeAdapter(close->hAdapter))
        return kStatusInvalidParameter;
    return kStatusSuccess;
}

// The output of an open adapter, when the source id is that output's; -1 otherwise.
int validOutput(bound::D3DKMT_HANDLE adapter, bound::D3DDDI_VIDEO_PRESENT_SOURCE_ID source)
{
    const int output = adapterOutput(adapter);
    return output >= 0 && source == static_cast<UINT32>(output) ? output : -1;
}

NTSTATUS WINAPI virtualWaitForVerticalBlankEvent(const bound::D3DKMT_WAITFORVERTICALBLANKEVENT* wait)
{
    const VirtualModel* model = latestModel();
    if (wait == nullptr || model == nullptr || wait->hDevice != 0)
        return kStatusInvalidParameter;
    const int output = validOutput(wait->hAdapter, wait->VidPnSourceId);
    if (output < 0)
        return kStatusInvalidParameter;
    if (!waitInterrupt(g_interrupts[output], *model))
        return kStatusTimeout;
    // Removed while it waited: the adapter is gone.
    if (!adapterOpen(wait->hAdapter))
        return kStatusInvalidParameter;
    return kStatusSuccess;
}

NTSTATUS WINAPI virtualGetScanLine(bound::D3DKMT_GETSCANLINE* scanLine)
{
    const VirtualModel* model = latestModel();
    if (scanLine == nullptr || model == nullptr)
        return kStatusInvalidParameter;
    const int output = validOutput(scanLine->hAdapter, scanLine->VidPnSourceId);
    if (output < 0)
        return kStatusInvalidParameter;
    bool inVerticalBlank = false;
    const int32_t line = timelineScanLine(virtualOutputTimeline(*model, output),
                                          readPerformanceCounter(), &inVerticalBlank);
    scanLine->ScanLine = static_cast<UINT32>(line);
    scanLine->InVerticalBlank = inVerticalBlank ? TRUE : FALSE;
    return kStatusSuccess;
}

NTSTATUS WINAPI virtualQueryAdapterInfo(const bound::D3DKMT_QUERYADAPTERINFO* query)
{
    const VirtualModel* model = latestModel();
    if (query == nullptr || model == nullptr)
        return kStatusInvalidParameter;
    const int output = adapterOutput(query->hAdapter);
    if (output < 0)
        return kStatusInvalidParameter;
    if (query->Type != bound::kQueryCurrentDisplayMode || query->pPrivateDriverData == nullptr ||
        query->PrivateDriverDataSize != sizeof(bound::D3DKMT_CURRENTDISPLAYMODE))
        return kStatusInvalidParameter;
    auto* current = static_cast<bound::D3DKMT_CURRENTDISPLAYMODE*>(query->pPrivateDriverData);
    if (current->VidPnSourceId != static_cast<UINT32>(output))
        return kStatusInvalidParameter;
    // The mode reports the nominal rate, whatever the display's clock really does.
    const RefreshRatio rate = virtualNominalRate(*model, output, readPerformanceCounter());
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

// --- The monitors, with two outputs ------------------------------------------------------

// Monitor handles in the style of the system's: never 0.
HMONITOR monitorHandle(int output)
{
    return reinterpret_cast<HMONITOR>(static_cast<INT_PTR>(0x4B560010 + output));
}

int monitorOutput(const VirtualModel& model, HMONITOR monitor)
{
    for (int output = 0; output < model.outputs; ++output) {
        if (monitorHandle(output) == monitor)
            return output;
    }
    return -1;
}

BOOL WINAPI virtualEnumDisplayDevicesA(LPCSTR device, DWORD index, bound::DisplayDevice* info,
                                       DWORD)
{
    const VirtualModel* model = latestModel();
    // Only the display devices themselves, not the monitors of one of them.
    if (model == nullptr || device != nullptr || info == nullptr ||
        info->cb < sizeof(bound::DisplayDevice) || index >= static_cast<DWORD>(model->outputs))
        return FALSE;
    const int output = static_cast<int>(index);
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
    const VirtualModel* model = latestModel();
    if (model == nullptr)
        return nullptr;
    RECT rect;
    if (window == nullptr || !GetWindowRect(window, &rect))
        return flags == MONITOR_DEFAULTTONULL ? nullptr : monitorHandle(0);
    const int output = virtualOutputForRect(
        *model, VirtualRect{rect.left, rect.top, rect.right, rect.bottom},
        flags == MONITOR_DEFAULTTONEAREST);
    if (output >= 0)
        return monitorHandle(output);
    return flags == MONITOR_DEFAULTTOPRIMARY ? monitorHandle(0) : nullptr;
}

BOOL WINAPI virtualGetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info)
{
    const VirtualModel* model = latestModel();
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

// --- The compositor -----------------------------------------------------------------

HRESULT WINAPI virtualDwmFlush()
{
    const VirtualModel* model = latestModel();
    if (model == nullptr)
        return E_FAIL;
    thread_local SleepPlan plan = sleepPlanMake(model->frequency);
    const int64_t target = virtualFlushReturn(*model, readPerformanceCounter());
    sleepCoarse(target, &plan, nullptr);
    spinUntil(target);
    return S_OK;
}

// As on current Windows, only the whole desktop (a null window) has timing.
HRESULT WINAPI virtualDwmGetCompositionTimingInfo(HWND window, bound::DWM_TIMING_INFO* info)
{
    const VirtualModel* model = latestModel();
    if (info == nullptr || window != nullptr || model == nullptr ||
        info->cbSize != sizeof(bound::DWM_TIMING_INFO))
        return E_INVALIDARG;
    const int64_t now = readPerformanceCounter();
    // The latest vblank the compositor has published; a raw 0 before the first.
    const int64_t vblank = virtualPublishedVblank(*model, now);
    const ULONGLONG vblankStart =
        vblank < 0 ? 0 : static_cast<ULONGLONG>(timelineVblankStart(model->timeline, vblank));
    const ULONGLONG refreshes = vblank < 0 ? 0 : static_cast<ULONGLONG>(vblank);
    const RefreshRatio rate = virtualNominalRate(*model, 0, now);

    std::memset(info, 0, sizeof *info);
    info->cbSize = sizeof(bound::DWM_TIMING_INFO);
    info->rateRefresh.uiNumerator = rate.numerator;
    info->rateRefresh.uiDenominator = rate.denominator;
    info->qpcRefreshPeriod = static_cast<ULONGLONG>(virtualCompositorPeriod(*model, now));
    info->rateCompose = info->rateRefresh;
    info->qpcVBlank = vblankStart;
    info->cRefresh = refreshes;
    info->cDXRefresh = static_cast<UINT>(refreshes);
    // One composed frame per published refresh, shown at its vblank.
    info->qpcCompose = vblankStart;
    info->cFrame = refreshes;
    info->cRefreshFrame = refreshes;
    info->cFrameDisplayed = refreshes;
    info->qpcFrameDisplayed = vblankStart;
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
    // With two outputs it also answers for the desktop's devices and monitors.
    const struct {
        const char* module;
        const char* function;
        FARPROC address;
    } monitors[] = {
        {"user32", "EnumDisplayDevicesA", toFarproc(virtualEnumDisplayDevicesA)},
        {"user32", "MonitorFromWindow", toFarproc(virtualMonitorFromWindow)},
        {"user32", "GetMonitorInfoA", toFarproc(virtualGetMonitorInfoA)},
    };
    if (module == nullptr || function == nullptr)
        return nullptr;
    const VirtualModel* model = latestModel();
    if (model != nullptr && model->outputs > 1) {
        for (const auto& row : monitors) {
            if (std::strcmp(row.function, function) == 0 && sameName(row.module, module))
                return row.address;
        }
    }
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
        const VirtualModel& model = *latestModel();
        const RefreshRatio rate = model.profile.nominal;
        logPrintf("virtual.display stands in at %.3f Hz (%u/%u)", timelineRateHz(rate),
                  static_cast<unsigned>(rate.numerator), static_cast<unsigned>(rate.denominator));
        const std::string line =
            virtualProfileLine(model.profile, model.frequency, toTick(model.timeline.origin));
        logPrintf("%s", line.c_str());
    }
    return address;
}

// The refused text as one log line can show it: control characters as '?', and cut.
std::string printable(const char* text)
{
    std::string shown;
    for (const char* at = text; *at != '\0'; ++at) {
        if (shown.size() >= 400) {
            shown += "...";
            break;
        }
        const unsigned char c = static_cast<unsigned char>(*at);
        shown += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    return shown;
}

void refuse(const char* text, const std::string& why)
{
    logPrintf("virtual.display refused '%s': %s", printable(text).c_str(),
              printable(why.c_str()).c_str());
}

}   // namespace

bool virtualDisplayInstall(const VirtualProfile& profile)
{
    Install* install = new (std::nothrow) Install;
    if (install == nullptr)
        return false;
    if (!virtualModelInit(&install->model, profile, readPerformanceFrequency(),
                          readPerformanceCounter())) {
        delete install;
        return false;
    }
    virtualWatchDisplayContexts();
    for (int output = 0; output < kVirtualMaxOutputs; ++output)
        startInterrupt(g_interrupts[output], output);
    g_latest.store(install, std::memory_order_release);
    closeAllAdapters();
    for (Interrupt& interrupt : g_interrupts)
        ResetEvent(interrupt.events[interrupt.current.load()]);   // set by an uninstall
    g_announced.store(false);
    bound::setResolver(resolve);
    g_installed.store(true);
    ++g_generation;
    for (Interrupt& interrupt : g_interrupts)
        SetEvent(interrupt.changed);
    return true;
}

bool virtualDisplayInstallFromEnvironment()
{
    char text[1024];
    const DWORD length =
        GetEnvironmentVariableA(kVirtualDisplayVariable, text, static_cast<DWORD>(sizeof text));
    if (length == 0)
        return false;   // unset or empty: the system's own functions
    if (length >= sizeof text) {
        std::vector<char> whole(length + 1);
        GetEnvironmentVariableA(kVirtualDisplayVariable, whole.data(), length + 1);
        refuse(whole.data(), "the text is longer than " + std::to_string(sizeof text - 1) +
                                 " characters; expected a name or RATE[,key=value]...");
        return false;
    }
    std::string value = text;
    if (value.find_first_not_of(" \t") == std::string::npos)
        return false;
    VirtualProfile profile;
    std::string why;
    if (!virtualProfileParse(value, &profile, &why)) {
        refuse(text, why);
        return false;
    }
    if (!virtualDisplayInstall(profile)) {
        refuse(text, "the display cannot be set up at these rates");
        return false;
    }
    return true;
}

void virtualDisplayUninstall()
{
    const bound::Resolver previous = bound::setResolver(nullptr);
    if (previous != resolve)
        bound::setResolver(previous);   // someone else's: leave it in place
    closeAllAdapters();
    g_installed.store(false);
    ++g_generation;
    for (Interrupt& interrupt : g_interrupts) {
        if (interrupt.thread == nullptr)
            continue;
        SetEvent(interrupt.changed);
        // Let the blocked waiters go: they find their adapter gone. The next install resets
        // the event again.
        SetEvent(interrupt.events[interrupt.current.load()]);
    }
}

bool virtualDisplayInstalled()
{
    return g_installed.load();
}

const VirtualModel* virtualDisplayModel()
{
    return latestModel();
}

const Timeline* virtualDisplayTimeline()
{
    const VirtualModel* model = latestModel();
    return model == nullptr ? nullptr : &model->timeline;
}

size_t virtualDisplayInterrupts(int output, VirtualInterruptRecord* records, size_t max)
{
    if (output < 0 || output >= kVirtualMaxOutputs || g_interrupts[output].thread == nullptr)
        return 0;
    Interrupt& interrupt = g_interrupts[output];
    lockEnter(interrupt.recordLock);
    const uint64_t available =
        interrupt.recorded < kInterruptRecords ? interrupt.recorded : kInterruptRecords;
    const size_t count = max < available ? max : static_cast<size_t>(available);
    for (size_t i = 0; i < count; ++i)
        records[i] = interrupt.records[(interrupt.recorded - count + i) % kInterruptRecords];
    lockLeave(interrupt.recordLock);
    return count;
}

uint64_t virtualDisplayInterruptCpu(int output)
{
    if (output < 0 || output >= kVirtualMaxOutputs || g_interrupts[output].thread == nullptr)
        return 0;
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(g_interrupts[output].thread, &created, &exited, &kernel, &user))
        return 0;
    const auto value = [](const FILETIME& time) {
        return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return value(kernel) + value(user);
}
