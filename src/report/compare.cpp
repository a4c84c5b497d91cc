#include "report/compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace {

// Keys of both lists in A's order, then B's own in B's order.
template <typename T, typename KeyOf>
std::vector<std::string> unionOfKeys(const std::vector<T>& a, const std::vector<T>& b, KeyOf keyOf)
{
    std::vector<std::string> keys;
    for (const std::vector<T>* list : {&a, &b}) {
        for (const T& item : *list) {
            if (std::find(keys.begin(), keys.end(), keyOf(item)) == keys.end())
                keys.push_back(keyOf(item));
        }
    }
    return keys;
}

ComparedValue value(const std::string& key, const std::string& label, const std::string& unit, bool count)
{
    ComparedValue v;
    v.key = key;
    v.label = label;
    v.unit = unit;
    v.count = count;
    return v;
}

// An output's number ("1", "2") by its name among the summary's reference timelines.
std::string outputNumber(const ReportSummary& summary, const std::string& name)
{
    for (const ReferenceTimeline& r : summary.findings.references) {
        if (r.name == name)
            return std::to_string(r.output + 1);
    }
    return name;
}

void compareRefresh(const ReportSummary& a, const ReportSummary& b, Comparison* out)
{
    struct Field {
        const char* key;
        const char* label;
        const char* unit;
        double RefreshFinding::*member;
    };
    static const Field fields[] = {
        {"measured_hz", "measured rate", "Hz", &RefreshFinding::measuredHz},
        {"nominal_hz", "the mode's rate", "Hz", &RefreshFinding::nominalHz},
        {"rate_refresh_hz", "the compositor's rateRefresh", "Hz", &RefreshFinding::rateRefreshHz},
        {"qpc_refresh_period_ms", "the compositor's qpcRefreshPeriod", "ms", &RefreshFinding::qpcRefreshPeriodMs},
        {"ppm_vs_nominal", "measured against the mode", "ppm", &RefreshFinding::ppmVsNominal},
        {"frame_slip_s", "a nominal clock slips a frame every", "s", &RefreshFinding::frameSlipS},
    };
    const auto keyOf = [](const RefreshFinding& r) { return std::to_string(r.output + 1); };
    for (const std::string& output : unionOfKeys(a.findings.refresh, b.findings.refresh, keyOf)) {
        const auto find = [&](const ReportSummary& s) -> const RefreshFinding* {
            for (const RefreshFinding& r : s.findings.refresh)
                if (keyOf(r) == output)
                    return &r;
            return nullptr;
        };
        const RefreshFinding* ra = find(a);
        const RefreshFinding* rb = find(b);
        for (const Field& field : fields) {
            // A rate the log did not give is 0: not known, so not compared as a figure.
            ComparedValue v = value(std::string("output") + output + "_" + field.key,
                                    "output " + output + ", " + field.label, field.unit, false);
            v.inA = ra != nullptr && (field.member == &RefreshFinding::measuredHz || ra->*field.member != 0.0);
            v.inB = rb != nullptr && (field.member == &RefreshFinding::measuredHz || rb->*field.member != 0.0);
            v.a = v.inA ? ra->*field.member : 0.0;
            v.b = v.inB ? rb->*field.member : 0.0;
            if (v.inA || v.inB)
                out->refresh.push_back(v);
        }
    }
}

void compareMethods(const ReportSummary& a, const ReportSummary& b, Comparison* out)
{
    struct Field {
        const char* key;
        const char* label;
        double Distribution::*member;
    };
    static const Field fields[] = {{"late_us_p50", "late p50", &Distribution::p50},
                                   {"late_us_p99", "late p99", &Distribution::p99},
                                   {"late_us_max", "late max", &Distribution::max}};
    std::map<std::string, const MethodScore*> inA, inB;
    std::vector<std::string> keys;
    const auto collect = [&](const ReportSummary& s, std::map<std::string, const MethodScore*>* into) {
        for (const MethodScore& m : s.findings.methods) {
            const std::string key = m.method + "@" + outputNumber(s, m.output);
            (*into)[key] = &m;
            if (std::find(keys.begin(), keys.end(), key) == keys.end())
                keys.push_back(key);
        }
    };
    collect(a, &inA);
    collect(b, &inB);
    for (const std::string& key : keys) {
        const MethodScore* ma = inA.count(key) != 0 ? inA[key] : nullptr;
        const MethodScore* mb = inB.count(key) != 0 ? inB[key] : nullptr;
        const std::string name = key.substr(0, key.find('@')) + " on output " + key.substr(key.find('@') + 1);
        for (const Field& field : fields) {
            ComparedValue v = value(key + "_" + field.key, name + ", " + field.label, "us", false);
            v.inA = ma != nullptr;
            v.inB = mb != nullptr;
            v.a = v.inA ? ma->lateUs.*field.member : 0.0;
            v.b = v.inB ? mb->lateUs.*field.member : 0.0;
            out->methods.push_back(v);
        }
        ComparedValue missed = value(key + "_missed", name + ", vblanks missed", "", true);
        missed.inA = ma != nullptr;
        missed.inB = mb != nullptr;
        missed.a = missed.inA ? ma->missed : 0.0;
        missed.b = missed.inB ? mb->missed : 0.0;
        out->methods.push_back(missed);
    }
}

// Events by kind: how many, and how many frames they span. A kind one log never saw counts 0
// there and is marked as the other's only.
void compareEvents(const ReportSummary& a, const ReportSummary& b, Comparison* out)
{
    const auto keyOf = [](const FoundEvent& e) { return e.kind; };
    for (const std::string& kind : unionOfKeys(a.findings.events, b.findings.events, keyOf)) {
        ComparedValue count = value(kind, kind + " events", "", true);
        ComparedValue frames = value(kind + "_frames", kind + " events, frames spanned", "", false);
        for (const FoundEvent& e : a.findings.events) {
            if (e.kind == kind) {
                count.a += 1;
                frames.a += e.frames;
            }
        }
        for (const FoundEvent& e : b.findings.events) {
            if (e.kind == kind) {
                count.b += 1;
                frames.b += e.frames;
            }
        }
        count.inA = frames.inA = count.a > 0;
        count.inB = frames.inB = count.b > 0;
        count.absentIsZero = frames.absentIsZero = true;
        out->events.push_back(count);
        if (frames.a > 0 || frames.b > 0)
            out->events.push_back(frames);
    }
}

void compareFindings(const ReportSummary& a, const ReportSummary& b, Comparison* out)
{
    const auto keyOf = [](const Finding& f) { return f.key; };
    std::vector<ComparedFinding> all;
    for (const std::string& key : unionOfKeys(a.findings.sentences, b.findings.sentences, keyOf)) {
        ComparedFinding c;
        c.key = key;
        // The first sentence of that key in a log, into one side.
        const auto take = [&](const ReportSummary& s, bool* in, Finding::Mark* mark, std::string* text) {
            const auto f = std::find_if(s.findings.sentences.begin(), s.findings.sentences.end(),
                                        [&](const Finding& one) { return one.key == key; });
            if (f == s.findings.sentences.end())
                return;
            *in = true;
            c.topic = f->topic;
            *mark = f->mark;
            *text = f->text;
        };
        take(a, &c.inA, &c.markA, &c.textA);
        take(b, &c.inB, &c.markB, &c.textB);
        all.push_back(c);
    }
    std::stable_partition(all.begin(), all.end(), [](const ComparedFinding& c) { return c.markChanged(); });
    out->findings = all;
}

void compareRuns(const ReportSummary& a, const ReportSummary& b, Comparison* out)
{
    const auto keyOf = [](const TestSummary& t) { return t.key; };
    for (const std::string& key : unionOfKeys(a.tests, b.tests, keyOf)) {
        const TestSummary* ta = runByKey(a, key);
        const TestSummary* tb = runByKey(b, key);
        ComparedRun run;
        run.key = key;
        run.inA = ta != nullptr;
        run.inB = tb != nullptr;
        const TestSummary& any = ta != nullptr ? *ta : *tb;
        run.title = any.title + (any.label.empty() ? "" : " " + any.label);
        ComparedValue rows = value("rows", "rows", "", true);
        rows.inA = run.inA;
        rows.inB = run.inB;
        rows.a = run.inA ? static_cast<double>(ta->rows) : 0.0;
        rows.b = run.inB ? static_cast<double>(tb->rows) : 0.0;
        if (rows.a > 0 || rows.b > 0)
            run.figures.push_back(rows);
        static const std::vector<Figure> none;
        const std::vector<Figure> fa = ta != nullptr ? shownFigures(a, *ta) : none;
        const std::vector<Figure> fb = tb != nullptr ? shownFigures(b, *tb) : none;
        for (const std::string& figureKey : unionOfKeys(fa, fb, [](const Figure& f) { return f.key; })) {
            ComparedValue v;
            v.key = figureKey;
            for (const Figure& f : fa) {
                if (f.key == figureKey) {
                    v.inA = true;
                    v.a = f.value;
                    v.label = f.label;
                    v.unit = f.unit;
                    v.count = isCount(f);
                }
            }
            for (const Figure& f : fb) {
                if (f.key == figureKey) {
                    v.inB = true;
                    v.b = f.value;
                    v.label = v.label.empty() ? f.label : v.label;
                    v.unit = v.unit.empty() ? f.unit : v.unit;
                    v.count = isCount(f);
                }
            }
            run.figures.push_back(v);
        }
        out->runs.push_back(run);
    }
}

// A line of the text by a pattern of %s fields, without the spaces a short last field leaves.
std::string line(const char* pattern, const std::string& a, const std::string& b = "", const std::string& c = "",
                 const std::string& d = "", const std::string& e = "", const std::string& f = "")
{
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, pattern, a.c_str(), b.c_str(), c.c_str(), d.c_str(), e.c_str(), f.c_str());
    std::string out = buffer;
    const bool newline = !out.empty() && out.back() == '\n';
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n'))
        out.pop_back();
    return newline ? out + "\n" : out;
}

std::string number(double v, bool count, bool sign = false)
{
    char buffer[64];
    if (count)
        std::snprintf(buffer, sizeof buffer, sign ? "%+.0f" : "%.0f", v);
    else
        std::snprintf(buffer, sizeof buffer, sign ? "%+.4f" : "%.4f", v);
    return buffer;
}

std::string valueRow(const ComparedValue& v)
{
    const std::string a = v.inA || v.comparable() ? number(v.a, v.count) : "-";
    const std::string b = v.inB || v.comparable() ? number(v.b, v.count) : "-";
    const std::string difference = v.comparable() ? number(v.difference(), v.count, true) : "";
    char percent[32] = "";
    if (v.hasPercent())
        std::snprintf(percent, sizeof percent, "%+.1f %%", v.percent());
    std::string label = v.label + (v.unit.empty() ? "" : ", " + v.unit);
    if (label.size() > 56)
        label = label.substr(0, 55) + "~";
    return line("  %-56s %14s %14s %14s %9s  %s\n", label, a, b, difference, percent, v.only());
}

std::string header(const std::string& title)
{
    return "\n" + title + "\n" + line("  %-56s %14s %14s %14s %9s\n", "", "A", "B", "B - A", "");
}

}   // namespace

const char* ComparedValue::only() const
{
    return inA && !inB ? "only in A" : inB && !inA ? "only in B" : "";
}

const char* ComparedRun::only() const
{
    return inA && !inB ? "only in A" : inB && !inA ? "only in B" : "";
}

Comparison compareSummaries(const ReportSummary& a, const ReportSummary& b, const std::string& nameA,
                            const std::string& nameB)
{
    Comparison out;
    out.nameA = nameA;
    out.nameB = nameB;
    out.machine = {{"build", a.build, b.build},
                   {"windows", a.windows, b.windows},
                   {"counter", std::to_string(a.frequency) + " Hz", std::to_string(b.frequency) + " Hz"},
                   {"virtual display", a.hasProfile ? a.profile : "", b.hasProfile ? b.profile : ""},
                   {"complete", a.ended ? "yes" : "no, cut", b.ended ? "yes" : "no, cut"}};
    compareFindings(a, b, &out);
    compareRefresh(a, b, &out);
    compareMethods(a, b, &out);
    compareEvents(a, b, &out);
    compareRuns(a, b, &out);
    return out;
}

std::string comparisonText(const Comparison& c)
{
    std::string out = "kelvaro comparison\n  A: " + c.nameA + "\n  B: " + c.nameB + "\n";
    for (const ComparedText& t : c.machine) {
        if (t.a == t.b)
            out += line("  %-16s %s (both)\n", t.label + ":", t.a.empty() ? "-" : t.a);
        else
            out += line("  %-16s A: %s\n  %-16s B: %s\n", t.label + ":", t.a.empty() ? "-" : t.a, "",
                        t.b.empty() ? "-" : t.b);
    }

    size_t changed = 0;
    for (const ComparedFinding& f : c.findings)
        changed += f.markChanged() ? 1 : 0;
    for (size_t i = 0; i < c.findings.size(); ++i) {
        const ComparedFinding& f = c.findings[i];
        if (i == 0 && changed > 0)
            out += "\nFindings whose mark changed\n";
        if (i == changed)
            out += changed > 0 ? "\nFindings with the same mark\n" : "\nFindings, each with the same mark\n";
        const std::string markA = f.inA ? markName(f.markA) : "-";
        const std::string markB = f.inB ? markName(f.markB) : "-";
        out += "  " + f.key + ": " + (f.markChanged() ? markA + " -> " + markB : markA);
        if (f.inA != f.inB)
            out += f.inA ? "  only in A" : "  only in B";
        out += "\n";
        if (f.inA)
            out += "    A: " + f.textA + "\n";
        if (f.inB)
            out += f.inA && f.textB == f.textA ? "    B: the same\n" : "    B: " + f.textB + "\n";
    }

    const auto block = [&](const char* title, const std::vector<ComparedValue>& values) {
        if (values.empty())
            return;
        out += header(title);
        for (const ComparedValue& v : values)
            out += valueRow(v);
    };
    block("Refresh", c.refresh);
    block("Ways of finding the vblank, after the reference vblank", c.methods);
    block("Events", c.events);
    for (const ComparedRun& run : c.runs) {
        out += header(run.title + " [" + run.key + "]" + (*run.only() != '\0' ? std::string("  ") + run.only() : ""));
        for (const ComparedValue& v : run.figures)
            out += valueRow(v);
    }
    return out;
}
