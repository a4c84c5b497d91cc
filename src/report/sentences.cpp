// The findings in plain sentences, one per answer, each with its mark and the run it rests on:
// the refresh rates, the way of finding the vblank to use, the compositor, the timers, what was
// unusual, and the reference timelines.
#include "report/findings_rooms.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

struct SentenceTuning {
    // A microsecond figure under 0.05 prints as 0.0 (never "-0.0"), from 100 on without
    // decimals, from 10,000 on with its thousands grouped.
    double usZero = 0.05;
    double usWhole = 100.0;
    double usGrouped = 10000.0;
    // A rate within half a micro-hertz of a whole number prints whole ("60 Hz"); the measured
    // and the true rate print to four decimals, so a difference under 5e-5 Hz prints as none.
    double hzWhole = 5e-7;
    double hzSame = 5e-5;
    // A mode more than 100 ppm off the measured rate is worth knowing: an animation clocked on
    // it slips a frame every 2.8 minutes at 60 Hz.
    double modeOffPpm = 100.0;
    // The best wait is fine with a p99 under 1 ms and nothing missed (a sixteenth of a 60 Hz
    // frame), worth knowing under 4 ms (a quarter), and bad beyond.
    double bestFineUs = 1000.0;
    double bestWorthUs = 4000.0;
    // Sleep(1) lasting more than 2.5 ms: the timer resolution was not raised to a millisecond,
    // and frames paced by Sleep land milliseconds late.
    double coarseSleepMs = 2.5;
    // A sentence names the first three events of a kind; the table and the JSON hold them all.
    size_t eventsNamed = 3;
    // An event the log bounds by more than a hundredth of a second is told by its span.
    double spanShownS = 0.01;
};
const SentenceTuning t;

}   // namespace

std::string format(const char* pattern, double a, double b, double c, double d)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

// A whole number with thousands separated, as a person reads it.
std::string grouped(double value)
{
    const long long n = std::llround(value);
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return (n < 0 ? "-" : "") + out;
}

std::string us(double value)
{
    value = value == 0.0 ? 0.0 : value;   // no "-0.0"
    if (std::fabs(value) < t.usZero)
        value = 0.0;
    return std::fabs(value) >= t.usGrouped ? grouped(value) : format(std::fabs(value) >= t.usWhole ? "%.0f" : "%.1f", value);
}

void say(Findings& f, const char* topic, const std::string& key, Finding::Mark mark, const std::string& text,
         const std::string& link)
{
    f.sentences.push_back({topic, key, mark, text, link});
}

namespace {

std::string outputKey(const char* topic, int output)
{
    return std::string(topic) + "_" + std::to_string(output + 1);
}

}   // namespace

std::string hz(double value)
{
    return format(std::fabs(value - std::floor(value + 0.5)) < t.hzWhole ? "%.0f Hz" : "%.4f Hz", value);
}

namespace {

std::string linkOf(const ReportSummary& summary, LogTest test, int output = 0)
{
    const TestSummary* run = runOf(summary, test, output);
    return run != nullptr ? run->key : "";
}

void refreshSentences(const Context& c, Findings& f)
{
    for (const RefreshFinding& r : f.refresh) {
        const auto variable = std::find_if(f.events.begin(), f.events.end(), [&](const FoundEvent& e) {
            return e.kind == "variable_refresh" && e.detail.compare(0, r.name.size() + 1, r.name + ":") == 0;
        });
        if (variable != f.events.end()) {
            say(f, "refresh", outputKey("refresh", r.output), Finding::Mark::WorthKnowing,
                r.name + " has no steady period: variable refresh, " + variable->detail.substr(r.name.size() + 2) +
                    (r.nominalHz > 0 ? "; its mode says " + hz(r.nominalHz) : std::string()) +
                    ". Pace by the measured interval, not by a period; the reference and the scores against it are an "
                    "average grid only.",
                linkOf(c.summary, LogTest::Estimator));
            continue;
        }
        std::string text = r.name + " refreshes at " + hz(r.measuredHz) + " measured";
        if (r.hasTruth)
            text += format(" (true %.4f Hz, off by %.4f Hz)", r.trueHz,
                           std::fabs(r.measuredHz - r.trueHz) < t.hzSame ? 0.0 : r.measuredHz - r.trueHz);
        Finding::Mark mark = Finding::Mark::Fine;
        if (r.nominalHz > 0) {
            text += "; its mode says " + hz(r.nominalHz) + format(" (%+.0f ppm)", r.ppmVsNominal);
            if (std::fabs(r.ppmVsNominal) > t.modeOffPpm)
                mark = Finding::Mark::WorthKnowing;
        }
        if (r.rateRefreshHz > 0)
            text += ", the compositor's rateRefresh " + hz(r.rateRefreshHz) + format(" (%+.0f ppm)", r.ppmRateRefresh);
        if (r.qpcRefreshPeriodMs > 0)
            text += format(", its qpcRefreshPeriod %.4f ms (%+.0f ppm)", r.qpcRefreshPeriodMs, r.ppmQpcRefreshPeriod);
        if (r.frameSlipS > 0 && r.nominalHz > 0)
            text += ": an animation clocked on " + hz(r.nominalHz) + (r.nominalHz > r.measuredHz ? " gains" : " loses") +
                    format(" one frame every %.1f s", r.frameSlipS);
        text += ".";
        // A display whose rate changed: each stretch against its own mode.
        if (r.stretches.size() > 1) {
            for (const RefreshStretch& s : r.stretches)
                mark = s.modeHz > 0 && std::fabs(s.ppmVsMode) > t.modeOffPpm ? Finding::Mark::WorthKnowing : mark;
            text += " By stretch:";
            for (size_t i = 0; i < r.stretches.size(); ++i) {
                const RefreshStretch& s = r.stretches[i];
                text += format(" %.2f to %.2f s at ", s.fromS, s.toS) + hz(s.measuredHz);
                if (s.modeHz > 0)
                    text += ", its mode " + hz(s.modeHz) + format(" (%+.0f ppm)", s.ppmVsMode);
                if (s.compositorHz > 0)
                    text += ", the compositor " + hz(s.compositorHz);
                text += i + 1 < r.stretches.size() ? ";" : ".";
            }
        }
        say(f, "refresh", outputKey("refresh", r.output), mark, text, linkOf(c.summary, LogTest::WrongHz));
    }
}


const MethodScore* methodNamed(const Findings& f, const char* name)
{
    for (const MethodScore& m : f.methods) {
        if (m.method == name)
            return &m;
    }
    return nullptr;
}

void methodSentences(Findings& f)
{
    // The recommendation; DirectDraw's polling is named beside it when it came closer.
    const MethodScore* best = recommendedWait(f);
    const MethodScore* polling = nullptr;
    for (const MethodScore& m : f.methods) {
        if (m.rank > 0 && m.method == "directdraw")
            polling = &m;
    }
    if (best == nullptr) {
        say(f, "methods", "methods_none", Finding::Mark::WorthKnowing,
            "No way of finding the vblank could be scored: the log has no reference timeline.", "");
        return;
    }
    std::string text = "Use " + best->method + " here: of the waits that let their thread sleep it comes closest, " +
                       us(best->lateUs.p50) + " us after the vblank (p95 " + us(best->lateUs.p95) + " us, p99 " +
                       us(best->lateUs.p99) + " us, max " + us(best->lateUs.max) + " us)";
    if (best == polling)
        text = "Only DirectDraw's polling could be scored: " + us(best->lateUs.p50) + " us after the vblank (p99 " +
               us(best->lateUs.p99) + " us), and it burns its thread";
    text += best->missed > 0 ? ", " + grouped(best->missed) + (best->missed == 1 ? " vblank" : " vblanks") + " missed." : ", none missed.";
    if (polling != nullptr && polling != best && polling->rank < best->rank)
        text += " DirectDraw's polling comes closer (p99 " + us(polling->lateUs.p99) + " us) but burns its thread.";
    std::string others;
    for (const MethodScore& m : f.methods) {
        if (m.rank > 0 && &m != best && &m != polling)
            others += (others.empty() ? " Then " : "; ") + m.method + " p99 " + us(m.lateUs.p99) + " us" +
                      (m.missed > 0 ? ", " + grouped(m.missed) + " missed" : "");
    }
    text += others.empty() ? "" : others + ".";
    const Finding::Mark mark = best->lateUs.p99 < t.bestFineUs && best->missed == 0 ? Finding::Mark::Fine
                               : best->lateUs.p99 < t.bestWorthUs                    ? Finding::Mark::WorthKnowing
                                                                            : Finding::Mark::Bad;
    say(f, "methods", "methods_best", mark, text, best->test);
    for (const MethodScore& m : f.methods) {
        if (m.rank > 0 && missesVblanks(m))
            say(f, "methods", "methods_missed_" + m.method, Finding::Mark::Bad,
                m.method + " missed " + grouped(m.missed) + " of about " +
                    grouped(static_cast<double>(m.lateUs.count) + m.missed) + " vblanks (gaps of two frames or more)" +
                    (m.resumeWaitMs > 0 ? format("; not counted: its first frames' %.0f ms wait for the vsync server's resume, the "
                                                 "suite's own gap",
                                                 m.resumeWaitMs)
                                        : std::string()) +
                    ".",
                m.test);
    }
}

void compositorSentence(const Context& c, Findings& f)
{
    const TestSummary* timing = firstRunWhere(c.summary, &RunKind::compositorTiming);
    if (timing == nullptr || f.references.empty() || !f.references.front().known())
        return;
    const ReferenceTimeline& reference = f.references.front();
    // Where each reported vblank lies against the latest reference vblank at the moment it was read.
    size_t ahead = 0, behind = 0, current = 0, unchanged = 0;
    const int now = keyIndex(timing->table, "now"), vblank = keyIndex(timing->table, "vblank");
    double previous = NAN;
    for (const LogRow& row : timing->table.rows) {
        const double at = cell(row, now), reported = cell(row, vblank);
        const ReferenceSegment& s = reference.segmentAt(at);
        const double latest = s.originTick + std::floor((at - s.originTick) / s.periodTicks) * s.periodTicks;
        if (reported == previous)
            ++unchanged;
        else if (reported > latest + s.periodTicks / 2)
            ++ahead;
        else if (reported < latest - s.periodTicks / 2)
            ++behind;
        else
            ++current;
        previous = reported;
    }
    const Figure* delay = figureOf(*timing, "publish_delay_median");
    const Figure* skipped = figureOf(*timing, "frames_skipped");
    std::string text = "The compositor";
    if (delay != nullptr)
        text += " publishes each vblank " + us(delay->value) + " us after it began";
    if (skipped != nullptr)
        text += format(", skipped %.0f frames", skipped->value);
    text += "; its qpcVBlank was the current vblank in " + grouped(static_cast<double>(current)) + " reads, ahead in " +
            grouped(static_cast<double>(ahead)) + ", behind in " + grouped(static_cast<double>(behind)) + ", unchanged in " +
            grouped(static_cast<double>(unchanged));
    if (const MethodScore* stamp = methodNamed(f, "dwm_qpcvblank"))
        text += "; it lies " + us(stamp->lateUs.p50) + " us off the reference (p99 " + us(stamp->lateUs.p99) + " us)";
    if (const MethodScore* flush = methodNamed(f, "dwmflush"))
        text += "; DwmFlush returns " + us(flush->lateUs.p50) + " us after the vblank (p99 " + us(flush->lateUs.p99) + " us)";
    text += ".";
    const bool skips = skipped != nullptr && skipped->value > 0;
    say(f, "compositor", "compositor", skips || behind > 0 ? Finding::Mark::WorthKnowing : Finding::Mark::Fine, text, timing->key);
}

void timerSentence(const Context& c, Findings& f)
{
    std::string text;
    std::string link;
    if (const TestSummary* quantum = runOf(c.summary, LogTest::TimeQuantum)) {
        link = quantum->key;
        if (const Figure* sleep = figureOf(*quantum, "sleep_quantum_median"))
            text += format("Sleep(1) lasts %.3f ms (median)", sleep->value);
        if (const Figure* resolution = figureOf(*quantum, "kernel_resolution_current"))
            text += (text.empty() ? "The" : ", the") + format(" timer resolution %.3f ms", resolution->value);
    }
    const auto wake = [&](LogTest test, const char* key, const char* what) {
        const TestSummary* run = runOf(c.summary, test);
        const Figure* p50 = run != nullptr ? figureOf(*run, (std::string(key) + "_median").c_str()) : nullptr;
        const Figure* p99 = run != nullptr ? figureOf(*run, (std::string(key) + "_p99").c_str()) : nullptr;
        const Figure* max = run != nullptr ? figureOf(*run, (std::string(key) + "_max").c_str()) : nullptr;
        if (p50 == nullptr || p99 == nullptr || max == nullptr)
            return;
        text += (text.empty() ? "" : "; ") + std::string(what) + " " + us(p50->value) + " us (p99 " + us(p99->value) +
                " us, max " + us(max->value) + " us)";
        link = link.empty() ? run->key : link;
    };
    wake(LogTest::WaitSpeed, "event_wakeup", "an event wakes its waiter in");
    wake(LogTest::MessageLoop, "posted_message_delay", "a posted message arrives in");
    if (text.empty())
        return;
    const TestSummary* quantum = runOf(c.summary, LogTest::TimeQuantum);
    const Figure* sleep = quantum != nullptr ? figureOf(*quantum, "sleep_quantum_median") : nullptr;
    say(f, "timers", "timers", sleep != nullptr && sleep->value > t.coarseSleepMs ? Finding::Mark::WorthKnowing : Finding::Mark::Fine,
        text + ".", link);
}

void unusualSentences(const Context& c, Findings& f)
{
    bool any = false;
    for (const EventKind& kind : eventKinds()) {
        std::vector<const FoundEvent*> of;
        for (const FoundEvent& e : f.events) {
            if (e.kind == kind.kind)
                of.push_back(&e);
        }
        if (of.empty())
            continue;
        any = true;
        // "(s)" stands for the plural's ending.
        std::string words = kind.words;
        for (size_t at = words.find("(s)"); at != std::string::npos; at = words.find("(s)"))
            words.replace(at, 3, of.size() == 1 ? "" : "s");
        // The first events it can say something of: when, in which run, what; where the log tells
        // nothing of when any of them happened, it says so.
        std::string named;
        size_t listed = 0;
        bool dated = false;
        for (const FoundEvent* e : of)
            dated = dated || e->atS >= 0;
        for (size_t i = 0; i < of.size() && listed < t.eventsNamed; ++i) {
            const FoundEvent& e = *of[i];
            // Where the log only bounds it, the span it tells.
            std::string piece = e.fromS >= 0 && e.toS >= 0 && e.toS - e.fromS >= t.spanShownS
                                    ? format("between %.2f s and %.2f s", e.fromS, e.toS)
                                : e.atS >= 0 ? format("at %.2f s", e.atS)
                                             : "";
            if (!e.test.empty())
                piece += (piece.empty() ? "in " : " in ") + e.test;
            if (kind.detailed && !e.detail.empty())
                piece += (piece.empty() ? "(" : " (") + e.detail + ")";
            if (piece.empty())
                continue;
            named += (listed == 0 ? "" : ", ") + piece;
            ++listed;
        }
        std::string text = grouped(static_cast<double>(of.size())) + " " + words;
        if (!named.empty())
            text += "; " + named + (of.size() > listed ? ", ..." : "");
        if (!dated && kind.moment)
            text += "; the log does not say when";
        say(f, "unusual", std::string("unusual_") + kind.kind, kind.mark, text + ".", of.front()->test);
    }
    if (!any)
        say(f, "unusual", "unusual_none", Finding::Mark::Fine,
            "Nothing unusual: no failed wait, rebind, quiet spell, stall, rate change, \"XXXXX\" line or cut run.", "");
    (void)c;
}

void referenceSentences(const Context& c, Findings& f)
{
    for (const ReferenceTimeline& r : f.references) {
        if (!r.known()) {
            say(f, "reference", outputKey("reference", r.output), Finding::Mark::WorthKnowing, "No reference timeline for " + r.name + ": too few vblank times.", "");
            continue;
        }
        size_t points = 0;
        for (const ReferenceSegment& s : r.segments)
            points += s.points;
        const double span = (r.segments.back().toTick - r.segments.front().fromTick) / c.frequency;
        std::string text = "The reference timeline of " + r.name + " rests on " + grouped(static_cast<double>(points)) +
                           " time stamps over " + format("%.1f s", span) + " (" + r.basis + "), " +
                           grouped(static_cast<double>(r.segments.size())) +
                           (r.segments.size() == 1 ? " segment" : " segments") +
                           format(", the points within %.1f us of it", r.segments.front().residualUs);
        if (!r.precise)
            text += r.mayBeOffUs > 0 ? "; it may be off by " + us(r.mayBeOffUs) +
                                           " us, the delay the same wait showed where the reference is precise"
                                     : "; it may be off by the waits' own delay, which no precise reference here tells";
        for (const std::pair<double, double>& stretch : r.unknown)
            text += format("; not known from %.2f s to %.2f s (no evidence)", stretch.first / c.frequency, stretch.second / c.frequency);
        if (r.hasTruth)
            text += format("; its error against the profile's truth: median %.1f us, max %.1f us", r.errorUs.p50, r.errorUs.max);
        say(f, "reference", outputKey("reference", r.output), r.precise ? Finding::Mark::Fine : Finding::Mark::WorthKnowing, text + ".", "");
    }
}

}   // namespace

void sentencesOf(const Context& c, Findings& f)
{
    refreshSentences(c, f);
    methodSentences(f);
    compositorSentence(c, f);
    engineSentences(c, f);
    timerSentence(c, f);
    unusualSentences(c, f);
    referenceSentences(c, f);
}

const MethodScore* recommendedWait(const Findings& f)
{
    const MethodScore* best = nullptr;
    const MethodScore* polling = nullptr;
    for (const MethodScore& m : f.methods) {
        if (m.rank > 0 && m.method != "directdraw" && (best == nullptr || m.rank < best->rank))
            best = &m;
        if (m.rank > 0 && m.method == "directdraw")
            polling = &m;
    }
    return best != nullptr ? best : polling;
}
