// DXGI's WaitForVBlank and Windows 11's compositor clock, measured by the tool on the virtual
// display and read against the truth of its profile (the plain formula of display_truth.h):
// two outputs with the clock on the faster one, a sleeping display, an output unplugged under
// a running test, and Wine's own functions.
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/logtext.h"
#include "measure/harness.h"
#include "measure/logschema.h"
#include "measure/tests.h"
#include "virtual/virtual_display.h"

#include "win32/display_truth.h"
#include "win32/log_support.h"
#include "win32/server_fixture.h"

#include "support/stats.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <tuple>
#include <string>
#include <vector>

namespace {

constexpr int kOccluded = static_cast<int>(bound::kStatusGraphicsPresentOccluded);

// The numbers of a row, in the order of its test's columns; empty for a line that is no row.
std::vector<double> rowValues(const std::string& line, size_t columns)
{
    std::istringstream in(line);
    std::vector<double> values;
    double value = 0;
    while (in >> value)
        values.push_back(value);
    return in.eof() && values.size() == columns ? values : std::vector<double>();
}

struct Rows {
    std::vector<std::vector<double>> rows;
    std::vector<std::string> others;   // the other lines after the header, in order
    double at(size_t row, LogTest test, const char* key) const
    {
        return rows[row][static_cast<size_t>(schemaColumn(testSchema(test), key))];
    }
};

// The rows and other lines of a block: from `from` up to the next device line or title.
Rows blockRows(const std::vector<std::string>& lines, size_t from, LogTest test)
{
    Rows block;
    const size_t columns = static_cast<size_t>(testSchema(test).columnCount);
    for (size_t i = from; i < lines.size() && lines[i].rfind("--> ", 0) != 0 && !lines[i].empty(); ++i) {
        const std::vector<double> values = rowValues(lines[i], columns);
        if (values.empty())
            block.others.push_back(lines[i]);
        else
            block.rows.push_back(values);
    }
    return block;
}

size_t lineIndex(const std::vector<std::string>& lines, const std::string& line)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == line)
            return i;
    }
    return lines.size();
}

class DxgiAndClock : public ::testing::Test {
protected:
    void SetUp() override
    {
        tickInit();
        g_appRunning = true;
    }
    void TearDown() override { uninstallDisplay(); }

    // The thread's processor time, in seconds.
    static double threadSeconds()
    {
        FILETIME created, exited, kernel, user;
        GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
        const auto value = [](const FILETIME& t) {
            return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
        };
        return value(kernel) + value(user);
    }
};

// Two outputs, 60 and 144 Hz, the compositor on the faster one's clock. Each output's DXGI
// waits wake after that output's own true vblanks; the clock's waits after the 144 Hz output's,
// and its completed frame is the one shown at the vblank just begun, its times exact vblank
// begins of that output.
TEST_F(DxgiAndClock, EachWaitWakesAfterItsOutputsTrueVblanksAndTheClockFollowsTheFastest)
{
    ASSERT_TRUE(installProfile("60,second=144,wake=30,dwmclock=fastest"));
    const Truth primary = Truth::installed();
    Truth second = primary;
    second.profile.trueRate = primary.profile.secondTrue;

    const LogWatch watch;
    testDxgiVblank(30, true);
    testCompositorClock(30, true);
    const std::vector<std::string> lines = watch.lines();

    const size_t first = lineIndex(lines, "--> \\\\.\\DISPLAY1 (kelvaro virtual display)");
    const size_t other = lineIndex(lines, "--> \\\\.\\DISPLAY2 (kelvaro virtual display)");
    ASSERT_LT(first, other);
    ASSERT_LT(other, lines.size());
    EXPECT_EQ(logRow("%s", testSchema(LogTest::Dxgi).header), lines[first + 1]);
    for (const auto& [at, truth, frameMs] : {std::make_tuple(first, primary, 1000.0 / 60.0),
                                             std::make_tuple(other, second, 1000.0 / 144.0)}) {
        const Rows block = blockRows(lines, at + 2, LogTest::Dxgi);
        ASSERT_EQ(29u, block.rows.size()) << lines[at];
        std::vector<double> late, period, wait;
        for (size_t r = 0; r < block.rows.size(); ++r) {
            late.push_back(truth.usAfterVblank(static_cast<int64_t>(block.at(r, LogTest::Dxgi, "vsync"))));
            period.push_back(block.at(r, LogTest::Dxgi, "period"));
            wait.push_back(block.at(r, LogTest::Dxgi, "wait"));
            EXPECT_LE(wait.back(), period.back() + 0.002) << "a wait is part of its period";
        }
        std::printf("[ FIGURES  ] DXGI on %s: %.1f us after the true vblank, period %.3f ms, wait %.3f ms "
                    "(medians)\n",
                    lines[at].c_str() + 4, median(late), median(period), median(wait));
        EXPECT_NEAR(frameMs, median(period), 0.5);
        EXPECT_LT(median(late), 2000.0);
        EXPECT_GT(median(wait), 1.0) << "blocking waits, not instant returns";
        EXPECT_TRUE(block.others.empty()) << block.others.front();
    }

    const size_t header = lineIndex(lines, logRow("%s", testSchema(LogTest::CompositorClock).header));
    ASSERT_LT(header, lines.size());
    const Rows clock = blockRows(lines, header + 1, LogTest::CompositorClock);
    ASSERT_EQ(29u, clock.rows.size());
    const double framePeriod = static_cast<double>(second.frequency) / 144.0;
    int woken = 0;
    for (size_t r = 0; r < clock.rows.size(); ++r) {
        const auto value = [&](const char* key) { return static_cast<int64_t>(clock.at(r, LogTest::CompositorClock, key)); };
        EXPECT_EQ(0, value("result"));
        const int64_t target = value("target") + tickBase;
        const int64_t k = second.latest(target);
        EXPECT_EQ(second.start(k), target) << "row " << r << ": the target is a true vblank begin";
        EXPECT_EQ(second.start(k - 1), value("start") + tickBase) << "row " << r;
        EXPECT_EQ(k, value("frame"));
        EXPECT_NEAR(framePeriod, static_cast<double>(value("frame_period")), 1.0);
        // Woken by the vblank the frame was shown at, before the next one.
        const int64_t woke = value("vsync") + tickBase;
        woken += woke >= target && woke < second.start(k + 1) ? 1 : 0;
    }
    EXPECT_GE(woken, 26) << "rows woken between their frame's target vblank and the next";
}

// A sleeping display: DXGI's waits return S_OK at once and the clock's with
// STATUS_GRAPHICS_PRESENT_OCCLUDED, its completed frame standing still at the last one shown.
// Neither spins: after two returns at once the test paces itself, under 5 % of a core.
TEST_F(DxgiAndClock, OnASleepingDisplayWaitsReturnAtOnceAndTheTestDoesNotSpin)
{
    ASSERT_TRUE(installProfile("60,sleep=3:100000:occluded"));
    const Truth truth = Truth::installed();
    while (readPerformanceCounter() < truth.start(3) + truth.frequency / 20)
        Sleep(10);

    const LogWatch watch;
    const double cpuBefore = threadSeconds();
    const int64_t began = tick();
    testDxgiVblank(60, true);
    testCompositorClock(60, true);
    const double elapsed = ticksToMs(tick() - began) / 1000.0;
    const double share = (threadSeconds() - cpuBefore) / elapsed;
    std::printf("[ FIGURES  ] both tests on a sleeping display: %.2f s, %.1f %% of a core\n", elapsed, share * 100.0);
    EXPECT_LT(share, 0.05);
    EXPECT_LT(elapsed, 10.0);

    const std::vector<std::string> lines = watch.lines();
    const Rows dxgi = blockRows(lines, lineIndex(lines, "--> \\\\.\\DISPLAY1 (kelvaro virtual display)") + 2, LogTest::Dxgi);
    ASSERT_EQ(59u, dxgi.rows.size());
    for (size_t r = 0; r < dxgi.rows.size(); ++r) {
        EXPECT_LT(dxgi.at(r, LogTest::Dxgi, "wait"), 1.0) << "row " << r;
        if (r > 0) {
            EXPECT_GE(dxgi.at(r, LogTest::Dxgi, "period"), 15.0) << "row " << r << ": paced, not spinning";
        }
    }
    const size_t header = lineIndex(lines, logRow("%s", testSchema(LogTest::CompositorClock).header));
    const Rows clock = blockRows(lines, header + 1, LogTest::CompositorClock);
    ASSERT_EQ(59u, clock.rows.size());
    for (size_t r = 0; r < clock.rows.size(); ++r) {
        EXPECT_EQ(kOccluded, static_cast<int>(clock.at(r, LogTest::CompositorClock, "result")));
        EXPECT_LT(clock.at(r, LogTest::CompositorClock, "wait"), 1.0);
        EXPECT_EQ(2, clock.at(r, LogTest::CompositorClock, "frame")) << "the last frame shown before the sleep";
        EXPECT_EQ(truth.start(2) - tickBase, static_cast<int64_t>(clock.at(r, LogTest::CompositorClock, "target")));
    }
}

// The second output goes away while the primary is measured: its factory is no longer
// current, its waits return at once, and the test makes the factory again and finds the output
// gone.
TEST_F(DxgiAndClock, AnOutputUnpluggedUnderTheTestIsFoundGoneOnAFreshFactory)
{
    ASSERT_TRUE(installProfile("60,second=75,unplug=20"));
    const LogWatch watch;
    testDxgiVblank(40, true);
    const std::vector<std::string> lines = watch.lines();
    const size_t gone = lineIndex(lines, "--> \\\\.\\DISPLAY2 (kelvaro virtual display)");
    ASSERT_LT(gone, lines.size());
    const Rows block = blockRows(lines, gone + 2, LogTest::Dxgi);
    EXPECT_EQ((std::vector<std::string>{"factory stale (IsCurrent=0), made again", "output \\\\.\\DISPLAY2 gone"}),
              block.others);
    ASSERT_EQ(1u, block.rows.size()) << "the second of two returns at once sends the test to the factory";
    EXPECT_LT(block.at(0, LogTest::Dxgi, "wait"), 1.0);
}

// Wine's own functions: DXGI and the clock are missing or refuse, and each test says so in a
// line, or measures, and ends.
TEST_F(DxgiAndClock, OnWinesOwnFunctionsBothEndSayingWhatTheyFound)
{
    useResolver(nullptr);
    const LogWatch watch;
    const int64_t began = tick();
    testDxgiVblank(20, true);
    testCompositorClock(20, true);
    const double elapsedMs = ticksToMs(tick() - began);
    EXPECT_LT(elapsedMs, 20000.0);
    const std::vector<std::string> lines = watch.lines();
    std::string found;
    for (const std::string& line : lines) {
        if (line.rfind("no ", 0) == 0 || line.rfind("--> ", 0) == 0 || line.rfind("err ", 0) == 0)
            found += " [" + line + "]";
    }
    const size_t clockTitle = lineIndex(lines, "=== DCompositionWaitForCompositorClock ===");
    ASSERT_LT(clockTitle, lines.size());
    ASSERT_LT(clockTitle + 3, lines.size());
    const std::string after = lines[clockTitle + 3];
    EXPECT_TRUE(after == "no compositor clock (DCompositionWaitForCompositorClock missing)" ||
                after == logRow("%s", testSchema(LogTest::CompositorClock).header))
        << after;
    std::printf("[ FIGURES  ] Wine's own DXGI and compositor clock: %.0f ms;%s\n", elapsedMs, found.c_str());
    bound::resetBindingsForTest();
}

}   // namespace
