// The top of the report's page: the answer in one sentence, then every way of finding the
// vblank on one shared axis, so that a glance tells the rate, the wait and the trouble.
#include "report/page_parts.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace pageparts {

namespace {

// A rate as a person says it: "60", "59.94", "143.981".
std::string plainHz(double hz)
{
    std::string text = number(hz, 3);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.')
        text.pop_back();
    return text;
}

// The first output's measured rate against its mode's.
std::string ratePart(const Findings& f)
{
    if (f.refresh.empty() || !(f.refresh.front().measuredHz > 0.0))
        return "No refresh rate was measured";
    const RefreshFinding& r = f.refresh.front();
    const bool variable = std::any_of(f.events.begin(), f.events.end(), [&](const FoundEvent& e) {
        return e.kind == "variable_refresh" && e.detail.compare(0, r.name.size() + 1, r.name + ":") == 0;
    });
    if (variable)
        return escaped(r.name) + " has no steady rate: variable refresh";
    const std::string text = escaped(r.name) + " refreshes at " + number(r.measuredHz, 3) + " Hz";
    if (!(r.nominalHz > 0.0))
        return text + " (its mode is not in the log)";
    return text + (number(r.measuredHz, 3) == number(r.nominalHz, 3) ? ", as its mode says"
                                                                       : ", though its mode says " + plainHz(r.nominalHz));
}

// The way to use here, as the findings recommend it, and how late it wakes.
std::string waitPart(const Findings& f)
{
    const MethodScore* best = recommendedWait(f);
    if (best == nullptr)
        return f.methods.empty() ? "no way of finding the vblank was scored" : "no wait could be ranked";
    const double p50 = std::abs(best->lateUs.p50) < 0.05 ? 0.0 : best->lateUs.p50;   // no "-0.0"
    return "use " + escaped(best->method) + " here (p50 " + number(p50, 1) + "&nbsp;µs after the vblank)";
}

// A finding named briefly: its sentence up to its first pause.
std::string briefly(const Finding& finding)
{
    if (finding.key == "methods_best")
        return "even the best wait wakes late";
    size_t end = finding.text.size();
    for (const char* pause : {" (", ": ", "; ", ". "})
        end = std::min(end, finding.text.find(pause));
    std::string text = finding.text.substr(0, end);
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return escaped(text);
}

// Whether any finding is bad: the one named, several counted.
std::string troublePart(const Findings& f)
{
    std::vector<const Finding*> bad;
    for (const Finding& s : f.sentences) {
        if (s.mark == Finding::Mark::Bad)
            bad.push_back(&s);
    }
    const std::string below = "<a href=\"#findings\">see below</a>";
    if (bad.size() == 1)
        return "one thing went wrong: " + briefly(*bad.front()) + ", " + below;
    if (!bad.empty())
        return std::to_string(bad.size()) + " things went wrong: " + below;
    return f.sentences.empty() ? "there are no findings to tell whether anything went wrong" : "nothing went wrong";
}

}   // namespace

std::string headline(const Findings& findings)
{
    return "<p class=\"headline\" id=\"headline\">" + ratePart(findings) + "; " + waitPart(findings) + "; " +
           troublePart(findings) + ".</p>\n";
}

namespace {

constexpr int kRowHeight = 22;
constexpr int kMethodsWidth = kChartWidth + 120;
constexpr int kLabelsLeft = 22;                   // after the rotated axis name
constexpr int kPlotLeft = 200;                    // after the methods' names and outputs
constexpr int kPlotRight = kMethodsWidth - 80;    // before the missed vblanks
constexpr int kRowsTop = kPlotTop + 14;           // room for the vblank's label

// The methods in rank order, those not ranked (time stamps, other outputs) after in their order.
std::vector<const MethodScore*> inRankOrder(const std::vector<MethodScore>& methods)
{
    std::vector<const MethodScore*> rows;
    for (const MethodScore& m : methods)
        rows.push_back(&m);
    std::stable_sort(rows.begin(), rows.end(), [](const MethodScore* a, const MethodScore* b) {
        return (a->rank > 0 ? a->rank : INT32_MAX) < (b->rank > 0 ? b->rank : INT32_MAX);
    });
    return rows;
}

// The shared axis: the vblank (0) and every drawn percentile, a little wider; never empty.
Scale methodsScale(const std::vector<const MethodScore*>& rows)
{
    double low = 0.0, high = 0.0;
    for (const MethodScore* m : rows) {
        if (m->lateUs.count == 0)
            continue;
        low = std::min({low, m->lateUs.p50, m->lateUs.p95, m->lateUs.p999});
        high = std::max({high, m->lateUs.p50, m->lateUs.p95, m->lateUs.p999});
    }
    if (!(high > low))
        high = low + 1.0;
    const double pad = (high - low) * 0.05;
    return Scale{low - pad, high + pad, kPlotLeft, kPlotRight};
}

// One method's row: its rank, name and output, its p95 to p99.9 as a bar, its p50 as a mark,
// its missed vblanks beside.
std::string methodRow(const MethodScore& m, const Scale& x, double middle)
{
    std::string svg = chartText(kLabelsLeft, middle + 3.5,
                                (m.rank > 0 ? std::to_string(m.rank) : std::string("–")) + " " + m.method + " " + m.output,
                                std::string("class=\"method\"") + (m.rank == 1 ? " font-weight=\"bold\"" : ""));
    if (m.lateUs.count == 0)
        return svg + chartText(kPlotLeft + 4, middle + 3.5, "no values", "class=\"note\" fill=\"#555\"");
    const Distribution& d = m.lateUs;
    appendAll(svg, "<rect class=\"spread\" x=\"", Fixed{x(d.p95)}, "\" y=\"", Fixed{middle - 5}, "\" width=\"",
              Fixed{std::max(1.0, x(d.p999) - x(d.p95))}, "\" height=\"10\" fill=\"#7a8fd1\"/>");
    appendAll(svg, "<rect class=\"p50\" x=\"", Fixed{x(d.p50) - 1.5}, "\" y=\"", Fixed{middle - 8},
              "\" width=\"3\" height=\"16\" fill=\"#1b2f6e\"/>");
    const std::string missed = number(m.missed, m.missed == std::floor(m.missed) ? 0 : 2) + " missed";
    return svg + chartText(kPlotRight + 8, middle + 3.5, missed,
                           std::string("class=\"missed\" fill=\"") + (m.missed > 0 ? "#a3231a" : "#555") + "\"");
}

}   // namespace

std::string methodsChart(const std::vector<MethodScore>& methods)
{
    if (methods.empty())
        return "<p class=\"note\">No way of finding the vblank was scored: there is nothing to chart.</p>\n";
    const std::vector<const MethodScore*> rows = inRankOrder(methods);
    const Scale x = methodsScale(rows);
    const int bottom = kRowsTop + kRowHeight * static_cast<int>(rows.size());
    const int height = bottom + kChartHeight - kPlotBottom;
    std::string svg = chartFrame("methods-chart", kMethodsWidth, height);
    // The vblank itself, under the data.
    const double zero = x(0.0);
    appendAll(svg, "<line x1=\"", Fixed{zero}, "\" x2=\"", Fixed{zero}, "\" y1=\"", std::to_string(kRowsTop - 4), "\" y2=\"",
              std::to_string(bottom), "\" stroke=\"#d2691e\" stroke-dasharray=\"4 3\"/>");
    svg += chartText(zero, kRowsTop - 6, "vblank", "text-anchor=\"middle\" fill=\"#d2691e\"");
    for (size_t i = 0; i < rows.size(); ++i)
        svg += methodRow(*rows[i], x, kRowsTop + kRowHeight * (static_cast<double>(i) + 0.5));
    svg += xAxis(x, kPlotRight, "µs after the reference vblank", 6, 0.0, bottom);
    const std::string middle = number((kRowsTop + bottom) / 2.0, 1);
    appendAll(svg, "<text class=\"axis\" x=\"12\" y=\"", middle, "\" font-size=\"10\" text-anchor=\"middle\" transform=\"rotate(-90 12 ",
              middle, ")\">by rank</text>");
    svg += chartText(kLabelsLeft, height - 8, "each way of finding the vblank: its p50 (mark), its p95 to p99.9 (bar)", "");
    return svg + "</svg>\n";
}

}   // namespace pageparts
