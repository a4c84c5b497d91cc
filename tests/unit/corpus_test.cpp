// kelvaro-report over the corpus of recorded full suites (tests/report/corpus), each log read
// against the truth of its own profile line: which of the profile's phenomena the findings
// name and how close they date them, against the truth and against the span the log's rows
// can tell; events of a phenomenon the profile does not play; the reference's error; each
// method's p50 against the reference beside its p50 against the truth; the measured rate of
// each stretch. Every figure is printed with its worst case and held to the budget beside the
// corpus (budgets.txt), what the report achieved when the budget was last written: it may get
// better, never worse. KELVARO_CORPUS_BUDGETS=write writes the budgets afresh from this run.
#include "report/logreader.h"
#include "report/summary.h"
#include "report/truth.h"

#include "support/text_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kCorpus = std::string(KELVARO_TEST_DATA) + "/corpus";
// Fresh logs judged as the corpus is (KELVARO_CORPUS_DIR): their figures printed, no budget held.
const char* const kOtherLogs = std::getenv("KELVARO_CORPUS_DIR");

// Kinds of event that name a phenomenon of the display or the compositor; any other kind
// (a stall, a failed wait, an "XXXXX" line) is what the machine or the tool did.
const char* const kPhenomena[] = {"mode_change",      "display_sleep",    "output_removed",   "output_added",
                                  "variable_refresh", "compositor_clock", "compositor_ahead", "compositor_stale"};

// A phenomenon the profile plays: its kind and, for a moment, the primary's vblank it falls on.
// One that lasts the whole log may show as many events (a stale answer each), all of them true.
struct Expected {
    std::string kind;
    int64_t vblank = -1;   // -1: not a moment (it lasts the whole log)
};

// A run's first and last timed rows.
struct RunSpan {
    int64_t last, first;
    std::string key;
    bool operator<(const RunSpan& other) const { return last < other.last; }
};

struct Judged {
    std::string name;
    LogTruth truth;
    ReportSummary summary;
    int windowOutput = 0;            // the output the window was on when the suite began
    std::vector<Expected> expected;
    std::vector<int64_t> evidence;   // the ticks of every timed row, sorted
    // Of each output, the ticks of the rows that waited for its vblanks: what tells it was there.
    std::vector<int64_t> outputEvidence[2];
    std::vector<RunSpan> spans;      // by their last rows
};

struct Corpus {
    std::vector<std::unique_ptr<Judged>> logs;
    double seconds = 0.0;
    std::string problems;
};

std::vector<Expected> expectedOf(const Judged& j)
{
    const VirtualProfile& p = j.truth.model.profile;
    std::vector<Expected> out;
    for (int i = 0; i < p.changeCount; ++i)
        out.push_back({"mode_change", p.changes[i].frame});
    if (p.sleepFrame != 0)
        out.push_back({"display_sleep", p.sleepFrame});
    if (p.unplugFrame != 0)
        out.push_back({"output_removed", p.unplugFrame});
    if (p.unplugBack != 0)
        out.push_back({"output_added", p.unplugBack});
    if (p.vrrMin.numerator != 0)
        out.push_back({"variable_refresh"});
    if (virtualCompositorOutput(j.truth.model) != j.windowOutput)
        out.push_back({"compositor_clock"});
    if (p.dwmVblankNext)
        out.push_back({"compositor_ahead"});
    // The event tells stale answers and skipped frames alike.
    if (p.dwmStaleMilli != 0 || p.dwmskipMilli != 0)
        out.push_back({"compositor_stale"});
    return out;
}

// Whether the log holds any row that could tell a phenomenon: a row timed while the display
// slept (every timed run waits on the display or reads its compositor), a row of the output's
// own waits after it came back. Any other phenomenon leaves one in a full suite.
bool leavesTrace(const Judged& j, const Expected& e)
{
    const Timeline& primary = j.truth.model.timeline;
    const VirtualProfile& p = j.truth.model.profile;
    if (e.kind == "display_sleep") {
        const int64_t from = timelineVblankStart(primary, p.sleepFrame);
        const int64_t to = timelineVblankStart(primary, p.sleepFrame + p.sleepFrames);
        const auto row = std::lower_bound(j.evidence.begin(), j.evidence.end(), from);
        return row != j.evidence.end() && *row <= to;
    }
    if (e.kind == "output_added") {
        const int64_t back = timelineVblankStart(primary, p.unplugBack);
        return std::upper_bound(j.outputEvidence[1].begin(), j.outputEvidence[1].end(), back) != j.outputEvidence[1].end();
    }
    return true;
}

// Every timed row's tick and each run's span; of each output, the rows that waited for it.
void evidenceOf(Judged* j)
{
    const ReportSummary& summary = j->summary;
    for (const TestSummary& run : summary.tests) {
        if (run.kind == nullptr || !run.kind->time)
            continue;
        const auto column = std::find(run.table.keys.begin(), run.table.keys.end(), std::string(run.kind->time.key));
        if (column == run.table.keys.end())
            continue;
        const size_t at = static_cast<size_t>(column - run.table.keys.begin());
        const bool waits = run.kind->wakeUpStamps || run.kind->precise != PreciseStamps::None;
        int64_t last = INT64_MIN, first = INT64_MAX;
        for (const LogRow& row : run.table.rows) {
            if (at >= row.values.size())
                continue;
            const int64_t tick = std::llround(run.kind->time.ms ? row.values[at] * summary.frequency / 1000.0 : row.values[at]);
            j->evidence.push_back(tick);
            last = std::max(last, tick);
            first = std::min(first, tick);
            const int output = outputOfRow(summary, run, row.line);
            if (waits && row.values[at] > 0 && output >= 0 && output < 2)
                j->outputEvidence[output].push_back(tick);
        }
        if (last != INT64_MIN)
            j->spans.push_back({last, first, run.key});
    }
    std::sort(j->spans.begin(), j->spans.end());
    std::sort(j->evidence.begin(), j->evidence.end());
    for (std::vector<int64_t>& ticks : j->outputEvidence)
        std::sort(ticks.begin(), ticks.end());
}

Corpus readCorpus()
{
    Corpus corpus;
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::string> paths;
    for (const auto& entry : fs::directory_iterator(kOtherLogs != nullptr ? std::string(kOtherLogs) : kCorpus)) {
        if (entry.path().extension() == ".log")
            paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    for (const std::string& path : paths) {
        auto j = std::make_unique<Judged>();
        j->name = fs::path(path).stem().string();
        KelvaroLog log;
        std::string problem;
        if (!readKelvaroLog(readFile(path), &log, &problem) || !log.hasProfile ||
            !logTruthFromProfile(&j->truth, log.profile, log.profileFrequency, log.vblank0)) {
            corpus.problems += j->name + ": " + (problem.empty() ? "no profile line whose truth reads" : problem) + "; ";
            continue;
        }
        j->summary = summarizeLog(std::move(log));
        // The output the server was bound to when the first test began: the window's.
        const size_t firstTest = j->summary.tests.empty() ? SIZE_MAX : j->summary.tests.front().titleLine;
        for (const LogMode& mode : j->summary.modes) {
            if (mode.line < firstTest || &mode == &j->summary.modes.front())
                j->windowOutput = mode.device == "\\\\.\\DISPLAY2" ? 1 : 0;
        }
        j->expected = expectedOf(*j);
        evidenceOf(j.get());
        corpus.logs.push_back(std::move(j));
    }
    corpus.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    return corpus;
}

// The largest of a figure's values, and where it was.
struct Worst {
    double value = 0.0;
    std::string at;
    void see(double v, const std::string& where)
    {
        if (v > value) {
            value = v;
            at = where;
        }
    }
    const char* where() const { return at.empty() ? "none" : at.c_str(); }
};

// The budgets: "key <= value" or "key >= value", one a line.
struct Budget {
    bool atMost = true;
    double value = 0.0;
};

std::map<std::string, Budget> readBudgets()
{
    std::map<std::string, Budget> budgets;
    std::istringstream in(readFile(kCorpus + "/budgets.txt"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, op;
        double value = 0.0;
        if (line.empty() || line[0] == '#' || !(words >> key >> op >> value) || (op != "<=" && op != ">="))
            continue;
        budgets[key] = {op == "<=", value};
    }
    return budgets;
}

class CorpusTest : public ::testing::Test {
protected:
    static Corpus* corpus;
    static std::map<std::string, Budget> budgets;
    static std::vector<std::pair<std::string, Budget>> achieved;   // in the order held

    static void SetUpTestSuite()
    {
        corpus = new Corpus(readCorpus());
        budgets = readBudgets();
    }
    static void TearDownTestSuite()
    {
        if (const char* write = std::getenv("KELVARO_CORPUS_BUDGETS"); write != nullptr && std::string(write) == "write") {
            std::string text =
                "# kelvaro-report over the corpus: each figure as the report achieved it when this file was\n"
                "# written (KELVARO_CORPUS_BUDGETS=write). The corpus test holds every run to it: never worse.\n";
            char line[160];
            for (const auto& [key, budget] : achieved) {
                std::snprintf(line, sizeof line, "%s %s %.6g\n", key.c_str(), budget.atMost ? "<=" : ">=", budget.value);
                text += line;
            }
            EXPECT_TRUE(writeFile(kCorpus + "/budgets.txt", text));
        }
        delete corpus;
        corpus = nullptr;
    }

    // Holds a figure to its budget (a hair of slack for the printing of the budget).
    static void hold(const std::string& key, double value, bool atMost)
    {
        if (kOtherLogs != nullptr)
            return;
        achieved.push_back({key, {atMost, value}});
        const auto found = budgets.find(key);
        ASSERT_NE(budgets.end(), found) << "no budget for " << key << " (" << value
                                        << "); KELVARO_CORPUS_BUDGETS=write writes them";
        const double slack = 1e-5 * std::fmax(1.0, std::fabs(found->second.value));
        if (atMost)
            EXPECT_LE(value, found->second.value + slack) << key << " got worse than its budget";
        else
            EXPECT_GE(value, found->second.value - slack) << key << " got worse than its budget";
    }

    static double frequency(const Judged& j) { return static_cast<double>(j.truth.model.frequency); }
    // The profile's output a reference stands for: by its device's name where the log names it.
    static int outputOf(const ReferenceTimeline& r)
    {
        return r.name == "\\\\.\\DISPLAY2" ? 1 : r.name == "\\\\.\\DISPLAY1" ? 0 : r.output;
    }
    static bool variable(const Judged& j, int output)
    {
        return output == 0 && j.truth.model.profile.vrrMin.numerator != 0;
    }
};
Corpus* CorpusTest::corpus = nullptr;
std::map<std::string, Budget> CorpusTest::budgets;
std::vector<std::pair<std::string, Budget>> CorpusTest::achieved;

TEST_F(CorpusTest, EveryLogReadsAgainstItsTruthInUnderThirtySeconds)
{
    EXPECT_EQ("", corpus->problems);
    ASSERT_GE(corpus->logs.size(), kOtherLogs != nullptr ? 1u : 20u) << "the corpus is " << (kOtherLogs != nullptr ? kOtherLogs : kCorpus);
    size_t phenomena = 0;
    for (const auto& j : corpus->logs)
        phenomena += j->expected.size();
    std::printf("[ FIGURES  ] corpus: %zu logs, %zu phenomena, read and judged in %.2f s\n", corpus->logs.size(),
                phenomena, corpus->seconds);
    EXPECT_LT(corpus->seconds, 30.0);
    for (const auto& j : corpus->logs)
        EXPECT_TRUE(j->summary.ended) << j->name << ": the suite did not end";
}

// Each phenomenon found or missed; a moment dated against the truth, and against the span of
// the log around it in which no row was timed (the log cannot tell a moment there better).
TEST_F(CorpusTest, PhenomenaFoundAndDated)
{
    size_t total = 0, found = 0, moments = 0, outsideSpan = 0, traceless = 0;
    std::string none;
    std::vector<double> offFrames;
    Worst off, beyond;
    std::string missed;
    for (const auto& j : corpus->logs) {
        const Timeline& primary = j->truth.model.timeline;
        const std::vector<FoundEvent>& events = j->summary.findings.events;
        // Each phenomenon with an event of its kind, the closest pairs first.
        std::vector<int> match(j->expected.size(), -1);
        std::vector<bool> used(events.size(), false);
        const auto distance = [&](const Expected& e, const FoundEvent& f) {
            return e.vblank < 0 || f.atS < 0.0 ? 0.0 : std::fabs(f.atS * frequency(*j) - timelineVblankStart(primary, e.vblank));
        };
        for (;;) {
            int bestE = -1, bestF = -1;
            double bestDistance = 0.0;
            for (size_t e = 0; e < match.size(); ++e) {
                for (size_t f = 0; f < events.size() && match[e] < 0; ++f) {
                    if (used[f] || events[f].kind != j->expected[e].kind)
                        continue;
                    const double d = distance(j->expected[e], events[f]);
                    if (bestE < 0 || d < bestDistance) {
                        bestE = static_cast<int>(e);
                        bestF = static_cast<int>(f);
                        bestDistance = d;
                    }
                }
            }
            if (bestE < 0)
                break;
            match[static_cast<size_t>(bestE)] = bestF;
            used[static_cast<size_t>(bestF)] = true;
        }
        for (size_t i = 0; i < match.size(); ++i) {
            const Expected& e = j->expected[i];
            ++total;
            // Where the suite was at a moment: in the first run whose last timed row comes after
            // it, or before that run.
            const auto runAt = [&](int64_t tick) {
                const auto run = std::lower_bound(j->spans.begin(), j->spans.end(), RunSpan{tick, tick, ""});
                return run == j->spans.end() ? std::string("after the last run")
                                             : (tick < run->first ? "before " : "in ") + run->key;
            };
            if (match[i] < 0 && !leavesTrace(*j, e)) {
                ++traceless;
                none += " " + j->name + ":" + e.kind;
                continue;
            }
            if (match[i] < 0) {
                missed += " " + j->name + ":" + e.kind;
                if (e.vblank >= 0)
                    std::printf("  %s %s at vblank %lld (%s): missed\n", j->name.c_str(), e.kind.c_str(),
                                static_cast<long long>(e.vblank), runAt(timelineVblankStart(primary, e.vblank)).c_str());
                continue;
            }
            ++found;
            const FoundEvent& f = events[static_cast<size_t>(match[i])];
            if (e.vblank < 0)
                continue;
            ++moments;
            const int64_t trueTick = timelineVblankStart(primary, e.vblank);
            const std::string at = j->name + " " + e.kind + " at vblank " + std::to_string(e.vblank);
            if (f.atS < 0.0) {
                offFrames.push_back(1e9);
                off.see(1e9, at + " (undated)");
                beyond.see(1e9, at + " (undated)");
                continue;
            }
            const int64_t dated = std::llround(f.atS * frequency(*j));
            const double framesOff = std::fabs(static_cast<double>(timelineLatestVblank(primary, dated) - e.vblank));
            // An event that states the span the log bounds it by is judged by that span below:
            // where no row could tell the moment for many seconds, its date is any point of it.
            const bool spanned = f.fromS >= 0.0 && f.toS >= 0.0;
            if (!spanned) {
                offFrames.push_back(framesOff);
                off.see(framesOff, at);
            }
            // The rows before and after the true moment bound what the log can tell: of an
            // output that went or came back, the rows that waited for its vblanks.
            const bool ofOutput = e.kind == "output_removed" || e.kind == "output_added";
            const std::vector<int64_t>& evidence =
                ofOutput ? j->outputEvidence[f.detail.rfind("\\\\.\\DISPLAY2", 0) == 0 ? 1 : 0] : j->evidence;
            const auto after = std::lower_bound(evidence.begin(), evidence.end(), trueTick);
            const int64_t from = after == evidence.begin() ? INT64_MIN : *(after - 1);
            const int64_t to = after == evidence.end() ? INT64_MAX : *after;
            int64_t outside = dated < from ? from - dated : dated > to ? dated - to : 0;
            // An event that states the span the log bounds it by: the truth inside it, and the
            // span no wider than those rows bound.
            if (spanned) {
                const int64_t statedFrom = std::llround(f.fromS * frequency(*j)), statedTo = std::llround(f.toS * frequency(*j));
                outside = std::max<int64_t>({0, statedFrom - trueTick, trueTick - statedTo});
                if (from != INT64_MIN && statedFrom < from)
                    outside += from - statedFrom;
                if (to != INT64_MAX && statedTo > to)
                    outside += statedTo - to;
            }
            const double frameTicks = frequency(*j) * j->truth.periodMsAt(trueTick) / 1000.0;
            const double framesBeyond = static_cast<double>(outside) / frameTicks;
            outsideSpan += framesBeyond > 2.0 ? 1 : 0;
            beyond.see(framesBeyond, at);
            std::printf("  %s (%s): dated at vblank %lld, %.0f frames off; the rows tell it from %.1f frames before to %.1f after\n",
                        at.c_str(), runAt(trueTick).c_str(), static_cast<long long>(timelineLatestVblank(primary, dated)), framesOff,
                        from == INT64_MIN ? -1.0 : static_cast<double>(trueTick - from) / frameTicks,
                        to == INT64_MAX ? -1.0 : static_cast<double>(to - trueTick) / frameTicks);
        }
    }
    std::sort(offFrames.begin(), offFrames.end());
    const double medianOff = offFrames.empty() ? 0.0 : offFrames[offFrames.size() / 2];
    std::printf("[ FIGURES  ] corpus: phenomena found %zu of %zu that leave a trace in their logs; missed:%s; %zu "
                "leave none:%s\n",
                found, total - traceless, missed.empty() ? " none" : missed.c_str(), traceless, none.empty() ? " -" : none.c_str());
    std::printf("[ FIGURES  ] corpus: %zu moments dated, %zu of them without a stated span, off the truth by a median "
                "%.0f frames, worst %.0f (%s)\n",
                moments, offFrames.size(), medianOff, off.value, off.where());
    std::printf("[ FIGURES  ] corpus: %zu of %zu moments dated more than 2 frames outside the span the log can tell, "
                "the worst by %.1f frames (%s)\n",
                outsideSpan, moments, beyond.value, beyond.where());
    hold("phenomena_missed", static_cast<double>(total - traceless - found), true);
    hold("phenomena_traceless", static_cast<double>(traceless), true);
    hold("dated_median_frames_off", medianOff, true);
    hold("dated_worst_frames_off", off.value, true);
    hold("dated_outside_span", static_cast<double>(outsideSpan), true);
    hold("dated_worst_frames_beyond_span", beyond.value, true);
}

// Events of a phenomenon the profile does not play, or more of them than it plays, by kind.
TEST_F(CorpusTest, FalseEventsByKind)
{
    for (const char* kind : kPhenomena) {
        size_t count = 0, logs = 0;
        std::string where;
        for (const auto& j : corpus->logs) {
            size_t expected = 0;
            for (const Expected& e : j->expected)
                expected = e.kind != kind ? expected : e.vblank < 0 ? SIZE_MAX : expected + 1;
            const size_t got = static_cast<size_t>(std::count_if(
                j->summary.findings.events.begin(), j->summary.findings.events.end(),
                [&](const FoundEvent& f) { return f.kind == kind; }));
            if (got > expected) {
                count += got - expected;
                ++logs;
                where += " " + j->name + (got - expected > 1 ? " x" + std::to_string(got - expected) : "");
            }
        }
        std::printf("[ FIGURES  ] corpus: false %s: %zu in %zu logs%s\n", kind, count, logs, where.c_str());
        hold(std::string("false_") + kind, static_cast<double>(count), true);
    }
}

// The reference against the truth, on outputs whose reference rests on precise time stamps,
// and apart on those of variable refresh (no steady grid to rebuild) and of wake-ups.
TEST_F(CorpusTest, ReferenceErrorAgainstTheTruth)
{
    Worst median, max, wake, variableMax;
    size_t precise = 0;
    for (const auto& j : corpus->logs) {
        for (const ReferenceTimeline& r : j->summary.findings.references) {
            if (!r.hasTruth || !r.known())
                continue;
            const std::string at = j->name + " " + r.name;
            if (variable(*j, outputOf(r))) {
                variableMax.see(r.errorUs.max, at);
            } else if (!r.precise) {
                // Held to the error it states, where it states one.
                if (r.mayBeOffUs >= 0.0)
                    wake.see(std::fmax(0.0, r.errorUs.max - r.mayBeOffUs), at);
            } else {
                ++precise;
                median.see(r.errorUs.p50, at);
                max.see(r.errorUs.max, at);
            }
        }
    }
    std::printf("[ FIGURES  ] corpus: reference error on %zu precise outputs: median at worst %.1f us (%s), max %.1f us (%s)\n",
                precise, median.value, median.where(), max.value, max.where());
    std::printf("[ FIGURES  ] corpus: reference error on outputs of wake-ups: at most %.1f us beyond the error it states (%s); of "
                "variable refresh: max %.1f us (%s)\n",
                wake.value, wake.where(), variableMax.value, variableMax.where());
    hold("reference_worst_median_us", median.value, true);
    hold("reference_worst_max_us", max.value, true);
    hold("reference_wakeups_beyond_stated_us", wake.value, true);
}

// Each method's p50 against the reference beside its p50 against the truth: how far scoring on
// the reference moves a method's figure.
TEST_F(CorpusTest, MethodsScoredOnTheReferenceAsOnTheTruth)
{
    size_t pairs = 0, within = 0, wakePairs = 0;
    Worst worst, wakeBeyond;
    // The waits of today's applications are scored in every log where they ran. (Some older
    // ways go unscored on variable refresh, which has no steady grid to score them on.)
    std::string unscored;
    size_t ran = 0;
    for (const auto& j : corpus->logs) {
        for (const TestSummary& run : j->summary.tests) {
            if (run.kind == nullptr || run.rows == 0 || (run.test != LogTest::Dxgi && run.test != LogTest::CompositorClock))
                continue;
            for (const MethodSource& source : run.kind->methods) {
                ++ran;
                const bool scored = std::any_of(j->summary.findings.methods.begin(), j->summary.findings.methods.end(),
                                                [&](const MethodScore& m) { return m.method == source.method && m.lateUs.count > 0; });
                unscored += scored ? "" : " " + j->name + ":" + run.key + ":" + source.method;
            }
        }
    }
    std::printf("[ FIGURES  ] corpus: DXGI's and the compositor clock's methods in %zu runs with rows, unscored:%s\n", ran,
                unscored.empty() ? " none" : unscored.c_str());
    EXPECT_EQ("", unscored);
    for (const auto& j : corpus->logs) {
        for (const MethodScore& m : j->summary.findings.methods) {
            if (!m.hasTruth)
                continue;
            const ReferenceTimeline* reference = nullptr;
            for (const ReferenceTimeline& r : j->summary.findings.references)
                reference = r.name == m.output ? &r : reference;
            if (reference == nullptr || variable(*j, outputOf(*reference)))
                continue;
            const double gap = std::fabs(m.lateUs.p50 - m.lateTrueUs.p50);
            const std::string at = j->name + " " + m.method + " on " + m.output;
            if (!reference->precise) {
                // Held to the error the reference states beside the method.
                ++wakePairs;
                if (m.referenceOffUs >= 0.0)
                    wakeBeyond.see(std::fmax(0.0, gap - m.referenceOffUs), at);
                continue;
            }
            ++pairs;
            within += gap <= 5.0 ? 1 : 0;
            worst.see(gap, at);
        }
    }
    const double share = pairs == 0 ? 1.0 : static_cast<double>(within) / static_cast<double>(pairs);
    std::printf("[ FIGURES  ] corpus: methods' p50 on the reference within 5 us of on the truth: %zu of %zu (log, method) "
                "pairs on precise outputs (%.1f %%), worst %.1f us (%s)\n",
                within, pairs, 100.0 * share, worst.value, worst.where());
    std::printf("[ FIGURES  ] corpus: on outputs of wake-ups, %zu pairs: at most %.1f us beyond the error their reference states (%s)\n",
                wakePairs, wakeBeyond.value, wakeBeyond.where());
    hold("methods_share_within_5us", share, false);
    hold("methods_worst_gap_us", worst.value, true);
    hold("methods_wakeups_worst_beyond_error_us", wakeBeyond.value, true);
}

// Each stretch of each reference: its rate against the true rate at its middle (variable
// refresh has none to measure and stands apart).
TEST_F(CorpusTest, MeasuredRateOfEachStretch)
{
    std::vector<double> errors;
    Worst worst, wakeBeyond;
    for (const auto& j : corpus->logs) {
        for (const ReferenceTimeline& r : j->summary.findings.references) {
            if (!r.hasTruth || variable(*j, outputOf(r)))
                continue;
            const Timeline& timeline = virtualOutputTimeline(j->truth.model, outputOf(r));
            for (size_t s = 0; s < r.segments.size(); ++s) {
                const ReferenceSegment& segment = r.segments[s];
                const double measured = frequency(*j) / segment.periodTicks;
                const int64_t middle = std::llround((segment.fromTick + segment.toTick) / 2.0);
                const double error = std::fabs(measured - timelineRateHz(timelineRateAt(timeline, middle)));
                const std::string at = j->name + " " + r.name + " stretch " + std::to_string(s + 1);
                if (!r.precise) {
                    if (r.mayBeOffUs < 0.0)
                        continue;
                    // A phase off by at most E at either end of a span T leaves the rate off by
                    // at most 2 E / T of itself.
                    const double spanS = (segment.toTick - segment.fromTick) / frequency(*j);
                    wakeBeyond.see(std::fmax(0.0, error - 2.0 * r.mayBeOffUs * 1e-6 / spanS * measured), at);
                    continue;
                }
                errors.push_back(error);
                worst.see(error, at);
            }
        }
    }
    std::sort(errors.begin(), errors.end());
    const double median = errors.empty() ? 0.0 : errors[errors.size() / 2];
    std::printf("[ FIGURES  ] corpus: measured rate of %zu stretches of precise references against the true: median off "
                "%.6f Hz, worst %.6f Hz (%s); of wake-ups, at most %.6f Hz beyond what their stated error allows (%s)\n",
                errors.size(), median, worst.value, worst.where(), wakeBeyond.value, wakeBeyond.where());
    hold("rate_wakeups_beyond_stated_hz", wakeBeyond.value, true);
    hold("rate_median_error_hz", median, true);
    hold("rate_worst_error_hz", worst.value, true);
}

}   // namespace
