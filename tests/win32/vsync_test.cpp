// The vsync pulse and the server thread, with stand-ins for the display driver: one
// that cannot open an adapter, and one whose vblank comes every 10 ms and whose wait can
// be made to fail.
#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "measure/harness.h"
#include "vsync/vsync.h"
#include "vsync/vsynccore.h"

#include "win32/log_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t msSince(int64_t start)
{
    return static_cast<int64_t>(ticksToMs(tick() - start));
}

size_t logLength()
{
    return logText().size();
}

// The log written since a given length.
std::string logSince(size_t from)
{
    return logText().substr(from);
}

// Waits until the log has the line after a given length.
bool waitForLine(size_t from, const std::string& line, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (logSince(from).find(line + "\r\n") == std::string::npos) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(5);
    }
    return true;
}

// Pulses until the count reaches want (a waiter that was not waiting yet misses a pulse and
// is caught by the next); returns the pulses it took.
int pulseUntil(const std::atomic<int>& count, int want)
{
    int pulses = 0;
    for (; count.load() < want && pulses < 200; ++pulses) {
        vsyncPulse();
        Sleep(10);
    }
    return pulses;
}

TEST(VsyncPulse, ReleasesEveryWaiterAndTheNextWaitWaitsForTheNextPulse)
{
    tickInit();
    vsyncCreateEvents();
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (vsyncWait(5000))
                ++released;
        });
    Sleep(100);
    EXPECT_EQ(0, released.load()) << "released without a pulse";
    const int pulses = pulseUntil(released, 3);
    for (std::thread& waiter : waiters)
        waiter.join();
    EXPECT_EQ(3, released.load());
    EXPECT_LE(pulses, 3) << "most waiters go with the first pulse";

    // Released once, a thread that waits again waits for the following pulse.
    const int64_t start = tick();
    EXPECT_FALSE(vsyncWait(50));
    EXPECT_GE(msSince(start), 40);

    released = 0;
    std::thread late([&] { released = vsyncWait(5000) ? 10 : -1; });
    pulseUntil(released, 10);
    late.join();
    EXPECT_EQ(10, released.load());

    // With the server ended the handles are gone and a wait fails at once.
    vsyncClearEvents();
    const int64_t cleared = tick();
    EXPECT_FALSE(vsyncWait(2000));
    EXPECT_LT(msSince(cleared), 500);
}

// A stand-in driver whose vblank comes every 10 ms, or whose waits return success at once
// (a sleeping display, a stale adapter), or block until let go.
std::atomic<bool> g_openFails{false};
std::atomic<bool> g_waitFails{false};
std::atomic<bool> g_waitInstant{false};
std::atomic<HANDLE> g_waitHeldBy{nullptr};
std::atomic<int> g_opens{0};
std::atomic<int> g_samples{0};
std::atomic<int> g_monitorQueries{0};

bound::NTSTATUS WINAPI fakeOpen(bound::D3DKMT_OPENADAPTERFROMHDC* open)
{
    if (g_openFails)
        return static_cast<bound::NTSTATUS>(0xC0000017);
    ++g_opens;
    open->hAdapter = 7;
    open->VidPnSourceId = 3;
    return 0;
}

bound::NTSTATUS WINAPI fakeClose(const bound::D3DKMT_CLOSEADAPTER* close)
{
    return close->hAdapter == 7 ? 0 : static_cast<bound::NTSTATUS>(0xC000000D);
}

bound::NTSTATUS WINAPI fakeWait(const bound::D3DKMT_WAITFORVERTICALBLANKEVENT* wait)
{
    if (g_waitFails || wait->hAdapter != 7 || wait->VidPnSourceId != 3)
        return static_cast<bound::NTSTATUS>(0xC0000001);
    if (HANDLE held = g_waitHeldBy.load())
        WaitForSingleObject(held, 30000);
    else if (!g_waitInstant)
        Sleep(10);
    return 0;
}

HMONITOR WINAPI countedMonitorFromWindow(HWND window, DWORD flags)
{
    ++g_monitorQueries;
    return MonitorFromWindow(window, flags);
}

// The log's length when the server first sampled the scan line since this was set to -1.
std::atomic<int32_t> g_firstSampleLog{0};

bound::NTSTATUS WINAPI fakeScanLine(bound::D3DKMT_GETSCANLINE* scan)
{
    int32_t length = 0;
    logPeek(&length);
    int32_t unset = -1;
    g_firstSampleLog.compare_exchange_strong(unset, length);
    ++g_samples;
    if (scan->hAdapter != 7)
        return static_cast<bound::NTSTATUS>(0xC000000D);
    scan->InVerticalBlank = TRUE;
    scan->ScanLine = 1100;
    return 0;
}


FARPROC fakeDriver(const char* module, const char* function)
{
    if (std::strcmp(module, "user32") == 0 && std::strcmp(function, "MonitorFromWindow") == 0)
        return asFarproc(countedMonitorFromWindow);
    if (std::strcmp(module, "gdi32") != 0)
        return nullptr;
    if (std::strcmp(function, "D3DKMTOpenAdapterFromHdc") == 0)
        return asFarproc(fakeOpen);
    if (std::strcmp(function, "D3DKMTCloseAdapter") == 0)
        return asFarproc(fakeClose);
    if (std::strcmp(function, "D3DKMTWaitForVerticalBlankEvent") == 0)
        return asFarproc(fakeWait);
    if (std::strcmp(function, "D3DKMTGetScanLine") == 0)
        return asFarproc(fakeScanLine);
    return nullptr;
}

class VsyncServer : public ::testing::Test {
protected:
    HWND window = nullptr;

    void SetUp() override
    {
        tickInit();
        g_openFails = false;
        g_waitFails = false;
        g_waitInstant = false;
        useResolver(fakeDriver);
        window = CreateWindowExA(0, "STATIC", "vsync test", WS_POPUP, 0, 0, 100, 100, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(nullptr, window);
        g_hwndMain = window;
    }
    void TearDown() override
    {
        vsyncStop();
        g_hwndMain = nullptr;
        DestroyWindow(window);
        useResolver(nullptr);
    }
};

TEST_F(VsyncServer, WithoutAnAdapterItRetriesAndStopsCleanly)
{
    g_openFails = true;
    const size_t from = logLength();
    vsyncStart();
    vsyncStart();    // already running: nothing more
    for (int i = 0; i < 500 && count(logSince(from), "-vsyncRebind=0\r\nvsync.failsafe.wait\r\n") < 2; ++i)
        Sleep(10);
    const int64_t stopping = tick();
    vsyncStop();
    EXPECT_LT(msSince(stopping), 5000);
    vsyncStop();     // not running: nothing

    const std::string log = logSince(from);
    EXPECT_EQ(1, count(log, "+vsyncThread()\r\n"));
    EXPECT_EQ(1, count(log, "-vsyncThread()\r\n"));
    EXPECT_NE(std::string::npos, log.find("vsync.bind device='"));
    EXPECT_GE(count(log, "-vsyncRebind=0\r\nvsync.failsafe.wait\r\n"), 2);
    EXPECT_EQ(0, count(log, "vsync.bound"));
    EXPECT_FALSE(vsyncGetTiming(nullptr, nullptr));
    EXPECT_FALSE(vsyncWait(1000));    // the ended server left no event to wait on
}

TEST_F(VsyncServer, BoundItRecordsPulsesSamplesAndPublishesItsStatus)
{
    const size_t from = logLength();
    vsyncStart();
    // The first pulse comes once bound.
    ASSERT_TRUE(vsyncWait(5000)) << logSince(from);
    int released = 0;
    for (int i = 0; i < 20; ++i)
        released += vsyncWait(1000) ? 1 : 0;
    EXPECT_EQ(20, released);
    int64_t last = 0, average = 0;
    ASSERT_TRUE(vsyncGetTiming(&last, &average));
    EXPECT_GT(ticksToMs(average), 5.0);
    EXPECT_LT(ticksToMs(average), 200.0);
    EXPECT_EQ(last, vsyncLastVblank());
    EXPECT_EQ(-1100, vsyncLastScanLine());
    EXPECT_EQ(-1100, vsyncGetScanLine());

    // The status line comes with the configuration check, at most 500 ms apart.
    char status[200] = "";
    for (int i = 0; i < 40 && status[0] == '\0'; ++i) {
        Sleep(50);
        vsyncGetStatus(status);
    }
    EXPECT_EQ(0, std::strncmp(status, "vsync.server: ", 14)) << status;
    EXPECT_NE(nullptr, std::strstr(status, "ms/sec) DWM=")) << status;

    const std::string log = logSince(from);
    EXPECT_NE(std::string::npos, log.find("vsync.bound hAdapter=7\r\n-vsyncRebind=1\r\n"));
}

TEST_F(VsyncServer, SuspendedItStopsPulsingUntilResumed)
{
    vsyncStart();
    ASSERT_TRUE(vsyncWait(5000));
    const size_t from = logLength();
    vsyncSuspend(true);
    ASSERT_TRUE(waitForLine(from, "vsync.suspended", 5000)) << "the server did not park";
    vsyncWait(100);   // a pulse of the pass that was under way
    const int64_t parked = vsyncLastVblank();
    EXPECT_FALSE(vsyncWait(100));
    EXPECT_EQ(parked, vsyncLastVblank());
    EXPECT_EQ(-1100, vsyncGetScanLine()) << "the parked server keeps its output for readers";
    vsyncSuspend(false);
    EXPECT_TRUE(vsyncWait(2000));
    EXPECT_GT(vsyncLastVblank(), parked);
    EXPECT_TRUE(waitForLine(from, "vsync.running", 2000));
    const std::string log = logSince(from);
    const size_t suspended = log.find("vsync.suspended\r\n");
    ASSERT_NE(std::string::npos, suspended);
    EXPECT_NE(std::string::npos, log.find("vsync.running\r\n", suspended));
}

// Fills the process log until room bytes are left. Its own ctest entry runs this test
// alone: the log never shrinks, and the other tests need room.
void fillLogUntilRoom(int32_t room)
{
    const std::string filler(900, 'f');
    while (logRoom() - 902 > room)
        logPrintf("%s", filler.c_str());
    const int32_t rest = logRoom() - room - 2;
    if (rest > 0)
        logPrintf("%s", std::string(static_cast<size_t>(rest), 'f').c_str());
}

// With the log some ten failed cycles above its reserve, a failing server logs its lines
// until one more cycle would eat into the reserve, then one quiet line and nothing more of
// them. When vblanks come back it says so, then logs the bind that ended the spell, after
// the vblank's sample, record and pulse, which must not wait for it.
TEST_F(VsyncServer, LogNearlyFull_GoesQuietAtTheReserveAndSaysWhenVblanksReturn)
{
    g_openFails = true;
    fillLogUntilRoom(kServerLogReserve + 800);
    const size_t from = logLength();
    vsyncStart();
    for (int i = 0; i < 100 && logSince(from).find("vsync.retrying.quietly") == std::string::npos; ++i)
        Sleep(100);
    Sleep(1500);    // some quiet cycles
    g_firstSampleLog = -1;
    g_openFails = false;
    ASSERT_TRUE(vsyncWait(5000)) << "no pulse after the driver came back";
    EXPECT_TRUE(waitForLine(from, "-vsyncRebind=1", 5000));
    vsyncStop();

    const std::string log = logSince(from);
    const size_t quiet = log.find("vsync.retrying.quietly room=");
    ASSERT_NE(std::string::npos, quiet) << "the server did not go quiet:\n" << log;
    EXPECT_EQ(1, count(log, "vsync.retrying.quietly"));
    EXPECT_GE(count(log.substr(0, quiet), "-vsyncRebind=0\r\nvsync.failsafe.wait\r\n"), 5)
        << "the failed cycles above the reserve were not all logged";
    EXPECT_GE(kLogBufferSize - static_cast<int64_t>(from + quiet), kServerLogReserve)
        << "the repeated lines ate into the reserve";

    // After the quiet line: the end of the spell, then the bind that ended it, and nothing of
    // the failed cycles.
    size_t at = log.find("\r\n", quiet) + 2;
    const size_t ended = log.find("vsync.retrying.ended after=", at);
    ASSERT_NE(std::string::npos, ended) << log.substr(at);
    int quietCycles = 0;
    EXPECT_EQ(1, std::sscanf(log.c_str() + ended, "vsync.retrying.ended after=%d quiet cycles", &quietCycles));
    EXPECT_GE(quietCycles, 3);
    EXPECT_EQ(std::string::npos, log.substr(at, ended - at).find("vsync")) << log.substr(at);
    for (const char* line : {"vsync.bind device='", "vsync.bound hAdapter=7\r\n", "-vsyncRebind=1\r\n"}) {
        at = log.find(line, at);
        ASSERT_NE(std::string::npos, at) << "missing or out of order: " << line << "\n" << log.substr(ended);
    }
    EXPECT_EQ(std::string::npos, log.find("vsync.failsafe.wait", ended));
    ASSERT_GT(g_firstSampleLog.load(), 0);
    EXPECT_LE(static_cast<size_t>(g_firstSampleLog.load()), from + ended) << "the scan line waited for the log";
}

TEST_F(VsyncServer, FailedWaitClosesTheAdapterBeforeBindingAgain)
{
    vsyncStart();
    ASSERT_TRUE(vsyncWait(5000));
    const size_t from = logLength();
    g_waitFails = true;
    ASSERT_TRUE(waitForLine(from, "vsync.WaitForVerticalBlankEvent FAILED", 5000));
    g_waitFails = false;
    EXPECT_TRUE(vsyncWait(3000)) << "the server did not come back after a failed wait";
    const std::string log = logSince(from);
    const size_t failed = log.find("vsync.WaitForVerticalBlankEvent FAILED\r\n");
    ASSERT_NE(std::string::npos, failed) << log;
    const size_t closed = log.find("vsync.close.adapter=0\r\n", failed);
    ASSERT_NE(std::string::npos, closed) << log;
    EXPECT_NE(std::string::npos, log.find("vsync.bind device='", closed));
}

// Waits that return success at once with the log just above its reserve: the first wait after
// each bind counts (nothing came before it) and must not end the quiet spell, so the server
// says once that it goes quiet and nothing more, cycle after cycle.
TEST_F(VsyncServer, LogNearlyFullOfInstantWaits_GoesQuietOnceAndStaysQuiet)
{
    g_waitInstant = true;
    // A few cycles above the reserve: the first also logs the binding of each driver function.
    fillLogUntilRoom(kServerLogReserve + 1000);
    const size_t from = logLength();
    g_opens = 0;
    vsyncStart();
    for (int i = 0; i < 300 && g_opens.load() < 10; ++i)
        Sleep(50);
    const int cycles = g_opens.load();
    const int32_t room = logRoom();
    vsyncStop();
    const std::string log = logSince(from);
    EXPECT_GE(cycles, 10);
    EXPECT_EQ(1, count(log, "vsync.retrying.quietly")) << log;
    EXPECT_EQ(0, count(log, "vsync.retrying.ended")) << log;
    EXPECT_GE(room, kServerLogReserve) << log;
}

// A display change makes one configuration check due at the next vblank, never a check on every
// vblank for a while; and while a test runs the server asks for no repaint per vblank, only with
// its status line, at each check.
TEST_F(VsyncServer, ADisplayChangeIsOneCheckAndATestRunSeesNoRepaintPerVblank)
{
    ShowWindow(window, SW_SHOWNOACTIVATE);
    vsyncStart();
    ASSERT_TRUE(vsyncWait(5000));
    g_testRunning = true;
    const auto checkAfter = [](int queries, DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        while (g_monitorQueries.load() == queries && GetTickCount() - start < timeoutMs)
            Sleep(1);
        return static_cast<int64_t>(GetTickCount() - start);
    };
    // Right after a periodic check, the change's own check comes long before the next one.
    ASSERT_LT(checkAfter(g_monitorQueries.load(), 2000), 2000) << "no periodic check";
    const int queries = g_monitorQueries.load();
    vsyncDisplayChanged();
    const int64_t afterMs = checkAfter(queries, 2000);
    EXPECT_LT(afterMs, 300) << "the change waited for the periodic check";

    // The repaints asked for while the test thread looks every 2 ms for 1.5 s, with a display
    // change every 300 ms or none; and the checks made meanwhile.
    const auto watch = [&](bool changes, int* checks, double* spanMs) {
        const int64_t start = tick();
        const int before = g_monitorQueries.load();
        int repaints = 0;
        ValidateRect(window, nullptr);
        for (int i = 0; i < 750; ++i) {
            if (changes && i % 150 == 0)
                vsyncDisplayChanged();
            Sleep(2);
            if (GetUpdateRect(window, nullptr, FALSE)) {
                ++repaints;
                ValidateRect(window, nullptr);
            }
        }
        *checks = g_monitorQueries.load() - before;
        *spanMs = ticksToMs(tick() - start);
        return repaints;
    };
    int quietChecks = 0, checks = 0;
    double quietMs = 0.0, spanMs = 0.0;
    const int quietRepaints = watch(false, &quietChecks, &quietMs);
    const int repaints = watch(true, &checks, &spanMs);
    g_testRunning = false;
    std::printf("[ FIGURES  ] a display change's check came %lld ms after it; %d checks and %d repaints in %.0f ms "
                "with 5 changes, %d and %d in %.0f ms without\n",
                static_cast<long long>(afterMs), checks, repaints, spanMs, quietChecks, quietRepaints, quietMs);
    // The status line's own repaint, with the check every 500 ms, still comes.
    EXPECT_GE(quietRepaints, 1);
    EXPECT_LE(quietRepaints, quietChecks + 1) << "a repaint per vblank while a test runs";
    EXPECT_LE(checks, 5 + static_cast<int>(spanMs / 500.0) + 1);
    EXPECT_GE(checks, 5);
    EXPECT_LE(repaints, checks + 1) << "a repaint per vblank while a test runs";
}

// The server samples the scan line first after each vblank, even while a reader holds the
// record's lock: it judges its waits from its own account, not from the record.
TEST_F(VsyncServer, AReaderHoldingTheRecordDelaysNoScanLineSample)
{
    vsyncStart();
    ASSERT_TRUE(vsyncWait(5000));
    int sampledWhileHeld = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(vsyncWait(2000));
        Sleep(3);    // the server is back in its wait
        vsyncHoldRecordLock(true);
        const int before = g_samples.load();
        for (int ms = 0; ms < 200 && g_samples.load() == before; ++ms)
            Sleep(1);
        sampledWhileHeld += g_samples.load() > before ? 1 : 0;
        vsyncHoldRecordLock(false);
    }
    EXPECT_GE(sampledWhileHeld, 3) << "of 5 holds";
}

// A server that vsyncStop gave up on, still inside a driver's wait, gets no second server
// beside it: a start is refused until it has ended, and then starts one as ever.
TEST_F(VsyncServer, NoSecondServerWhileTheFirstIsStillInsideADriverWait)
{
    HANDLE letGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, letGo);
    const size_t from = logLength();
    vsyncStart();
    ASSERT_TRUE(vsyncWait(5000));
    g_waitHeldBy = letGo;
    vsyncWait(200);
    Sleep(20);    // inside a wait that does not return
    vsyncStop();  // gives up after 5 s
    vsyncStart();
    Sleep(200);
    EXPECT_EQ(1, count(logSince(from), "+vsyncThread()\r\n")) << "a second server beside the first";
    g_waitHeldBy = nullptr;
    SetEvent(letGo);
    EXPECT_TRUE(waitForLine(from, "-vsyncThread()", 5000));
    vsyncStart();
    EXPECT_TRUE(vsyncWait(5000)) << "no server once the first had ended";
    EXPECT_EQ(2, count(logSince(from), "+vsyncThread()\r\n"));
    CloseHandle(letGo);
}

}  // namespace
