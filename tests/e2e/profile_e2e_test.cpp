// End-to-end on the virtual display's imperfect profiles, each log checked against the truth
// of its own profile line: the busy display (stalled interrupts, missed compositor frames), a
// mode change under the long estimator run, alone, and the profiles that are refused.
#include "e2e/driver.h"
#include "e2e/log_sections.h"
#include "e2e/logcheck.h"
#include "e2e/tool_run.h"
#include "report/truth.h"
#include "support/findings_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// "Run ALL Tests" and then the extended D3DKMT run (600 frames) on the busy profile.
class BusyDisplay : public ::testing::Test {
protected:
    static ToolRun run;
    static LogTruth truth;
    static void SetUpTestSuite()
    {
        run = runTool("e2e-busy.out.txt", "KELVARO_VIRTUAL_DISPLAY=busy", [](DrivenProcess& driven) {
            runCommand(driven, 199);
            runCommand(driven, 201);
        });
        std::string problem;
        EXPECT_TRUE(readLogTruth(run.lines, &truth, &problem)) << problem;
    }
};
ToolRun BusyDisplay::run;
LogTruth BusyDisplay::truth;

TEST_F(BusyDisplay, StalledInterruptsShowAsTwoFramePeriodsInTheD3dkmtRows)
{
    EXPECT_EQ(0u, run.exitCode);
    int stalls = 0, stallsSeen = 0, landedOnStall = 0, longWithoutStall = 0, blocks = 0;
    size_t rows = 0;
    // The suite's block and the extended run's.
    const KelvaroLog log = readLines(run.lines);
    for (const LogSection* section : sectionsTitled(log, "D3DKMTWaitForVerticalBlankEvent")) {
        ++blocks;
        const std::vector<LogRow> block = rowsOf(section);
        rows += block.size();
        for (size_t i = 1; i < block.size(); ++i) {
            const int64_t tick = static_cast<int64_t>(block[i].values[col(LogTest::D3dkmt, "vsync")]);
            const int64_t previous = static_cast<int64_t>(block[i - 1].values[col(LogTest::D3dkmt, "vsync")]);
            const int64_t k = timelineLatestVblank(truth.model.timeline, tick);
            const int64_t before = timelineLatestVblank(truth.model.timeline, previous);
            landedOnStall += virtualInterruptStalled(truth.model, 0, k) ? 1 : 0;
            bool stalledBetween = false;
            for (int64_t s = before + 1; s < k; ++s)
                stalledBetween = stalledBetween || virtualInterruptStalled(truth.model, 0, s);
            const double period = block[i].values[col(LogTest::D3dkmt, "period")];
            const double frame = truth.periodMs(k);
            if (stalledBetween) {
                ++stalls;
                // The waiter never saw that vblank: its period spans two frames (or more).
                EXPECT_GT(period, 1.5 * frame) << textOf(run.lines, block[i]);
                stallsSeen += period > 1.5 * frame ? 1 : 0;
            } else if (period > 1.5 * frame) {
                ++longWithoutStall;   // the test thread itself came late
            }
        }
    }
    std::printf("[ FIGURES  ] busy D3DKMT: %zu rows in %d blocks, %d stalled interrupts between "
                "rows (%d shown as long periods), %d rows on a stalled vblank, %d long periods "
                "without a stall\n",
                rows, blocks, stalls, stallsSeen, landedOnStall, longWithoutStall);
    EXPECT_EQ(2, blocks);
    EXPECT_EQ(59u + 599u, rows);
    EXPECT_GE(stalls, 1) << "1 % of about 660 interrupts should stall";
    EXPECT_LE(landedOnStall, 2) << "a waiter is never released by a stalled interrupt";
    EXPECT_LE(longWithoutStall, 20);
}

TEST_F(BusyDisplay, TheEstimatorRejectsTheStallsAndSettlesOnTheTruePeriod)
{
    const std::vector<LogRow> rows = rowsOf(run.lines, "testQuorvelLumetra");
    ASSERT_EQ(1000u, rows.size());
    const double truePeriod = truth.periodMs(100);
    const size_t interval = col(LogTest::Estimator, "server_interval");
    for (size_t i = rows.size() - 100; i < rows.size(); ++i)
        EXPECT_NEAR(truePeriod, rows[i].values[interval], 0.001) << textOf(run.lines, rows[i]);
    // Past the first few hundred rows, a two-frame gap of the server does not move the period.
    int gaps = 0;
    for (size_t i = 300; i < rows.size(); ++i) {
        if (rows[i].values[col(LogTest::Estimator, "server_delta")] > 1.5 * truePeriod) {
            ++gaps;
            EXPECT_NEAR(truePeriod, rows[i].values[interval], 0.001) << textOf(run.lines, rows[i]);
        }
    }
    std::printf("[ FIGURES  ] busy estimator: %d gaps of two frames or more after row 300\n", gaps);
    EXPECT_GE(gaps, 1) << "1 % of 700 server vblanks should stall";
    expectDisagreementsOnlyWhereTheServerWasLate(run.lines, truth);
}

TEST_F(BusyDisplay, TheCompositorMissesFramesAndStillPublishesTrueVblanks)
{
    const std::vector<LogRow> timing = rowsOf(run.lines, "DwmGetCompositionTimingInfo");
    ASSERT_EQ(600u, timing.size());
    int skipped = 0;
    for (size_t i = 0; i < timing.size(); ++i) {
        const int64_t vblank = static_cast<int64_t>(timing[i].values[col(LogTest::DwmTiming, "vblank")]);
        const int64_t k = timelineLatestVblank(truth.model.timeline, vblank);
        EXPECT_EQ(truth.startTick(k), vblank) << textOf(run.lines, timing[i]);
        EXPECT_FALSE(virtualCompositorSkipped(truth.model, k)) << "a missed frame published: " << textOf(run.lines, timing[i]);
        if (i > 0) {
            const int64_t previous =
                timelineLatestVblank(truth.model.timeline,
                                     static_cast<int64_t>(timing[i - 1].values[col(LogTest::DwmTiming, "vblank")]));
            for (int64_t m = previous + 1; m < k; ++m)
                skipped += virtualCompositorSkipped(truth.model, m) ? 1 : 0;
        }
    }
    std::printf("[ FIGURES  ] busy compositor: %d missed frames behind the 600 rows\n", skipped);
}

TEST_F(BusyDisplay, TheReportsAnswersHoldTheTruth)
{
    const ReportSummary summary = summarizeLog(readLines(run.lines));
    expectFindingsHoldTheTruth(summary, "busy suite and extended D3DKMT run", Bounds::ByTheLogsScatter);
    expectTodaysWaitsScored(summary, "busy suite");
}

// Profiles that are not profiles: the tool starts, says once what it refused and why, and
// answers with the system's own functions. All six run side by side.
TEST(RefusedProfiles, EachBadValueGivesItsOneLineAndTheSystemAnswers)
{
    const std::vector<std::string> values = {"abc", "0", "-60", "60/0", "1e12", "nan"};
    std::vector<DrivenProcess> tools(values.size());
    std::vector<std::string> outputs;
    for (size_t i = 0; i < values.size(); ++i) {
        outputs.push_back(programFolder() + "e2e-refused-" + std::to_string(i) + ".out.txt");
        ASSERT_TRUE(driverStart(programFolder() + "kelvaro.exe", outputs[i],
                                "KELVARO_VIRTUAL_DISPLAY=" + values[i], tools[i]))
            << values[i];
    }
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_TRUE(driverWaitWindow(tools[i], 60000)) << values[i];
    Sleep(1000);   // the server has tried to bind
    for (size_t i = 0; i < values.size(); ++i) {
        DWORD exitCode = 99;
        EXPECT_TRUE(driverClose(tools[i], 120000, &exitCode)) << values[i];
        EXPECT_EQ(0u, exitCode) << values[i];
        driverRelease(tools[i]);

        std::vector<std::string> lines;
        std::string problem;
        ASSERT_TRUE(splitLogLines(readWholeFile(outputs[i]), lines, &problem)) << problem;
        EXPECT_TRUE(checkBanner(lines, &problem)) << problem;
        const std::vector<std::string> refused = matching(lines, "virtual\\.display refused .*");
        ASSERT_EQ(1u, refused.size()) << values[i];
        const std::string start = "virtual.display refused '" + values[i] + "': ";
        EXPECT_EQ(0, refused[0].compare(0, start.size(), start)) << refused[0];
        EXPECT_NE(std::string::npos, refused[0].find("expected")) << refused[0];
        EXPECT_TRUE(matching(lines, "virtual\\.display (stands in|profile).*").empty()) << values[i];
        // The server asked the system's own function (Wine's opens no adapter).
        EXPECT_EQ(1u, matching(lines, "\\.\\.\\.fnBind\\(gdi32,D3DKMTOpenAdapterFromHdc\\)=-?[1-9][0-9]*").size())
            << values[i];
        EXPECT_EQ(kNoLine, findLine(lines, "-vsyncRebind=1")) << values[i];
    }
}

}   // namespace
