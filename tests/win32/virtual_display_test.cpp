// The virtual display behind the bound wrappers: adapter handles and their statuses, vblank
// waits that land on the timeline (with the figures of how closely and at what processor
// cost), the scan line, the display mode, the compositor's timing and flush, DirectDraw's
// blank waits, the test options, the one announcement line, the environment switch and
// uninstalling. Times are bounded only loosely; the figures are printed.
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "virtual/virtual_display.h"

#include "win32/log_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr bound::NTSTATUS kInvalidParameter = static_cast<bound::NTSTATUS>(0xC000000D);
constexpr const char* kAnnouncement = "virtual.display stands in at ";

int64_t now() { return readPerformanceCounter(); }

double countsToUs(const Timeline& timeline, int64_t counts)
{
    return static_cast<double>(counts) * 1e6 / static_cast<double>(timeline.frequency);
}

double percentile(std::vector<double> values, int percent)
{
    std::sort(values.begin(), values.end());
    return values[values.size() * static_cast<size_t>(percent) / 100];
}

class VirtualDisplayTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const bound::D3DKMT_HANDLE adapter : m_opened) {
            const bound::D3DKMT_CLOSEADAPTER close = {adapter};
            bound::D3DKMTCloseAdapter(&close);
        }
        virtualDisplayUninstall();
        bound::resetBindingsForTest();
    }

    void install(const VirtualDisplayOptions& options)
    {
        ASSERT_TRUE(virtualDisplayInstall(options));
        bound::resetBindingsForTest();
        m_timeline = virtualDisplayTimeline();
        ASSERT_NE(nullptr, m_timeline);
    }

    void install(RefreshRatio rate)
    {
        VirtualDisplayOptions options;
        options.rate = rate;
        install(options);
    }

    // Opens the adapter as the vsync server does, from a display device context.
    bound::D3DKMT_HANDLE openAdapter()
    {
        HDC dc = CreateDCA(nullptr, "\\\\.\\DISPLAY1", nullptr, nullptr);
        if (dc == nullptr)
            dc = CreateCompatibleDC(nullptr);   // no display driver: any device context will do
        EXPECT_NE(nullptr, dc);
        bound::D3DKMT_OPENADAPTERFROMHDC open = {};
        open.hDc = dc;
        EXPECT_EQ(0, bound::D3DKMTOpenAdapterFromHdc(&open));
        DeleteDC(dc);
        EXPECT_NE(0u, open.hAdapter);
        EXPECT_EQ(0u, open.VidPnSourceId);
        m_opened.push_back(open.hAdapter);
        return open.hAdapter;
    }

    bound::NTSTATUS waitVblank(bound::D3DKMT_HANDLE adapter)
    {
        const bound::D3DKMT_WAITFORVERTICALBLANKEVENT wait = {adapter, 0, 0};
        return bound::D3DKMTWaitForVerticalBlankEvent(&wait);
    }

    const Timeline& timeline() const { return *m_timeline; }
    int64_t vblankStart(int64_t k) const { return timelineVblankStart(*m_timeline, k); }
    int64_t msToCounts(double ms) const
    {
        return static_cast<int64_t>(ms * static_cast<double>(m_timeline->frequency) / 1000.0);
    }

    const Timeline* m_timeline = nullptr;
    std::vector<bound::D3DKMT_HANDLE> m_opened;
};

TEST_F(VirtualDisplayTest, AdapterHandlesOpenCloseAndUnknownOnes)
{
    install(RefreshRatio{240, 1});
    const bound::D3DKMT_HANDLE first = openAdapter();
    const bound::D3DKMT_HANDLE second = openAdapter();
    EXPECT_NE(first, second);
    m_opened.clear();   // closed by hand below

    EXPECT_EQ(0, waitVblank(first));
    bound::D3DKMT_GETSCANLINE scan = {second, 0, 0, 0};
    EXPECT_EQ(0, bound::D3DKMTGetScanLine(&scan));

    // Only source 0 and no device handle.
    const bound::D3DKMT_WAITFORVERTICALBLANKEVENT otherSource = {first, 0, 1};
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTWaitForVerticalBlankEvent(&otherSource));
    const bound::D3DKMT_WAITFORVERTICALBLANKEVENT withDevice = {first, 5, 0};
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTWaitForVerticalBlankEvent(&withDevice));

    const bound::D3DKMT_CLOSEADAPTER closeFirst = {first};
    EXPECT_EQ(0, bound::D3DKMTCloseAdapter(&closeFirst));
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTCloseAdapter(&closeFirst));   // twice
    const bound::D3DKMT_CLOSEADAPTER closeZero = {0};
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTCloseAdapter(&closeZero));
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTCloseAdapter(nullptr));

    // A closed or unknown adapter fails at once, without waiting for a vblank.
    for (const bound::D3DKMT_HANDLE unknown : {first, bound::D3DKMT_HANDLE{0x12345}, 0u}) {
        const int64_t before = now();
        EXPECT_EQ(kInvalidParameter, waitVblank(unknown)) << unknown;
        EXPECT_LT(countsToUs(timeline(), now() - before), 2000.0) << unknown;
        bound::D3DKMT_GETSCANLINE unknownScan = {unknown, 0, 0, 0};
        EXPECT_EQ(kInvalidParameter, bound::D3DKMTGetScanLine(&unknownScan)) << unknown;
    }
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTWaitForVerticalBlankEvent(nullptr));
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTGetScanLine(nullptr));

    bound::D3DKMT_OPENADAPTERFROMHDC noDc = {};
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTOpenAdapterFromHdc(&noDc));
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTOpenAdapterFromHdc(nullptr));

    // The second handle is still open.
    EXPECT_EQ(0, waitVblank(second));
    const bound::D3DKMT_CLOSEADAPTER closeSecond = {second};
    EXPECT_EQ(0, bound::D3DKMTCloseAdapter(&closeSecond));
}

uint64_t threadTime()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    const auto value = [](const FILETIME& time) {
        return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return value(kernel) + value(user);   // 100 ns units
}

// 300 waits at 60 Hz: each returns at the start of the next vblank, never before it. Prints
// how late (median, 99th percentile, worst) and what the waits cost in processor time.
TEST_F(VirtualDisplayTest, VblankWaitsLandOnTheTimeline)
{
    install(RefreshRatio{60, 1});
    const bound::D3DKMT_HANDLE adapter = openAdapter();
    constexpr int kWaits = 300;
    std::vector<double> lateUs;
    int skipped = 0;
    int64_t previous = -1;
    const uint64_t cpuBefore = threadTime();
    const int64_t start = now();
    for (int i = 0; i < kWaits; ++i) {
        const int64_t before = now();
        ASSERT_EQ(0, waitVblank(adapter));
        const int64_t after = now();
        // The vblank that starts first after the call began.
        const int64_t k = timelineLatestVblank(timeline(), before) + 1;
        ASSERT_GE(after, vblankStart(k)) << "wait " << i << " returned before vblank " << k;
        lateUs.push_back(countsToUs(timeline(), after - vblankStart(k)));
        if (previous >= 0 && k != previous + 1)
            ++skipped;   // the loop itself came late to a vblank: noise, not the wait
        previous = k;
    }
    const double elapsedUs = countsToUs(timeline(), now() - start);
    const double cpuUs = static_cast<double>(threadTime() - cpuBefore) / 10.0;

    const double median = percentile(lateUs, 50);
    const double p99 = percentile(lateUs, 99);
    const double worst = *std::max_element(lateUs.begin(), lateUs.end());
    std::printf("[ FIGURES  ] vblank wait at 60 Hz, %d waits: late by median %.1f us, p99 %.1f us, "
                "max %.1f us; %d vblanks missed by the loop; thread cpu %.1f %% of one core "
                "over %.0f ms\n",
                kWaits, median, p99, worst, skipped, 100.0 * cpuUs / elapsedUs, elapsedUs / 1000.0);
    EXPECT_LT(median, 2000.0);
    EXPECT_LT(skipped, kWaits / 10);
}

TEST_F(VirtualDisplayTest, ScanLineFollowsTheTimeline)
{
    install(RefreshRatio{60000, 1001});
    const bound::D3DKMT_HANDLE adapter = openAdapter();
    int inBlank = 0, visible = 0, checked = 0;
    const int64_t end = now() + msToCounts(40.0);   // more than two frames
    while (now() < end) {
        bound::D3DKMT_GETSCANLINE scan = {adapter, 0, 0, 0};
        const int64_t before = now();
        ASSERT_EQ(0, bound::D3DKMTGetScanLine(&scan));
        const int64_t after = now();
        ASSERT_LT(scan.ScanLine, 1125u);
        EXPECT_EQ(scan.ScanLine >= 1080, scan.InVerticalBlank != 0) << scan.ScanLine;
        (scan.InVerticalBlank ? inBlank : visible) += 1;
        // The line is one the display scanned between the readings around the call.
        const int64_t first = timelineLineAt(timeline(), before);
        const int64_t last = timelineLineAt(timeline(), after);
        if (last - first < 1125) {
            bool found = false;
            for (int64_t line = first; line <= last && !found; ++line)
                found = (line + 1080) % 1125 == static_cast<int64_t>(scan.ScanLine);
            EXPECT_TRUE(found) << scan.ScanLine << " not in lines " << first << ".." << last;
            ++checked;
        }
        spinWaitUs(15);
    }
    EXPECT_GT(inBlank, 0);
    EXPECT_GT(visible, inBlank);
    EXPECT_GT(checked, (inBlank + visible) / 2);
}

TEST_F(VirtualDisplayTest, CurrentDisplayModeGivesSizeAndRatio)
{
    install(RefreshRatio{60000, 1001});
    const bound::D3DKMT_HANDLE adapter = openAdapter();
    bound::D3DKMT_DISPLAYMODE mode = {};
    ASSERT_TRUE(bound::queryDisplayMode(adapter, 0, &mode));
    EXPECT_EQ(1920u, mode.Width);
    EXPECT_EQ(1080u, mode.Height);
    EXPECT_EQ(60u, mode.IntegerRefreshRate);
    EXPECT_EQ(60000u, mode.RefreshRate.Numerator);
    EXPECT_EQ(1001u, mode.RefreshRate.Denominator);

    EXPECT_FALSE(bound::queryDisplayMode(adapter, 1, &mode));     // no second source
    EXPECT_FALSE(bound::queryDisplayMode(0x777, 0, &mode));       // unknown adapter

    bound::D3DKMT_CURRENTDISPLAYMODE current = {};
    bound::D3DKMT_QUERYADAPTERINFO query = {adapter, 1, &current, sizeof current};
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTQueryAdapterInfo(&query));   // other type
    query = {adapter, bound::kQueryCurrentDisplayMode, &current, 44};
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTQueryAdapterInfo(&query));   // other size
    query = {adapter, bound::kQueryCurrentDisplayMode, nullptr, sizeof current};
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTQueryAdapterInfo(&query));
    EXPECT_EQ(kInvalidParameter, bound::D3DKMTQueryAdapterInfo(nullptr));
}

TEST_F(VirtualDisplayTest, CompositorTimingMatchesTheTimeline)
{
    install(RefreshRatio{60000, 1001});
    EXPECT_TRUE(bound::DwmIsCompositionEnabled());
    const int64_t period = std::llround(static_cast<double>(timeline().frequency) * 1001 / 60000);

    ULONGLONG previousRefresh = 0;
    for (int sample = 0; sample < 5; ++sample) {
        bound::DWM_TIMING_INFO info = {};
        info.cbSize = sizeof info;
        const int64_t before = now();
        ASSERT_EQ(S_OK, bound::DwmGetCompositionTimingInfo(nullptr, &info));
        const int64_t after = now();
        EXPECT_EQ(292u, info.cbSize);
        EXPECT_EQ(60000u, info.rateRefresh.uiNumerator);
        EXPECT_EQ(1001u, info.rateRefresh.uiDenominator);
        EXPECT_EQ(static_cast<ULONGLONG>(period), info.qpcRefreshPeriod);
        // The latest vblank start as a raw counter value, and its index.
        const int64_t k = static_cast<int64_t>(info.cRefresh);
        EXPECT_EQ(static_cast<ULONGLONG>(vblankStart(k)), info.qpcVBlank);
        EXPECT_LE(static_cast<int64_t>(info.qpcVBlank), after);
        EXPECT_GT(vblankStart(k + 1), before);
        if (sample > 0) {
            EXPECT_GT(info.cRefresh, previousRefresh);
        }
        previousRefresh = info.cRefresh;
        Sleep(20);   // more than a period
    }

    bound::DWM_TIMING_INFO info = {};
    info.cbSize = 291;
    EXPECT_EQ(E_INVALIDARG, bound::DwmGetCompositionTimingInfo(nullptr, &info));
    info.cbSize = sizeof info;
    EXPECT_EQ(E_INVALIDARG, bound::DwmGetCompositionTimingInfo(GetDesktopWindow(), &info));
    EXPECT_EQ(E_INVALIDARG, bound::DwmGetCompositionTimingInfo(nullptr, nullptr));
}

TEST_F(VirtualDisplayTest, DwmFlushReturnsAtTheNextVblank)
{
    install(RefreshRatio{120, 1});
    std::vector<double> lateUs;
    for (int i = 0; i < 30; ++i) {
        const int64_t before = now();
        ASSERT_EQ(S_OK, bound::DwmFlush());
        const int64_t after = now();
        const int64_t next = vblankStart(timelineLatestVblank(timeline(), before) + 1);
        ASSERT_GE(after, next);
        lateUs.push_back(countsToUs(timeline(), after - next));
    }
    std::printf("[ FIGURES  ] DwmFlush at 120 Hz: late by median %.1f us, p99 %.1f us\n",
                percentile(lateUs, 50), percentile(lateUs, 100 - 1));
    EXPECT_LT(percentile(lateUs, 50), 2000.0);
}

// DirectDraw's waits, with the COM details that callers rely on.
TEST_F(VirtualDisplayTest, DirectDrawWaitsForBlankStartAndEnd)
{
    install(RefreshRatio{60, 1});
    LPDIRECTDRAW directDraw = nullptr;
    ASSERT_EQ(DD_OK, bound::DirectDrawCreate(nullptr, &directDraw, nullptr));
    ASSERT_NE(nullptr, directDraw);

    std::vector<double> beginLateUs, endLateUs, blankMs;
    int endedCurrentBlank = 0;
    constexpr int kRounds = 20;
    for (int i = 0; i < kRounds; ++i) {
        const int64_t before = now();
        ASSERT_EQ(DD_OK, directDraw->WaitForVerticalBlank(DDWAITVB_BLOCKBEGIN, nullptr));
        const int64_t begun = now();
        const int64_t k = timelineLatestVblank(timeline(), before) + 1;
        ASSERT_GE(begun, vblankStart(k));
        beginLateUs.push_back(countsToUs(timeline(), begun - vblankStart(k)));

        const int64_t middle = now();
        ASSERT_EQ(DD_OK, directDraw->WaitForVerticalBlank(DDWAITVB_BLOCKEND, nullptr));
        const int64_t ended = now();
        // The end of the blank under way; if the call came after it, of the next one.
        bool inBlank = false;
        timelineScanLine(timeline(), middle, &inBlank);
        const int64_t latest = timelineLatestVblank(timeline(), middle);
        const int64_t expected = timelineVblankEnd(timeline(), inBlank ? latest : latest + 1);
        endedCurrentBlank += inBlank ? 1 : 0;
        ASSERT_GE(ended, expected);
        endLateUs.push_back(countsToUs(timeline(), ended - expected));
        blankMs.push_back(countsToUs(timeline(), ended - begun) / 1000.0);
    }
    // A blank at 60 Hz lasts 45 / 1125 of 16.667 ms.
    std::printf("[ FIGURES  ] DirectDraw at 60 Hz: begin late by median %.1f us, end late by "
                "median %.1f us, blank %.3f ms (median)\n",
                percentile(beginLateUs, 50), percentile(endLateUs, 50), percentile(blankMs, 50));
    EXPECT_LT(percentile(beginLateUs, 50), 2000.0);
    EXPECT_LT(percentile(endLateUs, 50), 2000.0);
    EXPECT_GT(endedCurrentBlank, kRounds / 2);
    // Loosely: the end of this blank (0.667 ms), never the end of the next one (17.3 ms),
    // even when the machine delays the waiting thread.
    EXPECT_LT(percentile(blankMs, 50), 8.0);

    // Outside the blank, the end wait runs to the end of the next blank.
    ASSERT_EQ(DD_OK, directDraw->WaitForVerticalBlank(DDWAITVB_BLOCKEND, nullptr));
    Sleep(4);
    const int64_t outside = now();
    bool inBlank = true;
    timelineScanLine(timeline(), outside, &inBlank);
    if (!inBlank) {
        ASSERT_EQ(DD_OK, directDraw->WaitForVerticalBlank(DDWAITVB_BLOCKEND, nullptr));
        EXPECT_GE(now(), timelineVblankEnd(timeline(), timelineLatestVblank(timeline(), outside) + 1));
    }

    EXPECT_EQ(DDERR_UNSUPPORTED, directDraw->WaitForVerticalBlank(DDWAITVB_BLOCKBEGINEVENT, nullptr));
    EXPECT_EQ(DDERR_INVALIDPARAMS, directDraw->WaitForVerticalBlank(0, nullptr));
    DWORD value = 0;
    EXPECT_EQ(DDERR_UNSUPPORTED, directDraw->GetMonitorFrequency(&value));
    EXPECT_EQ(DDERR_UNSUPPORTED, directDraw->GetScanLine(&value));
    EXPECT_EQ(DDERR_UNSUPPORTED, directDraw->SetCooperativeLevel(nullptr, 0));
    EXPECT_EQ(DDERR_UNSUPPORTED, directDraw->Compact());

    // Interfaces and the reference count; the last Release frees the object.
    const GUID iidUnknown = {0x00000000, 0x0000, 0x0000,
                             {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    const GUID iidDirectDraw = {0x6C14DB80, 0xA733, 0x11CE,
                                {0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60}};
    const GUID iidDirectDraw2 = {0xB3A6F3E0, 0x2B43, 0x11CF,
                                 {0xA2, 0xDE, 0x00, 0xAA, 0x00, 0xB9, 0x33, 0x56}};
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, directDraw->QueryInterface(iidDirectDraw2, &object));
    EXPECT_EQ(nullptr, object);
    ASSERT_EQ(S_OK, directDraw->QueryInterface(iidUnknown, &object));
    EXPECT_EQ(static_cast<void*>(directDraw), object);
    ASSERT_EQ(S_OK, directDraw->QueryInterface(iidDirectDraw, &object));
    EXPECT_EQ(4u, directDraw->AddRef());
    EXPECT_EQ(3u, directDraw->Release());
    EXPECT_EQ(2u, directDraw->Release());
    EXPECT_EQ(1u, directDraw->Release());
    EXPECT_EQ(0u, directDraw->Release());

    int notAnObject = 0;   // never called: aggregation is refused first
    IUnknown* outer = reinterpret_cast<IUnknown*>(&notAnObject);
    LPDIRECTDRAW refused = directDraw;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, bound::DirectDrawCreate(nullptr, &refused, outer));
    EXPECT_EQ(nullptr, refused);
    EXPECT_EQ(DDERR_INVALIDPARAMS, bound::DirectDrawCreate(nullptr, nullptr, nullptr));
}

TEST_F(VirtualDisplayTest, LateWakeUpShiftsEveryReturn)
{
    VirtualDisplayOptions options;
    options.rate = {120, 1};
    options.lateTicks = readPerformanceFrequency() * 3 / 1000;   // 3 ms
    install(options);
    const bound::D3DKMT_HANDLE adapter = openAdapter();
    std::vector<double> shiftUs;
    for (int i = 0; i < 20; ++i) {
        const int64_t before = now();
        ASSERT_EQ(0, waitVblank(adapter));
        const int64_t after = now();
        const int64_t k = timelineLatestVblank(timeline(), before) + 1;
        ASSERT_GE(after, vblankStart(k) + options.lateTicks);
        shiftUs.push_back(countsToUs(timeline(), after - vblankStart(k)));
    }
    // The flush and DirectDraw come late by the same.
    const int64_t before = now();
    ASSERT_EQ(S_OK, bound::DwmFlush());
    EXPECT_GE(now(), vblankStart(timelineLatestVblank(timeline(), before) + 1) + options.lateTicks);

    std::printf("[ FIGURES  ] late wake-up of 3 ms at 120 Hz: returns after the vblank by median "
                "%.1f us\n", percentile(shiftUs, 50));
    EXPECT_GE(percentile(shiftUs, 50), 3000.0);
    EXPECT_LT(percentile(shiftUs, 50), 5000.0);
}

TEST_F(VirtualDisplayTest, DroppedVblanksAreSkippedByWaitsOnly)
{
    VirtualDisplayOptions options;
    options.rate = {60, 1};
    options.dropEvery = 2;          // even vblanks
    options.droppedVblanks = {3};   // and vblank 3: the first waits return at 1, then 5
    install(options);
    const bound::D3DKMT_HANDLE adapter = openAdapter();
    std::vector<int64_t> returned;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(0, waitVblank(adapter));
        const int64_t at = now();
        const int64_t k = timelineLatestVblank(timeline(), at);
        returned.push_back(k);
        EXPECT_LT(countsToUs(timeline(), at - vblankStart(k)), 16667.0);
    }
    for (size_t i = 0; i < returned.size(); ++i) {
        EXPECT_EQ(1, returned[i] % 2) << "wait " << i << " returned at vblank " << returned[i];
        EXPECT_NE(3, returned[i]);
        if (i > 0) {
            EXPECT_GE(returned[i] - returned[i - 1], 2);
        }
    }

    // The flush skips them too; the compositor and the scan line still see every vblank.
    ASSERT_EQ(S_OK, bound::DwmFlush());
    const int64_t flushed = timelineLatestVblank(timeline(), now());
    EXPECT_EQ(1, flushed % 2);
    Sleep(20);   // past the next, dropped, vblank
    bound::DWM_TIMING_INFO info = {};
    info.cbSize = sizeof info;
    ASSERT_EQ(S_OK, bound::DwmGetCompositionTimingInfo(nullptr, &info));
    EXPECT_GT(static_cast<int64_t>(info.cRefresh), flushed);
    EXPECT_EQ(static_cast<ULONGLONG>(vblankStart(static_cast<int64_t>(info.cRefresh))),
              info.qpcVBlank);
}

TEST_F(VirtualDisplayTest, RateChangeReachesWaitsModeAndCompositor)
{
    VirtualDisplayOptions options;
    options.rate = {60, 1};
    options.changeFrame = 4;
    options.changedRate = {144, 1};
    install(options);
    const bound::D3DKMT_HANDLE adapter = openAdapter();
    bound::D3DKMT_DISPLAYMODE mode = {};
    ASSERT_TRUE(bound::queryDisplayMode(adapter, 0, &mode));
    EXPECT_EQ(60u, mode.RefreshRate.Numerator);

    const int64_t changed = timelineFrameStart(timeline(), 4);
    while (now() < changed)
        Sleep(1);
    ASSERT_TRUE(bound::queryDisplayMode(adapter, 0, &mode));
    EXPECT_EQ(144u, mode.RefreshRate.Numerator);
    EXPECT_EQ(144u, mode.IntegerRefreshRate);
    bound::DWM_TIMING_INFO info = {};
    info.cbSize = sizeof info;
    ASSERT_EQ(S_OK, bound::DwmGetCompositionTimingInfo(nullptr, &info));
    EXPECT_EQ(144u, info.rateRefresh.uiNumerator);
    EXPECT_EQ(static_cast<ULONGLONG>(std::llround(static_cast<double>(timeline().frequency) / 144)),
              info.qpcRefreshPeriod);

    // Waits now come 6.944 ms apart, on the new vblanks.
    std::vector<double> intervalsMs, lateUs;
    int64_t previous = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(0, waitVblank(adapter));
        const int64_t at = now();
        const int64_t k = timelineLatestVblank(timeline(), at);
        EXPECT_GE(k, 4);
        lateUs.push_back(countsToUs(timeline(), at - vblankStart(k)));
        if (previous != 0)
            intervalsMs.push_back(countsToUs(timeline(), at - previous) / 1000.0);
        previous = at;
    }
    EXPECT_NEAR(6.944, percentile(intervalsMs, 50), 0.5);
    EXPECT_LT(percentile(lateUs, 50), 2000.0);
}

TEST_F(VirtualDisplayTest, AnnouncesItselfOnceOnTheFirstBindingItServes)
{
    const std::string line = "virtual.display stands in at 59.940 Hz (59940/1000)\r\n";
    const int before = countInLog(kAnnouncement);
    const int linesBefore = countInLog(line);
    VirtualDisplayOptions options;
    options.rate = {59940, 1000};
    install(options);
    EXPECT_EQ(before, countInLog(kAnnouncement));   // nothing bound yet

    EXPECT_TRUE(bound::DwmIsCompositionEnabled());
    EXPECT_EQ(linesBefore + 1, countInLog(line));
    const int announced = countInLog(kAnnouncement);
    EXPECT_EQ(before + 1, announced);
    // The line comes right before the binding line of the first function it serves.
    const std::string log = logPrintf("");
    const size_t at = log.rfind(line);
    ASSERT_NE(std::string::npos, at);
    const std::string binding = "...fnBind(dwmapi,DwmIsCompositionEnabled)=";
    EXPECT_EQ(0, log.compare(at + line.size(), binding.size(), binding));

    // More functions served, and functions it does not serve: no second line.
    const bound::D3DKMT_HANDLE adapter = openAdapter();
    EXPECT_EQ(0, waitVblank(adapter));
    bound::D3DKMT_DISPLAYMODE mode = {};
    EXPECT_TRUE(bound::queryDisplayMode(adapter, 0, &mode));
    const HMONITOR monitor = bound::MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY);
    (void)monitor;
    EXPECT_EQ(announced, countInLog(kAnnouncement));
    // Those bind as usual, with the system's address in their line.
    const FARPROC system = GetProcAddress(GetModuleHandleA("user32"), "MonitorFromWindow");
    const std::string systemLine = "...fnBind(user32,MonitorFromWindow)=" +
                                   std::to_string(static_cast<int>(reinterpret_cast<INT_PTR>(system)));
    EXPECT_NE(std::string::npos, std::string(logPrintf("")).find(systemLine));
}

TEST_F(VirtualDisplayTest, UninstalledTheSystemAnswersAgain)
{
    install(RefreshRatio{60, 1});
    EXPECT_TRUE(virtualDisplayInstalled());
    const bound::D3DKMT_HANDLE adapter = openAdapter();
    m_opened.clear();
    EXPECT_EQ(0, waitVblank(adapter));
    virtualDisplayUninstall();
    EXPECT_FALSE(virtualDisplayInstalled());
    EXPECT_EQ(nullptr, bound::setResolver(nullptr));   // the resolver is gone

    // A stand-in bound before still answers, but its adapters are gone with the install.
    EXPECT_EQ(kInvalidParameter, waitVblank(adapter));

    bound::resetBindingsForTest();
    // Now the system's functions, or their fallbacks where the system lacks them.
    const HMODULE gdi32 = GetModuleHandleA("gdi32");
    bound::D3DKMT_GETSCANLINE scan = {adapter, 0, 0, 0};
    const bound::NTSTATUS scanStatus = bound::D3DKMTGetScanLine(&scan);
    if (GetProcAddress(gdi32, "D3DKMTGetScanLine") == nullptr) {
        EXPECT_EQ(bound::kStatusNotImplemented, scanStatus);
    } else {
        EXPECT_NE(0, scanStatus);   // the system knows no such adapter
    }
    // Another resolver that was put in place is left alone.
    const bound::Resolver other = [](const char*, const char*) -> FARPROC { return nullptr; };
    bound::setResolver(other);
    virtualDisplayUninstall();
    EXPECT_EQ(other, bound::setResolver(nullptr));
}

TEST_F(VirtualDisplayTest, EnvironmentSwitchesItOnOnlyForARate)
{
    const struct {
        const char* value;   // null: not set
        bool on;
        uint32_t numerator, denominator;
    } cases[] = {   // the text itself is read by timelineParseRate, tested on its own
        {"59.94", true, 59940, 1000}, {"60000/1001", true, 60000, 1001},
        {nullptr, false, 0, 0},       {"abc", false, 0, 0},
    };
    for (const auto& c : cases) {
        virtualDisplayUninstall();
        SetEnvironmentVariableA(kVirtualDisplayVariable, c.value);
        EXPECT_EQ(c.on, virtualDisplayInstallFromEnvironment()) << (c.value ? c.value : "unset");
        EXPECT_EQ(c.on, virtualDisplayInstalled());
        const bound::Resolver resolver = bound::setResolver(nullptr);
        EXPECT_EQ(c.on, resolver != nullptr);
        bound::setResolver(resolver);
        if (c.on) {
            const RefreshRatio rate = timelineRateAt(*virtualDisplayTimeline(), now());
            EXPECT_EQ(c.numerator, rate.numerator) << c.value;
            EXPECT_EQ(c.denominator, rate.denominator) << c.value;
        }
    }
    SetEnvironmentVariableA(kVirtualDisplayVariable, nullptr);
}

}   // namespace
