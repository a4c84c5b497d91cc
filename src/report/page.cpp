// The report's page: the headline and the methods' chart, the findings, then per run its
// figures and charts.
#include "report/page_parts.h"

#include "report/outputs.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace pageparts {

// A run's section's id: its key with letters, digits, '-' and '_' only. The keys are lower
// case letters, digits and '_', with "#2" for a later run: '#' becomes '-', so no two meet.
std::string sectionId(const std::string& key)
{
    std::string id = "run-";
    for (const char c : key)
        id += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' ? c : '-';
    return id;
}

bool hasRun(const ReportSummary& summary, const std::string& key)
{
    return std::any_of(summary.tests.begin(), summary.tests.end(), [&](const TestSummary& t) { return t.key == key; });
}

// "→ section", a link to a run's section; nothing when no run has that key.
std::string sectionLink(const ReportSummary& summary, const std::string& key)
{
    return hasRun(summary, key) ? "<a href=\"#" + sectionId(key) + "\">→ section</a>" : "";
}

// The class that colours a mark's badge; the badge's text is the mark's name.
const char* markClass(Finding::Mark mark)
{
    return mark == Finding::Mark::Bad ? "bad" : mark == Finding::Mark::WorthKnowing ? "worth" : "fine";
}

// A figure the log may lack (0: not in it): a dash then.
std::string known(double value, int decimals)
{
    return value != 0.0 ? number(value, decimals) : "–";
}

std::string distributionCells(const Distribution& d)
{
    if (d.count == 0)
        return "<td class=\"n\">–</td><td class=\"n\">–</td><td class=\"n\">–</td><td class=\"n\">–</td><td class=\"n\">–</td>";
    std::string html = "<td class=\"n\">" + number(d.p50, 1) + "</td>";
    // A percentile too few values resolve is starred: it is one of the largest values.
    for (const auto& [value, percent] : {std::make_pair(d.p95, 95.0), std::make_pair(d.p99, 99.0), std::make_pair(d.p999, 99.9)})
        html += "<td class=\"n\">" + number(value, 1) + (d.resolves(percent) ? "" : "*") + "</td>";
    return html + "<td class=\"n\">" + number(d.max, 1) + "</td>";
}

// The answers at the top of the page: the sentences with their marks, the methods side by
// side, the reference timelines, the refresh rates and what went wrong.
std::string findingsBlock(const ReportSummary& summary)
{
    const Findings& f = summary.findings;
    std::string html = "<div id=\"findings\"><h2>Findings</h2>\n";
    if (f.sentences.empty() && f.methods.empty() && f.references.empty() && f.refresh.empty() && f.events.empty())
        html += "<p class=\"note\">Nothing found in this log to weigh.</p>\n";
    if (!f.sentences.empty()) {
        html += "<ul>";
        for (const Finding& s : f.sentences)
            html += "<li><span class=\"mark " + std::string(markClass(s.mark)) + "\">" + markName(s.mark) + "</span> " +
                    escaped(s.text) + " " + sectionLink(summary, s.link) + "</li>";
        html += "</ul>\n";
    }
    if (!f.methods.empty()) {
        const bool truths = std::any_of(f.methods.begin(), f.methods.end(), [](const MethodScore& m) { return m.hasTruth; });
        html += "<table class=\"compact\"><caption>Each way of finding the vblank: how late after the reference "
                "vblank, µs</caption><tr><th>method</th><th>output</th><th>p50</th><th>p95</th><th>p99</th>"
                "<th>p99.9</th><th>max</th><th>missed</th>" +
                std::string(truths ? "<th>true p50</th>" : "") + "<th>cost</th><th>verdict</th></tr>";
        for (const MethodScore& m : f.methods) {
            // The method's name links to the run it was read from.
            const std::string name = hasRun(summary, m.test)
                                         ? "<a href=\"#" + sectionId(m.test) + "\">" + escaped(m.method) + "</a>"
                                         : escaped(m.method);
            html += std::string(m.rank == 1 ? "<tr class=\"best\">" : "<tr>") + "<td>" + name +
                    (m.rank == 1 ? " <small>(best)</small>" : "") + "</td><td>" +
                    escaped(m.output) + "</td>" + distributionCells(m.lateUs) + "<td class=\"n\">" +
                    number(m.missed, m.missed == std::floor(m.missed) ? 0 : 2) + "</td>";
            if (truths)
                html += "<td class=\"n\">" + (m.hasTruth && m.lateTrueUs.count > 0 ? number(m.lateTrueUs.p50, 1) : "–") + "</td>";
            html += "<td>" + escaped(m.cost) + "</td><td>" + escaped(m.verdict) + "</td></tr>";
        }
        html += "</table>\n";
        const auto unresolved = [](const MethodScore& m) { return !m.lateUs.resolves(95.0) || !m.lateUs.resolves(99.0) || !m.lateUs.resolves(99.9); };
        if (std::any_of(f.methods.begin(), f.methods.end(), unresolved))
            html += "<p class=\"note\">" + std::string(kUnresolvedPercentileNote) + ".</p>\n";
    }
    for (const ReferenceTimeline& r : f.references) {
        html += "<p class=\"ref\">Reference of <b>" + escaped(r.name) + "</b>: ";
        if (!r.known()) {
            html += "not rebuilt (" + escaped(r.basis) + ")</p>\n";
            continue;
        }
        double shortest = r.segments.front().periodTicks, longest = shortest;
        for (const ReferenceSegment& s : r.segments) {
            shortest = std::min(shortest, s.periodTicks);
            longest = std::max(longest, s.periodTicks);
        }
        const auto ms = [&](double ticks) {
            return summary.frequency > 0 ? number(ticks * 1000.0 / static_cast<double>(summary.frequency), 4) + " ms"
                                         : number(ticks, 1) + " ticks";
        };
        html += "from " + escaped(r.basis) + (r.precise ? " (precise)" : " (coarse)") + ", " +
                std::to_string(r.segments.size()) + (r.segments.size() == 1 ? " segment" : " segments") + ", period " +
                ms(shortest) + (longest > shortest ? " to " + ms(longest) : "");
        if (r.hasTruth && r.errorUs.count > 0)
            html += "; off the true vblanks by p50 " + number(r.errorUs.p50, 1) + " µs, p99 " + number(r.errorUs.p99, 1) +
                    " µs, max " + number(r.errorUs.max, 1) + " µs";
        html += "</p>\n";
    }
    if (!f.refresh.empty()) {
        const bool truths = std::any_of(f.refresh.begin(), f.refresh.end(), [](const RefreshFinding& r) { return r.hasTruth; });
        html += "<table class=\"compact\"><caption>Refresh rates</caption><tr><th>output</th><th>mode Hz</th>"
                "<th>rateRefresh Hz</th><th>qpcRefreshPeriod ms</th><th>measured Hz</th><th>ppm vs mode</th>"
                "<th>one frame gained every</th>" + std::string(truths ? "<th>true Hz</th>" : "") + "</tr>";
        for (const RefreshFinding& r : f.refresh) {
            html += "<tr><td>" + escaped(r.name) + "</td><td class=\"n\">" + known(r.nominalHz, 3) + "</td><td class=\"n\">" +
                    known(r.rateRefreshHz, 4) + "</td><td class=\"n\">" + known(r.qpcRefreshPeriodMs, 4) +
                    "</td><td class=\"n\">" + known(r.measuredHz, 4) + "</td><td class=\"n\">" +
                    (r.nominalHz != 0.0 ? number(r.ppmVsNominal, 1) : "–") + "</td><td class=\"n\">" +
                    (r.frameSlipS > 0.0 ? number(r.frameSlipS, 1) + " s" : "never") + "</td>";
            if (truths)
                html += "<td class=\"n\">" + (r.hasTruth ? number(r.trueHz, 4) : "–") + "</td>";
            html += "</tr>";
        }
        html += "</table>\n";
    }
    if (!f.events.empty()) {
        html += "<table class=\"compact\"><caption>Events</caption><tr><th>kind</th><th>at s</th><th>frames</th>"
                "<th>detail</th><th>where</th></tr>";
        for (size_t i = 0; i < f.events.size() && i < kEventRows; ++i) {
            const FoundEvent& e = f.events[i];
            html += "<tr><td>" + escaped(e.kind) + "</td><td class=\"n\">" + (e.atS >= 0.0 ? number(e.atS, 3) : "–") +
                    "</td><td class=\"n\">" + (e.frames != 0.0 ? number(e.frames, 1) : "") + "</td><td>" +
                    escaped(e.detail) + "</td><td>" + (e.line > 0 ? "line " + std::to_string(e.line) + " " : "") +
                    sectionLink(summary, e.test) + "</td></tr>";
        }
        html += "</table>\n";
        if (f.events.size() > kEventRows)
            html += "<p class=\"note\">" + std::to_string(f.events.size() - kEventRows) +
                    " more events, all of them in the JSON.</p>\n";
    }
    return html + "</div>\n";
}

std::string figuresTable(const std::vector<Figure>& figures)
{
    // The true value and the error, where the log names the virtual display's profile.
    const bool truths = std::any_of(figures.begin(), figures.end(), [](const Figure& f) { return f.hasTruth; });
    std::string html = "<table><tr><th>figure</th><th>measured</th><th>unit</th>";
    html += truths ? "<th>true</th><th>error</th></tr>" : "</tr>";
    for (const Figure& figure : figures) {
        html += "<tr><td>" + escaped(figure.label) + "</td><td class=\"n\">" + number(figure.value, isCount(figure) ? 0 : 4) +
                "</td><td>" + escaped(figure.unit) + "</td>";
        if (figure.hasTruth)
            html += "<td class=\"n\">" + number(figure.truth, 4) + "</td><td class=\"n\">" +
                    number(figure.value - figure.truth, 4) + "</td>";
        else if (truths)
            html += "<td></td><td></td>";
        html += "</tr>";
    }
    return html + "</table>";
}

// The page's head and style, shared by the report and the comparison.
std::string pageHead(const std::string& title)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + escaped(title) + "</title>"
        "<style>body{font:14px/1.4 sans-serif;margin:24px;color:#222;max-width:1000px}"
        "h1{font-size:22px}h2{font-size:17px;margin:28px 0 6px;border-bottom:1px solid #ccd}"
        "table{border-collapse:collapse;margin:6px 0}td,th{border:1px solid #dde;padding:2px 8px;text-align:left}"
        "td.n{text-align:right;font-family:monospace}.charts{display:flex;gap:12px;flex-wrap:wrap}"
        ".cut{color:#b00}.note{color:#555}caption{text-align:left;font-weight:bold;padding:4px 0}"
        ".headline{font-size:17px;font-weight:bold;margin:0 0 8px}"
        "table.compact td,table.compact th{padding:1px 6px;font-size:13px}tr.best td{background:#eaf6e6}"
        "#findings ul{list-style:none;padding:0;margin:6px 0}#findings li{margin:4px 0}"
        ".mark{display:inline-block;padding:0 6px;border-radius:3px;font-size:12px;font-weight:bold}"
        ".mark.fine{background:#d5efd9;color:#1c6b2e}.mark.worth{background:#fde7ad;color:#7a5000}"
        ".mark.bad{background:#f8d0cc;color:#a3231a}.chart .tick,.chart .axis{fill:#555}"
        ".only{color:#7a5000;font-style:italic}.a{color:#3355aa}.b{color:#c2185b}</style></head><body>\n";
}

}   // namespace pageparts

using namespace pageparts;

std::string reportHtml(const ReportSummary& summary)
{
    // The answer at a glance first, then the findings in full.
    std::string html = pageHead("kelvaro report") + headline(summary.findings) + methodsChart(summary.findings.methods);
    html += "<h1>kelvaro report</h1>\n" + findingsBlock(summary) + "<table>";
    html += "<tr><th>build</th><td>" + escaped(summary.build) + "</td></tr>";
    html += "<tr><th>Windows</th><td>" + escaped(summary.windows) + "</td></tr>";
    html += "<tr><th>counter</th><td>" + std::to_string(summary.frequency) + " Hz</td></tr>";
    if (summary.hasProfile)
        html += "<tr><th>virtual display</th><td>" + escaped(summary.profile) + "</td></tr>";
    html += "</table>\n";
    if (!summary.ended)
        html += "<p class=\"cut\">The log ends before the tool said it exits: it was cut.</p>\n";
    int chart = 0;
    for (const TestSummary& test : summary.tests) {
        html += "<section id=\"" + sectionId(test.key) + "\"><h2>" + escaped(test.title) + (test.label.empty() ? "" : " " + escaped(test.label)) + "</h2>\n";
        if (test.cut)
            html += "<p class=\"cut\">Cut: the log ends inside this test.</p>";
        if (test.rows > 0)
            html += "<p>" + std::to_string(test.rows) + " rows" +
                    (test.unreadable.empty() ? "" : ", " + std::to_string(test.unreadable.size()) + " unreadable") + "</p>";
        const std::vector<Figure> figures = shownFigures(summary, test);
        if (!figures.empty())
            html += figuresTable(figures);
        for (const std::string& note : test.notes)
            html += "<p class=\"note\">" + escaped(note) + "</p>";
        if (!test.table.columns.empty()) {
            // The periods in frames take the place of the histogram of the period series (the
            // one the reference gives a period for); beside the charts when there is none.
            const std::vector<Series> series = shownCharts(summary, test);
            const std::vector<size_t>& bins = shownFrameBins(summary, test);
            size_t periods = series.size();
            for (size_t i = 0; i < series.size() && !bins.empty(); ++i) {
                if (series[i].hasReference && series[i].reference > 0.0) {
                    periods = i;
                    break;
                }
            }
            html += "<div class=\"charts\">";
            for (size_t i = 0; i < series.size(); ++i) {
                html += timeSeries(series[i], "chart" + std::to_string(chart++));
                html += i == periods ? frameHistogram(bins, "chart" + std::to_string(chart++))
                                     : histogram(series[i], "chart" + std::to_string(chart++));
            }
            if (!bins.empty() && periods == series.size())
                html += frameHistogram(bins, "chart" + std::to_string(chart++));
            html += "</div>";
        }
        html += "</section>\n";
    }
    html += "</body></html>\n";
    return html;
}

