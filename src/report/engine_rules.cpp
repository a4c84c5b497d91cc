// What browser engines' rules for vblank waits would meet on this machine: they pace every window
// by the primary output's IDXGIOutput::WaitForVBlank (or, on Windows 11, the compositor's clock),
// count a wait that returns in under 1 ms as failed and fall back to a timer. Per way of waiting
// and output, the waits they would count as failed; the cadence a window on another output
// would get. Rates are the measured references', never the profile's.
#include "report/findings_rooms.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Two outputs whose measured rates differ by more than 1 % give a window another cadence.
constexpr double kOtherCadence = 0.01;

const RefreshFinding* rateOf(const Findings& f, const std::string& output)
{
    for (const RefreshFinding& r : f.refresh) {
        if (r.name == output && r.measuredHz > 0.0)
            return &r;
    }
    return nullptr;
}

// "none of 59", "7 of 59"
std::string share(size_t part, size_t whole)
{
    return (part == 0 ? std::string("none") : grouped(static_cast<double>(part))) + " of " +
           grouped(static_cast<double>(whole));
}

}   // namespace

EngineFindings engineFindingsOf(const Context& c, const std::string& window)
{
    EngineFindings e;
    e.window = window;
    for (const TestSummary& run : c.summary.tests) {
        if (run.kind == nullptr || run.table.rows.empty() || (run.test != LogTest::Dxgi && run.test != LogTest::CompositorClock))
            continue;
        const std::string method = run.test == LogTest::Dxgi ? "dxgi" : "compositor_clock";
        const std::string output = outputNameOf(c.summary, run.output);
        auto into = std::find_if(e.waits.begin(), e.waits.end(),
                                 [&](const EngineWaits& w) { return w.method == method && w.output == output; });
        if (into == e.waits.end()) {
            e.waits.push_back({method, output, run.key, 0, 0, 0});
            into = e.waits.end() - 1;
        }
        const int wait = keyIndex(run.table, "wait"), result = keyIndex(run.table, "result");
        for (const LogRow& row : run.table.rows) {
            ++into->waits;
            into->instant += cell(row, wait) < kInstantWaitMs ? 1 : 0;
            into->failed += result >= 0 && cell(row, result) != 0.0 ? 1 : 0;
        }
        // A failed DXGI wait logs its HRESULT on a line of its own.
        for (const LogMark& mark : c.summary.marks)
            into->failed += mark.kind == "wait_failed" && mark.test == run.key ? 1 : 0;
        if (run.test == LogTest::CompositorClock && e.clockOutput.empty()) {
            e.clockOutput = output;
            e.clockJudged = run.clockJudged;
        }
    }
    return e;
}

void engineSentences(const Context& c, Findings& f)
{
    const EngineFindings& e = f.engines;
    // The waits the engines count as failed, per way of waiting.
    for (const LogTest test : {LogTest::Dxgi, LogTest::CompositorClock}) {
        const char* method = test == LogTest::Dxgi ? "dxgi" : "compositor_clock";
        std::string text;
        std::string link;
        size_t instant = 0;
        for (const EngineWaits& w : e.waits) {
            if (w.method != method)
                continue;
            link = link.empty() ? w.test : link;
            instant += w.instant;
            text += (text.empty() ? std::string(testSchema(test).title) + " on " : "; on ") + w.output + ": " +
                    share(w.instant, w.waits) + " waits returned in under 1 ms";
            if (w.failed > 0)
                text += ", " + grouped(static_cast<double>(w.failed)) + " failed" +
                        (w.method == "compositor_clock" ? " (timed out or occluded)" : "");
        }
        if (text.empty())
            continue;
        text += instant > 0 ? " (browser engines count those as failed and fall back to a timer)." : ".";
        say(f, "engines", std::string("engines_instant_") + method, instant > 0 ? Finding::Mark::WorthKnowing : Finding::Mark::Fine,
            text, link);
    }
    // The primary's cadence for a window on another output.
    const std::string primary = outputNameOf(c.summary, 0);
    const RefreshFinding* primaryRate = rateOf(f, primary);
    const bool dxgiOnPrimary = std::any_of(e.waits.begin(), e.waits.end(),
                                           [&](const EngineWaits& w) { return w.method == "dxgi" && w.output == primary; });
    const TestSummary* dxgiRun = runOf(c.summary, LogTest::Dxgi, 0);
    if (dxgiOnPrimary && primaryRate != nullptr) {
        std::string others;
        for (const RefreshFinding& r : f.refresh) {
            if (r.name != primary && std::fabs(r.measuredHz / primaryRate->measuredHz - 1.0) > kOtherCadence)
                others += (others.empty() ? "" : "; ") + std::string("a window on ") + r.name + " (" + hz(r.measuredHz) +
                          ") paced by the primary's WaitForVBlank would get " + hz(primaryRate->measuredHz);
        }
        if (!others.empty())
            say(f, "engines", "engines_cadence", Finding::Mark::WorthKnowing,
                "Browser engines wait on the primary output's IDXGIOutput::WaitForVBlank, whatever output the window is "
                "on: " + others + ".",
                dxgiRun != nullptr ? dxgiRun->key : "");
    }
    // The output the compositor clock follows, beside the window's.
    if (!e.clockOutput.empty()) {
        const RefreshFinding* clock = rateOf(f, e.clockOutput);
        const RefreshFinding* window = rateOf(f, e.window);
        const auto rated = [](const std::string& name, const RefreshFinding* r) {
            return name + (r != nullptr ? " (" + hz(r->measuredHz) + ")" : std::string());
        };
        std::string text;
        Finding::Mark mark = Finding::Mark::Fine;
        if (!e.clockJudged) {
            // Taken for the window's output, the clock's runs name it.
            const bool waited = std::any_of(c.summary.tests.begin(), c.summary.tests.end(), [](const TestSummary& run) {
                return (run.test == LogTest::D3dkmt || run.test == LogTest::Dxgi) && !run.table.rows.empty();
            });
            const std::string output = rated(e.clockOutput, clock);
            text = std::string(waited ? "The compositor clock's frame matches no single output's own vblank waits"
                                      : "No run timed an output's own vblank waits to match the compositor clock's frame") +
                   ": taken for the window's, " + output + ".";
            mark = Finding::Mark::WorthKnowing;
        } else if (e.clockOutput != e.window) {
            text = "The compositor clock follows " + rated(e.clockOutput, clock) + ", another output than the window's " +
                   rated(e.window, window) + ": a window paced by it" +
                   (clock != nullptr ? " would get " + hz(clock->measuredHz) : std::string(" would get that output's rate")) +
                   ", and its frames' startTime and framePeriod are that output's.";
            mark = Finding::Mark::WorthKnowing;
        } else {
            text = "The compositor clock follows the window's output " + rated(e.window, window) + ".";
        }
        const TestSummary* run = firstRunWhere(c.summary, &RunKind::clockOutput);
        say(f, "engines", "engines_clock", mark, text, run != nullptr ? run->key : "");
    }
}
