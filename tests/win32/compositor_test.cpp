// The compositor tests against the virtual display at 60 Hz (rows checked against the
// timeline's true vblanks), against scripted substitutes for the compositor's functions
// (failures, a zero numerator, a zero period, failed flushes, the interval jump that beeps)
// and against the system's own functions, which must not make any of them hang.
#include "measure/logschema.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/logtext.h"
#include "measure/harness.h"
#include "measure/tests.h"
#include "virtual/virtual_display.h"

#include "win32/log_support.h"

#include "support/stats.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const char kRateTitle[] = "Demonstrate that Varnholt is using the wrong display Hz";
const char kTimingTitle[] = "DwmGetCompositionTimingInfo";
const char kFlushTitle[] = "DwmFlush";
const char* const kTimingHeader = testSchema(LogTest::DwmTiming).header;
const char* const kFlushHeader = testSchema(LogTest::DwmFlush).header;
const char kTimingRow[] = "%d\t%lld\t%lld\t%.0f\t%lld\t%.3f\t%.3f";
const char kFlushRow[] = "%d\t%lld\t%lld\t%.3f\t%.1f\t%lld\t%lld";
constexpr HRESULT kCompositionDisabled = static_cast<HRESULT>(0x80263001);
const char kDisabledLine[] = "GTI ERROR -2144980991";


// Runs test and returns the lines it logged after the five title lines of title and, when
// given, the header; lines of other causes (the binder, the virtual display) are left out.
template <typename Test>
Lines logged(const char* title, const char* header, Test test)
{
    const LogWatch watch;
    test();
    const Lines lines = watch.lines();
    const size_t at = expectTitleAndHeader(lines, title, header);
    return Lines(lines.begin() + static_cast<std::ptrdiff_t>(at), lines.end());
}

// A row's seven fields, read back; true only when the row is exactly in format.
struct Row {
    int i;
    long long a, b;
    double c, d;
    long long e, f;
    double g;
};

bool parseTiming(const std::string& line, Row* r)
{
    return std::sscanf(line.c_str(), "%d %lld %lld %lf %lld %lf %lf", &r->i, &r->a, &r->b,
                       &r->c, &r->e, &r->d, &r->g) == 7 &&
           line == logRow(kTimingRow, r->i, r->a, r->b, r->c, r->e, r->d, r->g);
}

bool parseFlush(const std::string& line, Row* r)
{
    return std::sscanf(line.c_str(), "%d %lld %lld %lf %lf %lld %lld", &r->i, &r->a, &r->b,
                       &r->c, &r->d, &r->e, &r->f) == 7 &&
           line == logRow(kFlushRow, r->i, r->a, r->b, r->c, r->d, r->e, r->f);
}

// Runs test; should it still run after limitMs, clears g_appRunning so that its loop ends
// at the next progress check. Returns whether it ended in time by itself.
template <typename Test>
bool endsWithin(DWORD limitMs, Test test)
{
    const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool stopped = false;
    std::thread watchdog([&] {
        if (WaitForSingleObject(done, limitMs) == WAIT_TIMEOUT) {
            stopped = true;
            g_appRunning = false;
        }
    });
    test();
    SetEvent(done);
    watchdog.join();
    CloseHandle(done);
    g_appRunning = true;
    return !stopped;
}


// ---- On the virtual display -------------------------------------------------------------

class DwmTestsVirtual : public ::testing::Test {
protected:
    void SetUp() override
    {
        tickInit();
        install({60, 1});
    }
    void TearDown() override
    {
        virtualDisplayUninstall();
        bound::resetBindingsForTest();
    }
    void install(RefreshRatio rate)
    {
        ASSERT_TRUE(virtualDisplayInstall(virtualProfileAt(rate)));
        bound::resetBindingsForTest();
        timeline_ = virtualDisplayTimeline();
    }
    bool isVblankStart(long long vblankTick) const
    {
        const int64_t counter = vblankTick + tickBase;
        return timelineVblankStart(*timeline_, timelineLatestVblank(*timeline_, counter)) == counter;
    }
    int64_t period() const { return timelinePeriodAt(*timeline_, readPerformanceCounter()); }

    const Timeline* timeline_ = nullptr;
};

TEST_F(DwmTestsVirtual, RateRefreshContrastsTheRatioWithTheCounterPeriod)
{
    for (const RefreshRatio rate : {RefreshRatio{60, 1}, RefreshRatio{60000, 1001}}) {
        install(rate);
        const std::string ratio = rate.numerator == 60 ? "16.666666/ms from 1/60*1000"
                                                       : "16.683332/ms from 1001/60000*1000";
        const Lines expected = {
            "dwm.rateRefresh = " + ratio + " (used by Varnholt and NOT accurate)",
            logRow("dwm.qpcRefreshPeriod = %.6f/ms (more accurate on Win7/8 but not good on Win10)",
                ticksToMs(period()))};
        EXPECT_EQ(expected, logged(kRateTitle, nullptr, [] { testDwmRateRefresh(); }));
    }
}

TEST_F(DwmTestsVirtual, TimingInfoLogsOneRowPerNewVblank)
{
    const int count = 60;
    Lines rows;
    ASSERT_TRUE(endsWithin(10000, [&] {
        rows = logged(kTimingTitle, kTimingHeader, [] { testDwmTimingInfo(count, false); });
    }));
    ASSERT_EQ(static_cast<size_t>(count), rows.size());
    const double periodMs = ticksToMs(period());
    std::vector<double> diffs;
    int single = 0;
    for (int i = 0; i < count; ++i) {
        Row r = {};
        ASSERT_TRUE(parseTiming(rows[i], &r)) << rows[i];
        EXPECT_EQ(i, r.i);
        EXPECT_TRUE(isVblankStart(r.b)) << rows[i];
        EXPECT_EQ(logRow("%.0f", ticksToUs(r.a - r.b)), logRow("%.0f", r.c)) << rows[i];
        EXPECT_EQ(period(), r.e);
        EXPECT_EQ("16.667", logRow("%.3f", r.d));
        diffs.push_back(r.c);
        if (i == 0) {
            EXPECT_EQ(0.0, r.g) << "no previous vblank";
            continue;
        }
        // A busy machine may miss a vblank now and then: whole periods, mostly one.
        const double frames = r.g / periodMs;
        EXPECT_GE(frames, 0.999) << rows[i];
        EXPECT_NEAR(frames, static_cast<double>(static_cast<int>(frames + 0.5)), 0.001) << rows[i];
        single += frames < 1.5 ? 1 : 0;
    }
    EXPECT_GE(single, (count - 1) * 3 / 4);
    std::printf("[ figures  ] timing info at 60 Hz: %d of %d intervals one period, "
                "diff/us median %.0f max %.0f\n",
                single, count - 1, median(diffs), *std::max_element(diffs.begin(), diffs.end()));
}

TEST_F(DwmTestsVirtual, FlushRowsFollowTheGridOfPeriods)
{
    const int count = 20;
    Lines rows;
    ASSERT_TRUE(endsWithin(10000, [&] {
        rows = logged(kFlushTitle, kFlushHeader, [] { testDwmFlush(count); });
    }));
    // The first flush has nothing before it to measure from.
    ASSERT_EQ(static_cast<size_t>(count - 1), rows.size());
    const int64_t p = period();
    std::vector<double> voffs, periods;
    for (int n = 0; n < count - 1; ++n) {
        Row r = {};
        ASSERT_TRUE(parseFlush(rows[n], &r)) << rows[n];
        EXPECT_EQ(n + 1, r.i);
        EXPECT_TRUE(isVblankStart(r.b)) << rows[n];
        EXPECT_EQ(r.b + (r.i % 5 - 2) * p, r.e) << rows[n];
        // vhvsc: the latest grid point not later than now + P/8.
        EXPECT_EQ(0, (r.f - r.b) % p) << rows[n];
        EXPECT_LE(r.f, r.a + p / 8) << rows[n];
        EXPECT_GT(r.f + p, r.a + p / 8) << rows[n];
        // Loosely: within a period of the compositor's vblank (before it only when a newer
        // one came between the flush and the offset's sample), a period or more after the
        // last flush.
        EXPECT_GT(r.d, -ticksToUs(p)) << rows[n];
        EXPECT_LT(r.d, ticksToUs(p)) << rows[n];
        EXPECT_GT(r.c, 0.5 * ticksToMs(p)) << rows[n];
        voffs.push_back(r.d);
        periods.push_back(r.c);
    }
    std::printf("[ figures  ] flush at 60 Hz: period/ms median %.3f, voff/us median %.1f "
                "max %.1f\n",
                median(periods), median(voffs), *std::max_element(voffs.begin(), voffs.end()));
}

// ---- Against scripted substitutes -------------------------------------------------------

// The substitute compositor: one scripted vblank (a tick) per call, failing once they run
// out, or the same vblank every time while the script is empty; flush results call by call,
// S_OK once they run out.
std::vector<int64_t> g_script;
size_t g_scriptAt = 0;
int64_t g_fixedVblank = 0;
HRESULT g_timingResult = S_OK;
ULONGLONG g_period = 0;
bound::UNSIGNED_RATIO g_rate = {60, 1};
std::vector<HRESULT> g_flushResults;
size_t g_flushCalls = 0;

HRESULT WINAPI scriptedTiming(HWND, bound::DWM_TIMING_INFO* info)
{
    if (g_timingResult != S_OK || (!g_script.empty() && g_scriptAt >= g_script.size()))
        return g_timingResult != S_OK ? g_timingResult : kCompositionDisabled;
    const int64_t vblank = g_script.empty() ? g_fixedVblank : g_script[g_scriptAt++];
    info->rateRefresh = g_rate;
    info->qpcRefreshPeriod = g_period;
    info->qpcVBlank = static_cast<ULONGLONG>(vblank + tickBase);
    return S_OK;
}

HRESULT WINAPI scriptedFlush()
{
    Sleep(1);   // distinct ticks for successive flushes
    const size_t call = g_flushCalls++;
    return call < g_flushResults.size() ? g_flushResults[call] : S_OK;
}


FARPROC scriptedResolver(const char* module, const char* function)
{
    if (std::strcmp(module, "dwmapi") != 0)
        return nullptr;
    if (std::strcmp(function, "DwmGetCompositionTimingInfo") == 0)
        return asFarproc(scriptedTiming);
    return std::strcmp(function, "DwmFlush") == 0 ? asFarproc(scriptedFlush) : nullptr;
}

class DwmTestsScripted : public ::testing::Test {
protected:
    void SetUp() override
    {
        tickInit();
        g_script.clear();
        g_scriptAt = 0;
        g_fixedVblank = tick();
        g_timingResult = S_OK;
        g_period = static_cast<ULONGLONG>(ms(16.0));
        g_rate = {60, 1};
        g_flushResults.clear();
        g_flushCalls = 0;
        useResolver(scriptedResolver);
    }
    void TearDown() override
    {
        useResolver(nullptr);
    }
    static int64_t ms(double milliseconds)
    {
        return static_cast<int64_t>(milliseconds * static_cast<double>(tickFrequency) / 1000.0 + 0.5);
    }
};

TEST_F(DwmTestsScripted, FailedTimingQueryLogsItsErrorInEachTest)
{
    g_timingResult = kCompositionDisabled;
    EXPECT_EQ(Lines{kDisabledLine}, logged(kRateTitle, nullptr, [] { testDwmRateRefresh(); }));
    // Ends at once: no endless poll of a compositor that does not answer.
    Lines timing;
    EXPECT_TRUE(endsWithin(5000, [&] {
        timing = logged(kTimingTitle, kTimingHeader, [] { testDwmTimingInfo(600, true); });
    }));
    EXPECT_EQ(Lines{kDisabledLine}, timing);
    // Each flush after the first asks, and each failure is logged; no rows.
    EXPECT_EQ(Lines(3, kDisabledLine), logged(kFlushTitle, kFlushHeader, [] { testDwmFlush(4); }));
}

TEST_F(DwmTestsScripted, ZeroNumeratorLogsAZeroRatePeriod)
{
    g_rate = {0, 1};
    const Lines expected = {
        "dwm.rateRefresh = 0.000000/ms from 1/0*1000 (used by Varnholt and NOT accurate)",
        logRow("dwm.qpcRefreshPeriod = %.6f/ms (more accurate on Win7/8 but not good on Win10)",
            ticksToMs(ms(16.0)))};
    EXPECT_EQ(expected, logged(kRateTitle, nullptr, [] { testDwmRateRefresh(); }));
}

TEST_F(DwmTestsScripted, FlushWithoutAPeriodWritesNoRow)
{
    for (const int64_t period : {int64_t{0}, -ms(16.0)}) {
        g_period = static_cast<ULONGLONG>(period);
        g_flushCalls = 0;
        EXPECT_TRUE(logged(kFlushTitle, kFlushHeader, [] { testDwmFlush(5); }).empty()) << period;
        EXPECT_EQ(5u, g_flushCalls) << period;
    }
    g_period = static_cast<ULONGLONG>(ms(16.0));   // so it was the period that kept them out
    EXPECT_EQ(2u, logged(kFlushTitle, kFlushHeader, [] { testDwmFlush(3); }).size());
}

TEST_F(DwmTestsScripted, FailedFlushesOnlyAdvanceTheIteration)
{
    g_flushResults = {S_OK, E_FAIL, S_OK, bound::kNotImplemented, E_FAIL, S_OK};
    const Lines rows = logged(kFlushTitle, kFlushHeader, [] { testDwmFlush(6); });
    ASSERT_EQ(2u, rows.size());
    Row second = {}, fifth = {};
    ASSERT_TRUE(parseFlush(rows[0], &second)) << rows[0];
    ASSERT_TRUE(parseFlush(rows[1], &fifth)) << rows[1];
    EXPECT_EQ(2, second.i);
    EXPECT_EQ(5, fifth.i);
    // The interval spans the failed flushes; the grid's shift counts them: k = 0, then -2.
    EXPECT_EQ(logRow("%.3f", ticksToMs(fifth.a - second.a)), logRow("%.3f", fifth.c));
    EXPECT_EQ(g_fixedVblank, second.e);
    EXPECT_EQ(g_fixedVblank - 2 * ms(16.0), fifth.e);
}

TEST_F(DwmTestsScripted, TimingInfoRowsAndTheBeepOnAnIntervalJump)
{
    // Vblanks 16.7, 33.4 (a skipped frame), 16.7 and 17.1 ms apart, each seen on three
    // polls; the poll after the last fails.
    const int64_t v0 = tick() - ms(1000.0);
    const int64_t vblanks[] = {v0, v0 + ms(16.7), v0 + ms(50.1), v0 + ms(66.8), v0 + ms(83.9)};
    for (const int64_t vblank : vblanks)
        g_script.insert(g_script.end(), 3, vblank);

    const Lines lines = logged(kTimingTitle, kTimingHeader, [] { testDwmTimingInfo(600, true); });
    ASSERT_EQ(8u, lines.size());
    const char* deltas[] = {"0.000", "16.700", "33.400", "16.700", "17.100"};
    const size_t rowAt[] = {0, 1, 2, 4, 6};
    for (int i = 0; i < 5; ++i) {
        Row r = {};
        ASSERT_TRUE(parseTiming(lines[rowAt[i]], &r)) << lines[rowAt[i]];
        EXPECT_EQ(i, r.i);
        EXPECT_EQ(vblanks[i], r.b);
        EXPECT_EQ(logRow("%.0f", ticksToUs(r.a - r.b)), logRow("%.0f", r.c));   // this row's vblank
        EXPECT_EQ(static_cast<long long>(g_period), r.e);
        EXPECT_EQ(deltas[i], logRow("%.3f", r.g));
    }
    EXPECT_EQ("--> 16.700000 33.400000", lines[3]);
    EXPECT_EQ("--> 33.400000 16.700000", lines[5]);
    EXPECT_EQ(kDisabledLine, lines[7]);

    // Without the flag no beep; the count ends the test before the script runs out.
    g_scriptAt = 0;
    const Lines quiet = logged(kTimingTitle, kTimingHeader, [] { testDwmTimingInfo(4, false); });
    ASSERT_EQ(4u, quiet.size());
    for (const std::string& line : quiet)
        EXPECT_EQ(std::string::npos, line.find("-->")) << line;
}

// ---- The system's own functions ---------------------------------------------------------

TEST(DwmTestsSystem, EachTestEndsByItselfWithTheSystemsCompositor)
{
    tickInit();
    useResolver(nullptr);
    // The first call may have to set up the display driver (seconds, once, on a fresh Wine
    // prefix), which is not the tests' doing.
    bound::DWM_TIMING_INFO info = {};
    info.cbSize = sizeof info;
    const int64_t start = tick();
    const HRESULT first = bound::DwmGetCompositionTimingInfo(nullptr, &info);
    std::printf("[ system   ] first compositor call: %d after %.1f ms\n", static_cast<int>(first),
                ticksToMs(tick() - start));

    // Wine invents a 60 Hz grid and flushes at once; whatever the system reports, each test
    // gives rows or failure lines, and ends.
    Lines rate, timing, flush;
    ASSERT_TRUE(endsWithin(5000, [&] {
        rate = logged(kRateTitle, nullptr, [] { testDwmRateRefresh(); });
        timing = logged(kTimingTitle, kTimingHeader, [] { testDwmTimingInfo(5, false); });
        flush = logged(kFlushTitle, kFlushHeader, [] { testDwmFlush(5); });
    }));
    ASSERT_FALSE(rate.empty());
    EXPECT_TRUE(rate.size() == 2 || rate[0].rfind("GTI ERROR ", 0) == 0) << rate[0];
    ASSERT_FALSE(timing.empty());
    if (timing[0].rfind("GTI ERROR ", 0) != 0) {
        EXPECT_EQ(5u, timing.size());
    }
    for (const std::string& line : timing) {
        Row r = {};
        EXPECT_TRUE(parseTiming(line, &r) || line.rfind("GTI ERROR ", 0) == 0) << line;
    }
    for (const std::string& line : flush) {
        Row r = {};
        EXPECT_TRUE(parseFlush(line, &r) || line.rfind("GTI ERROR ", 0) == 0) << line;
    }
    for (const std::string& line : rate)
        std::printf("[ system   ] %s\n", line.c_str());
}

}   // namespace
