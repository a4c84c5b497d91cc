// The vsync server thread: binds to the output of the main window's monitor, waits for
// each of its vblanks, then samples the scan line, records the vblank, pulses the
// waiters, checks the configuration every 500 ms and, while no test runs, repaints.
#include "vsync/vsync.h"

#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/displaydc.h"
#include "core/log.h"
#include "core/logtext.h"
#include "measure/harness.h"
#include "vsync/vsynccore.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstring>

namespace {

// The output a vblank wait names: adapter, device (always 0), source id.
using VblankWait = bound::D3DKMT_WAITFORVERTICALBLANKEVENT;

std::atomic<bool> g_serverRunning{false};
std::atomic<bool> g_suspendRequest{false};
HANDLE g_serverThread = nullptr;

// Adapter (low half) and source id (high half) of the bound output, published as one
// value so that a scan-line reader always gets a matching pair; adapter 0: unbound.
std::atomic<uint64_t> g_scanLineQuery{0};

// Display changes the system announced so far, and (server thread only) how many of them
// a configuration check has followed.
std::atomic<uint32_t> g_displayChanges{0};
uint32_t g_displayChangesChecked = 0;

// Touched by the server thread only.
LoadAccount g_account;
int64_t g_lastValidate = 0;
// Plain data, no destructor: a server thread still in a driver wait after vsyncStop gave
// up on it may touch it while the process exits.
RetryQuiet g_retry;

// The server's per-cycle lines: logged, or held while it retries quietly.
void cycleLog(const char* format, ...);

}  // namespace

static void setScanLineQuery(uint32_t adapter, uint32_t sourceId)
{
    g_scanLineQuery = (static_cast<uint64_t>(sourceId) << 32) | adapter;
}

int32_t vsyncGetScanLine()
{
    const uint64_t query = g_scanLineQuery;
    bound::D3DKMT_GETSCANLINE scan;
    std::memset(&scan, 0, sizeof scan);
    scan.hAdapter = static_cast<uint32_t>(query);
    scan.VidPnSourceId = static_cast<uint32_t>(query >> 32);
    if (scan.hAdapter == 0)
        return 0;
    if (bound::D3DKMTGetScanLine(&scan) != 0)
        return 0;
    return signedScanLine(scan.InVerticalBlank != 0, scan.ScanLine);
}

static void vsyncUpdateStatus(const MONITORINFOEXA* monitor)
{
    if (monitor == nullptr)
        return;
    int64_t average = 0;
    if (!vsyncGetTiming(nullptr, &average))
        return;
    char line[500];
    formatStatusLine(line, sizeof line, monitor->szDevice,
                     (monitor->dwFlags & MONITORINFOF_PRIMARY) != 0, ticksToMs(average),
                     loadMsPerSecond(g_account, tick(), tickFrequency),
                     bound::DwmIsCompositionEnabled());
    vsyncSetStatusText(line);
    requestRepaint();
}

static void vsyncSleep(DWORD ms)
{
    const int64_t start = tick();
    Sleep(ms);
    g_account.slept += tick() - start;
}

// True when the server parked.
static bool vsyncCheckSuspend()
{
    if (!g_suspendRequest)
        return false;
    logPrintf("vsync.suspended");
    while (g_serverRunning && g_suspendRequest)
        vsyncSleep(10);
    logPrintf("vsync.running");
    return true;
}

static bool vsyncGetMonitor(MONITORINFOEXA* monitor)
{
    HWND window = g_hwndMain;
    if (window == nullptr)
        return false;
    HMONITOR handle = bound::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    monitor->cbSize = sizeof(MONITORINFOEXA);
    return handle != nullptr &&
           bound::GetMonitorInfoA(handle, reinterpret_cast<LPMONITORINFO>(monitor)) != 0;
}

static void vsyncCloseAdapter(VblankWait* wait)
{
    if (wait->hAdapter == 0)
        return;
    bound::D3DKMT_CLOSEADAPTER close;
    close.hAdapter = wait->hAdapter;
    const bound::NTSTATUS status = bound::D3DKMTCloseAdapter(&close);
    cycleLog("vsync.close.adapter=%d", static_cast<int>(status));
    wait->hAdapter = 0;
}

static bool vsyncBind(VblankWait* wait, MONITORINFOEXA* monitor)
{
    if (!vsyncGetMonitor(monitor))
        return false;
    HDC dc = displayDcCreate(monitor->szDevice);
    cycleLog("vsync.bind device='%s' hDC=%d", monitor->szDevice,
             static_cast<int>(reinterpret_cast<INT_PTR>(dc)));
    if (dc == nullptr)
        return false;
    bound::D3DKMT_OPENADAPTERFROMHDC open;
    std::memset(&open, 0, sizeof open);
    open.hDc = dc;
    const bool bound = bound::D3DKMTOpenAdapterFromHdc(&open) == 0;
    if (bound) {
        wait->hAdapter = open.hAdapter;
        wait->hDevice = 0;
        wait->VidPnSourceId = open.VidPnSourceId;
        cycleLog("vsync.bound hAdapter=%d", static_cast<int>(open.hAdapter));
    }
    displayDcDelete(dc);
    return bound;
}

static bool vsyncValidateConfiguration(const char* boundDevice, int64_t now)
{
    // Every 500 ms, and once at the first vblank after each display change the system
    // announced (several before that vblank are followed by one check).
    const uint32_t changes = g_displayChanges.load();
    if (changes == g_displayChangesChecked && !(ticksToMs(now - g_lastValidate) > 500.0))
        return true;
    g_displayChangesChecked = changes;
    g_lastValidate = now;
    MONITORINFOEXA monitor;
    const bool found = vsyncGetMonitor(&monitor);
    vsyncUpdateStatus(found ? &monitor : nullptr);
    const bool same = found && std::strcmp(monitor.szDevice, boundDevice) == 0;
    if (!same)
        logPrintf("vsync.validate.configuration rebind needed");
    return same;
}

// A pass that ended without a vblank; the server goes quiet when one more such pass would
// leave the log less than its reserve.
static void failedCycle()
{
    const int32_t room = logRoom();
    if (retryQuietFailed(g_retry, room))
        logPrintf("vsync.retrying.quietly room=%d reserve=%d", static_cast<int>(room),
                  static_cast<int>(kServerLogReserve));
}

// The end of a quiet spell, then the lines of the bind that ended it, in their order.
static void endQuietSpell()
{
    logPrintf("vsync.retrying.ended after=%d quiet cycles", static_cast<int>(g_retry.quietCycles));
    retryQuietSucceeded(g_retry);
    for (int32_t from = 0; from < g_retry.heldBytes;) {
        int32_t end = from;
        while (end < g_retry.heldBytes && g_retry.held[end] != '\n')
            ++end;
        end = end < g_retry.heldBytes ? end + 1 : end;
        logAppendLine(g_retry.held + from, end - from);
        from = end;
    }
    g_retry.heldBytes = 0;
}

// The ticks of one frame of the mode an adapter reports; 0 when it cannot be read.
static int64_t modeFrame(const bound::D3DKMT_DISPLAYMODE& mode)
{
    const int64_t numerator = mode.RefreshRate.Numerator, denominator = mode.RefreshRate.Denominator;
    return numerator > 0 && denominator > 0 ? tickFrequency * denominator / numerator : 0;
}

static DWORD WINAPI vsyncThread(LPVOID)
{
    logPrintf("+vsyncThread()");
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    g_lastValidate = 0;   // a server started again checks its configuration afresh
    g_displayChangesChecked = g_displayChanges.load();
    g_retry = RetryQuiet{};
    int64_t previousEnd = loadAccount(g_account, tick(), 0);
    VblankWait wait = {0, 0, 0};
    MONITORINFOEXA monitor;
    std::memset(&monitor, 0, sizeof monitor);
    bool bound = false;
    ServerWaits waits{};   // set at each bind, the first pass's included

    while (g_serverRunning) {
        if (vsyncCheckSuspend())
            serverWaitsParked(waits);
        if (!bound) {
            retryQuietCycleBegins(g_retry);
            vsyncResetTiming();
            vsyncCloseAdapter(&wait);
            bound = vsyncBind(&wait, &monitor);
            cycleLog("-vsyncRebind=%d", bound ? 1 : 0);
            int64_t frame = 0;
            if (!bound) {
                cycleLog("vsync.failsafe.wait");
                vsyncSleep(200);
            } else {
                bound::D3DKMT_DISPLAYMODE mode;
                if (bound::queryDisplayMode(wait.hAdapter, wait.VidPnSourceId, &mode)) {
                    cycleLog("VSYNC INFO: size = %dx%d  hz=%d/%d", static_cast<int>(mode.Width),
                             static_cast<int>(mode.Height),
                             static_cast<int>(mode.RefreshRate.Numerator),
                             static_cast<int>(mode.RefreshRate.Denominator));
                    frame = modeFrame(mode);
                }
            }
            // Nothing of the output left behind counts for this one.
            serverWaitsBound(waits, frame);
        }
        setScanLineQuery(0, 0);
        if (!bound) {
            failedCycle();
            continue;
        }
        setScanLineQuery(wait.hAdapter, wait.VidPnSourceId);

        const int64_t waitStart = tick();
        const int64_t busy = waitStart - previousEnd;
        const bool returned = bound::D3DKMTWaitForVerticalBlankEvent(&wait) == 0;
        const int64_t vblank = tick();
        // A wait that reports success at once, too soon after the last vblank, is held back: a
        // late interrupt's catch-up is one such now and then, and goes into the record, unpulsed,
        // when a proper wait follows. Several in a row are a sleeping display or a stale
        // adapter, whose waits return at once: a failed wait, or this thread would spin.
        int32_t heldCount = 0;
        const WaitOutcome outcome = serverWaitReturned(waits, returned, waitStart, vblank, tickFrequency, &heldCount);
        previousEnd = loadAccount(g_account, vblank, busy);
        if (outcome == WaitOutcome::Held)
            continue;
        if (outcome == WaitOutcome::Vblank) {
            vsyncSetLastScanLine(vsyncGetScanLine());
            for (int32_t i = 0; i < heldCount; ++i)
                vsyncRecordVblank(waits.held[i]);
            vsyncRecordVblank(vblank);
            vsyncPulse();
            // Only after the sample, the record and the pulse, which must not wait for it.
            if (quietSpellEnds(g_retry, waits))
                endQuietSpell();
            bound = vsyncValidateConfiguration(monitor.szDevice, vblank);
            if (!g_testRunning)
                requestRepaint();
        } else {
            cycleLog("vsync.WaitForVerticalBlankEvent FAILED");
            vsyncSleep(500);
            bound = false;
            failedCycle();
        }
    }

    logPrintf("-vsyncThread()");
    vsyncClearEvents();
    vsyncSetLastScanLine(0);
    return 0;
}

namespace {

void cycleLog(const char* format, ...)
{
    char line[kLogLineBufferSize];
    va_list args;
    va_start(args, format);
    const int length = formatLogLine(line, format, args);
    va_end(args);
    if (retryQuietLine(g_retry, line, length))
        logAppendLine(line, length);
}

}  // namespace

void vsyncStart()
{
    if (g_serverRunning)
        return;
    // A server that vsyncStop gave up on may still be inside a driver's wait, and uses the
    // state a new one would reset: no second server until it has ended.
    if (g_serverThread != nullptr) {
        if (WaitForSingleObject(g_serverThread, 0) == WAIT_TIMEOUT)
            return;
        CloseHandle(g_serverThread);
        g_serverThread = nullptr;
    }
    g_serverRunning = true;
    g_suspendRequest = false;    // a new server starts running, whatever an old one was asked
    vsyncCreateEvents();
    g_serverThread = CreateThread(nullptr, 0, vsyncThread, nullptr, 0, nullptr);
}

void vsyncStop()
{
    if (!g_serverRunning)
        return;
    g_serverRunning = false;
    WaitForSingleObject(g_serverThread, 5000);
}

void vsyncDisplayChanged()
{
    ++g_displayChanges;
}

void vsyncSuspend(bool suspend)
{
    g_suspendRequest = suspend;
    Sleep(100);
}
