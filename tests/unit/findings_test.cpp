// kelvaro-report's reference timeline and the answers scored against it: on committed logs
// of the virtual display, against the truth of their profile lines; on time stamps made here
// from a known timeline (a rate change, preempted samples), against that timeline.
#include "report/logreader.h"
#include "report/outputs.h"
#include "report/summary.h"

#include "support/findings_check.h"
#include "support/text_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

ReportSummary summaryOf(const std::string& name)
{
    KelvaroLog log;
    std::string problem;
    EXPECT_TRUE(readKelvaroLog(readFile(std::string(KELVARO_TEST_DATA) + "/" + name), &log, &problem)) << problem;
    return summarizeLog(std::move(log));
}

TEST(Findings, HoldTheTruthOfTheCommittedLogs)
{
    // The desktop profile's suite, and a 240 Hz display's suite with every extended run.
    for (const char* name : {"desktop-suite.log", "suite-extended.log"})
        expectFindingsHoldTheTruth(summaryOf(name), name);
}

// DirectDraw's returns as a log of two runs would hold them: 60 Hz, then, after a gap, 50 Hz
// on a new phase; every tenth sample preempted by 300 us, every fiftieth vblank missed.
TEST(Findings, ReferenceFollowsARateChangeAndLeavesOutPreemptedSamples)
{
    ReportSummary summary;
    summary.frequency = 10000000;
    const struct {
        double origin, period;
        int count;
    } runs[] = {{1234567.0, 1e7 / 59.94, 400}, {98765432.1, 1e7 / 50.0, 400}};
    for (const auto& run : runs) {
        TestSummary test;
        test.key = "directdraw";
        test.known = true;
        test.test = LogTest::DirectDraw;
        test.table.keys = {"iteration", "vsync", "period"};
        test.table.columns = {"iteration", "vsync/qpc", "period/ms"};
        for (int i = 0; i < run.count; ++i) {
            const double late = (i % 10 == 3 ? 3000.0 : 0.0) + (i % 3);   // ticks
            const int frame = i + i / 50;   // now and then a vblank not waited for
            const double tick = std::floor(run.origin + frame * run.period + late);
            test.table.rows.push_back({static_cast<size_t>(i + 1), {double(i), tick, run.period / 1e4}});
        }
        summary.tests.push_back(test);
    }
    summary.findings = findingsOf(summary, nullptr);
    ASSERT_EQ(1u, summary.findings.references.size());
    const ReferenceTimeline& reference = summary.findings.references.front();
    ASSERT_EQ(2u, reference.segments.size());
    for (size_t s = 0; s < 2; ++s) {
        const ReferenceSegment& segment = reference.segments[s];
        EXPECT_NEAR(runs[s].period, segment.periodTicks, runs[s].period * 1e-6);
        EXPECT_NEAR(0.0, reference.offsetTicks(runs[s].origin + 123 * runs[s].period), 3.0);   // ticks
        EXPECT_LT(segment.points, 400u * 0.9 + 1) << "the preempted samples are left out";
    }
    int changes = 0;
    for (const FoundEvent& e : summary.findings.events)
        changes += e.kind == "mode_change" ? 1 : 0;
    EXPECT_EQ(1, changes);
}

}   // namespace
