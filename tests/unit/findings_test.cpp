// kelvaro-report's reference timeline and the answers scored against it: on committed logs
// of the virtual display, against the truth of their profile lines; on time stamps made here
// from a known timeline (a rate change, preempted samples), against that timeline.
#include "report/logreader.h"
#include "report/findings_rooms.h"
#include "report/outputs.h"
#include "report/summary.h"
#include "report/truth.h"

#include "support/findings_check.h"
#include "support/text_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

KelvaroLog logOf(const std::string& name)
{
    KelvaroLog log;
    std::string problem;
    EXPECT_TRUE(readKelvaroLog(readFile(std::string(KELVARO_TEST_DATA) + "/" + name), &log, &problem)) << problem;
    return log;
}

ReportSummary summaryOf(const std::string& name)
{
    return summarizeLog(logOf(name));
}

// An empty run of a test with its table's columns.
TestSummary runOfTable(LogTest test, const char* key, std::vector<std::string> keys, std::vector<std::string> columns)
{
    TestSummary run;
    run.key = key;
    run.known = true;
    run.test = test;
    run.kind = kindOf(test);
    run.table.keys = std::move(keys);
    run.table.columns = std::move(columns);
    return run;
}

TEST(Findings, HoldTheTruthOfTheCommittedLogs)
{
    // The desktop profile's suite, and a 240 Hz display's suite with every extended run.
    for (const char* name : {"desktop-suite.log", "suite-extended.log"})
        expectFindingsHoldTheTruth(summaryOf(name), name);
}

// Rate changes in logs of a busy machine (five tools on two cores): wake-ups milliseconds late
// around the change, stalls, and a loop that woke for every other vblank of 120 Hz, which
// reads as 60. Each change of the log's profile is dated within three frames, and no other
// (the laptop's switch back to 60 Hz shows in its log only somewhere from vblank 895 to 920:
// its wake-ups skipped a vblank of 120 Hz, then stalled across the change).
TEST(Findings, RateChangesInTheLogsOfABusyMachineAreDatedWithinThreeFrames)
{
    for (const char* name : {"busy-laptop.log", "busy-laptop-late-wakeups.log", "busy-60-to-50.log"}) {
        SCOPED_TRACE(name);
        KelvaroLog log = logOf(name);
        LogTruth truth;
        ASSERT_TRUE(logTruthFromProfile(&truth, log.profile, log.profileFrequency, log.vblank0));
        const ReportSummary summary = summarizeLog(std::move(log));
        std::vector<int64_t> dated;
        for (const FoundEvent& e : summary.findings.events) {
            if (e.kind == "mode_change")
                dated.push_back(timelineLatestVblank(truth.model.timeline, static_cast<int64_t>(e.atS * truth.model.frequency)));
        }
        ASSERT_EQ(static_cast<size_t>(truth.model.profile.changeCount), dated.size());
        for (size_t i = 0; i < dated.size(); ++i)
            EXPECT_NEAR(truth.model.profile.changes[i].frame, dated[i], 3);
    }
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
        TestSummary test = runOfTable(LogTest::DirectDraw, "directdraw", {"iteration", "vsync", "period"},
                                      {"iteration", "vsync/qpc", "period/ms"});
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

// DirectDraw's second of returns, its period 60 ppm long (a preempted poll or two), then the
// estimator's rows 24 s later on the true timeline: one display, one segment, no rate change.
TEST(Findings, AShortRunWhosePeriodIsSlightlyOffStillContinuesTheTimeline)
{
    ReportSummary summary;
    summary.frequency = 10000000;
    const double origin = 4321.0, period = 1e7 / 59.951;
    TestSummary polls = runOfTable(LogTest::DirectDraw, "directdraw", {"iteration", "vsync", "period"},
                                   {"iteration", "vsync/qpc", "period/ms"});
    for (int i = 0; i < 60; ++i)
        polls.table.rows.push_back({static_cast<size_t>(i + 1), {double(i), std::floor(origin + (300 + i) * period + i * 10.0 + i % 3), period / 1e4}});
    summary.tests.push_back(polls);
    TestSummary later = runOfTable(LogTest::DirectDraw, "directdraw#2", {"iteration", "vsync", "period"},
                                   {"iteration", "vsync/qpc", "period/ms"});
    for (int i = 0; i < 800; ++i)
        later.table.rows.push_back({static_cast<size_t>(i + 1), {double(i), std::floor(origin + (1800 + i) * period + i % 3), period / 1e4}});
    summary.tests.push_back(later);
    summary.findings = findingsOf(summary, nullptr);
    ASSERT_EQ(1u, summary.findings.references.size());
    const ReferenceTimeline& reference = summary.findings.references.front();
    ASSERT_EQ(1u, reference.segments.size());
    EXPECT_NEAR(period, reference.segments.front().periodTicks, period * 1e-6);
    // Where DirectDraw ran, its own returns lie 30 us off; the timeline within 10 us.
    EXPECT_NEAR(0.0, reference.offsetTicks(origin + 330 * period), 100.0);
    for (const FoundEvent& e : summary.findings.events)
        EXPECT_NE("mode_change", e.kind) << e.detail;
}

// The estimator's rows, each the server's wake-up 20 to 620 us into the blank and the line it
// read there, beside a scan-line trace that first saw line 1088 of a blank that begins at the
// mode's 1080: the time stamps are the vblanks themselves, not 8 lines (118 us) early.
TEST(Findings, TheBlankBeginsAtTheModesHeightWhereverATraceFirstSawIt)
{
    ReportSummary summary;
    summary.frequency = 10000000;
    summary.modes = {{"\\\\.\\DISPLAY1", 60.0, 1080, 1}};
    const double origin = 777777.0, period = 1e7 / 60.0, line = period / 1125.0;
    TestSummary trace = runOfTable(LogTest::ScanLine, "scanline", {}, {});
    trace.figures = {{"lines_per_frame", "", "lines", 1125.0}, {"blank_first_line", "", "lines", 1088.0}};
    summary.tests.push_back(trace);
    TestSummary rows = runOfTable(LogTest::Estimator, "estimator", {"iteration", "server_now", "scanline"},
                                  {"iteration", "D3Dnow", "scanline"});
    for (int i = 0; i < 300; ++i) {
        const double into = 200.0 + (i * 37) % 6000;   // ticks after the vblank
        const double now = origin + i * period + into;
        rows.table.rows.push_back({static_cast<size_t>(i + 1), {double(i), now / 1e4, -(1080.0 + std::floor(into / line))}});
    }
    summary.tests.push_back(rows);
    summary.findings = findingsOf(summary, nullptr);
    ASSERT_EQ(1u, summary.findings.references.size());
    const ReferenceTimeline& reference = summary.findings.references.front();
    ASSERT_TRUE(reference.precise);
    EXPECT_NEAR(0.0, reference.offsetTicks(origin + 150 * period), 2 * line);
}

// Only a D3DKMT run at 144 Hz: its wake-ups 50 to 230 us late, and every twentieth 6 ms late,
// which lies over half a frame off and reads as 0.9 ms early. The reference stands at the
// earliest true wake-ups, never before the vblank.
TEST(Findings, AReferenceOfWakeUpsAloneIsNotDrawnEarlyByTheLatestOnes)
{
    ReportSummary summary;
    summary.frequency = 10000000;
    const double origin = 555555.0, period = 1e7 / 144.0;
    TestSummary test = runOfTable(LogTest::D3dkmt, "d3dkmt", {"iteration", "vsync", "period"}, {"iteration", "vsync/qpc", "period/ms"});
    for (int i = 0; i < 200; ++i) {
        const double late = i % 20 == 7 ? 60000.0 : 500.0 + (i % 7) * 300.0;   // ticks
        test.table.rows.push_back({static_cast<size_t>(i + 1), {double(i), std::floor(origin + i * period + late), period / 1e4}});
    }
    summary.tests.push_back(test);
    summary.findings = findingsOf(summary, nullptr);
    ASSERT_EQ(1u, summary.findings.references.size());
    const ReferenceTimeline& reference = summary.findings.references.front();
    ASSERT_TRUE(reference.known());
    EXPECT_FALSE(reference.precise);
    // The true vblank lies 50 us (500 ticks) before the reference's, give or take a tick.
    EXPECT_NEAR(-500.0, reference.offsetTicks(origin + 100 * period), 10.0);
}

// A D3DKMT run whose waits return at once for a stretch, and a server whose output went away
// under the window and came back: what the events say, and when.
TEST(Findings, WaitsThatReturnAtOnceAndAnOutputThatComesAndGoes)
{
    ReportSummary summary;
    summary.frequency = 10000000;
    TestSummary test = runOfTable(LogTest::D3dkmt, "d3dkmt", {"iteration", "vsync", "period"}, {"iteration", "vsync/qpc", "period/ms"});
    double tick = 1e6;
    for (int i = 0; i < 60; ++i) {
        // Rows 20 to 29 come 300 us apart: ten waits that returned at once.
        tick += i >= 20 && i < 30 ? 3000.0 : 1e7 / 60.0;
        test.table.rows.push_back({static_cast<size_t>(100 + i), {double(i), std::floor(tick), 16.667}});
    }
    summary.tests.push_back(test);
    // The server: bound to the second output, its wait failed and it went to the first; later the
    // configuration check sent it back. A wait failing with no change of output is neither.
    summary.modes = {{"\\\\.\\DISPLAY2", 144.0, 1080, 110}, {"\\\\.\\DISPLAY1", 60.0, 1080, 131},
                     {"\\\\.\\DISPLAY1", 60.0, 1080, 136}, {"\\\\.\\DISPLAY2", 144.0, 1080, 151}};
    summary.marks = {{"wait_failed", 130, "vsync.WaitForVerticalBlankEvent FAILED", ""},
                     {"wait_failed", 135, "vsync.WaitForVerticalBlankEvent FAILED", ""},
                     {"rebind", 150, "vsync.validate.configuration rebind needed", ""}};
    summary.findings = findingsOf(summary, nullptr);
    std::vector<const FoundEvent*> soon, removed, added;
    for (const FoundEvent& e : summary.findings.events) {
        if (e.kind == "too_soon_waits")
            soon.push_back(&e);
        else if (e.kind == "output_removed")
            removed.push_back(&e);
        else if (e.kind == "output_added")
            added.push_back(&e);
    }
    ASSERT_EQ(1u, soon.size());
    EXPECT_EQ("too_soon_waits", soon[0]->kind);
    EXPECT_EQ(10.0, soon[0]->frames) << "the row before the first quick one is a proper vblank";
    EXPECT_EQ(120u, soon[0]->line);
    ASSERT_EQ(1u, removed.size());
    EXPECT_EQ(130u, removed[0]->line);
    EXPECT_NE(std::string::npos, removed[0]->detail.find("DISPLAY2")) << removed[0]->detail;
    EXPECT_NEAR(std::floor(1e6 + 30 * 1e7 / 60.0 + 10 * 3000.0 - 10 * 1e7 / 60.0) / 1e7, removed[0]->atS, 0.02)
        << "the time of the row before the failure";
    ASSERT_EQ(1u, added.size());
    EXPECT_EQ(150u, added[0]->line);
}

// The desktop suite's animation starts as the suite resumes the server it had parked: its first
// rows wait 283 ms for the server's timing, the suite's own gap and no missed vblank. A vblank
// skipped later in the same Sleep-paced stretch counts; a failed wait in the server's lines
// before the second row makes that first gap the display's.
TEST(Findings, TheAnimationsWaitForTheServersResumeIsNotCountedAsMissed)
{
    ReportSummary summary = summaryOf("desktop-suite.log");
    const auto sleepPaced = [&]() {
        const auto m = std::find_if(summary.findings.methods.begin(), summary.findings.methods.end(),
                                    [](const MethodScore& s) { return s.method == "sleep_paced"; });
        EXPECT_NE(summary.findings.methods.end(), m);
        return m != summary.findings.methods.end() ? *m : MethodScore();
    };
    const auto said = [&](const std::string& key) {
        for (const Finding& s : summary.findings.sentences) {
            if (s.key == key)
                return s.text;
        }
        return std::string();
    };
    EXPECT_EQ(0.0, sleepPaced().missed);
    EXPECT_NEAR(283.47, sleepPaced().resumeWaitMs, 0.01);
    EXPECT_NE(std::string::npos, sleepPaced().verdict.find("first frames waited 283 ms for the vsync server's resume"))
        << sleepPaced().verdict;
    EXPECT_EQ("", said("methods_missed_sleep_paced"));

    const auto mimic = std::find_if(summary.tests.begin(), summary.tests.end(),
                                    [](const TestSummary& t) { return t.test == LogTest::Mimic; });
    ASSERT_NE(summary.tests.end(), mimic);
    ASSERT_GT(mimic->vsyncFrom, 12u);
    mimic->table.rows.erase(mimic->table.rows.begin() + 9);
    --mimic->vsyncFrom;
    --mimic->vsyncTo;
    summary.findings = findingsOf(summary, nullptr);
    EXPECT_EQ(1.0, sleepPaced().missed);
    EXPECT_NEAR(283.47, sleepPaced().resumeWaitMs, 0.01);
    EXPECT_EQ("sleep_paced missed 1 of about 30 vblanks (gaps of two frames or more); not counted: its first frames' 283 ms "
              "wait for the vsync server's resume, the suite's own gap.",
              said("methods_missed_sleep_paced"));

    // A wait that failed in the first gap: no resume wait, and no missed vblank either (no vblank
    // came; the failure tells it). The later miss still counts.
    summary.marks.push_back({"wait_failed", mimic->table.rows[1].line - 1, "vsync.WaitForVerticalBlankEvent FAILED", ""});
    summary.findings = findingsOf(summary, nullptr);
    EXPECT_EQ(1.0, sleepPaced().missed);
    EXPECT_EQ(0.0, sleepPaced().resumeWaitMs);
}

}   // namespace

// An idle tool whose display slept: failed waits in the server's lines, no run's rows to date
// them by. The sentence counts them and says the log does not tell when.
TEST(Findings, EventsTheLogCannotDateAreCountedAndSaidSo)
{
    ReportSummary summary;
    summary.frequency = 10000000;
    summary.ended = true;
    for (size_t i = 0; i < 10; ++i)
        summary.marks.push_back({"wait_failed", 20 + i, "vsync.WaitForVerticalBlankEvent FAILED", ""});
    const Findings f = findingsOf(summary, nullptr);
    const auto said = std::find_if(f.sentences.begin(), f.sentences.end(),
                                   [](const Finding& s) { return s.key == "unusual_wait_failed"; });
    ASSERT_NE(f.sentences.end(), said);
    EXPECT_EQ("10 failed waits; the log does not say when.", said->text);
}

// A 5 s sleep in the estimator whose waits return at once, told once however many runs and
// gaps show it: with a second of the estimator's rows inside the sleep left out (a gap of 60
// frames with failed waits in it), still one sleep, from the first vblank that did not come.
TEST(Findings, ASleepIsToldOnceWhereverItsRowsStopInside)
{
    KelvaroLog log = logOf("corpus/sleep-instant-estimator.log");
    LogTruth truth;
    ASSERT_TRUE(logTruthFromProfile(&truth, log.profile, log.profileFrequency, log.vblank0));
    ReportSummary summary = summarizeLog(std::move(log));
    const auto estimator = std::find_if(summary.tests.begin(), summary.tests.end(),
                                        [](const TestSummary& t) { return t.test == LogTest::Estimator; });
    ASSERT_NE(summary.tests.end(), estimator);
    const double sleepMs = static_cast<double>(timelineVblankStart(truth.model.timeline, 2100)) / 1e4;
    const auto key = std::find(estimator->table.keys.begin(), estimator->table.keys.end(), "server_now");
    ASSERT_NE(estimator->table.keys.end(), key);
    const auto now = key - estimator->table.keys.begin();
    auto& rows = estimator->table.rows;
    const size_t before = rows.size();
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const LogRow& row) {
                                  const double ms = row.values[static_cast<size_t>(now)];
                                  return ms > sleepMs + 1000.0 && ms < sleepMs + 2000.0;
                              }),
               rows.end());
    ASSERT_LT(rows.size(), before);
    summary.findings = findingsOf(summary, &truth);
    size_t sleeps = 0;
    for (const FoundEvent& e : summary.findings.events) {
        if (e.kind != "display_sleep")
            continue;
        ++sleeps;
        EXPECT_NEAR(2100, timelineLatestVblank(truth.model.timeline, static_cast<int64_t>(e.atS * 1e7)), 1);
    }
    EXPECT_EQ(1u, sleeps);
}

// The win11 suite recorded with DXGI's and the compositor clock's waits: every way of finding the
// vblank against the profile's truth, the clock judged to follow the 144 Hz second output from its own
// frame (the window is on the 60 Hz primary), and the waits under 1 ms that browser engines count
// as failed counted straight from the log's rows, none of them scored.
TEST(Findings, TheEnginesWaitsOnWindows11)
{
    const std::string name = "win11-engines.log";
    KelvaroLog log = logOf(name);
    LogTruth truth;
    ASSERT_TRUE(logTruthFromProfile(&truth, log.profile, log.profileFrequency, log.vblank0));
    // Of each DXGI block, its rows that blocked under 1 ms, read here from the log itself.
    std::vector<size_t> instant(2, 0);
    for (const LogSection& section : log.sections) {
        for (const LogBlock& block : section.blocks) {
            if (section.schema != nullptr && section.schema->test == LogTest::Dxgi)
                for (const double wait : columnValues(block, "wait"))
                    instant[static_cast<size_t>(outputOfDevice(block.label))] += wait < 1.0 ? 1 : 0;
        }
    }
    const ReportSummary summary = summarizeLog(std::move(log));
    expectFindingsHoldTheTruth(summary, name);
    const Findings& f = summary.findings;
    const auto scored = [&](const char* method, const char* output) {
        const auto m = std::find_if(f.methods.begin(), f.methods.end(),
                                    [&](const MethodScore& s) { return s.method == method && s.output == output; });
        return m != f.methods.end() ? &*m : nullptr;
    };
    const char* const first = "\\\\.\\DISPLAY1";
    const char* const second = "\\\\.\\DISPLAY2";
    for (const char* output : {first, second}) {
        const MethodScore* dxgi = scored("dxgi", output);
        ASSERT_NE(nullptr, dxgi) << output;
        const size_t out = output == first ? 0 : 1;
        EXPECT_EQ(instant[out], dxgi->noVblank) << output;
        EXPECT_EQ(59u - instant[out], dxgi->lateUs.count) << output << ": the waits under 1 ms are not scored";
        EXPECT_EQ(0.0, dxgi->missed) << output << ": no vblank missed across the waits that returned at once";
    }
    // The clock's waits and its frames' starts on the output it follows; the starts are vblank begins.
    ASSERT_NE(nullptr, scored("compositor_clock", second));
    const MethodScore* frames = scored("compositor_frame", second);
    ASSERT_NE(nullptr, frames);
    EXPECT_LT(std::fabs(frames->lateTrueUs.max), 0.5);
    EXPECT_EQ(nullptr, scored("compositor_clock", first));
    EXPECT_EQ(0, scored("compositor_clock", second)->rank) << "not the window's output: not ranked";
    // The second output's reference rests on the clock's frame starts, precisely.
    ASSERT_EQ(2u, f.references.size());
    EXPECT_TRUE(f.references[1].precise);
    EXPECT_NE(std::string::npos, f.references[1].basis.find("compositor clock")) << f.references[1].basis;
    EXPECT_LT(f.references[1].errorUs.max, 1.0);

    EXPECT_EQ(second, f.engines.clockOutput);
    EXPECT_EQ(first, f.engines.window);
    EXPECT_TRUE(f.engines.clockJudged);
    std::string said;
    for (const Finding& s : f.sentences)
        said += s.key + ": " + s.text + "\n";
    char rate[32];
    std::snprintf(rate, sizeof rate, "(%.0f Hz)", timelineRateHz(timelineRateAt(virtualOutputTimeline(truth.model, 1), 0)));
    const std::string secondHz = rate;
    EXPECT_NE(std::string::npos, said.find("engines_clock: The compositor clock follows \\\\.\\DISPLAY2 " + secondHz +
                                           ", another output than the window's \\\\.\\DISPLAY1"))
        << said;
    EXPECT_NE(std::string::npos, said.find("a window on \\\\.\\DISPLAY2 " + secondHz +
                                           " paced by the primary's WaitForVBlank would get 60"))
        << said;
    EXPECT_NE(std::string::npos, said.find("engines_instant_dxgi: IDXGIOutput::WaitForVBlank on \\\\.\\DISPLAY1: " +
                                           (instant[0] == 0 ? std::string("none") : std::to_string(instant[0])) +
                                           " of 59 waits returned in under 1 ms"))
        << said;
}

// An output gone when the D3DKMT test waited on every output, that DXGI's test timed again
// later: back between the two. DXGI's waits under 1 ms among them are no vblank: neither scored,
// nor a gap of missed vblanks, nor a stall, nor (48 frames of them on the second of two outputs,
// as a stale adapter's) a sleep.
TEST(Findings, AnOutputTheDxgiTestTimedAgainCameBack)
{
    ReportSummary summary;
    summary.frequency = 10000000;
    summary.ended = true;
    summary.devices = {"\\\\.\\DISPLAY1", "\\\\.\\DISPLAY2"};
    const double period = 1e7 / 60.0;
    TestSummary driver = runOfTable(LogTest::D3dkmt, "d3dkmt", {"iteration", "vsync", "period"}, {"iteration", "vsync/qpc", "period/ms"});
    for (int i = 0; i < 60; ++i)
        driver.table.rows.push_back({static_cast<size_t>(100 + i), {double(i), std::floor(5e6 + i * period + 300.0 + i % 5 * 40), 16.667}});
    summary.tests.push_back(driver);
    TestSummary dxgi = runOfTable(LogTest::Dxgi, "dxgi_2", {"iteration", "vsync", "period", "voff", "wait"},
                                  {"iteration", "vsync/qpc", "period/ms", "voff/us", "wait/ms"});
    dxgi.output = 1;
    dxgi.titleLine = 300;
    const double second = 1e7 / 75.0, from = 9e7;
    size_t quick = 0;
    for (int i = 0; i < 110; ++i) {
        // Rows 30 to 69 returned at once, 16 ms apart (48 frames: the stale adapter's, no sleep
        // where another output stays); the vblanks on either side are 13.3 ms apart.
        const bool atOnce = i >= 30 && i < 70;
        const double tick = atOnce ? from + 30 * second + (i - 29) * 160000.0 + 200.0
                                   : from + (i < 30 ? i : i + 10) * second + 250.0 + i % 3 * 50;
        quick += atOnce ? 1 : 0;
        dxgi.table.rows.push_back({static_cast<size_t>(301 + i), {double(i), std::floor(tick), 13.3, 0.0, atOnce ? 0.02 : 13.0}});
    }
    summary.tests.push_back(dxgi);
    summary.findings = findingsOf(summary, nullptr);
    const FoundEvent* removed = nullptr;
    const FoundEvent* added = nullptr;
    for (const FoundEvent& e : summary.findings.events) {
        removed = e.kind == "output_removed" ? &e : removed;
        added = e.kind == "output_added" ? &e : added;
        EXPECT_NE("stall", e.kind) << e.detail;
        EXPECT_NE("display_sleep", e.kind) << e.detail;
    }
    ASSERT_NE(nullptr, removed);
    ASSERT_NE(nullptr, added);
    EXPECT_EQ("dxgi_2", added->test);
    EXPECT_NEAR(removed->toS, added->fromS, 1e-9);
    EXPECT_NEAR(std::floor(from + 250.0) / 1e7, added->toS, 1e-9);
    const auto m = std::find_if(summary.findings.methods.begin(), summary.findings.methods.end(),
                                [](const MethodScore& s) { return s.method == "dxgi"; });
    ASSERT_NE(summary.findings.methods.end(), m);
    EXPECT_EQ(quick, m->noVblank);
    EXPECT_EQ(110u - quick, m->lateUs.count);
    EXPECT_EQ(0.0, m->missed);
    EXPECT_LT(m->lateUs.max, 150.0 / 1e7 * 1e6 + 1.0);
}

// The engines' waits alone on a display that sleeps for 300 frames (each log's profile line):
// the compositor clock's extended run, whose waits return occluded meanwhile, and DXGI's, whose
// waits return S_OK at once. One sleep each, dated within a few frames of the profile's and as
// long; the clock's output named by the server's bind and its reference rebuilt from the
// clock's frame starts; DXGI's instant returns counted, none scored; no completed frame taken
// for one no wait saw while the display was off.
TEST(Findings, TheEnginesWaitsAloneTellADisplaySleep)
{
    for (const char* name : {"clock-asleep.log", "dxgi-asleep.log"}) {
        SCOPED_TRACE(name);
        KelvaroLog log = logOf(name);
        LogTruth truth;
        ASSERT_TRUE(logTruthFromProfile(&truth, log.profile, log.profileFrequency, log.vblank0));
        const VirtualProfile& p = truth.model.profile;
        ASSERT_GT(p.sleepFrames, 0);
        const bool clock = std::string(name) == "clock-asleep.log";
        // The rows of the run, straight from the log: DXGI's waits under 1 ms, and the clock's
        // vblanks between two ticks with no occluded wait between (a frame composed at each).
        size_t instant = 0;
        int64_t unseen = 0, lastVblank = -1;
        for (const LogSection& section : log.sections) {
            for (const LogBlock& block : section.blocks) {
                const std::vector<double> waits = columnValues(block, "wait"), results = columnValues(block, "result"),
                                          vsyncs = columnValues(block, "vsync");
                for (size_t i = 0; i < waits.size() && !clock; ++i)
                    instant += waits[i] < 1.0 ? 1 : 0;
                for (size_t i = 0; i < results.size() && clock; ++i) {
                    const int64_t vblank = truth.latestVblank(vsyncs[i] / 1e4);
                    unseen += results[i] == 0.0 && lastVblank >= 0 ? std::max<int64_t>(0, vblank - lastVblank - 1) : 0;
                    lastVblank = results[i] == 0.0 ? vblank : -1;
                }
            }
        }
        const ReportSummary summary = summarizeLog(std::move(log));
        const Findings& f = summary.findings;
        ASSERT_EQ(1u, f.references.size());
        const ReferenceTimeline& reference = f.references.front();
        if (clock) {
            EXPECT_EQ("\\\\.\\DISPLAY1", reference.name) << "the device the server bound";
        }
        ASSERT_TRUE(reference.hasTruth);
        EXPECT_EQ(clock, reference.precise);
        EXPECT_LT(reference.errorUs.max, clock ? 1.0 : 100.0);
        for (const char* method : clock ? std::vector<const char*>{"compositor_clock", "compositor_frame"}
                                        : std::vector<const char*>{"dxgi"}) {
            const auto m = std::find_if(f.methods.begin(), f.methods.end(),
                                        [&](const MethodScore& s) { return s.method == method && s.output == reference.name; });
            ASSERT_NE(f.methods.end(), m) << method;
            EXPECT_NEAR(m->lateTrueUs.p50, m->lateUs.p50, clock ? 1.0 : 60.0) << method;
            if (!clock) {
                EXPECT_EQ(instant, m->noVblank);
            }
        }
        std::vector<const FoundEvent*> sleeps;
        for (const FoundEvent& e : f.events)
            sleeps.push_back(e.kind == "display_sleep" ? &e : nullptr);
        sleeps.erase(std::remove(sleeps.begin(), sleeps.end(), nullptr), sleeps.end());
        ASSERT_EQ(1u, sleeps.size());
        const FoundEvent& sleep = *sleeps.front();
        const auto vblankAt = [&](double s) { return timelineLatestVblank(truth.model.timeline, static_cast<int64_t>(s * 1e7)); };
        EXPECT_NEAR(static_cast<double>(p.sleepFrame), static_cast<double>(vblankAt(sleep.atS)), 3.0);
        EXPECT_NEAR(static_cast<double>(p.sleepFrames), sleep.frames, 3.0);
        // DXGI's wait under way when the display fell asleep returned as it did (an older build).
        EXPECT_LE(vblankAt(sleep.fromS), p.sleepFrame);
        EXPECT_GE(vblankAt(sleep.toS), p.sleepFrame + p.sleepFrames);
        std::string said;
        for (const Finding& s : f.sentences)
            said += s.text + "\n";
        EXPECT_EQ(std::string::npos, said.find("output output")) << said;
        EXPECT_EQ(std::string::npos, said.find(" .")) << said;
        if (clock) {
            const Figure* skipped = figureOf(summary.tests.front(), "frames_unseen");
            ASSERT_NE(nullptr, skipped);
            EXPECT_EQ(static_cast<double>(unseen), skipped->value);
            EXPECT_EQ(reference.name, f.engines.clockOutput);
            EXPECT_NE(std::string::npos, summary.tests.front().notes.front().find(reference.name));
        }
    }
}

