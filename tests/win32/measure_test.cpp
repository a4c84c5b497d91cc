// The timer, messaging and display tests and the compositor timing sample, run for real
// under the system and, where the system's answer is not ours to choose, against
// substitutes for the bound functions. Each test reads back exactly the log lines it wrote.
#include "measure/logschema.h"
#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/logtext.h"
#include "dwm/dwm.h"
#include "measure/harness.h"
#include "measure/tests.h"

#include <tlhelp32.h>
#include <mmsystem.h>

#include "win32/log_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- Reading the log back ----------------------------------------------------------------



// The lines from index from on (empty when there are fewer).
std::vector<std::string> tail(const std::vector<std::string>& lines, size_t from)
{
    if (from >= lines.size())
        return {};
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
}

// ---- Substitutes for bound functions ----------------------------------------------------


// The substitute each function name resolves to; null leaves the system's own.
FARPROC g_timerResolution = nullptr;
FARPROC g_enumDevices = nullptr;
FARPROC g_monitorFromWindow = nullptr;
FARPROC g_monitorInfo = nullptr;
FARPROC g_compositionTiming = nullptr;

FARPROC substituteResolver(const char* module, const char* function)
{
    const std::string name = std::string(module) + "!" + function;
    if (name == "ntdll!NtQueryTimerResolution")
        return g_timerResolution;
    if (name == "user32!EnumDisplayDevicesA")
        return g_enumDevices;
    if (name == "user32!MonitorFromWindow")
        return g_monitorFromWindow;
    if (name == "user32!GetMonitorInfoA")
        return g_monitorInfo;
    if (name == "dwmapi!DwmGetCompositionTimingInfo")
        return g_compositionTiming;
    return nullptr;
}

// Installs the resolver with no substitute chosen; the tests choose theirs, then rebind.
class WithSubstitutes : public ::testing::Test {
protected:
    void SetUp() override
    {
        tickInit();
        g_timerResolution = g_enumDevices = g_monitorFromWindow = g_monitorInfo =
            g_compositionTiming = nullptr;
        useResolver(substituteResolver);
    }
    void TearDown() override
    {
        useResolver(nullptr);
    }
    // Makes the substitutes chosen so far take effect.
    static void rebind() { bound::resetBindingsForTest(); }
};

bound::NTSTATUS WINAPI kernelResolution(ULONG* coarsest, ULONG* finest, ULONG* current)
{
    *coarsest = 156250;
    *finest = 5000;
    *current = 156250;
    return 0;
}

bound::NTSTATUS WINAPI failingResolution(ULONG* coarsest, ULONG* finest, ULONG* current)
{
    *coarsest = *finest = *current = 1;   // must not be shown
    return bound::kStatusNotImplemented;
}

// ---- Timer tests ------------------------------------------------------------------------

using TimerTests = WithSubstitutes;

TEST_F(TimerTests, QpcSpeedWritesOneLineOfWholePassesOfCalls)
{
    LogWatch watch;
    testQpcSpeed();
    const std::vector<std::string> lines = watch.lines();
    expectTitleAndHeader(lines, "QPC Speed");
    ASSERT_EQ(6u, lines.size());

    double ns = 0.0;
    int calls = 0;
    long long qpc = 0;
    ASSERT_EQ(3, std::sscanf(lines[5].c_str(), "%lf ns per tick() call (%d calls in %lld/qpc)",
                             &ns, &calls, &qpc))
        << lines[5];
    EXPECT_EQ(logRow("%.0f ns per tick() call (%d calls in %lld/qpc)", ns, calls, qpc), lines[5]);
    EXPECT_GE(calls, 100000);
    EXPECT_EQ(0, calls % 100000) << calls;
    EXPECT_GE(ticksToMs(qpc), 1000.0);
    EXPECT_NEAR(ticksToUs(qpc) * 1000.0 / calls, ns, 0.5);
}

TEST_F(TimerTests, TimeQuantumShowsTheKernelResolutionInMilliseconds)
{
    g_timerResolution = asFarproc(kernelResolution);
    rebind();
    LogWatch watch;
    testTimeQuantum();
    const std::vector<std::string> lines = watch.lines();
    expectTitleAndHeader(lines, "Windows Time Quantum");
    ASSERT_EQ(5u + 3u + 10u, lines.size());
    EXPECT_EQ("Windows Kernel reports: min/ms=0.500000  max/ms=15.625000   cur/ms=15.625000",
              lines[5]);
    EXPECT_EQ("", lines[6]);
    EXPECT_EQ(logRow("%s", testSchema(LogTest::TimeQuantum).header), lines[7]);
    for (int i = 0; i < 10; ++i) {
        const std::string& line = lines[8 + i];
        int number = -1;
        double quantum = -1.0;
        ASSERT_EQ(2, std::sscanf(line.c_str(), "%d %lf", &number, &quantum)) << line;
        EXPECT_EQ(i, number);
        EXPECT_EQ(logRow("%d\t%.3f", number, quantum), line);
        // A 1 ms sleep lasts at least most of a millisecond, and at most the coarsest timer
        // period (15.6 ms) and whatever a busy machine adds.
        EXPECT_GT(quantum, 0.5) << line;
        EXPECT_LT(quantum, 100.0) << line;
    }
}

TEST_F(TimerTests, TimeQuantumWithoutKernelFiguresStillWritesItsTenRows)
{
    g_timerResolution = asFarproc(failingResolution);
    rebind();
    LogWatch watch;
    testTimeQuantum();
    const std::vector<std::string> lines = watch.lines();
    expectTitleAndHeader(lines, "Windows Time Quantum");
    ASSERT_EQ(5u + 1u + 10u, lines.size());
    EXPECT_EQ(logRow("%s", testSchema(LogTest::TimeQuantum).header), lines[5]);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(0u, lines[6 + i].find(logRow("%d\t", i))) << lines[6 + i];
}

TEST_F(TimerTests, SleepAccuracyWritesTwentyOffsetsForEachOfThreeSleepLengths)
{
    LogWatch watch;
    testSleepAccuracy();
    const std::vector<std::string> lines = watch.lines();
    expectTitleAndHeader(lines, "OS Sleep Accuracy, at various quantum offsets");
    ASSERT_EQ(5u + 1u + 60u, lines.size());
    EXPECT_EQ("offset/ms   sleep/ms    slept/ms    error/ms", lines[5]);
    const double lengths[] = {0.0, 1.0, 10.0};
    for (int block = 0; block < 3; ++block) {
        for (int offset = 0; offset < 20; ++offset) {
            const std::string& line = lines[6 + block * 20 + offset];
            int number = -1;
            double asked = -1.0;
            double slept = -1.0;
            double error = -1.0;
            ASSERT_EQ(4, std::sscanf(line.c_str(), "%d %lf %lf %lf", &number, &asked, &slept,
                                     &error))
                << line;
            EXPECT_EQ(logRow("%d\t%.3f\t%.3f\t%.3f", number, asked, slept, error), line);
            EXPECT_EQ(offset, number);
            EXPECT_EQ(lengths[block], asked);
            EXPECT_NEAR(slept - asked, error, 0.0015) << line;
            // A sleep never ends before its length, less the timer's 1 ms granularity; it
            // may end later by what the machine adds.
            EXPECT_GE(slept, asked - 1.0) << line;
            EXPECT_LT(slept, asked + 100.0) << line;
        }
    }
}

// ---- Display information ----------------------------------------------------------------

struct FakeDevice {
    const char* name;
    const char* description;
    DWORD flags;
};

const FakeDevice kDevices[] = {
    {"\\\\.\\DISPLAY1", "Wine Adapter", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE},
    {"\\\\.\\DISPLAY2", "Spare Adapter", 0},
    {"\\\\.\\DISPLAY3", "Side Adapter", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | 0x8},
};

// What the device substitute was asked.
std::vector<DWORD> g_indexesAsked;
bool g_askedAsExpected = true;   // no device name, flags 0, cb 168

BOOL WINAPI fakeEnumDevices(LPCSTR device, DWORD index, bound::DisplayDevice* info, DWORD flags)
{
    g_indexesAsked.push_back(index);
    if (device != nullptr || flags != 0 || info->cb != 168)
        g_askedAsExpected = false;
    if (index >= sizeof kDevices / sizeof kDevices[0])
        return FALSE;
    std::strcpy(info->DeviceName, kDevices[index].name);
    std::strcpy(info->DeviceString, kDevices[index].description);
    info->StateFlags = kDevices[index].flags;
    return TRUE;
}

BOOL WINAPI noDevices(LPCSTR, DWORD index, bound::DisplayDevice*, DWORD)
{
    g_indexesAsked.push_back(index);
    return FALSE;
}

// The monitor substitutes: a secondary monitor, or failures.
HMONITOR const kFakeMonitor = reinterpret_cast<HMONITOR>(static_cast<INT_PTR>(0x4d4f));
HMONITOR g_monitorAnswer = nullptr;
BOOL g_monitorInfoAnswer = FALSE;
HWND g_windowAsked = nullptr;
DWORD g_monitorFlagsAsked = 0;
DWORD g_infoSizeAsked = 0;
HMONITOR g_infoMonitorAsked = nullptr;

HMONITOR WINAPI fakeMonitorFromWindow(HWND window, DWORD flags)
{
    g_windowAsked = window;
    g_monitorFlagsAsked = flags;
    return g_monitorAnswer;
}

BOOL WINAPI fakeMonitorInfo(HMONITOR monitor, LPMONITORINFO info)
{
    g_infoMonitorAsked = monitor;
    g_infoSizeAsked = info->cbSize;
    auto* extended = reinterpret_cast<MONITORINFOEXA*>(info);
    std::strcpy(extended->szDevice, "\\\\.\\DISPLAY2");
    extended->dwFlags = 0;
    return g_monitorInfoAnswer;
}

class DisplayTests : public WithSubstitutes {
protected:
    HWND window = nullptr;

    void SetUp() override
    {
        WithSubstitutes::SetUp();
        g_indexesAsked.clear();
        g_askedAsExpected = true;
        g_windowAsked = nullptr;
        g_infoSizeAsked = 0;
        g_infoMonitorAsked = nullptr;
        // Hidden: it needs a place on a monitor, not a visible frame.
        window = CreateWindowExA(0, "STATIC", "monitor test", WS_POPUP, 10, 10, 100, 100,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(nullptr, window);
    }
    void TearDown() override
    {
        g_hwndMain = nullptr;
        DestroyWindow(window);
        WithSubstitutes::TearDown();
    }
};

TEST_F(DisplayTests, AdapterLinesCountEveryDeviceAndMarkItsStateWithLeadingBlanks)
{
    g_enumDevices = asFarproc(fakeEnumDevices);
    rebind();
    LogWatch watch;
    testAdapterInfo();
    const std::vector<std::string> lines = watch.lines();
    expectTitleAndHeader(lines, "Display Adapter Information");
    EXPECT_EQ((std::vector<std::string>{
                  "Adaptor0=\\\\.\\DISPLAY1 'Wine Adapter'  [ACTIVE] [PRIMARY]",
                  "Adaptor1=\\\\.\\DISPLAY2 'Spare Adapter' ",
                  "Adaptor2=\\\\.\\DISPLAY3 'Side Adapter'  [ACTIVE]",
              }),
              tail(lines, 5));
    EXPECT_EQ((std::vector<DWORD>{0, 1, 2, 3}), g_indexesAsked);
    EXPECT_TRUE(g_askedAsExpected) << "no device name, flags 0 and cb 168";

    // No device at index 0: the title stands alone.
    g_enumDevices = asFarproc(noDevices);
    rebind();
    g_indexesAsked.clear();
    LogWatch alone;
    testAdapterInfo();
    EXPECT_EQ(titleFrame("Display Adapter Information"), alone.lines());
    EXPECT_EQ(std::vector<DWORD>{0}, g_indexesAsked);
}

TEST_F(DisplayTests, AppMonitorNamesTheSystemsMonitorOfTheWindow)
{
    g_hwndMain = window;
    // What the system itself says about the window's monitor.
    const HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    ASSERT_NE(nullptr, monitor);
    MONITORINFOEXA info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoA(monitor, &info));
    ASSERT_TRUE(info.dwFlags & MONITORINFOF_PRIMARY) << "one monitor here, the primary one";

    LogWatch watch;
    testAppMonitor();
    EXPECT_EQ((std::vector<std::string>{"", std::string("App running on ") + info.szDevice + " (PRIMARY)"}),
              watch.lines());
}

TEST_F(DisplayTests, AppMonitorOnASecondaryMonitorHasNoMarkAndFailuresWriteNothing)
{
    g_monitorFromWindow = asFarproc(fakeMonitorFromWindow);
    g_monitorInfo = asFarproc(fakeMonitorInfo);
    rebind();
    g_hwndMain = window;

    g_monitorAnswer = kFakeMonitor;
    g_monitorInfoAnswer = TRUE;
    {
        LogWatch watch;
        testAppMonitor();
        EXPECT_EQ((std::vector<std::string>{"", "App running on \\\\.\\DISPLAY2"}), watch.lines());
        EXPECT_EQ(window, g_windowAsked);
        EXPECT_EQ(static_cast<DWORD>(MONITOR_DEFAULTTONEAREST), g_monitorFlagsAsked);
        EXPECT_EQ(kFakeMonitor, g_infoMonitorAsked);
        EXPECT_EQ(72u, g_infoSizeAsked);
    }
    g_monitorInfoAnswer = FALSE;
    {
        LogWatch watch;
        testAppMonitor();
        EXPECT_TRUE(watch.lines().empty()) << "monitor information failed";
    }
    g_monitorAnswer = nullptr;
    g_monitorInfoAnswer = TRUE;
    g_infoMonitorAsked = kFakeMonitor;
    {
        LogWatch watch;
        testAppMonitor();
        EXPECT_TRUE(watch.lines().empty()) << "no monitor";
        EXPECT_EQ(kFakeMonitor, g_infoMonitorAsked) << "no information asked without a monitor";
    }
}

TEST_F(DisplayTests, AppMonitorWithoutAWindowWritesNothing)
{
    g_hwndMain = nullptr;
    LogWatch watch;
    testAppMonitor();
    EXPECT_TRUE(watch.lines().empty());
}

// ---- Messaging latency ------------------------------------------------------------------

int threadsOfThisProcess()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// Dispatches this thread's messages until done is set, waking as soon as one arrives.
void pumpUntil(const std::atomic<bool>& done)
{
    while (!done) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
}

TEST(MessagingTests, MessageLoopRowsComeFromTheWindowProcedureInOrder)
{
    tickInit();
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = mainWndProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "kelvaroPingTest";
    ASSERT_TRUE(RegisterClassA(&windowClass) != 0 ||
                GetLastError() == ERROR_CLASS_ALREADY_EXISTS);
    const HWND window = CreateWindowExA(0, "kelvaroPingTest", "ping test", WS_OVERLAPPED, 0, 0,
                                        200, 100, nullptr, nullptr, windowClass.hInstance,
                                        nullptr);
    ASSERT_NE(nullptr, window);
    g_hwndMain = window;

    LogWatch watch;
    std::atomic<bool> done{false};
    std::thread tester([&done] {
        testMessageLoop(10);
        done = true;
    });
    pumpUntil(done);
    tester.join();
    const std::vector<std::string> lines = watch.lines();

    g_hwndMain = nullptr;
    DestroyWindow(window);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {   // the WM_QUIT of WM_DESTROY
    }

    expectTitleAndHeader(lines, "Windows Message Loop Processing Speed");
    ASSERT_EQ(5u + 1u + 10u, lines.size());
    EXPECT_EQ(logRow("%s", testSchema(LogTest::MessageLoop).header), lines[5]);
    for (int i = 0; i < 10; ++i) {
        const std::string& line = lines[6 + i];
        int number = -1;
        double delay = -1.0;
        ASSERT_EQ(2, std::sscanf(line.c_str(), "%d %lf", &number, &delay)) << line;
        EXPECT_EQ(i, number);
        EXPECT_EQ(logRow("%d\t%.1f", number, delay), line);
        // Handled while the next one is 20 ms away: more than that is a lost message.
        EXPECT_GE(delay, 0.0);
        EXPECT_LT(delay, 100000.0) << line;
    }
}

class WaitSpeed : public ::testing::Test {
protected:
    void SetUp() override
    {
        tickInit();
        // The first use of the timer period may start threads of the system's own.
        timeBeginPeriod(1);
        timeEndPeriod(1);
    }
    void TearDown() override { g_appRunning = true; }
};

TEST_F(WaitSpeed, RowsAreWakeUpDelaysAndTheWaiterHasEndedOnReturn)
{
    const int threadsBefore = threadsOfThisProcess();
    ASSERT_GT(threadsBefore, 0);
    LogWatch watch;
    const int64_t start = tick();
    testWaitSpeed(10);
    const double seconds = ticksToMs(tick() - start) / 1000.0;
    EXPECT_EQ(threadsBefore, threadsOfThisProcess()) << "the waiter thread is gone";
    EXPECT_LT(seconds, 5.0);

    const std::vector<std::string> lines = watch.lines();
    expectTitleAndHeader(lines, "Windows WaitForXXXX Processing Speed");
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ("delay/us", lines[5]);
    // The waiter blocks 50 ms before each SetEvent: every wake-up is a row. A busy machine can
    // hold the waiter off past the next SetEvent; it then finds the event set, does not block,
    // and writes no row: two such seen in a clean clone, and two allowed.
    EXPECT_LE(lines.size(), 5u + 1u + 10u) << "a row without its wake-up";
    EXPECT_GE(lines.size(), 5u + 1u + 8u) << "wake-ups without their rows";
    for (const std::string& line : tail(lines, 6)) {
        double delay = -1.0;
        ASSERT_EQ(1, std::sscanf(line.c_str(), "%lf", &delay)) << line;
        EXPECT_EQ(logRow("%.3f", delay), line);
        // A waiter whose wait timed out (100 ms) gives no row; a row is a wake-up.
        EXPECT_GT(delay, 0.0);
        EXPECT_LT(delay, 100000.0) << line;
    }
}

TEST_F(WaitSpeed, ClosingApplicationGivesNoRowsAndTheWaiterStillEnds)
{
    const int threadsBefore = threadsOfThisProcess();
    g_appRunning = false;
    LogWatch watch;
    testWaitSpeed(10);
    EXPECT_EQ(threadsBefore, threadsOfThisProcess());
    const std::vector<std::string> lines = watch.lines();
    expectTitleAndHeader(lines, "Windows WaitForXXXX Processing Speed");
    EXPECT_EQ(std::vector<std::string>{"delay/us"}, tail(lines, 5));
}

// ---- Compositor timing sample ------------------------------------------------------------

// What the compositor substitute answers and what it saw.
HRESULT g_timingResult = S_OK;
ULONGLONG g_timingVblank = 0;   // raw counter value
std::atomic<int> g_timingCalls{0};
UINT32 g_sizeSeen = 0;
HWND g_windowSeen = reinterpret_cast<HWND>(1);
int g_prioritySeen = 99;
constexpr ULONGLONG kPeriod = 166667;

HRESULT WINAPI fakeTiming(HWND window, bound::DWM_TIMING_INFO* info)
{
    ++g_timingCalls;
    g_sizeSeen = info->cbSize;
    g_windowSeen = window;
    g_prioritySeen = GetThreadPriority(GetCurrentThread());
    info->rateRefresh = {60000, 1001};
    info->qpcRefreshPeriod = kPeriod;
    info->qpcVBlank = g_timingVblank;
    return g_timingResult;
}

constexpr HRESULT kCompositionDisabled = static_cast<HRESULT>(0x80263001);

class DwmTiming : public WithSubstitutes {
protected:
    void SetUp() override
    {
        WithSubstitutes::SetUp();
        g_compositionTiming = asFarproc(fakeTiming);
        rebind();
        g_timingResult = S_OK;
        g_timingCalls = 0;
    }
    void TearDown() override
    {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        WithSubstitutes::TearDown();
    }
    // Makes the compositor report the vblank that lies ago ticks before now.
    static int64_t reportVblankAgo(int64_t ago)
    {
        const int64_t vblank = tick() - ago;
        g_timingVblank = static_cast<ULONGLONG>(vblank + tickBase);
        return vblank;
    }
    // One dwmVblankOffset call at the current tick: its result, samples and duration.
    struct Call {
        double offsetUs;
        int64_t t;
        int samples;
        double elapsedUs;
    };
    static Call offsetNow()
    {
        g_timingCalls = 0;
        Call call;
        call.t = tick();
        call.offsetUs = dwmVblankOffset(call.t);
        call.elapsedUs = ticksToUs(tick() - call.t);
        call.samples = g_timingCalls;
        return call;
    }
};

TEST_F(DwmTiming, SampleConvertsTheVblankOnSuccessAndWritesNothingOnFailure)
{
    g_timingVblank = static_cast<ULONGLONG>(tickBase + 1234567);
    int64_t vblank = 0;
    int64_t period = 0;
    bound::UNSIGNED_RATIO rate = {};
    EXPECT_TRUE(dwmGetTiming(&vblank, &period, &rate, true));
    EXPECT_EQ(1234567, vblank);
    EXPECT_EQ(static_cast<int64_t>(kPeriod), period);
    EXPECT_EQ(60000u, rate.uiNumerator);
    EXPECT_EQ(1001u, rate.uiDenominator);
    EXPECT_EQ(292u, g_sizeSeen);
    EXPECT_EQ(nullptr, g_windowSeen) << "the whole desktop";
    EXPECT_TRUE(dwmGetTiming(nullptr, nullptr, nullptr, false)) << "every output is optional";

    g_timingResult = kCompositionDisabled;
    vblank = period = -5;
    rate = {7, 8};
    {
        LogWatch watch;
        EXPECT_FALSE(dwmGetTiming(&vblank, &period, &rate, true));
        EXPECT_EQ(std::vector<std::string>{"GTI ERROR -2144980991"}, watch.lines());
    }
    {
        LogWatch watch;
        EXPECT_FALSE(dwmGetTiming(&vblank, &period, &rate, false));
        EXPECT_TRUE(watch.lines().empty());
    }
    g_timingResult = 1;   // S_FALSE is a success code, but not S_OK
    EXPECT_FALSE(dwmGetTiming(&vblank, &period, &rate, false));
    EXPECT_EQ(-5, vblank);
    EXPECT_EQ(-5, period);
    EXPECT_EQ(7u, rate.uiNumerator);
}

TEST_F(DwmTiming, NewerVblankIsMeasuredAtOnceAndAnEarlierTickGivesANegativeOffset)
{
    reportVblankAgo(20000);
    offsetNow();   // whatever an earlier test left, the compositor's vblank is now known
    const int64_t newer = reportVblankAgo(5000);
    const Call call = offsetNow();
    EXPECT_EQ(1, call.samples);
    EXPECT_DOUBLE_EQ(ticksToUs(call.t - newer), call.offsetUs);
    EXPECT_GT(call.offsetUs, 0.0);

    const int64_t ahead = reportVblankAgo(-30000);
    const int64_t before = ahead - 10000;
    EXPECT_DOUBLE_EQ(ticksToUs(before - ahead), dwmVblankOffset(before));
    EXPECT_LT(dwmVblankOffset(before - 1), 0.0);
}

TEST_F(DwmTiming, SameVblankIsPolledForHalfAMillisecondThenMeasuredFromIt)
{
    const int64_t vblank = reportVblankAgo(1000);
    offsetNow();
    const Call call = offsetNow();
    EXPECT_GE(call.elapsedUs, 500.0);
    EXPECT_LT(call.elapsedUs, 1000000.0);
    EXPECT_DOUBLE_EQ(ticksToUs(call.t - vblank), call.offsetUs);
}

TEST_F(DwmTiming, FailedOrZeroVblankSampleGivesZeroAndKeepsTheVblankRemembered)
{
    reportVblankAgo(1000);
    offsetNow();

    g_timingResult = kCompositionDisabled;
    Call call = offsetNow();
    EXPECT_EQ(0.0, call.offsetUs);
    EXPECT_EQ(1, call.samples);

    // Still remembered: the same vblank again is polled for. Only a poll that ran out lasts
    // 500 us; a call that does not poll ends after its one sample.
    g_timingResult = S_OK;
    EXPECT_GE(offsetNow().elapsedUs, 500.0);

    const ULONGLONG remembered = g_timingVblank;
    g_timingVblank = 0;
    call = offsetNow();
    EXPECT_EQ(0.0, call.offsetUs);
    EXPECT_EQ(1, call.samples);

    g_timingVblank = remembered;
    EXPECT_GE(offsetNow().elapsedUs, 500.0);
}

TEST_F(DwmTiming, CallerPriorityIsRestoredAndThePollRunsAtNormal)
{
    ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    reportVblankAgo(1000);
    g_prioritySeen = 99;
    offsetNow();
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, g_prioritySeen);
    EXPECT_EQ(THREAD_PRIORITY_HIGHEST, GetThreadPriority(GetCurrentThread()));

    g_timingResult = kCompositionDisabled;
    ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL));
    EXPECT_EQ(0.0, dwmVblankOffset(tick()));
    EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, GetThreadPriority(GetCurrentThread()));
}

}   // namespace
