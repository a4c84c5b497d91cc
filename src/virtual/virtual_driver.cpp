// The virtual display's driver: the adapters opened from display DCs, a vblank interrupt
// thread per output that lands on each vblank (a coarse sleep, then a short spin) and
// releases the D3DKMT waiters through an event, and the D3DKMT functions themselves.
#include "virtual/virtual_display.h"
#include "virtual/virtual_internal.h"

#include "core/clock.h"
#include "core/lock.h"

#include <atomic>
#include <cstdint>

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
constexpr NTSTATUS kStatusOccluded = static_cast<NTSTATUS>(0xC01E0006);   // STATUS_GRAPHICS_PRESENT_OCCLUDED
constexpr NTSTATUS kStatusDeviceRemoved = static_cast<NTSTATUS>(0xC00002B6);   // STATUS_DEVICE_REMOVED

// A vblank wait while the display sleeps, as the profile says such waits go.
NTSTATUS sleepingWait(const VirtualModel& model)
{
    switch (model.profile.sleepWaits) {
    case VirtualSleepWaits::kTimeout:
        Sleep(100);
        return kStatusTimeout;
    case VirtualSleepWaits::kInstant:
        return kStatusSuccess;
    case VirtualSleepWaits::kOccluded:
        break;
    }
    return kStatusOccluded;
}

// Open adapter handles with the output each was opened for, dense, guarded by
// adapterLock(). A handful at a time in practice; the bound only keeps a caller that never
// closes from growing it without end.
constexpr int kMaxAdapters = 256;
struct Adapter {
    bound::D3DKMT_HANDLE handle;
    int output;
    int64_t opened;   // the counter when it was opened
};
Adapter g_adapters[kMaxAdapters];
int g_adapterCount = 0;
bound::D3DKMT_HANDLE g_lastAdapter = 0x40000000;

CriticalLock* adapterLock()
{
    static CriticalLock* const lock = lockCreate(0);
    return lock;
}

bound::D3DKMT_HANDLE openAdapter(int output, int64_t now)
{
    bound::D3DKMT_HANDLE handle = 0;
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    if (g_adapterCount < kMaxAdapters) {
        g_lastAdapter += 0x40;   // handles in the style of the kernel's: never 0
        if (g_lastAdapter == 0)
            g_lastAdapter = 0x40000040;
        handle = g_lastAdapter;
        g_adapters[g_adapterCount++] = Adapter{handle, output, now};
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

// The output an open adapter was opened for, and when; -1 for a handle that is not open.
int adapterOutput(bound::D3DKMT_HANDLE handle, int64_t* opened = nullptr)
{
    if (handle == 0)
        return -1;
    int output = -1;
    CriticalLock* lock = adapterLock();
    lockEnter(lock);
    for (int i = 0; i < g_adapterCount && output < 0; ++i) {
        if (g_adapters[i].handle == handle) {
            output = g_adapters[i].output;
            if (opened != nullptr)
                *opened = g_adapters[i].opened;
        }
    }
    lockLeave(lock);
    return output;
}

// Whether an adapter's output went away since it was opened: it stays removed, and only a new
// adapter opened after the output came back works.
bool adapterRemoved(const VirtualModel& model, bound::D3DKMT_HANDLE handle, int64_t now)
{
    int64_t opened = 0, begins = 0, ends = 0;
    return adapterOutput(handle, &opened) == 1 && virtualUnpluggedSpan(model, &begins, &ends) && now >= begins &&
           opened < ends;
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

// The output of an open adapter, when the source id is that output's; -1 otherwise.
int validOutput(bound::D3DKMT_HANDLE adapter, bound::D3DDDI_VIDEO_PRESENT_SOURCE_ID source)
{
    const int output = adapterOutput(adapter);
    return output >= 0 && source == static_cast<UINT32>(output) ? output : -1;
}

}   // namespace

// --- Sleeping until a moment -------------------------------------------------------

namespace {

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

}   // namespace

// Sleeps never wait on a kernel object with a time-out: such waits come back on whole
// milliseconds under Wine, which would widen the margin. With a generation to watch, the
// sleep is taken in pieces of at most 50 ms.
bool virtualSleepCoarse(int64_t target, SleepPlan* plan, const uint32_t* generation)
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

void virtualSpinUntil(int64_t target)
{
    while (readPerformanceCounter() < target)
        YieldProcessor();
}

namespace {

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

// The next stretch without vblanks on an output, from vblank `from` on: the display's sleep,
// or the output unplugged (its end the largest value when it never comes back).
struct Dark {
    int64_t first = -1;
    int64_t end = 0;
    bool unplugged = false;
};

Dark nextDark(const VirtualModel& model, int output, int64_t from)
{
    const VirtualProfile& p = model.profile;
    Dark dark;
    if (p.sleepFrame != 0 && from <= p.sleepFrame)
        dark = Dark{p.sleepFrame, virtualWakeVblank(model), false};
    int64_t gone = 0, back = 0;
    if (output == 1 && virtualUnpluggedVblanks(model, &gone, &back) && from <= gone && (dark.first < 0 || gone < dark.first))
        dark = Dark{gone, back, true};
    return dark;
}

DWORD WINAPI interruptThread(LPVOID parameter)
{
    Interrupt& interrupt = *static_cast<Interrupt*>(parameter);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SleepPlan plan = sleepPlanMake(readPerformanceFrequency());
    uint32_t seen = g_generation.load() - 1;
    int64_t from = 0;
    int64_t returning = 0;   // the vblank with which an unplugged output comes back
    HANDLE toReset = nullptr;
    for (;;) {
        const uint32_t generation = g_generation.load();
        const int output = interrupt.output;
        // Idle while nothing is installed, or the install has no such output.
        const VirtualModel* latest = virtualLatestModel();
        if (!virtualInstalledNow() || latest == nullptr || latest->outputs <= output) {
            WaitForSingleObject(interrupt.changed, INFINITE);
            continue;
        }
        const VirtualModel& model = *latest;
        const Timeline& timeline = virtualOutputTimeline(model, output);
        const int64_t now = readPerformanceCounter();
        if (generation != seen) {
            seen = generation;
            from = timelineLatestVblank(timeline, now) + 1;
            returning = 0;
        }
        if (from == INT64_MAX) {
            // Unplugged for good: nothing comes until the next install.
            WaitForSingleObject(interrupt.changed, INFINITE);
            continue;
        }
        const int64_t vblank = virtualNextInterrupt(model, output, from, now);
        // An unplugged output comes back: the windows moved off it go back first.
        if (returning != 0 && (vblank < 0 || vblank >= returning)) {
            if (!virtualSleepCoarse(timelineVblankStart(timeline, returning), &plan, &generation))
                continue;
            virtualMoveWindowsOffSecond(true);
            returning = 0;
            continue;
        }
        // The display falls asleep or the output goes away before that vblank: its waiters are
        // let go when it does (they find it asleep or removed), and the next interrupt is the one
        // it comes back with.
        const Dark dark = nextDark(model, output, from);
        if (dark.first >= 0 && (vblank < 0 || vblank >= dark.first)) {
            const int64_t begins = timelineVblankStart(timeline, dark.first);
            if (!virtualSleepCoarse(begins, &plan, &generation))
                continue;
            if (toReset != nullptr) {
                ResetEvent(toReset);
                toReset = nullptr;
            }
            virtualSpinUntil(begins);
            toReset = releaseWaiters(interrupt);
            if (dark.unplugged) {
                virtualMoveWindowsOffSecond(false);
                returning = dark.end != INT64_MAX ? dark.end : 0;
            }
            from = dark.end;
            continue;
        }
        if (vblank < 0) {
            // A long stretch of stalled interrupts: nothing to deliver before its end.
            from += 64;
            virtualSleepCoarse(timelineVblankStart(timeline, from), &plan, &generation);
            continue;
        }
        const int64_t due = virtualInterruptDue(model, output, vblank);
        if (!virtualSleepCoarse(due, &plan, &generation))
            continue;   // installed afresh or removed meanwhile
        // The event set by the previous interrupt becomes current now: reset it, well away
        // from the moment of the interrupt.
        if (toReset != nullptr) {
            ResetEvent(toReset);
            toReset = nullptr;
        }
        virtualSpinUntil(due);
        // Installed afresh while it spun (a thread held off on a busy machine): that vblank is
        // the old model's, neither recorded nor delivered under the new one.
        if (g_generation.load() != generation)
            continue;
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
    const DWORD timeoutMs = virtualDriverTimeoutMs(model, interrupt.output);
    const HANDLE event = interrupt.events[interrupt.current.load()];
    return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

}   // namespace

VirtualWake virtualWaitOutputVblank(int output, DWORD timeoutMs)
{
    const VirtualModel* model = virtualLatestModel();
    if (model == nullptr || output < 0 || output >= kVirtualMaxOutputs || g_interrupts[output].thread == nullptr)
        return VirtualWake::kTimedOut;
    if (virtualAsleep(*model, output, readPerformanceCounter()))
        return VirtualWake::kAsleep;
    Interrupt& interrupt = g_interrupts[output];
    const bool woken = WaitForSingleObject(interrupt.events[interrupt.current.load()], timeoutMs) == WAIT_OBJECT_0;
    // A display that fell asleep while the waiter waited sends it back as asleep.
    if (virtualAsleep(*model, output, readPerformanceCounter()))
        return VirtualWake::kAsleep;
    return woken ? VirtualWake::kVblank : VirtualWake::kTimedOut;
}

DWORD virtualDriverTimeoutMs(const VirtualModel& model, int output)
{
    const int64_t period = timelinePeriodAt(virtualOutputTimeline(model, output), readPerformanceCounter());
    return static_cast<DWORD>(1000 + 4 * period * 1000 / model.frequency);
}

// --- The display driver -------------------------------------------------------------

NTSTATUS WINAPI virtualOpenAdapterFromHdc(bound::D3DKMT_OPENADAPTERFROMHDC* open)
{
    const VirtualModel* model = virtualLatestModel();
    if (open == nullptr || open->hDc == nullptr || model == nullptr)
        return kStatusInvalidParameter;
    // The output the DC was made for; a DC of no display device is the primary's.
    const int named = virtualDisplayContextOutput(open->hDc);
    const int output = named == kDcOfNoDisplay ? 0 : named;
    if (output < 0 || output >= model->outputs)
        return kStatusInvalidParameter;
    const int64_t now = readPerformanceCounter();
    if (!virtualOutputListed(*model, output, now))
        return kStatusDeviceRemoved;
    const bound::D3DKMT_HANDLE handle = openAdapter(output, now);
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


NTSTATUS WINAPI virtualWaitForVerticalBlankEvent(const bound::D3DKMT_WAITFORVERTICALBLANKEVENT* wait)
{
    const VirtualModel* model = virtualLatestModel();
    if (wait == nullptr || model == nullptr || wait->hDevice != 0)
        return kStatusInvalidParameter;
    const int output = validOutput(wait->hAdapter, wait->VidPnSourceId);
    if (output < 0)
        return kStatusInvalidParameter;
    if (adapterRemoved(*model, wait->hAdapter, readPerformanceCounter()))
        return kStatusDeviceRemoved;
    if (virtualAsleep(*model, output, readPerformanceCounter()))
        return sleepingWait(*model);
    if (!waitInterrupt(g_interrupts[output], *model))
        return kStatusTimeout;
    // Removed while it waited: the adapter is gone.
    if (!adapterOpen(wait->hAdapter))
        return kStatusInvalidParameter;
    if (adapterRemoved(*model, wait->hAdapter, readPerformanceCounter()))
        return kStatusDeviceRemoved;
    if (virtualAsleep(*model, output, readPerformanceCounter()))
        return sleepingWait(*model);
    return kStatusSuccess;
}

NTSTATUS WINAPI virtualGetScanLine(bound::D3DKMT_GETSCANLINE* scanLine)
{
    const VirtualModel* model = virtualLatestModel();
    if (scanLine == nullptr || model == nullptr)
        return kStatusInvalidParameter;
    const int output = validOutput(scanLine->hAdapter, scanLine->VidPnSourceId);
    if (output < 0)
        return kStatusInvalidParameter;
    if (adapterRemoved(*model, scanLine->hAdapter, readPerformanceCounter()))
        return kStatusDeviceRemoved;
    if (virtualAsleep(*model, output, readPerformanceCounter()))
        return kStatusOccluded;   // no scan-out while the display sleeps
    bool inVerticalBlank = false;
    const int32_t line = timelineScanLine(virtualOutputTimeline(*model, output),
                                          readPerformanceCounter(), &inVerticalBlank);
    scanLine->ScanLine = static_cast<UINT32>(line);
    scanLine->InVerticalBlank = inVerticalBlank ? TRUE : FALSE;
    return kStatusSuccess;
}

NTSTATUS WINAPI virtualQueryAdapterInfo(const bound::D3DKMT_QUERYADAPTERINFO* query)
{
    const VirtualModel* model = virtualLatestModel();
    if (query == nullptr || model == nullptr)
        return kStatusInvalidParameter;
    const int output = adapterOutput(query->hAdapter);
    if (output < 0)
        return kStatusInvalidParameter;
    if (adapterRemoved(*model, query->hAdapter, readPerformanceCounter()))
        return kStatusDeviceRemoved;
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

// --- Installs and uninstalls --------------------------------------------------------

void virtualDriverStart()
{
    for (int output = 0; output < kVirtualMaxOutputs; ++output)
        startInterrupt(g_interrupts[output], output);
}

void virtualDriverReset()
{
    closeAllAdapters();
    for (Interrupt& interrupt : g_interrupts)
        ResetEvent(interrupt.events[interrupt.current.load()]);   // set by an uninstall
}

void virtualDriverWake(bool releaseWaiters)
{
    ++g_generation;
    for (Interrupt& interrupt : g_interrupts) {
        if (interrupt.thread == nullptr)
            continue;
        SetEvent(interrupt.changed);
        // Let the blocked waiters go: they find their adapter gone. The next install resets
        // the event again.
        if (releaseWaiters)
            SetEvent(interrupt.events[interrupt.current.load()]);
    }
}

void virtualDriverClose()
{
    closeAllAdapters();
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
