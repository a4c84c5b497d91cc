// End-to-end: a display that sleeps from vblank 600 for 300 frames, with its vblank waits
// failing as an occluded display's, timing out, or returning success at once as a stale
// adapter's. The three run side by side, the estimator running through the sleep; each log is
// read against the sleep its own profile line places on the counter.
#include "e2e/driver.h"
#include "e2e/log_sections.h"
#include "e2e/tool_run.h"
#include "report/summary.h"
#include "report/truth.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

// The tool's processor time (100 ns units) at moments of the counter, sampled while it runs.
struct CpuSample {
    int64_t counter;
    uint64_t used;
};

struct SleepRun {
    const char* waits;
    ToolRun run;
    std::vector<CpuSample> cpu;
    std::string problems;
};

int64_t counterNow()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

TEST(DisplaySleep, TheServerFailsItsWaitsRestsAndComesBackInEachWayOfWaiting)
{
    SleepRun runs[] = {{"occluded", {}, {}, {}}, {"timeout", {}, {}, {}}, {"instant", {}, {}, {}}};
    std::vector<std::thread> threads;
    for (SleepRun& r : runs) {
        threads.emplace_back([&r] {
            r.run = runToolAside(std::string("e2e-sleep-") + r.waits + ".out.txt",
                                 std::string("KELVARO_VIRTUAL_DISPLAY=60,sleep=600:300:") + r.waits,
                                 [&r](DrivenProcess& driven) {
                                     driverCommand(driven, 32773);   // the estimator, until closed
                                     // Past the sleep's end however long the start took; the
                                     // threads' own times (Wine keeps no process total).
                                     CpuTracker tracker;
                                     for (int i = 0; i < 190; ++i) {
                                         tracker.sample(driven.processId);
                                         r.cpu.push_back({counterNow(), static_cast<uint64_t>(tracker.seconds() * 1e7)});
                                         Sleep(100);
                                     }
                                 },
                                 &r.problems);
        });
    }
    for (std::thread& t : threads)
        t.join();

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (const SleepRun& r : runs) {
        SCOPED_TRACE(r.waits);
        EXPECT_TRUE(r.problems.empty()) << r.problems;
        EXPECT_EQ(0u, r.run.exitCode);
        LogTruth truth;
        std::string problem;
        ASSERT_TRUE(readLogTruth(r.run.lines, &truth, &problem)) << problem;
        const KelvaroLog log = readLines(r.run.lines);
        // The sleep on this process's counter: the banner's counter is the log's tick 0.
        const int64_t begins = log.counterAtStart + timelineVblankStart(truth.model.timeline, 600);
        const int64_t ends = log.counterAtStart + timelineVblankStart(truth.model.timeline, 900);

        // The server's lines: failed waits, and after the first of them it binds again.
        size_t failed = 0, firstFailed = 0, rebound = 0;
        for (size_t i = 0; i < r.run.lines.size(); ++i) {
            if (r.run.lines[i] == "vsync.WaitForVerticalBlankEvent FAILED")
                firstFailed = failed++ == 0 ? i : firstFailed;
            else if (r.run.lines[i] == "-vsyncRebind=1" && failed > 0 && i > firstFailed)
                ++rebound;
        }
        EXPECT_GT(failed, 0u);
        EXPECT_GT(rebound, 0u) << "the server binds again after a failed wait";

        // The server's vblanks as the estimator saw them: around the sleep, never two closer than
        // half a frame (elsewhere a late wake-up under the load of three tools may be followed
        // by an on-time one), and new ones after the wake.
        const std::vector<LogRow> rows = rowsOf(r.run.lines, "testQuorvelLumetra");
        const size_t at = col(LogTest::Estimator, "server_now");
        const double halfFrameMs = 1000.0 / 60.0 / 2.0;
        const double wakeMs = static_cast<double>(ends - log.counterAtStart) * 1000.0 / static_cast<double>(frequency.QuadPart);
        const double sleepMs = static_cast<double>(begins - log.counterAtStart) * 1000.0 / static_cast<double>(frequency.QuadPart);
        size_t after = 0, close = 0;
        for (size_t i = 1; i < rows.size(); ++i) {
            // 0: no vblank since the server's last rebind.
            const double interval = rows[i].values[at] - rows[i - 1].values[at];
            const bool both = rows[i].values[at] > 0.0 && rows[i - 1].values[at] > 0.0 &&
                              rows[i].values[at] > sleepMs - 500.0 && rows[i].values[at] < wakeMs + 500.0;
            close += both && interval != 0.0 && interval < halfFrameMs ? 1 : 0;
            after += rows[i].values[at] > wakeMs + 100.0 ? 1 : 0;
        }
        EXPECT_EQ(0u, close) << "intervals under half a frame in the server's record";
        EXPECT_GT(after, 60u) << "the estimator goes on after the wake";

        // kelvaro-report's event: it begins with vblank 600, and lasts the 300 frames up to the
        // compositor's first vblank read after the wake (the estimator reads it a few frames late
        // at most).
        const ReportSummary summary = summarizeLog(readLines(r.run.lines));
        const FoundEvent* sleep = nullptr;
        for (const FoundEvent& e : summary.findings.events)
            sleep = e.kind == "display_sleep" ? &e : sleep;
        ASSERT_TRUE(sleep != nullptr) << "no display_sleep event";
        const int64_t first = timelineLatestVblank(truth.model.timeline, static_cast<int64_t>(sleep->atS * truth.model.frequency));
        EXPECT_NEAR(600, first, 2);
        EXPECT_GE(sleep->frames, 298.0);
        EXPECT_LE(sleep->frames, 310.0);

        // What the tool spent while the display slept, away from its edges.
        const int64_t margin = frequency.QuadPart / 2;
        const CpuSample* from = nullptr;
        const CpuSample* to = nullptr;
        for (const CpuSample& s : r.cpu) {
            if (from == nullptr && s.counter >= begins + margin)
                from = &s;
            if (s.counter <= ends - margin)
                to = &s;
        }
        ASSERT_TRUE(from != nullptr && to != nullptr && to->counter > from->counter) << "no samples inside the sleep";
        const double share = static_cast<double>(to->used - from->used) / 1e7 /
                             (static_cast<double>(to->counter - from->counter) / static_cast<double>(frequency.QuadPart));
        std::printf("[ FIGURES  ] sleep, waits %s: %zu failed waits, the tool used %.1f %% of a core while it "
                    "slept; the report's sleep from vblank %lld for %.0f frames\n",
                    r.waits, failed, share * 100.0, static_cast<long long>(first), sleep->frames);
        if (std::string(r.waits) == "instant") {
            EXPECT_LT(share, 0.05) << "a server spinning on waits that return at once";
        }
    }
}

}   // namespace
